// A window [start, end] (inclusive byte positions) of another stream, shown
// as a stream of its own whose position 0 is the parent's start.
//
// The parent is not owned and keeps the real position: seeking or reading
// here moves the parent. readPtr is not bounded by the window.
#pragma once

#include "raw/DataStream.h"

namespace vorn {

class SubDataStream : public DataStream {
public:
    SubDataStream(DataStream* parent, u64 start, u64 end);

    bool open(u8 flag) override;
    bool close() override;
    // The parent's block size.
    u32 getBlockSize() override;
    u64 getSize() override;
    bool seek(i64 offset, int whence) override;
    u32 read(u32 count, void* destination) override;
    u64 getPos() override;
    const u8* readPtr(u32 count) override;

private:
    DataStream* parent;
    u64 start;
    u64 end;
};

}  // namespace vorn
