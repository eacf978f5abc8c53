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

void collectReadDisks(Disk* disk, std::vector<Disk*>& disks, int depth) {
    if (!disk || depth > kMaxDiskChain) return;
    if (std::find(disks.begin(), disks.end(), disk) != disks.end()) return;
    disks.push_back(disk);
    collectReadDisks(disk->getInnerDisk(), disks, depth + 1);
    if (auto* partition = dynamic_cast<PartitionDisk*>(disk)) collectReadDisks(partition->getParent(), disks, depth + 1);
    if (auto* raid = dynamic_cast<RAIDDisk*>(disk)) {
        for (u32 i = 0; i < RAIDDisk::kMaxMembers; ++i) collectReadDisks(raid->getMember(i), disks, depth + 1);
    }
    if (auto* simulated = dynamic_cast<RAIDSimulatorDisk*>(disk)) collectReadDisks(simulated->getSource(), disks, depth + 1);
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
