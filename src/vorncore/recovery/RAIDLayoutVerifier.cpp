#include "recovery/RAIDLayoutVerifier.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "fs/Volume.h"
#include "fs/VolumeItem.h"
#include "fs/fat/FAT.h"
#include "fs/fat/FATVolume.h"
#include "fs/fat/FATVolumeItem.h"
#include "fs/hfs/HFSForkData.h"
#include "fs/hfs/HFSVolumeItem.h"
#include "fs/ntfs/NTFSVolume.h"
#include "misc/Bytes.h"
#include "misc/Log.h"
#include "misc/Utils.h"
#include "recovery/VolumeFactory.h"
#include "storage/CachedDisk.h"
#include "storage/PartitionDisk.h"

namespace vorn {

namespace {

// Holds back, for as long as it lives, every log line and what readers
// write straight to standard output (the NTFS reader's mount lines): the
// trial mounts of wrong candidates are no news to the user.
class QuietLog {
public:
    QuietLog() : level(getLogLevel()) {
        setLogLevel(LOG_ERROR - 1);
        fflush(stdout);
        const int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
        savedStdout = sink >= 0 ? dup(STDOUT_FILENO) : -1;
        if (savedStdout >= 0 && dup2(sink, STDOUT_FILENO) < 0) {
            close(savedStdout);
            savedStdout = -1;
        }
        if (sink >= 0) close(sink);
    }
    ~QuietLog() {
        setLogLevel(level);
        if (savedStdout < 0) return;
        fflush(stdout);
        dup2(savedStdout, STDOUT_FILENO);
        close(savedStdout);
    }
    QuietLog(const QuietLog&) = delete;
    QuietLog& operator=(const QuietLog&) = delete;

private:
    int level;
    int savedStdout = -1;
};

// The whole set as one candidate's check reads it: a window that refuses
// every read once the candidate has read its share, so that no content (many
// large folders, a large table) makes one candidate cost more.
class ReadBudgetWindow : public PartitionDisk {
public:
    ReadBudgetWindow(Disk* disk, u64& bytesLeft)
        : PartitionDisk(disk, 0, disk->getBlockCount() - 1), bytesLeft(bytesLeft) {}
    bool readBlocks(u64 block, u32 count, void* buffer) override {
        return spend(count) && PartitionDisk::readBlocks(block, count, buffer);
    }
    bool readBlocksImpl(u64 block, u32 count, void* buffer) override {
        return spend(count) && PartitionDisk::readBlocksImpl(block, count, buffer);
    }

private:
    bool spend(u32 count) {
        const u64 bytes = u64(count) * getBlockSize();
        if (bytes > bytesLeft) {
            bytesLeft = 0;
            return false;
        }
        bytesLeft -= bytes;
        return true;
    }

    u64& bytesLeft;
};

double agree(bool consistent) { return consistent ? 1.0 : -1.0; }

bool isSaneName(const std::string& name) {
    if (name.empty()) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F) return false;
    return true;
}

}  // namespace

double RAIDLayoutVerifier::structureScore(Disk* disk, u64 stripe) {
    if (!disk || disk->getBlockCount() == 0) return 0.0;
    QuietLog quiet;
    stripeBytes = stripe;
    boundariesLeft = kMaxBoundaries;
    linksLeft = kMaxChainLinks;
    bytesLeft = kMaxReadBytes;
    volumeStart = 0;
    // A window over the whole set: partitions that the table lists become
    // its own (and go with it), never the set's.
    ReadBudgetWindow budget(disk, bytesLeft);
    // What is read again (a table that every file along a shared chain
    // walks) comes from memory and costs the budget once.
    CachedDisk cache(&budget, kCacheBytes, budget.getBlockSize());
    PartitionDisk view(&cache, 0, disk->getBlockCount() - 1);
    if (!view.open(false)) return 0.0;
    double score = volumeScore(&view);
    view.scanForPartitions();
    for (u32 i = 0; i < view.getPartitionCount() && i < kMaxVolumes; i++) {
        auto* partition = dynamic_cast<PartitionDisk*>(view.getPartition(i));
        if (!partition) continue;
        volumeStart = partition->getFirstBlock() * view.getBlockSize();
        score += volumeScore(partition);
    }
    view.close();
    return score;
}

