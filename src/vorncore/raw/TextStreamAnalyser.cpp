#include "raw/TextStreamAnalyser.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "fs/ScanContext.h"
#include "misc/Log.h"
#include "misc/Utils.h"
#include "raw/ComfortDataStream.h"
#include "raw/RawAnalyser.h"
#include "raw/StreamInfo.h"

namespace vorn {

namespace {

enum CharClass : u8 { NEVER = 0, TEXT = 1, ISO = 2, EXTENDED = 3 };

struct ClassTable {
    u8 of[256];
    constexpr ClassTable() : of() {
        for (int c = 0; c < 256; ++c) {
            if ((c >= 0x07 && c <= 0x0A) || c == 0x0C || c == 0x0D || c == 0x1B || (c >= 0x20 && c <= 0x7E) ||
                c == 0x85) {
                of[c] = TEXT;
            } else if (c >= 0xA0) {
                of[c] = ISO;
            } else if (c >= 0x80) {
                of[c] = EXTENDED;
            } else {
                of[c] = NEVER;
            }
        }
    }
};
constexpr ClassTable kClass;

bool isWhite(u32 c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == 0x85 || c == '\f'; }
bool isAsciiAlnum(u32 c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

const struct {
    const char* name;
    const char* mime;
} kKinds[] = {{"C program", "text/c"},
              {"C++ program", "text/c++"},
              {"FORTRAN program", "text/fortran"},
              {"make commands", "text/makefile"},
              {"PL/1 program", "text/pl1"},
              {"assembler program", "text/asm"},
              {"English", "text/plain"},
              {"Pascal program", "text/pascal"},
              {"mail", "text/mail"},
              {"news", "text/news"},
              {"Java program", "text/java"},
              {"HTML document", "text/html"},
              {"BCPL program", "text/bcpl"},
              {"M4 macro language pre-processor", "text/m4"},
              {"PO (gettext message catalogue)", "text/po"},
              {"cannot happen error on names.h/types", "error/error"}};

const struct {
    const char* word;
    int kind;
} kKeywords[] = {
    {"msgid", 14},     {"dnl", 13},          {"import", 10},     {"\"libhdr\"", 12}, {"\"LIBHDR\"", 12},
    {"//", 1},         {"template", 1},      {"virtual", 1},     {"class", 1},       {"public:", 1},
    {"private:", 1},   {"/*", 0},            {"#include", 0},    {"char", 0},        {"The", 6},
    {"the", 6},        {"double", 0},        {"extern", 0},      {"float", 0},       {"struct", 0},
    {"union", 0},      {"CFLAGS", 3},        {"LDFLAGS", 3},     {"all:", 3},        {".PRECIOUS", 3},
    {".ascii", 5},     {".asciiz", 5},       {".byte", 5},       {".even", 5},       {".globl", 5},
    {".text", 5},      {"clr", 5},           {"(input,", 7},     {"dcl", 4},         {"Received:", 8},
    {">From", 8},      {"Return-Path:", 8},  {"Cc:", 8},         {"Newsgroups:", 9}, {"Path:", 9},
    {"Organization:", 9}, {"href=", 11},     {"HREF=", 11},      {"<body", 11},      {"<BODY", 11},
    {"<html", 11},     {"<HTML", 11},
};
constexpr size_t kLongestKeyword = 13;

const u8 kEbcdic[256] = {
    0x00, 0x01, 0x02, 0x03, 0x9C, 0x09, 0x86, 0x7F, 0x97, 0x8D, 0x8E, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
    0x10, 0x11, 0x12, 0x13, 0x9D, 0x85, 0x08, 0x87, 0x18, 0x19, 0x92, 0x8F, 0x1C, 0x1D, 0x1E, 0x1F,
    0x80, 0x81, 0x82, 0x83, 0x84, 0x0A, 0x17, 0x1B, 0x88, 0x89, 0x8A, 0x8B, 0x8C, 0x05, 0x06, 0x07,
    0x90, 0x91, 0x16, 0x93, 0x94, 0x95, 0x96, 0x04, 0x98, 0x99, 0x9A, 0x9B, 0x14, 0x15, 0x9E, 0x1A,
    0x20, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xD5, 0x2E, 0x3C, 0x28, 0x2B, 0x7C,
    0x26, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF, 0xB0, 0xB1, 0x21, 0x24, 0x2A, 0x29, 0x3B, 0x7E,
    0x2D, 0x2F, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xCB, 0x2C, 0x25, 0x5F, 0x3E, 0x3F,
    0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF, 0xC0, 0xC1, 0xC2, 0x60, 0x3A, 0x23, 0x40, 0x27, 0x3D, 0x22,
    0xC3, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9,
    0xCA, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F, 0x70, 0x71, 0x72, 0x5E, 0xCC, 0xCD, 0xCE, 0xCF, 0xD0,
    0xD1, 0xE5, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0xD2, 0xD3, 0xD4, 0x5B, 0xD6, 0xD7,
    0xD8, 0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 0xDE, 0xDF, 0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0x5D, 0xE6, 0xE7,
    0x7B, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xED,
    0x7D, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F, 0x50, 0x51, 0x52, 0xEE, 0xEF, 0xF0, 0xF1, 0xF2, 0xF3,
    0x5C, 0x9F, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9,
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF,
};

// True when every byte's class is at most `worst` (TEXT, or TEXT and ISO
// when worst is ISO, all but NEVER when EXTENDED); stops at the first that
// is not.
bool allOf(const u8* bytes, u32 length, u8 worst, const u8* map = nullptr) {
    for (u32 i = 0; i < length; ++i) {
        const u8 c = kClass.of[map ? map[bytes[i]] : bytes[i]];
        if (c == NEVER || c > worst) return false;
    }
    return true;
}

}  // namespace

std::string TextStreamAnalyser::Result::mime() const {
    if (kindMime) return kindMime;
    return std::string("text/plain; charset=") + (charset ? charset : "");
}

TextStreamAnalyser::TextStreamAnalyser(RawAnalyser* o) : StreamAnalyser(o) {
    name = "TextStreamAnalyser";
    for (const char* charset : {"us-ascii", "utf-8", "utf-16", "iso-8859-1", "unknown", "ebcdic"}) {
        addMimeType(std::string("text/plain; charset=") + charset, "txt", "photoicon.gif");
    }
    const struct {
        const char* mime;
        const char* extension;
    } kinds[] = {{"text/c", "c"},        {"text/c++", "cpp"},  {"text/fortran", "for"}, {"text/makefile", ""},
                 {"text/pl1", "pl1"},    {"text/asm", "asm"},  {"text/plain", "txt"},   {"text/mail", "txt"},
                 {"text/news", "txt"},   {"text/java", "java"}, {"text/html", "html"},  {"text/bcpl", "bcpl"},
                 {"text/m4", "m4"},      {"text/po", "po"},    {"text/troff", "t"}};
    for (const auto& kind : kinds) addMimeType(kind.mime, kind.extension, "photoicon.gif");
    for (const auto& keyword : kKeywords) kindByWord.emplace(keyword.word, keyword.kind);
    characters.resize(kMaxClassified);
}

bool TextStreamAnalyser::isUtf8Text(const u8* bytes, u32 length, u32* out, u32& count) const {
    count = 0;
    bool multiByte = false;
    // A chunk may begin inside a character that the chunk before began:
    // its following bytes there are not a fault.
    u32 i = 0;
    while (i < length && i < 5 && (bytes[i] & 0xC0) == 0x80) ++i;
    while (i < length) {
        const u8 lead = bytes[i];
        if (lead < 0x80) {
            if (kClass.of[lead] != TEXT) return false;
            out[count++] = lead;
            ++i;
            continue;
        }
        if (lead < 0xC0 || lead >= 0xFE) return false;
        const u32 following = lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : lead < 0xF8 ? 3 : lead < 0xFC ? 4 : 5;
        if (following >= length - i) break;  // cut off by the end of the data
        u32 value = lead & (0x3F >> following);
        for (u32 k = 1; k <= following; ++k) {
            const u8 b = bytes[i + k];
            if ((b & 0xC0) != 0x80) return false;
            value = (value << 6) | (b & 0x3F);
        }
        out[count++] = value;
        multiByte = true;
        i += following + 1;
    }
    return multiByte;
}

int TextStreamAnalyser::isUtf16Text(const u8* bytes, u32 length, u32* out, u32& count, int continuedOrder) const {
    count = 0;
    if (length < 2) return 0;
    int order;
    u32 first = 2;
    if (bytes[0] == 0xFF && bytes[1] == 0xFE) {
        order = 1;
    } else if (bytes[0] == 0xFE && bytes[1] == 0xFF) {
        order = 2;
    } else if (continuedOrder == 1 || continuedOrder == 2) {
        order = continuedOrder;
        first = 0;
    } else {
        return 0;
    }
    // Beyond the mark and the controls, units that no text holds are
    // refused too (unpaired surrogates, C1 controls, 0xFFFF): otherwise any
    // bytes after a byte-order mark would read as text.
    bool high = false;  // the unit before was a high surrogate
    for (u32 i = first; i + 1 < length; i += 2) {
        const u32 unit = order == 1 ? u32(bytes[i]) | (u32(bytes[i + 1]) << 8) : (u32(bytes[i]) << 8) | bytes[i + 1];
        if (unit == 0xFFFE || unit == 0xFFFF || (unit < 128 && kClass.of[unit] != TEXT)) return 0;
        if ((unit >= 0x80 && unit < 0xA0 && unit != 0x85) || (unit >= 0xDC00 && unit < 0xE000) != high) return 0;
        high = unit >= 0xD800 && unit < 0xDC00;
        out[count++] = unit;
    }
    return order;
}

bool TextStreamAnalyser::classifyText(const u8* bytes, u32 length, int continuedOrder) {
    result = Result();
    characterCount = 0;
    // Trailing zeros are slack; in UTF-16 one may be half a character.
    while (length > 1 && bytes[length - 1] == 0) --length;
    if (continuedOrder && (length & 1)) ++length;
    length = std::min(length, kMaxClassified);
    if (length == 0) return false;
    u32* out = characters.data();
    auto takeBytes = [&](const u8* map) {
        for (u32 i = 0; i < length; ++i) out[i] = map ? map[bytes[i]] : bytes[i];
        characterCount = length;
    };
    int utf16 = 0;
    if (allOf(bytes, length, TEXT)) {
        result.encoding = "ASCII", result.charset = "us-ascii", result.code = "text";
        takeBytes(nullptr);
    } else if (isUtf8Text(bytes, length, out, characterCount)) {
        result.encoding = "UTF-8 Unicode", result.charset = "utf-8", result.code = "text";
    } else if ((utf16 = isUtf16Text(bytes, length, out, characterCount, continuedOrder)) != 0) {
        result.encoding = utf16 == 1 ? "Little-endian UTF-16 Unicode" : "Big-endian UTF-16 Unicode";
        result.charset = "utf-16", result.code = "character data";
    } else if (allOf(bytes, length, ISO)) {
        result.encoding = "ISO-8859", result.charset = "iso-8859-1", result.code = "text";
        takeBytes(nullptr);
    } else if (allOf(bytes, length, EXTENDED)) {
        result.encoding = "Non-ISO extended-ASCII", result.charset = "unknown", result.code = "text";
        takeBytes(nullptr);
    } else if (allOf(bytes, length, ISO, kEbcdic)) {
        result.encoding = allOf(bytes, length, TEXT, kEbcdic) ? "EBCDIC" : "International EBCDIC";
        result.charset = "ebcdic", result.code = "character data";
        takeBytes(kEbcdic);
    } else {
        characterCount = 0;
        return false;
    }
    contentTests(bytes, length);
    return true;
}

void TextStreamAnalyser::contentTests(const u8* bytes, u32 length) {
    const u32* c = characters.data();
    const u32 n = characterCount;
    if (n > 0 && c[0] == '.') {
        u32 i = 1;
        while (i < n && isWhite(c[i])) ++i;
        const bool quoted = i + 1 < n && c[i] == '\\' && c[i + 1] == '"';
        const bool request = i + 2 < n && isAsciiAlnum(c[i]) && isAsciiAlnum(c[i + 1]) && isWhite(c[i + 2]);
        if (quoted || request) {
            result.kindMime = "text/troff", result.kind = "troff or preprocessor input";
            return;
        }
    }
    if (length >= 2 && (bytes[0] == 'c' || bytes[0] == 'C') && isWhite(bytes[1])) {
        result.kindMime = "text/fortran", result.kind = "fortran program";
        return;
    }
    std::string word;
    for (u32 i = 0; i < n;) {
        while (i < n && isWhite(c[i])) ++i;
        const u32 first = i;
        bool ascii = true;
        while (i < n && !isWhite(c[i])) ascii = ascii && c[i] < 0x80, ++i;
        if (i == first || !ascii || i - first > kLongestKeyword) continue;
        word.assign(i - first, ' ');
        for (u32 k = first; k < i; ++k) word[k - first] = static_cast<char>(c[k]);
        auto found = kindByWord.find(word);
        if (found != kindByWord.end()) {
            result.kindMime = kKinds[found->second].mime, result.kind = kKinds[found->second].name;
            return;
        }
    }
}

bool TextStreamAnalyser::holdsKeyword(ComfortDataStream* stream, u64 start, u64 end,
                                      const std::vector<std::string>& keywords) {
    // An occurrence inside [start, end] that is not wholly inside the
    // stretch known to hold none ends past it.
    const bool known = stream == keywordStream && start >= keywordFreeFrom && start <= keywordFreeTo + 1;
    for (const std::string& keyword : keywords) {
        if (keyword.empty() || keyword.size() > kKeywordChunk) continue;
        u64 from = start;
        if (known && keywordFreeTo + 2 > keyword.size()) from = std::max(start, keywordFreeTo + 2 - keyword.size());
        // Chunks overlap by the keyword's length less one, so that a keyword
        // across two chunks is found.
        const u32 step = kKeywordChunk - static_cast<u32>(keyword.size()) + 1;
        for (u64 pos = from; pos <= end; pos += step) {
            const u32 n = static_cast<u32>(std::min<u64>(kKeywordChunk, end - pos + 1));
            if (n < keyword.size()) break;
            const u8* p = stream->readPtrAt(pos, n);
            if (!p) break;
            if (findBytes(p, reinterpret_cast<const u8*>(keyword.data()), n, static_cast<u32>(keyword.size()))) {
                return true;
            }
            if (pos + n > end) break;
        }
    }
    keywordStream = stream, keywordFreeFrom = start, keywordFreeTo = known ? std::max(keywordFreeTo, end) : end;
    return false;
}

// A PDF's body is mostly text after its first block: the blocks of an open
// PDF (of unknown end) up to the one holding its end marker belong to it.
// The PDF's bytes are searched for the marker once, as the scan passes.
bool TextStreamAnalyser::insideOpenPdf(ComfortDataStream* stream, u64 start, u32 chunk) {
    const StreamInfo* open = owner ? owner->getOpenStream() : nullptr;
    if (!open || open->end != 0 || open->mimeType != "document/pdf" || start < open->start) return false;
    if (pdfStart != open->start || pdfStream != stream) {
        pdfStream = stream, pdfStart = pdfSearched = open->start, pdfEnd = 0;
    }
    static const u8 kEof[] = {'%', '%', 'E', 'O', 'F'};
    while (pdfEnd == 0 && pdfSearched < start + chunk) {
        const u64 from = pdfSearched > pdfStart + 4 ? pdfSearched - 4 : pdfStart;  // a marker across windows
        const u32 n = static_cast<u32>(std::min<u64>(kMaxClassified, start + chunk - from));
        const u8* p = stream->readPtrAt(from, n);
        if (!p) break;
        if (const u8* hit = findBytes(p, kEof, n, sizeof kEof)) pdfEnd = from + (hit - p) + sizeof kEof;
        pdfSearched = from + n;
    }
    return pdfEnd == 0 || pdfEnd > start;
}

bool TextStreamAnalyser::analyse(ComfortDataStream* stream, StreamInfo* info) {
    ScanContext* scan = owner ? owner->getOwner() : nullptr;
    const u64 start = stream->getPos();
    const u32 chunk = scan && scan->getAllocBlockSize() ? scan->getAllocBlockSize() : 512;
    if (insideOpenPdf(stream, start, chunk)) return false;
    std::string previous;
    u64 chunks = 0;
    bool complete = false;
    const bool known = runStream == stream && runChunk == chunk && start >= runStart && start <= runEnd &&
                       (start - runStart) % chunk == 0;
    int order = 0;  // of the run's UTF-16 text
    if (known) {
        previous = runMime;
        chunks = (runEnd - start + 1) / chunk;
        complete = runComplete;
        order = runOrder;
    }
    while (!complete && (chunks + 1) * chunk <= maxStreamSize) {
        const u8* p = stream->readPtrAt(start + chunks * chunk, chunk);
        if (!p || !classifyText(p, chunk, order)) {
            complete = true;
            break;
        }
        const std::string current = result.mime();
        if (!previous.empty() && previous != current) {
            complete = true;
            break;
        }
        previous = current;
        if (result.charset && !strcmp(result.charset, "utf-16") && !order) {
            order = result.encoding[0] == 'L' ? 1 : 2;
        }
        ++chunks;
    }
    if (previous.empty()) return false;
    const u64 end = start + chunks * chunk - 1;
    runStream = stream, runStart = start, runEnd = end, runChunk = chunk, runMime = previous;
    runComplete = complete;
    runOrder = order;
    stream->seek(static_cast<i64>(start), SEEK_FROM_START);
    if (scan && !scan->getEnableSearchText()) return false;
    if (scan && scan->getEnableSearchKeywords()) {
        if (!holdsKeyword(stream, start, end, scan->getKeywords())) return false;
    }
    info->mimeType = previous;
    info->start = start;
    info->end = end;
    info->endIsMinimum = 0;
    info->analyser = this;
    printf("============> text size: %lld\n", static_cast<long long>(end - start + 1));
    return true;
}

}  // namespace vorn
