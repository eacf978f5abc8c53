// A DataStream decorator that adds byte-order-aware integer reads and a
// stack of saved positions (push before an excursion, pop to return).
//
// Integer reads never fail: bytes that cannot be read (past the end of the
// disk, unreadable blocks) read as 0. The inner stream is not owned.
#pragma once

#include <cstddef>
#include <deque>

#include "raw/DataStream.h"

namespace vorn {

class ComfortDataStream : public DataStream {
public:
    explicit ComfortDataStream(DataStream* inner);
    ~ComfortDataStream() override;

    bool open(u8 flag) override;
    bool close() override;
    u32 getBlockSize() override;
    u64 getSize() override;
    bool seek(i64 offset, int whence) override;
    u32 read(u32 count, void* destination) override;
    u64 getPos() override;
    const u8* readPtr(u32 count) override;

    // Non-zero: readU16 and readU32 take the first byte as the lowest.
    // count bytes at byte offset ofs, as readPtr gives them; null (and no
    // message) when they do not lie wholly in the stream.
    const u8* readPtrAt(u64 ofs, u32 count);

    void setLittleEndian(u8 littleEndian);
    u8 readU8();
    u16 readU16();
    u32 readU32();
    void push();
    void pop();

    size_t getStackDepth() const { return positionStack.size(); }
    // Bytes asked of the inner stream so far: what the analysers' work
    // costs in reads.
    u64 getBytesAsked() const { return bytesAsked; }

private:
    // count bytes at the position in out, failed bytes as 0.
    void readBytes(u8* out, u32 count);

    std::deque<i64> positionStack;
    u8 littleEndian = 1;
    u64 bytesAsked = 0;
    DataStream* inner;
};

}  // namespace vorn
