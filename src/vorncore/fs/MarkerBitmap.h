// One bit per disk block, recording blocks a volume has read or that belong
// to known files. Bit n lives in byte n / 8 at position n % 8 (LSB first).
// A failed allocation leaves no bits: every operation then does nothing.
#pragma once

#include "misc/Types.h"

namespace vorn {

class MarkerBitmap {
public:
    explicit MarkerBitmap(u64 bitCount);
    virtual ~MarkerBitmap();

    virtual bool isBitSet(u64 bit);
    virtual void setBit(u64 bit);
    virtual void setRange(u64 startBit, u64 count, bool value);
    virtual void dump();
    void init(u8 value);

    u64 getByteCount() const { return m_byteCount; }
    u64 getBitCount() const { return m_bitCount; }
    const u8* getBits() const { return m_bits; }

private:
    u8* m_bits = nullptr;
    u64 m_byteCount = 0;
    u64 m_bitCount = 0;
};

}  // namespace vorn
