// A Disk that caches another disk in lines of consecutive blocks, each line
// filled by one device request, with least-recently-used eviction.
//
// The wrapped disk is the inner disk: set at construction, never owned, and
// every Disk operation the cache does not replace (sizes, names, open,
// close, partitions, read errors) acts on it. Callers open the cache (which
// opens the wrapped disk) before reading.
//
// getOfsData hands out a view into a line when the bytes lie in one line.
// Views belong to a holder (a small index: 0 is the block scan, 1 the raw
// carver's disk stream): a holder's view stays valid until that holder's
// next getOfsData (or the cache's destruction), whatever the other holders
// and read/readBlocks do meanwhile. Eviction skips every line that a holder
// views, unless every line of the cache is viewed. Bytes that span lines are
// copied.
//
// A line whose device read fails is read again block by block: the blocks
// that read are cached, the ones that fail are remembered and fail at once
// afterwards without asking the device again. A request fails exactly when
// one of its own blocks is unreadable.
//
// Invariants: the line index and the recency list hold the same lines, at
// most the line count of them; every line has at least one block and the
// cache at least one line. Line buffers are allocated once (aligned) and
// reused on eviction. Not thread-safe.
#pragma once

#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "misc/Data.h"
#include "storage/Disk.h"

namespace vorn {

class CachedDisk : public Disk {
public:
    CachedDisk(Disk* disk, u32 cacheSize, u32 readAheadSize);
    ~CachedDisk() override;
    CachedDisk(const CachedDisk&) = delete;
    CachedDisk& operator=(const CachedDisk&) = delete;

    bool read(u64 byteOffset, u32 size, void* buffer) override;
    bool readBlocks(u64 block, u32 count, void* buffer) override;
    bool writeBlocks(u64 block, u32 count, const void* buffer) override;
    bool openImpl(bool write) override;
    void closeImpl() override;
    bool readBlocksImpl(u64 rawBlock, u32 count, void* buffer) override;
    bool writeBlocksImpl(u64 rawBlock, u32 count, const void* buffer) override;

    // Number of holders that may keep a view at the same time.
    static constexpr u32 kMaxHolders = 4;

    // count bytes at byteOffset: a view into a line when they lie in one
    // line, else an owned copy in out. The view replaces the holder's
    // previous one; holder must be below kMaxHolders.
    virtual bool getOfsData(u64 byteOffset, u32 count, Data& out, u32 holder = 0);

    // Bytes per line (blocks per read times the block size) of the current
    // geometry.
    size_t getLineBytes() const { return lineBytes; }

    u32 getLineCount() const { return lineCount; }
    u32 getBlocksPerRead() const { return blocksPerRead; }

private:
    static constexpr u32 kNil = 0xFFFFFFFFu;
    static constexpr u64 kNoLine = ~u64(0);

    // A line buffer from posix_memalign, freed when its owner goes.
    struct FreeBuffer {
        void operator()(u8* buffer) const;
    };
    using LineBuffer = std::unique_ptr<u8, FreeBuffer>;
    static LineBuffer allocBuffer(size_t bytes, size_t align);

    struct Line {
        u64 number = kNoLine;
        LineBuffer buffer;
        u32 prev = kNil;  // towards the least recently used end
        u32 next = kNil;  // towards the most recently used end
        std::vector<u64> badBits;  // one bit per block that failed; empty when all read
    };

    void configure(u32 blockSize, u64 blockCount);
    void syncGeometry(u32 blockSize, u64 blockCount);
    void releaseBuffers();

    Line* getLine(u64 line);
    Line* fillLine(u64 line);
    u32 fillRange(u32 slot, u64 lineFirst, u32 index, u32 count);
    u32 takeSlot();
    void unlink(u32 slot);
    void append(u32 slot);
    bool copyOut(u64 byteOffset, u64 size, u8* out);
    bool blocksGood(const Line& line, u32 firstIndex, u32 lastIndex) const;

    bool isLocked(u64 line) const;
    void releaseRetired(u32 holder);

    bool isKnownBad(u64 block) const;
    bool anyKnownBad(u64 block, u64 count) const;
    void rememberBad(u64 block);

    u32 cacheSize;
    u32 readAheadSize;

    // Geometry the lines were made for; re-derived when the wrapped disk's
    // block size or count changes.
    u32 geomBlockSize = 0;
    u64 geomBlockCount = 0;
    u32 blocksPerRead = 1;
    u32 lineCount = 1;
    size_t lineBytes = 0;
    size_t bufferBytes = 0;
    size_t bufferAlign = 64;

    std::vector<Line> slots;             // grows up to the line count
    std::vector<u32> freeSlots;          // slots with a buffer but no line
    std::unordered_map<u64, u32> index;  // line number -> slot
    u32 lruHead = kNil;                  // least recently used
    u32 lruTail = kNil;                  // most recently used
    // Per holder: the line of its view and that line's buffer.
    u64 lockedLine[kMaxHolders] = {kNoLine, kNoLine, kNoLine, kNoLine};
    u8* viewBuffer[kMaxHolders] = {};
    // Buffers a geometry change let go of while holders still viewed them;
    // freed when the last of those holders asks for its next view.
    struct Retired {
        LineBuffer buffer;
        u32 holders;  // bit per holder still viewing it
    };
    std::vector<Retired> retired;

    std::map<u64, u64> badBlocks;  // runs of unreadable blocks: first -> end (exclusive)
};

}  // namespace vorn
