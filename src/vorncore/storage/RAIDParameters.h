// How a RAID set spreads its data over its members: member count, stripe size
// in blocks, parity rotation and the first data block of each member, with
// the whole stripe arithmetic (logical stripe -> member and row, and back).
//
// A small value class, copied freely. Setters store what they are given (the
// member count excepted), so a value may hold a layout that cannot be used:
// `isValid` says whether the arithmetic may run on it, and every user checks
// it before reading through the layout. The arithmetic itself never divides
// by zero or indexes outside the 14 members, even on an invalid value.
//
// Terms: logical stripe s covers the set's blocks s * stripe up to
// (s + 1) * stripe - 1. Row r of member m covers the member's blocks from
// firstSector[m] + r * stripe on. In every row of a parity layout one member
// holds parity and the other n - 1 hold data stripes; without parity all n
// hold data.
#pragma once


#include <cstring>

#include "misc/Types.h"

namespace vorn {

// dst ^= src over n bytes: parity is the XOR of the data at one position.
inline void xorInto(u8* dst, const u8* src, u64 n) {
    u64 i = 0;
    for (; i + 8 <= n; i += 8) {
        u64 a;
        u64 b;
        std::memcpy(&a, dst + i, 8);
        std::memcpy(&b, src + i, 8);
        a ^= b;
        std::memcpy(dst + i, &a, 8);
    }
    for (; i < n; i++) dst[i] ^= src[i];
}

enum ParityRotation : u32 {
    PARITY_FORWARD = 0,
    PARITY_BACKWARD = 1,
    PARITY_NONE = 2,
    PARITY_FORWARD_DYN = 3,
    PARITY_BACKWARD_DYN = 4,
    PARITY_FORWARD_DELAY = 5,
    PARITY_BACKWARD_DELAY = 6,
};

class RAIDParameters {
public:
    static constexpr u32 kMaxDisks = 14;
    static constexpr u32 kMinDisks = 2;
    static constexpr u32 kRotationCount = 7;
    // Largest stripe a set may use; keeps every per-piece buffer bounded.
    static constexpr u32 kMaxStripeSectors = 65536;

    RAIDParameters();
    RAIDParameters(u8 diskCount, u64 firstSector, u32 stripeSectors, u32 parityRotation);

    u8 getDiskCount() const { return diskCount; }
    // Takes 2 to 14; refuses any other count (false, unchanged, logged).
    bool setDiskCount(u8 count);
    u32 getStripeSectors() const { return stripeSectors; }
    void setStripeSectors(u32 sectors) { stripeSectors = sectors; }
    u32 getParityRotation() const { return parityRotation; }
    void setParityRotation(u32 rotation) { parityRotation = rotation; }
    // Member indexes run from 0 to 13; getFirstSector answers 0 and
    // setFirstSector refuses (logged) for any other index.
    u64 getFirstSector(u32 member) const;
    void setFirstSector(u32 member, u64 block);
    void setAllFirstSectors(u64 block);
    void reset();

    // True when the member count is 2 to 14, the stripe 1 to 65,536 blocks
    // and the rotation code 0 to 6: only then is the arithmetic meaningful.
    bool isValid() const;
    bool hasParity() const { return parityRotation != PARITY_NONE; }
    // Members that hold data in each row: n with "none", n - 1 with parity.
    u32 getDataDiskCount() const;

    // The parity member of a row ("none" is never asked; 0 when invalid).
    u32 parityDisk(u64 row) const;
    // Member and row of a logical stripe; parityMember is left unchanged for
    // "none". An invalid value gives member 0, row 0.
    void computeRowCol(u64 stripe, u32& member, u64& row, u32& parityMember) const;
    // The logical stripe that a member holds in a row; false for the row's
    // parity member, for a member at or above the count, or when invalid.
    bool computeStripeBlock(u32 member, u64 row, u64& stripe) const;

    // Level-3 listing of the fields and of the first 10 rows of the layout.
    void dump() const;

    // The rotation's name as the command line and the logs write it, or
    // "unknown" for a code above 6.
    static const char* rotationName(u32 rotation);

private:
    bool rotatingPlacement() const;

    u8 diskCount = 0;
    u32 stripeSectors = 0;
    u32 parityRotation = PARITY_BACKWARD_DYN;
    u64 firstSector[kMaxDisks] = {};
};

}  // namespace vorn
