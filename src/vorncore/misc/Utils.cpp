#include "misc/Utils.h"

#include <limits.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sstream>

namespace vorn {

// ---------------------------------------------------------------- text

std::string substringBefore(const std::string& text, const std::string& delimiter) {
    size_t pos = text.find(delimiter);
    return pos == std::string::npos ? text : text.substr(0, pos);
}

bool startsWith(const std::string& text, const std::string& prefix) { return text.starts_with(prefix); }

bool endsWith(const std::string& text, const std::string& suffix) { return text.ends_with(suffix); }

std::string replaceAll(const std::string& text, const std::string& what, const std::string& with) {
    // One pass: a replacement is never searched again, so a `with` that
    // contains `what` cannot make this loop forever.
    if (what.empty()) return text;
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    for (;;) {
        size_t hit = text.find(what, pos);
        if (hit == std::string::npos) break;
        out.append(text, pos, hit - pos);
        out += with;
        pos = hit + what.size();
    }
    out.append(text, pos, std::string::npos);
    return out;
}

static bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string trimLeft(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && isSpace(text[i])) ++i;
    return text.substr(i);
}

std::string trimRight(const std::string& text) {
    size_t n = text.size();
    while (n > 0 && isSpace(text[n - 1])) --n;
    return text.substr(0, n);
}

std::string trim(const std::string& text) { return trimLeft(trimRight(text)); }