double RAIDLayoutVerifier::volumeScore(Disk* disk) {
    // The first reader whose volume mounts, as browsing takes it.
    for (const ReaderRegistration& reader : readers()) {
        std::unique_ptr<Volume> volume(reader.create(disk));
        if (!volume) continue;
        const bool mounted = volume->mount(true);
        const double score = mounted ? treeScore(volume.get()) : 0.0;
        delete volume->getRootItem();
        if (mounted) return score;
    }
    return 0.0;
}

double RAIDLayoutVerifier::treeScore(Volume* volume) {
    auto* fat = dynamic_cast<FATVolume*>(volume);
    auto* ntfs = dynamic_cast<NTFSVolume*>(volume);
    double score = fat ? fatCopiesScore(fat) : ntfs ? mftScore(ntfs) : 0.0;
    std::deque<VolumeItem*> folders;
    if (volume->getRootItem()) folders.push_back(volume->getRootItem());
    u32 foldersRead = 0;
    u32 items = 0;
    // Once the reads are spent the rest of the tree is left unjudged.
    while (!folders.empty() && foldersRead < kMaxFolders && items < kMaxItems && bytesLeft > 0) {
        VolumeItem* folder = folders.front();
        folders.pop_front();
        folder->loadChildren();
        foldersRead++;
        for (VolumeItem* child : folder->children()) {
            if (++items > kMaxItems || bytesLeft == 0) break;
            score += itemScore(volume, child);
            if (child->isContainer()) folders.push_back(child);
        }
    }
    return score;
}

double RAIDLayoutVerifier::itemScore(Volume* volume, VolumeItem* item) {
    const u64 volumeBytes = byteSizeOf(volume->getDisk()->getBlockCount(), volume->getDisk()->getBlockSize());
    if (!isSaneName(item->getName()) || item->getSize() > volumeBytes) return -1.0;
    auto* fat = dynamic_cast<FATVolume*>(volume);
    auto* fatItem = dynamic_cast<FATVolumeItem*>(item);
    if (fat && fatItem) return fatItemScore(fat, fatItem);
    auto* hfsItem = dynamic_cast<HFSVolumeItem*>(item);
    if (!hfsItem || item->isContainer()) return 1.0;
    double score = 1.0;
    for (const HFSForkData* fork : {hfsItem->getDataFork(), hfsItem->getResourceFork()})
        if (fork) score += forkScore(volume, *fork);
    return score;
}

// A fork's extents (those of its catalog record and the overflow records
// read with it) are marked in the volume's allocation bitmap, less the share
// of jumps in their data.
double RAIDLayoutVerifier::forkScore(Volume* volume, const HFSForkData& fork) {
    const u64 blockSize = volume->getAllocBlockSize();
    if (fork.logicalSize == 0 || blockSize == 0) return 0.0;
    double jumps = 0.0;
    bool allocated = true;
    u32 runs = 0;
    u32 compared = 0;
    u32 extents = 0;
    u64 left = fork.logicalSize;
    for (const HFSForkData* part = &fork; part && left > 0; part = part->overflow.get()) {
        for (const HFSExtent& e : part->extents) {
            if (e.blockCount == 0 || left == 0 || ++extents > kMaxFileBoundaries) break;
            const u64 length = std::min(u64(e.blockCount) * blockSize, left);
            const u64 checked = std::min<u64>(e.blockCount, kMaxFileBoundaries);
            for (u64 b = e.startBlock; allocated && b < e.startBlock + checked; b++)
                allocated = volume->isAllocationBlockUsed(b);
            const double share = jumpShare(volume, u64(e.startBlock) * blockSize, length, compared);
            if (share >= 0.0) {
                jumps += share;
                runs++;
            }
            left -= length;
            if (left == 0) {
                jumps += slackHolds(volume, u64(e.startBlock) * blockSize + length - 1, fork.logicalSize) ? 1.0 : 0.0;
                runs += fork.logicalSize % 512 != 0;
            }
        }
    }
    return agree(allocated) - (runs ? jumps / runs : 0.0);
}

