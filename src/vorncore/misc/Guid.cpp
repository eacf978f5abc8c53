#include "misc/Guid.h"

#include <cstring>
#include <istream>
#include <ostream>

#include "misc/Bytes.h"
#include "misc/Utils.h"

namespace vorn {

void Guid::fromBytes(const u8* bytes, bool bigEndian) {
    if (bigEndian) {
        data1 = loadBE32(bytes);
        data2 = loadBE16(bytes + 4);
        data3 = loadBE16(bytes + 6);
    } else {
        data1 = loadLE32(bytes);
        data2 = loadLE16(bytes + 4);
        data3 = loadLE16(bytes + 6);
    }
    data4 = loadBE16(bytes + 8);
    memcpy(node, bytes + 10, sizeof node);
}

std::string Guid::toString() const {
    return format("%8.8X-%4.4X-%4.4X-%4.4X-%2.2X%2.2X%2.2X%2.2X%2.2X%2.2X", data1, data2, data3, data4, node[0],
                  node[1], node[2], node[3], node[4], node[5]);
}

void Guid::fromString(const std::string& text) {
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return;
    const u8* s = reinterpret_cast<const u8*>(text.data());
    data1 = parseHex(s, 8);
    data2 = static_cast<u16>(parseHex(s + 9, 4));
    data3 = static_cast<u16>(parseHex(s + 14, 4));
    data4 = static_cast<u16>(parseHex(s + 19, 4));
    for (int i = 0; i < 6; ++i) node[i] = static_cast<u8>(parseHex(s + 24 + 2 * i, 2));
}

bool Guid::operator==(const Guid& other) const {
    return data1 == other.data1 && data2 == other.data2 && data3 == other.data3 && data4 == other.data4 &&
           memcmp(node, other.node, sizeof node) == 0;
}

std::ostream& operator<<(std::ostream& out, const Guid& guid) { return out << guid.toString(); }

std::istream& operator>>(std::istream& in, Guid& guid) {
    std::string word;
    if (in >> word) guid.fromString(word);
    return in;
}

}  // namespace vorn