std::string toUpper(const std::string& text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string toLower(const std::string& text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) { return toLower(a) == toLower(b); }

int toInt(const std::string& text) {
    std::istringstream in(text);
    int value = 0;
    in >> value;  // 0 when nothing can be read; clamped on overflow
    return value;
}

std::string toString(int value) { return std::to_string(value); }

std::string toString(bool value) { return value ? "true" : "false"; }

std::string toString(char fill, int width) { return width > 0 ? std::string(static_cast<size_t>(width), fill) : std::string(); }

std::string repeat(const std::string& text, int n) {
    std::string out;
    if (n <= 0) return out;
    out.reserve(text.size() * static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) out += text;
    return out;
}

std::string join(const std::vector<std::string>& parts, const std::string& separator) {
    std::string out;
    for (const std::string& part : parts) {
        if (!out.empty()) out += separator;
        out += part;
    }
    return out;
}

std::vector<std::string> split(const std::string& text, const std::string& delimiter) {
    std::vector<std::string> pieces;
    if (text.empty()) return pieces;
    if (delimiter.empty()) {
        pieces.push_back(text);
        return pieces;
    }
    size_t pos = 0;
    for (;;) {
        size_t hit = text.find(delimiter, pos);
        if (hit == std::string::npos) break;
        pieces.push_back(text.substr(pos, hit - pos));
        pos = hit + delimiter.size();
    }
    if (pos < text.size()) pieces.push_back(text.substr(pos));
    return pieces;
}

std::vector<std::string> tokenize(const std::string& text, const std::string& delimiters) {
    std::vector<std::string> tokens;
    StringTokenizer tokenizer(text, delimiters);
    while (tokenizer.nextToken()) tokens.push_back(tokenizer.getToken());
    return tokens;
}

std::string format(const char* format, ...) {
    // One work buffer for the process, grown by doubling and kept; it is
    // never freed so that late callers during shutdown stay safe.
    static std::vector<char>* buffer = new std::vector<char>(4000);
    if (!format) return std::string();
    va_list ap;
    va_start(ap, format);
    for (;;) {
        va_list again;
        va_copy(again, ap);
        int n = vsnprintf(buffer->data(), buffer->size(), format, again);
        va_end(again);
        if (n < 0) {
            va_end(ap);
            return std::string();
        }
        if (static_cast<size_t>(n) < buffer->size()) break;
        size_t size = buffer->size();
        while (size <= static_cast<size_t>(n)) size *= 2;
        buffer->resize(size);
    }
    va_end(ap);
    return std::string(buffer->data());
}

StringTokenizer::StringTokenizer(const std::string& text, const std::string& delimiters)
    : text(text), delimiters(delimiters) {}

bool StringTokenizer::nextToken() { return nextToken(delimiters); }

bool StringTokenizer::nextToken(const std::string& delimiters) {
    // Positions are 32-bit; a longer text is tokenised up to 4 GiB.
    const size_t limit = std::min<size_t>(text.size(), std::numeric_limits<u32>::max());
    size_t start = pos < limit ? text.find_first_not_of(delimiters, pos) : std::string::npos;
    if (start == std::string::npos || start >= limit) {
        pos = static_cast<u32>(limit);
        return false;
    }
    size_t end = text.find_first_of(delimiters, start);
    if (end == std::string::npos || end > limit) end = limit;
    token = text.substr(start, end - start);
    pos = static_cast<u32>(end);
    return true;
}

// ---------------------------------------------------------------- file paths

std::string getFileName(const std::string& path) {
    std::vector<std::string> pieces = split(path, "/");
    return pieces.empty() ? std::string() : pieces.back();
}

std::string getFileExtension(const std::string& path) {
    std::vector<std::string> pieces = split(path, ".");
    return pieces.empty() ? std::string() : pieces.back();
}

std::string getDirectory(const std::string& path) {
    // The last piece is the one getFileName answers: a final "/" ends no
    // piece of its own, so "/x/y/" is the folder y in /x/.
    const size_t end = path.ends_with('/') ? path.size() - 1 : path.size();
    const size_t slash = end == 0 ? std::string::npos : path.rfind('/', end - 1);
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string realPath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// ---------------------------------------------------------------- Unicode

std::wstring utf8ToWide(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const u8 lead = static_cast<u8>(text[i]);
        if (lead < 0x80) {
            out.push_back(static_cast<wchar_t>(lead));
            ++i;
            continue;
        }
        int follow;
        u32 cp;
        if (lead >= 0xC0 && lead <= 0xDF) {
            follow = 1;
            cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            follow = 2;
            cp = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF7) {
            follow = 3;
            cp = lead & 0x07;
        } else {
            // A stray continuation byte or 0xF8-0xFF.
            out.push_back(L'?');
            ++i;
            continue;
        }
        ++i;
        int got = 0;
        while (got < follow && i < n && (static_cast<u8>(text[i]) & 0xC0) == 0x80) {
            cp = (cp << 6) | (static_cast<u8>(text[i]) & 0x3F);
            ++i;
            ++got;
        }
        // A sequence cut short (by another byte or by the end) gives one "?";
        // the byte that cut it is decoded by itself.
        out.push_back(got == follow ? static_cast<wchar_t>(cp) : L'?');
    }
    return out;
}

void appendUtf8(std::string& out, u32 cp) {
    if (cp <= 0x7F) {
        out.push_back(static_cast<char>(cp));
    } else if (cp <= 0x7FF) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp <= 0xFFFF) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp <= 0x1FFFFF) {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        // Four bytes hold 21 bits; a larger unit cannot be written.
        out.push_back('?');
    }
}

std::string wideToUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        u32 cp = static_cast<u32>(text[i]);
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n) {
            u32 low = static_cast<u32>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + (cp - 0xD800) * 1024 + (low - 0xDC00);
                ++i;
            }
        }
        appendUtf8(out, cp);
    }
    return out;
}

std::string utf16ToUtf8(const u16* units, int maxUnits, int maxBytes, bool swapBytes) {
    if (!units || maxUnits <= 0 || maxBytes < 2) return std::string();
    // A unit is taken only when both its bytes lie below maxBytes.
    const int count = std::min(maxUnits, maxBytes / 2);
    std::wstring wide;
    wide.reserve(static_cast<size_t>(count));
    const u8* bytes = reinterpret_cast<const u8*>(units);
    for (int i = 0; i < count; ++i) {
        u16 unit;
        memcpy(&unit, bytes + 2 * static_cast<size_t>(i), 2);  // may be unaligned
        if (swapBytes) unit = static_cast<u16>((unit << 8) | (unit >> 8));
        if (unit == 0) break;
        wide.push_back(static_cast<wchar_t>(unit));
    }
    return wideToUtf8(wide);
}

