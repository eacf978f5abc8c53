// Arbitrary bytes through the text helpers that see names from a disk or the user;
// checks what must always hold of their results.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cli/CmdWords.h"
#include "misc/Bytes.h"
#include "misc/NameFold.h"
#include "misc/Utils.h"
#include "platform/SysfsMediaScanner.h"
#include "platform/SysfsParsers.h"
#include "recovery/RecoveryUtils.h"

using namespace vorn;

namespace {

void unicodeAndHex(const u8* data, size_t size, const std::string& text) {
    // UTF-8 -> wide -> UTF-8 stays bounded: at most 4 bytes per input byte.
    const std::wstring wide = utf8ToWide(text);
    if (wide.size() > size || wideToUtf8(wide).size() > 4 * size) __builtin_trap();
    // Raw 32-bit units straight from the input, surrogates and all.
    std::wstring units(size / 4, L'\0');
    if (!units.empty()) memcpy(units.data(), data, units.size() * 4);
    (void)wideToUtf8(units);
    // UTF-16 at the input's own (possibly odd) address, limits from the input.
    const int maxBytes = static_cast<int>(size);
    const int maxUnits = size ? data[0] * 3 : 0;
    (void)utf16ToUtf8(reinterpret_cast<const u16*>(data), maxUnits, maxBytes, true);
    (void)utf16ToUtf8(reinterpret_cast<const u16*>(data), maxUnits, maxBytes, false);
    (void)hfsUniStrToUtf8(reinterpret_cast<const u16*>(data), maxBytes);
    if (size > 1) (void)hfsUniStrToUtf8(reinterpret_cast<const u16*>(data + 1), maxBytes - 1);
    (void)parseHex(data, maxBytes);
    if (size >= 2) (void)parseHexByte(static_cast<char>(data[0]), static_cast<char>(data[1]));
    (void)entropy(data, size);
}

void stringsAndBytes(const u8* data, size_t size, const std::string& text) {
    // Delimiters taken from the input's head.
    const size_t cut = size ? std::min<size_t>(data[0] % 4, size) : 0;
    const std::string delim = text.substr(0, cut);
    const std::string rest = text.substr(cut);
    if (!delim.empty() && split(rest, delim).size() > rest.size() / delim.size() + 1) __builtin_trap();
    (void)tokenize(rest, delim);
    (void)tokenize(rest);
    (void)getFileName(rest);
    (void)replaceAll(rest, delim, delim + delim);
    (void)getFileExtension(rest);
    (void)getDirectory(rest);
    (void)trim(rest);
    (void)toInt(rest);
    if (!delim.empty())
        (void)findBytes(data + cut, reinterpret_cast<const u8*>(delim.data()), static_cast<u32>(size - cut),
                        static_cast<u32>(delim.size()));
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
}

void deviceTexts(size_t size, const std::string& text) {
    for (const MountEntry& m : parseMountInfo(text))
        if (m.mountPoint.size() > size || m.source.size() > size || m.superOptions.size() > size) __builtin_trap();
    // An overlay's folders from super options: bounded in number and length.
    const std::vector<std::string> folders = overlayFolders(text);
    if (folders.size() > kMaxOverlayFolders) __builtin_trap();
    for (const std::string& folder : folders)
        if (folder.empty() || folder.size() > size) __builtin_trap();
    // Names folded for comparison: case and accents fold alike, the result stays bounded.
    const std::string folded = foldedName(text);
    if (folded.size() > 2 * size || foldedName(folded) != folded) __builtin_trap();
    auto uevent = parseUevent(text);
    (void)deviceNodeName(text.substr(0, 64), uevent);
    (void)parseUdevData(text);
    const std::string decoded = decodeUdevEscapes(text);
    if (decoded.size() > size || decodeMountEscapes(text).size() > size) __builtin_trap();
    const std::string clean = cleanDisplayText(decoded, 255);
    if (clean.size() > 255) __builtin_trap();
    for (unsigned char c : clean)
        if (c < 0x20 || c == 0x7f) __builtin_trap();
    u64 number = 0;
    (void)parseDecimal(text, number);
    u32 major = 0, minor = 0;
    (void)parseMajorMinor(text, major, minor);
    const std::string a = text.substr(0, size / 2), b = text.substr(size / 2);
    if ((naturalLess(a, b) && naturalLess(b, a)) || naturalLess(a, a)) __builtin_trap();
}

void commandWords(size_t size, const std::string& text) {
    // Escaped text holds nothing that escaping would change again: no control
    // character and no byte that is not valid UTF-8.
    const std::string escaped = escapeControlChars(text);
    if (escapeControlChars(escaped) != escaped || escaped.size() > 4 * size) __builtin_trap();
    const std::string logLine = escapeLogLine(text);
    if (escapeLogLine(logLine) != logLine) __builtin_trap();
    const std::vector<std::string> words = splitWords(text);
    const std::string treeLine = treeDumpLine(3, "0.1.2", text);
    if (escapeLogLine(treeLine) != treeLine) __builtin_trap();
    if (tableDumpLine(-1, words).size() > 8 + words.size() * 27 + 1) __builtin_trap();
    for (const std::string& word : words) {
        (void)parseNumberWord(word);
        u32 index = 0;
        if (parseIndexWord(word, 10, index) && index >= 10) __builtin_trap();
        u64 first = 0, last = 0;
        (void)parseBlockRange(word, first, last);
        std::vector<long long> path;
        if (parseTreePath(word, path) && path.empty()) __builtin_trap();
        (void)parityRotationOfWord(word);
        (void)expandHome(word);
    }
}

void saveNames(size_t size, const std::string& name) {
    const std::string target = saveTargetName(name);
    if (target.empty() || target.size() > kMaxTargetNameBytes || target == "." || target == "..") __builtin_trap();
    if (target.find('/') != std::string::npos || target.find('\0') != std::string::npos) __builtin_trap();
    // A name that needs no change stays as it is.
    if (name.size() <= kMaxTargetNameBytes && name.find_first_of(std::string("/\0", 2)) == std::string::npos &&
        !name.empty() && name != "." && name != ".." && target != name)
        __builtin_trap();
    // The AppleDouble companion obeys the same rules.
    const std::string fork = saveTargetName("._" + target);
    if (fork.size() > kMaxTargetNameBytes || fork.find('/') != std::string::npos) __builtin_trap();
    const std::string html = htmlEscape(name);
    if (html.find_first_of(std::string("<>\"'\0", 5)) != std::string::npos) __builtin_trap();
    for (size_t at = html.find('&'); at != std::string::npos; at = html.find('&', at + 1)) {
        const size_t semicolon = html.find(';', at);
        if (semicolon == std::string::npos || semicolon - at > 8) __builtin_trap();
    }
    // The first half as a translated title, the rest as the folder name.
    const std::string pattern = name.substr(0, size / 2);
    const std::string folder = name.substr(size / 2);
    if (fillFolderTitle(pattern, folder).size() > pattern.size() + folder.size()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    unicodeAndHex(data, size, text);
    stringsAndBytes(data, size, text);
    deviceTexts(size, text);
    commandWords(size, text);
    saveNames(size, text);
    return 0;
}