// The first MFT records: each record in use carries the update sequence
// number at the end of every sector and, in newer versions, its own number
// (a record from another stripe names another), and the mirror's records
// equal the first ones.
double RAIDLayoutVerifier::mftScore(NTFSVolume* volume) {
    const u64 recordSize = volume->getMftRecordSize();
    const u64 sector = volume->getBytesPerSector();
    if (sector < 256 || recordSize < sector || recordSize > 4096 || recordSize % sector != 0) return 0.0;
    std::vector<u8> record(recordSize);
    std::vector<u8> mirror(recordSize);
    const u64 mft = volume->getMftCluster() * volume->getBytesPerCluster();
    const u64 mirrorAt = volume->getMftMirrorCluster() * volume->getBytesPerCluster();
    double score = 0.0;
    for (u32 r = 0; r < kMaxMftRecords; r++) {
        if (!volume->read(mft + r * recordSize, u32(recordSize), record.data())) break;
        if (std::all_of(record.begin(), record.end(), [](u8 b) { return b == 0; })) continue;
        ByteReader bytes(record.data(), record.size());
        const u32 usaAt = bytes.le16(4);
        const u32 usaCount = bytes.le16(6);
        bool sound = std::memcmp(record.data(), "FILE", 4) == 0 && usaCount == recordSize / sector + 1 &&
                     usaAt + 2ull * usaCount <= recordSize;
        for (u32 i = 1; sound && i < usaCount; i++) sound = bytes.le16(i * sector - 2) == bytes.le16(usaAt);
        // Records of newer versions name their own number.
        if (sound && usaAt >= 48) sound = bytes.le32(44) == r;
        score += agree(sound);
        if (r < 4 && volume->read(mirrorAt + r * recordSize, u32(recordSize), mirror.data())) score += agree(mirror == record);
    }
    return score;
}

// Each sector of the first FAT that holds entries agrees with the same
// sector of the second copy.
double RAIDLayoutVerifier::fatCopiesScore(FATVolume* volume) {
    FAT* fat = volume->getFat();
    if (!fat || fat->getFatCount() < 2) return 0.0;
    constexpr u32 kSector = 512;
    const u64 sectors = std::min<u64>(fat->getFatSize() / kSector, kMaxFatSectors);
    u8 first[kSector];
    u8 second[kSector];
    static const u8 kZeros[kSector] = {};
    double score = 0.0;
    for (u64 s = 0; s < sectors; s++) {
        const u64 at = fat->getFatOfs() + s * kSector;
        if (!volume->read(at, kSector, first) || !volume->read(at + fat->getFatSize(), kSector, second)) break;
        const bool firstEmpty = std::memcmp(first, kZeros, kSector) == 0;
        const bool secondEmpty = std::memcmp(second, kZeros, kSector) == 0;
        if (firstEmpty && secondEmpty) continue;
        score += agree(std::memcmp(first, second, kSector) == 0);
    }
    return score;
}

// A folder starts with its "." entry pointing at itself and a ".." entry; a
// file's chain holds exactly as many clusters as its size needs.
double RAIDLayoutVerifier::jumpShare(Volume* volume, u64 ofs, u64 length, u32& compared) {
    constexpr u32 kBlock = kCompareBlock;
    const u64 base = volumeStart + volume->getDiskOffset();
    if (stripeBytes < 2 * kBlock || length < 2 * kBlock) return -1.0;
    u8 before[kBlock];
    u8 after[kBlock];
    u32 jumps = 0;
    u32 seen = 0;
    // Stripe boundaries at set offsets k * stripeBytes with a whole block of
    // the range on either side.
    const u64 first = ((base + ofs + kBlock) + stripeBytes - 1) / stripeBytes * stripeBytes;
    for (u64 at = first; at + kBlock <= base + ofs + length && compared < kMaxFileBoundaries && boundariesLeft > 0;
         at += stripeBytes) {
        if (!volume->read(at - base - kBlock, kBlock, before) || !volume->read(at - base, kBlock, after)) break;
        auto textShare = [](const u8* b) {
            u32 text = 0;
            for (u32 i = 0; i < kBlock; i++) text += (b[i] >= 0x20 && b[i] < 0x7F) || b[i] == '\n' || b[i] == '\r' || b[i] == '\t';
            return float(text) / kBlock;
        };
        jumps += std::fabs(entropy(before, kBlock) - entropy(after, kBlock)) > 0.25f ||
                 std::fabs(textShare(before) - textShare(after)) > 0.5f;
        seen++;
        compared++;
        boundariesLeft--;
    }
    return seen ? double(jumps) / seen : -1.0;
}