std::string hfsUniStrToUtf8(const u16* uniStr, int maxBytes) {
    if (!uniStr || maxBytes < 2) return std::string();
    const u8* bytes = reinterpret_cast<const u8*>(uniStr);
    const int length = (bytes[0] << 8) | bytes[1];
    return utf16ToUtf8(reinterpret_cast<const u16*>(bytes + 2), length, maxBytes - 2, true);
}

// ---------------------------------------------------------------- time

u32 hfsTimeToUnix(u32 seconds) {
    const u32 kHfsToUnix = 2082844800u;
    return seconds > kHfsToUnix ? seconds - kHfsToUnix : 0;
}

static time_t makeTime(struct tm base, int day, int month, int year, int hour, int minute, int second) {
    base.tm_mday = day;
    base.tm_mon = month - 1;
    base.tm_year = year - 1900;
    base.tm_hour = hour;
    base.tm_min = minute;
    base.tm_sec = second;
    base.tm_wday = 0;
    base.tm_yday = 0;
    return mktime(&base);
}

time_t toTimeLocal(int day, int month, int year, int hour, int minute, int second) {
    time_t now = time(nullptr);
    struct tm base {};
    localtime_r(&now, &base);
    return makeTime(base, day, month, year, hour, minute, second);
}

time_t toTimeNoDst(int day, int month, int year, int hour, int minute, int second) {
    time_t now = time(nullptr);
    struct tm base {};
    gmtime_r(&now, &base);  // tm_isdst is 0
    return makeTime(base, day, month, year, hour, minute, second);
}

std::string timeToString(time_t time) {
    struct tm local {};
    if (!localtime_r(&time, &local)) return std::string();
    char text[30];
    size_t n = strftime(text, sizeof text, "%m.%d.%y %H:%M:%S", &local);
    return std::string(text, n);
}

// ---------------------------------------------------------------- sizes

void scaleSize(double& value, char& unit) {
    static const char kUnits[] = {' ', 'K', 'M', 'G', 'T'};
    int steps = 0;
    while (value >= 1024.0 && steps < 4) {
        value /= 1024.0;
        ++steps;
    }
    unit = kUnits[steps];
}

std::string sizeToString(u64 bytes) {
    double value = static_cast<double>(bytes);
    char unit = ' ';
    scaleSize(value, unit);
    char text[64];
    snprintf(text, sizeof text, "%.2f %c", value, unit);
    return text;
}

// ---------------------------------------------------------------- hexadecimal

i8 parseHexByte(char high, char low) {
    const char text[3] = {high, low, 0};
    return static_cast<i8>(strtol(text, nullptr, 16));
}

u32 parseHex(const u8* text, int length) {
    u32 value = 0;
    if (!text) return 0;
    for (int i = 0; i < length; ++i) {
        const u8 c = text[i];
        u32 digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else {
            break;
        }
        value = (value << 4) | digit;
    }
    return value;
}

std::string toHexString(u32 value, int digits) {
    static const char kDigits[] = "0123456789ABCDEF";
    if (digits < 1) digits = 1;
    if (digits > 8) digits = 8;
    std::string out(static_cast<size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i) {
        out[static_cast<size_t>(i)] = kDigits[value & 0xF];
        value >>= 4;
    }
    return out;
}

const u8* findBytes(const u8* data, const u8* pattern, u32 dataLength, u32 patternLength) {
    if (!data || !pattern || dataLength == 0 || patternLength == 0 || patternLength > dataLength) return nullptr;
    return static_cast<const u8*>(memmem(data, dataLength, pattern, patternLength));
}

