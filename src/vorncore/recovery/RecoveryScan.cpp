// The block scan: the disk is read one allocation block at a time and every
// block is handed to every analyser of the scan kind, which fill the result
// tree under the "Deleted" or "Lost" root.
//
// Geometry: allocation block 0 lies at the scan's start offset (the volume's
// data area, or byte 0 in a lost-volumes scan). The scan steps in the
// volume's allocation blocks when they are a whole number of disk blocks of
// at most 8 MiB, else in disk blocks; the volume is then asked about the
// allocation blocks that lie in the disk block being scanned.
//
// The loop costs no clock reading and no cache lookup per block: the time is
// looked at once per MiB read (and after every failed read), which keeps
// progress reports about once a second, and blocks are handed out as views
// into a cache line taken once (LineWindow).
#include <algorithm>
#include <memory>

#include "fs/Volume.h"
#include "fs/VolumeItem.h"
#include "misc/Data.h"
#include "misc/Log.h"
#include "misc/Timing.h"
#include "fs/AbstractAnalyser.h"
#include "recovery/AnalyserFactory.h"
#include "recovery/Recovery.h"
#include "fs/RecoveryEventListener.h"
#include "storage/CachedDisk.h"

namespace vorn {

// Whether a scan block is in use, asked of the volume in its own allocation
// blocks: a scan block is used when every volume block in it is.
class UsedBlocks {
public:
    UsedBlocks(Volume* volume, u32 scanBlockSize)
        : volume(volume), scanBlockSize(scanBlockSize), volumeBlockSize(volume ? volume->getAllocBlockSize() : 0) {}

    bool isUsed(u64 index) const {
        if (!volume) return false;
        if (volumeBlockSize == scanBlockSize || volumeBlockSize == 0) return volume->isAllocationBlockUsed(index);
        const u64 firstByte = index * scanBlockSize;
        const u64 last = (firstByte + scanBlockSize - 1) / volumeBlockSize;
        for (u64 block = firstByte / volumeBlockSize; block <= last; ++block) {
            if (!volume->isAllocationBlockUsed(block)) return false;
        }
        return true;
    }

private:
    Volume* volume;
    u64 scanBlockSize;
    u32 volumeBlockSize;
};

namespace {

// Bytes read per step of a lost-files scan.
constexpr u32 kLostFilesAnalyseSize = 32768;
// The clock is looked at after about this many bytes read.
constexpr u32 kClockCheckBytes = 1048576;

// The scan's reads: a step's bytes are handed out as a view into the cache
// line that holds them. The line is taken once, as a view of the whole line
// (the block scan's holder of the cache, which no analyser uses), and each
// step inside it is a view into that, so a step costs no cache lookup. A
// step across lines, and every step of a line that has an unreadable block,
// is asked of the cache on its own, so a bad block costs only its own steps.
class LineWindow {
public:
    LineWindow(CachedDisk* cache, u64 diskBytes) : cache(cache), diskBytes(diskBytes) {}
    ~LineWindow() { line.free(); }

