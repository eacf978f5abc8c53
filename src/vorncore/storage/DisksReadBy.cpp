#include "storage/DisksReadBy.h"

#include <sys/stat.h>

#include <algorithm>
#include <utility>

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

namespace {

// What a medium at the bottom is, beyond the disk object that reads it: the
// file an image disk reads (its identity: another name, a hard link or a
// symbolic link lead to the same one) or the block device of a node. False
// when it cannot be told: the disk counts on its own.
bool mediumOf(Disk* disk, std::pair<bool, FileIdentity>& medium) {
    FileIdentity file;
    auto* image = dynamic_cast<ImageDisk*>(disk);
    if (image && image->getFileIdentity(file)) {
        medium = {false, file};
        return true;
    }
    const std::string path = image ? image->getImagePath() : disk->getPath();
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0) return false;
    if (S_ISBLK(info.st_mode)) {
        medium = {true, FileIdentity{0, static_cast<u64>(info.st_rdev)}};
        return true;
    }
    if (!image || !S_ISREG(info.st_mode)) return false;
    medium = {false, FileIdentity{static_cast<u64>(info.st_dev), static_cast<u64>(info.st_ino)}};
    return true;
}

}  // namespace

u64 mediaBytesBehind(Disk* disk) {
    // Each medium once, at the largest size a disk over it gives.
    std::vector<std::pair<std::pair<bool, FileIdentity>, u64>> media;
    u64 total = 0;
    for (Disk* read : disksReadBy(disk)) {
        if (!directlyRead(read).empty()) continue;
        u64 bytes = byteSizeOf(read->getBlockCount(), read->getBlockSize());
        std::pair<bool, FileIdentity> medium;
        if (mediumOf(read, medium)) {
            auto known = std::find_if(media.begin(), media.end(), [&](const auto& m) { return m.first == medium; });
            if (known == media.end()) {
                media.emplace_back(medium, bytes);
            } else {
                // Only what this disk shows beyond the one counted before.
                const u64 counted = known->second;
                known->second = std::max(counted, bytes);
                bytes = bytes > counted ? bytes - counted : 0;
            }
        }
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