void hexdump(const char* title, const void* data, int length) {
    printf("Hexdump (%s) data=0x%llx, bytes=%d\n", title ? title : "",
           static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(data)), length);
    if (!data || length <= 0) return;
    const u8* bytes = static_cast<const u8*>(data);
    static const char kHex[] = "0123456789abcdef";
    for (int ofs = 0; ofs < length; ofs += 16) {
        char line[128];
        int pos = snprintf(line, sizeof line, "%5d %08lx  ", ofs, static_cast<unsigned long>(ofs));
        const int n = std::min(16, length - ofs);
        for (int col = 0; col < 16; ++col) {
            if (col < n) {
                line[pos++] = kHex[bytes[ofs + col] >> 4];
                line[pos++] = kHex[bytes[ofs + col] & 0xF];
                line[pos++] = ' ';
            } else {
                line[pos++] = ' ';
                line[pos++] = ' ';
                line[pos++] = ' ';
            }
        }
        line[pos++] = ' ';
        for (int col = 0; col < n; ++col) {
            const u8 c = bytes[ofs + col];
            line[pos++] = (c >= 32 && c <= 126) ? static_cast<char>(c) : '.';
        }
        line[pos++] = '\n';
        fwrite(line, 1, static_cast<size_t>(pos), stdout);
    }
}

// ---------------------------------------------------------------- files

bool fileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool entryExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool makeDir(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

bool isDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// ---------------------------------------------------------------- entropy

float fastLog2(float val) {
    assert(val > 0);
    u32 bits;
    memcpy(&bits, &val, sizeof bits);
    const int e = static_cast<int>((bits >> 23) & 0xFF) - 127;
    bits = (bits & 0x007FFFFFu) | (127u << 23);
    float m;
    memcpy(&m, &bits, sizeof m);
    return static_cast<float>(e) + m - 1.0f;
}

float entropy(const u8* data, u64 size) {
    if (!data || size == 0) return 0.0f;
    u64 counts[256] = {};
    for (u64 i = 0; i < size; ++i) ++counts[data[i]];
    const float total = static_cast<float>(size);
    float sum = 0.0f;
    for (int v = 0; v < 256; ++v) {
        const u64 count = counts[v];
        if (count == 0) continue;
        const float p = static_cast<float>(count) / total;
        sum += -p * fastLog2(p);
    }
    return sum * 0.125f;
}

// ---- escaping for display

size_t utf8SequenceAt(const std::string& text, size_t i, u32& codePoint) {
    const auto byte = [&](size_t k) { return static_cast<u8>(text[k]); };
    const u8 lead = byte(i);
    size_t length;
    u32 value;
    u32 minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - i < length) return 0;
    for (size_t k = 1; k < length; ++k) {
        const u8 next = byte(i + k);
        if ((next & 0xC0) != 0x80) return 0;
        value = (value << 6) | (next & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    codePoint = value;
    return length;
}

namespace {

bool isBidiControl(u32 codePoint) {
    return codePoint == 0x061C || codePoint == 0x200E || codePoint == 0x200F ||
           (codePoint >= 0x202A && codePoint <= 0x202E) || (codePoint >= 0x2066 && codePoint <= 0x2069);
}

void appendEscaped(std::string& out, u8 byte) {
    char escaped[8];
    snprintf(escaped, sizeof escaped, "\\x%02X", byte);
    out += escaped;
}

std::string escape(const std::string& text, bool keepLineEnds) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const u8 c = static_cast<u8>(text[i]);
        if (c < 0x80) {
            const bool kept = keepLineEnds && (c == '\n' || c == '\t');
            if ((c < 0x20 || c == 0x7F) && !kept) {
                appendEscaped(out, c);
            } else {
                out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        u32 codePoint = 0;
        const size_t length = utf8SequenceAt(text, i, codePoint);
        if (length == 0) {
            appendEscaped(out, c);
            ++i;
        } else if (codePoint <= 0x9F || isBidiControl(codePoint)) {
            // C1 controls: some terminals act on them. Bidi controls reorder
            // what follows them on screen, so a name could pose as another.
            for (size_t k = 0; k < length; ++k) appendEscaped(out, static_cast<u8>(text[i + k]));
            i += length;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

}  // namespace

std::string escapeControlChars(const std::string& text) { return escape(text, false); }

std::string escapeLogLine(const std::string& text) { return escape(text, true); }

}  // namespace vorn
