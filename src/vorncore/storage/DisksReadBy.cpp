#include "storage/DisksReadBy.h"

#include <algorithm>

#include "misc/OutputFile.h"
#include "storage/Disk.h"
#include "storage/ImageDisk.h"
#include "storage/PartitionDisk.h"
#include "storage/RAIDDisk.h"
#include "storage/RAIDSimulatorDisk.h"

namespace vorn {

namespace {

// Links from a disk to the disks it reads through never run deeper than this
// in a sane set-up (partition of a RAID of simulated members of a partition...).
constexpr int kMaxDiskChain = 64;

// The disks that reading disk reads next (none for an image file or device).
std::vector<Disk*> directlyRead(Disk* disk) {
    std::vector<Disk*> next;
    if (Disk* inner = disk->getInnerDisk(); inner != disk) next.push_back(inner);
    if (auto* partition = dynamic_cast<PartitionDisk*>(disk)) next.push_back(partition->getParent());
    if (auto* raid = dynamic_cast<RAIDDisk*>(disk)) {
        for (u32 i = 0; i < RAIDDisk::kMaxMembers; ++i) next.push_back(raid->getMember(i));
    }
    if (auto* simulated = dynamic_cast<RAIDSimulatorDisk*>(disk)) next.push_back(simulated->getSource());
    std::erase(next, nullptr);
    return next;
}

void collectReadDisks(Disk* disk, std::vector<Disk*>& disks, int depth) {
    if (!disk || depth > kMaxDiskChain) return;
    if (std::find(disks.begin(), disks.end(), disk) != disks.end()) return;
    disks.push_back(disk);
    for (Disk* next : directlyRead(disk)) collectReadDisks(next, disks, depth + 1);
}

}  // namespace

std::vector<Disk*> disksReadBy(Disk* disk) {
    std::vector<Disk*> disks;
    collectReadDisks(disk, disks, 0);
    return disks;
}

bool readsThrough(Disk* disk, Disk* target) {
    const std::vector<Disk*> disks = disksReadBy(disk);
    return std::find(disks.begin(), disks.end(), target) != disks.end();
}

u64 mediaBytesBehind(Disk* disk) {
    u64 total = 0;
    for (Disk* read : disksReadBy(disk)) {
        if (!directlyRead(read).empty()) continue;
        const u64 bytes = byteSizeOf(read->getBlockCount(), read->getBlockSize());
        total = bytes > ~u64(0) - total ? ~u64(0) : total + bytes;
    }
    return total;
}

void addFilesReadBy(Disk* disk, ProtectedFiles& files) {
    for (Disk* read : disksReadBy(disk)) {
        if (auto* image = dynamic_cast<ImageDisk*>(read)) {
            FileIdentity opened;
            if (image->getFileIdentity(opened)) files.add(opened);
            files.addPath(image->getImagePath());
        }
        files.addPath(read->getPath());
    }
}

}  // namespace vorn
