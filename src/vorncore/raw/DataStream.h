// The raw carver's view of a disk: one long byte stream with a position.
//
// Analysers read the disk through this interface rather than in blocks.
// A failed seek, read or readPtr leaves the position unchanged. Pointers
// from readPtr stay valid until the next read on the same stream.
#pragma once

#include "misc/Types.h"

namespace vorn {

enum SeekWhence : int { SEEK_FROM_START = 0, SEEK_FROM_CURRENT = 1, SEEK_FROM_END = 2 };

class DataStream {
public:
    virtual ~DataStream();
    virtual bool open(u8 flag) = 0;
    virtual bool close() = 0;
    virtual u32 getBlockSize() = 0;
    // Bytes in the stream.
    virtual u64 getSize() = 0;
    // whence: 0 from the start, 1 from the current position, 2 from the end.
    virtual bool seek(i64 offset, int whence) = 0;
    // Copies up to count bytes to destination; answers the number copied.
    virtual u32 read(u32 count, void* destination) = 0;
    virtual u64 getPos() = 0;
    // count bytes made readable in the stream's own buffer, or null.
    virtual const u8* readPtr(u32 count) = 0;
};

}  // namespace vorn
