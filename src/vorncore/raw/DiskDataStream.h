// A DataStream over a Disk: byte position p of the stream is byte p of the
// disk (the absolute offset on the selected disk).
//
// Over a CachedDisk the stream reads through the cache as view holder
// kCacheHolder, so its views never disturb the block scan's view (holder 0)
// and the scan never disturbs them. When the cache has lines to spare the
// stream keeps the whole cache line that its last read touched as a window
// and serves further reads inside it without asking the cache again; reads
// that cross lines are copied into the stream's own buffer. Over any other
// disk every read is copied.
//
// The stream's size is the disk's size when the stream was made (a scan
// makes its stream when it begins). The disk is not owned and is neither
// opened nor closed by the carver (the scan has opened it). The buffer is
// owned. Not thread-safe.
#pragma once

#include "misc/Data.h"
#include "raw/DataStream.h"

namespace vorn {

class CachedDisk;
class Disk;

class DiskDataStream : public DataStream {
public:
    // The view holder of CachedDisk::getOfsData that the stream uses.
    static constexpr u32 kCacheHolder = 1;

    explicit DiskDataStream(Disk* disk);
    ~DiskDataStream() override;
    DiskDataStream(const DiskDataStream&) = delete;
    DiskDataStream& operator=(const DiskDataStream&) = delete;

    bool open(u8 flag) override;
    bool close() override;
    u32 getBlockSize() override;
    u64 getSize() override;
    bool seek(i64 offset, int whence) override;
    u32 read(u32 count, void* destination) override;
    u64 getPos() override;
    const u8* readPtr(u32 count) override;

private:
    // Pointer to count bytes at byte offset ofs (inside the disk), valid
    // until the next read; null when they cannot be read.
    const u8* bytesAt(u64 ofs, u32 count) {
        if (windowPtr && ofs >= windowStart && ofs + count <= windowEnd) return windowPtr + (ofs - windowStart);
        return fetch(ofs, count);
    }
    const u8* fetch(u64 ofs, u32 count);

    Disk* disk;
    CachedDisk* cache;  // disk, when it is a cache
    Data buffer;
    i64 pos = 0;
    u64 size = 0;

    // The bytes last fetched: [windowStart, windowEnd) of the disk at
    // windowPtr.
    const u8* windowPtr = nullptr;
    u64 windowStart = 0;
    u64 windowEnd = 0;
};

}  // namespace vorn
