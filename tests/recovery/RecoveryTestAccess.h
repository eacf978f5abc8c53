// Test access to Recovery's private state (Recovery names this class its
// friend): set up a result tree or a scan position without running a scan.
// One shared definition for every test file; extend it here.
#pragma once

#include "fs/Volume.h"
#include "fs/VolumeItem.h"
#include "recovery/Recovery.h"

namespace vorn {

class RecoveryTestAccess {
public:
    static void setRootItem(Recovery& r, VolumeItem* item) { r.rootItem = item; }
    static void setSearchResultsItem(Recovery& r, VolumeItem* item) { r.searchResultsItem = item; }
    static void setVolume(Recovery& r, Volume* volume) { r.volume = volume; }
    static u32 volumeCounter(const Recovery& r) { return r.volumeCounter; }
    static size_t addedVolumeCount(const Recovery& r) { return r.addedVolumes.size(); }

    // Scan geometry and position as the block scan sets them up.
    static void setScanGeometry(Recovery& r, u64 startOffset, u32 allocBlockSize, u32 blocksPerAllocBlock,
                                u64 allocBlockCount) {
        r.scanStartOffset = startOffset;
        r.allocBlockSize = allocBlockSize;
        r.blocksPerAllocBlock = blocksPerAllocBlock;
        r.allocBlockCount = allocBlockCount;
    }
    // The block scan without opening a volume: the one set by setVolume is used.
    static void scanOpenedVolume(Recovery& r) { r.scanOpenedVolume(); }
    static void setPosition(Recovery& r, u64 allocBlock, u64 block, u64 offset) {
        r.currentAllocBlock = allocBlock;
        r.currentBlock = block;
        r.currentOffset = offset;
    }
    static void setLimitFileSize(Recovery& r, bool limit) { r.limitFileSize = limit; }
};

}  // namespace vorn
