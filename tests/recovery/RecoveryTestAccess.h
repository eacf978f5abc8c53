// Test access to Recovery's private state (Recovery names this class its friend):
// a result tree, a volume or a scan position set up without running a scan.
#pragma once

#include "fs/Volume.h"
#include "fs/VolumeItem.h"
#include "recovery/Recovery.h"

namespace vorn {

class RecoveryTestAccess {
public:
    // The Recovery owns the tree and volume handed in here; a test that lends
    // its own takes them back with takeRootItem / takeVolume.
    static void setRootItem(Recovery& r, VolumeItem* item) {
        (void)r.rootItem.release();
        r.rootItem.reset(item);
    }
    static VolumeItem* takeRootItem(Recovery& r) { return r.rootItem.release(); }
    static void setSearchResultsItem(Recovery& r, VolumeItem* item) { r.searchResultsItem = item; }
    static void setVolume(Recovery& r, Volume* volume) {
        (void)r.volume.release();
        r.volume.reset(volume);
    }
    static Volume* takeVolume(Recovery& r) { return r.volume.release(); }
    static u32 volumeCounter(const Recovery& r) { return r.volumeCounter; }
    static size_t addedVolumeCount(const Recovery& r) { return r.addedVolumes.size(); }
    static void setScanGeometry(Recovery& r, u64 startOffset, u32 allocBlockSize, u32 blocksPerAllocBlock, u64 count) {
        r.scanStartOffset = startOffset;
        r.allocBlockSize = allocBlockSize;
        r.blocksPerAllocBlock = blocksPerAllocBlock;
        r.allocBlockCount = count;
    }
    static void scanOpenedVolume(Recovery& r) { r.scanOpenedVolume(); }  // with the volume set by setVolume
    static void setPosition(Recovery& r, u64 allocBlock, u64 block, u64 offset) {
        r.currentAllocBlock = allocBlock;
        r.currentBlock = block;
        r.currentOffset = offset;
    }
    static void setLimitFileSize(Recovery& r, bool limit) { r.limitFileSize = limit; }
    // The outcome of the last save, as a save leaves it.
    static void setSaveResult(Recovery& r, u64 saved, u64 failed, u64 refused, bool ok) {
        r.savedFileCount = saved;
        r.failedFileCount = failed;
        r.refusedFileCount = refused;
        r.lastSaveOk = ok;
    }
};

}  // namespace vorn
