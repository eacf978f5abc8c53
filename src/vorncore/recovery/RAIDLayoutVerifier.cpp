#include "recovery/RAIDLayoutVerifier.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <memory>
#include <string>

#include "fs/Volume.h"
#include "fs/VolumeItem.h"
#include "fs/fat/FAT.h"
#include "fs/fat/FATVolume.h"
#include "fs/fat/FATVolumeItem.h"
#include "misc/Bytes.h"
#include "misc/Log.h"
#include "misc/Utils.h"
#include "recovery/VolumeFactory.h"
#include "storage/PartitionDisk.h"

namespace vorn {

namespace {

// Holds every log line back for as long as it lives.
class QuietLog {
public:
    QuietLog() : level(getLogLevel()) {
        setLogLevel(LOG_ERROR - 1);
    }
    ~QuietLog() { setLogLevel(level); }
    QuietLog(const QuietLog&) = delete;
    QuietLog& operator=(const QuietLog&) = delete;

private:
    int level;
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
    volumeStart = 0;
    // A window over the whole set: partitions that the table lists become
    // its own (and go with it), never the set's.
    PartitionDisk view(disk, 0, disk->getBlockCount() - 1);
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
    double score = fat ? fatCopiesScore(fat) : 0.0;
    std::deque<VolumeItem*> folders;
    if (volume->getRootItem()) folders.push_back(volume->getRootItem());
    u32 foldersRead = 0;
    u32 items = 0;
    while (!folders.empty() && foldersRead < kMaxFolders && items < kMaxItems) {
        VolumeItem* folder = folders.front();
        folders.pop_front();
        folder->loadChildren();
        foldersRead++;
        for (VolumeItem* child : folder->children()) {
            if (++items > kMaxItems) break;
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
    return fat && fatItem ? fatItemScore(fat, fatItem) : 1.0;
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
    constexpr u32 kBlock = 512;
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
    // The chain, and the data of its runs of consecutive clusters.
    u64 at = cluster;
    u64 runStart = cluster;
    u64 runClusters = 0;
    u64 fileOfs = 0;
    double jumps = 0.0;
    u32 runs = 0;
    u32 compared = 0;
    auto endRun = [&] {
        const u64 length = std::min(runClusters * clusterBytes, size - fileOfs);
        const double share = jumpShare(volume, volume->clusterOffset(runStart), length, compared);
        if (share >= 0.0) {
            jumps += share;
            runs++;
        }
        fileOfs += length;
    };
    for (u64 links = 1; links <= expected; links++) {
        runClusters++;
        const u64 entry = fat->getEntry(at);
        if (fat->classify(entry) == FAT_ENTRY_EOF) {
            if (links != expected) return -1.0;
            endRun();
            return 1.0 - (runs ? jumps / runs : 0.0);
        }
        if (!fat->isLink(entry)) return -1.0;
        if (entry != at + 1) {
            endRun();
            runStart = entry;
            runClusters = 0;
        }
        at = entry;
    }
    return -1.0;
}

}  // namespace vorn
