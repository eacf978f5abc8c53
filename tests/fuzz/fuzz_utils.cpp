// Feeds arbitrary bytes to the text, Unicode and hex helpers that see names
// and fields read from a disk, and to ByteReader.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "misc/Bytes.h"
#include "misc/Utils.h"

using namespace vorn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);

    // UTF-8 -> wide -> UTF-8 must stay bounded: at most 4 bytes per input byte.
    std::wstring wide = utf8ToWide(text);
    if (wide.size() > size) __builtin_trap();
    std::string back = wideToUtf8(wide);
    if (back.size() > 4 * size) __builtin_trap();

    // Raw 32-bit units straight from the input, surrogates and all.
    std::wstring units(size / 4, L'\0');
    if (!units.empty()) memcpy(units.data(), data, units.size() * 4);
    (void)wideToUtf8(units);

    // UTF-16 from the input at its own (possibly odd) address; the limits
    // come from the input too but never exceed its size.
    const int maxBytes = static_cast<int>(size);
    const int maxUnits = size ? data[0] * 3 : 0;
    (void)utf16ToUtf8(reinterpret_cast<const u16*>(data), maxUnits, maxBytes, true);
    (void)utf16ToUtf8(reinterpret_cast<const u16*>(data), maxUnits, maxBytes, false);
    (void)hfsUniStrToUtf8(reinterpret_cast<const u16*>(data), maxBytes);
    if (size > 1) (void)hfsUniStrToUtf8(reinterpret_cast<const u16*>(data + 1), maxBytes - 1);

    (void)parseHex(data, maxBytes);
    if (size >= 2) (void)parseHexByte(static_cast<char>(data[0]), static_cast<char>(data[1]));

    // Delimiters taken from the input's head.
    const size_t cut = size ? std::min<size_t>(data[0] % 4, size) : 0;
    const std::string delim = text.substr(0, cut);
    const std::string rest = text.substr(cut);
    std::vector<std::string> pieces = split(rest, delim);
    if (!delim.empty() && pieces.size() > rest.size() / delim.size() + 1) __builtin_trap();
    (void)tokenize(rest, delim);
    (void)tokenize(rest);
    (void)replaceAll(rest, delim, delim + delim);
    (void)getFileName(rest);
    (void)getFileExtension(rest);
    (void)getDirectory(rest);
    (void)trim(rest);
    (void)toInt(rest);
    if (!delim.empty()) (void)findBytes(data + cut, reinterpret_cast<const u8*>(delim.data()),
                                        static_cast<u32>(size - cut), static_cast<u32>(delim.size()));

    // ByteReader at offsets taken from the input.
    ByteReader r(data, size);
    for (size_t i = 0; i + 4 <= size && i < 64; i += 4) {
        const size_t ofs = r.le32(i);
        (void)r.u8At(ofs);
        (void)r.le16(ofs);
        (void)r.be32(ofs);
        (void)r.le64(ofs);
        (void)r.be64(size - (ofs % (size + 1)));
        u8 out[8];
        (void)r.copy(ofs % (size + 8), out, sizeof out);
    }
    (void)entropy(data, size);
    return 0;
}