    bool read(u64 offset, u32 size, Data& out) {
        if (offset >= start && offset < end && size <= end - offset) {
            return out.setPtr(line.getPtr() + (offset - start), 1, size);
        }
        const u64 lineBytes = cache->getLineBytes();
        const u64 lineStart = lineBytes ? offset / lineBytes * lineBytes : offset;
        const u64 lineEnd = std::min(lineStart + lineBytes, diskBytes);
        start = end = 0;
        if (lineBytes && offset + size <= lineEnd && lineStart != badLine &&
            cache->getOfsData(lineStart, static_cast<u32>(lineEnd - lineStart), line) && !line.isOwned()) {
            start = lineStart;
            end = lineEnd;
            return out.setPtr(line.getPtr() + (offset - start), 1, size);
        }
        // Across lines, or a line with an unreadable block: this step alone
        // (the line's view is given up by this request of the same holder).
        if (lineBytes && offset + size <= lineEnd) badLine = lineStart;
        return cache->getOfsData(offset, size, out);
    }

private:
    CachedDisk* cache;
    u64 diskBytes;
    Data line;
    u64 start = 0, end = 0;  // the bytes line shows; empty when end is 0
    u64 badLine = ~u64(0);     // the line whose whole view failed last
};

}  // namespace

void Recovery::scan() {
    log(LOG_DEBUG, "scan\n");
    if (!disk) {
        log(LOG_ERROR, "error: no disk selected\n");
        return;
    }
    openExistingVolume();
    scanOpenedVolume();
}

void Recovery::scanOpenedVolume() {
    u64 totalSize = 0;
    if (!setScanGeometry(totalSize)) return;

    const UsedBlocks used(volume.get(), allocBlockSize);
    u64 usedCount = 0;
    if (volume) {
        for (u64 i = 0; i < allocBlockCount; ++i) {
            if (used.isUsed(i)) ++usedCount;
        }
    }
    resetScanRoot();

    const u32 analyseSize = scanType == SCAN_LOST_FILES ? kLostFilesAnalyseSize : allocBlockSize;
    std::vector<std::unique_ptr<AbstractAnalyser>> analysers;
    for (auto& analyser : createScanAnalysers(this, scanType, disk->getType())) {
        if (analyser) analysers.push_back(std::move(analyser));
    }

    currentOffset = scanStartOffset + u64(allocBlockSize) * startAllocBlock;
    currentBlock = scanStartOffset / disk->getBlockSize() + u64(blocksPerAllocBlock) * startAllocBlock;

    const float usedPercent =
        allocBlockCount ? static_cast<float>(usedCount) / static_cast<float>(allocBlockCount) * 100.0f : 0.0f;
    log(LOG_INFO, "skipUsedAllocationBlocks: %d\n", skipUsedAllocationBlocks ? 1 : 0);
    log(LOG_INFO, "used allocation blocks: %lld\n", static_cast<long long>(usedCount));
    log(LOG_INFO, "allocBlockCount: %lld\n", static_cast<long long>(allocBlockCount));
    log(LOG_INFO, "allocBlockSize: %d\n", static_cast<int>(allocBlockSize));
    log(LOG_INFO, "blocksPerAllocBlock: %d\n", static_cast<int>(blocksPerAllocBlock));
    log(LOG_INFO, "percent used: %.2f\n", static_cast<double>(usedPercent));
    log(LOG_INFO, "analyseSize: %d\n", static_cast<int>(analyseSize));
    log(LOG_INFO, "analyseOfs: %lld\n", static_cast<long long>(currentOffset));
    log(LOG_INFO, "start scan\n");

    runScanLoop(analysers, used, analyseSize, totalSize);
    for (auto& analyser : analysers) analyser->scanEnd();
    analysers.clear();
    log(LOG_INFO, "scan finished\n");
}

bool Recovery::setScanGeometry(u64& totalSize) {
    const u32 diskBlockSize = disk->getBlockSize();
    const u64 diskBlockCount = disk->getBlockCount();
    if (diskBlockSize == 0) {
        log(LOG_ERROR, "error: disk block size is 0\n");
        return false;
    }

    allocBlockSize = diskBlockSize;
    const u32 volumeBlockSize = volume ? volume->getAllocBlockSize() : diskBlockSize;
    if (volumeBlockSize > diskBlockSize) {
        if (volumeBlockSize % diskBlockSize == 0 && volumeBlockSize <= Disk::kMaxReadSize) {
            allocBlockSize = volumeBlockSize;
        } else {
            log(LOG_WARNING, "allocation block size %u does not fit disk blocks of %u bytes, scanning disk blocks\n",
                volumeBlockSize, diskBlockSize);
        }
    }

    u64 startOffset = 0;
    if (scanType != SCAN_LOST_VOLUMES && volume) {
        const u64 diskOffset = volume->getDiskOffset();
        const u64 dataOffset = volume->getDataOffset();
        startOffset = dataOffset > ~u64(0) - diskOffset ? ~u64(0) : diskOffset + dataOffset;
    }
    scanStartOffset = startOffset;
    blocksPerAllocBlock = allocBlockSize / diskBlockSize;
    totalSize = diskBlockCount > ~u64(0) / diskBlockSize ? ~u64(0) : diskBlockCount * diskBlockSize;
    if (startOffset >= totalSize) {
        log(LOG_WARNING, "scan start offset %llu lies at or past the disk end (%llu bytes), no blocks to scan\n",
            static_cast<unsigned long long>(startOffset), static_cast<unsigned long long>(totalSize));
        allocBlockCount = 0;
    } else {
        allocBlockCount = diskBlockCount / blocksPerAllocBlock - startOffset / allocBlockSize;
    }
    return true;
}

void Recovery::resetScanRoot() {
    // A fresh, empty root replaces the volume's tree.
    deleteRootItem();
    if (volume) {
        volume->createRootItem("");
        rootItem.reset(volume->getRootItem());
    }
    if (!rootItem) {
        rootItem = std::make_unique<DummyVolumeItem>(true);
        rootItem->setVolume(volume.get());
    }
    rootItem->setContainer(true);
    if (scanType == SCAN_DELETED_FILES) {
        rootItem->setName(localizedString("Deleted"));
        rootItem->setFlags(ITEM_DELETED);
        skipUsedAllocationBlocks = true;
    } else {
        rootItem->setName(localizedString("Lost"));
        rootItem->setFlags(ITEM_LOST);
        skipUsedAllocationBlocks = false;
    }

    // Until the first read the buffer is empty: a view left from an earlier
    // scan may point into the cache of a disk that is gone.
    data->free();
}

void Recovery::runScanLoop(std::vector<std::unique_ptr<AbstractAnalyser>>& analysers, const UsedBlocks& used,
                           u32 analyseSize, u64 totalSize) {
    bool cancel = false;
    if (listener) listener->progressEvent(-1.0, &cancel);

    StopWatch watch;
    Speedometer speedometer;
    watch.start();
    for (auto& analyser : analysers) analyser->scanBegin();

    LineWindow window(disk.get(), totalSize);
    const u32 stepsPerClockCheck = std::max<u32>(1, kClockCheckBytes / std::max<u32>(analyseSize, 1));
    u32 stepsSinceCheck = 0;
    u64 measuredBytes = 0;
    speedometer.start();

    for (currentAllocBlock = startAllocBlock; currentAllocBlock < allocBlockCount;
         currentBlock += blocksPerAllocBlock, currentOffset += allocBlockSize, ++currentAllocBlock) {
        if (skipUsedAllocationBlocks && used.isUsed(currentAllocBlock)) {
            for (auto& analyser : analysers) analyser->scanBlock();
            continue;
        }
        if (currentOffset >= totalSize) break;
        const u32 size = static_cast<u32>(std::min<u64>(analyseSize, totalSize - currentOffset));
        const bool read = window.read(currentOffset, size, *data);

        if (++stepsSinceCheck >= stepsPerClockCheck || !read) {
            stepsSinceCheck = 0;
            speedometer.update(measuredBytes);
            measuredBytes = 0;
            speedometer.start();
            watch.stop();
            if (watch.elapsedSeconds() != 0) {
                const float done = static_cast<float>(currentAllocBlock - startAllocBlock);
                const int percent = static_cast<int>(done / static_cast<float>(allocBlockCount) * 100.0f);
                if (listener) {
                    cancel = false;
                    listener->progressEvent(percent, &cancel);
                    if (cancel) break;
                }
                watch.start();
            }
        }
        if (read) {
            for (auto& analyser : analysers) analyser->scanBlock();
            measuredBytes += allocBlockSize;
        } else {
            log(LOG_ERROR, "error reading\n");
        }
    }
    speedometer.update(measuredBytes);
    log(LOG_INFO, "end scan\n");
    speedometer.logResults();
}

}  // namespace vorn
