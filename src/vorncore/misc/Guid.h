// A 16-byte globally unique identifier as the GUID partition table uses it:
// partition type and disk identifiers are read from disk into a Guid,
// compared with known values given as text, and printed in the usual form
// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" (upper-case hexadecimal).
//
// A plain value: no ownership, no virtual operations; all zeros by default.
#pragma once

#include <iosfwd>
#include <string>

#include "misc/Types.h"

namespace vorn {

class Guid {
public:
    Guid() = default;

    // Reads 16 bytes. The first three fields are little-endian unless
    // bigEndian (the partition table stores them little-endian); data4 is
    // bytes 8 and 9 with byte 8 high, node is bytes 10-15 as they stand.
    void fromBytes(const u8* bytes, bool bigEndian);

    std::string toString() const;

    // Takes only a 36-character text with '-' at positions 8, 13, 18 and 23;
    // any other text leaves the value unchanged. Each group is read as
    // hexadecimal (either case) up to its first non-hex character.
    void fromString(const std::string& text);

    Guid& operator=(const std::string& text) {
        fromString(text);
        return *this;
    }
    bool operator==(const Guid& other) const;
    bool operator!=(const Guid& other) const { return !(*this == other); }

    bool isZero() const { return *this == Guid(); }

    u32 data1 = 0;
    u16 data2 = 0;
    u16 data3 = 0;
    u16 data4 = 0;
    u8 node[6] = {0, 0, 0, 0, 0, 0};
};

std::ostream& operator<<(std::ostream& out, const Guid& guid);
// Reads one whitespace-delimited word and applies fromString to it.
std::istream& operator>>(std::istream& in, Guid& guid);

}  // namespace vorn