// True when the block holding a file's last byte (at volume offset last)
// holds something other than zeros after the file's end, as a block from
// another stripe mostly does; false when the file ends with a block.
bool RAIDLayoutVerifier::slackHolds(Volume* volume, u64 last, u64 size) {
    constexpr u32 kBlock = 512;
    const u32 used = u32(size % kBlock);
    u8 block[kBlock];
    if (used == 0 || !volume->read(last - (used - 1), kBlock, block)) return false;
    return std::any_of(block + used, block + kBlock, [](u8 b) { return b != 0; });
}

double RAIDLayoutVerifier::fatItemScore(FATVolume* volume, FATVolumeItem* item) {
    const u64 cluster = item->getDataCluster();
    if (item->isContainer()) {
        u8 entries[64];
        if (!volume->isValidCluster(cluster) || !volume->read(volume->clusterOffset(cluster), sizeof entries, entries))
            return -1.0;
        const u64 self = (u64(loadLE16(entries + 20)) << 16) | loadLE16(entries + 26);
        return agree(std::memcmp(entries, ".          ", 11) == 0 && self == cluster &&
                     std::memcmp(entries + 32, "..         ", 11) == 0);
    }
    const u64 size = item->getSize();
    if (size == 0) return 0.0;
    FAT* fat = volume->getFat();
    const u64 clusterBytes = volume->getAllocBlockSize();
    if (!fat || clusterBytes == 0 || !volume->isValidCluster(cluster)) return -1.0;
    const u64 expected = (size + clusterBytes - 1) / clusterBytes;
    // The chain holds exactly the clusters the size needs and ends with an
    // end mark; the volume measures each chain once, however many files
    // start along it.
    u64 length = 0;
    u64 last = 0;
    if (!fat->chainEnd(cluster, &length, &last) || length != expected) return -1.0;
    // The data of its runs of consecutive clusters, walked while it can
    // still be compared: within the file's and the volume's boundaries (a
    // run longer than the file's boundaries plus two stripes compares all it
    // may), the links the volume may follow, and a stretch of runs too short
    // to hold a boundary.
    const u64 runCap = (u64(kMaxFileBoundaries) + 2) * stripeBytes;
    u64 at = cluster;
    u64 runStart = cluster;
    u64 runClusters = 0;
    u64 fileOfs = 0;
    double jumps = 0.0;
    u32 runs = 0;
    u32 compared = 0;
    u32 idleRuns = 0;
    auto endRun = [&] {
        const u64 runBytes = std::min(runClusters * clusterBytes, size - fileOfs);
        const u32 before = compared;
        const double share = jumpShare(volume, volume->clusterOffset(runStart), runBytes, compared);
        if (share >= 0.0) {
            jumps += share;
            runs++;
        }
        fileOfs += runBytes;
        idleRuns = compared == before ? idleRuns + 1 : 0;
    };
    const bool comparable = stripeBytes >= 2 * kCompareBlock && boundariesLeft > 0;
    for (u64 links = 1; comparable; links++) {
        runClusters++;
        const u64 next = links < expected ? fat->getEntry(at) : 0;
        if (next == at + 1 && linksLeft > 0 && runClusters * clusterBytes < runCap) {
            linksLeft--;
            at = next;
            continue;
        }
        endRun();
        if (!fat->isLink(next) || linksLeft == 0 || compared >= kMaxFileBoundaries || boundariesLeft == 0 ||
            idleRuns >= kMaxIdleRuns) {
            break;
        }
        linksLeft--;
        runStart = at = next;
        runClusters = 0;
    }
    // The slack after the file's end, in its last cluster.
    jumps += slackHolds(volume, volume->clusterOffset(last) + (size - 1) % clusterBytes, size) ? 1.0 : 0.0;
    runs += size % 512 != 0;
    return 1.0 - (runs ? jumps / runs : 0.0);
}

}  // namespace vorn
