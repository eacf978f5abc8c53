#include "cli/CmdWords.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace vorn {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Length of the valid UTF-8 sequence at text[i] (2 to 4), or 0 when the
// bytes there are no valid sequence (stray continuation, overlong form,
// surrogate, beyond U+10FFFF, cut short). Stores the code point.
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
        } else if (codePoint <= 0x9F) {
            // C1 controls: some terminals act on them.
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

long long parseNumberWord(const std::string& word) {
    size_t i = 0;
    while (i < word.size() && isBlank(word[i])) ++i;
    bool negative = false;
    if (i < word.size() && (word[i] == '+' || word[i] == '-')) {
        negative = word[i] == '-';
        ++i;
    }
    unsigned long long magnitude = 0;
    bool saturated = false;
    for (; i < word.size() && word[i] >= '0' && word[i] <= '9'; ++i) {
        const unsigned digit = static_cast<unsigned>(word[i] - '0');
        if (magnitude > (ULLONG_MAX - digit) / 10) {
            saturated = true;
            break;
        }
        magnitude = magnitude * 10 + digit;
    }
    if (negative) {
        if (saturated || magnitude > static_cast<unsigned long long>(LLONG_MAX)) return LLONG_MIN;
        return -static_cast<long long>(magnitude);
    }
    if (saturated || magnitude > static_cast<unsigned long long>(LLONG_MAX)) return LLONG_MAX;
    return static_cast<long long>(magnitude);
}

bool parseIndexWord(const std::string& word, u32 count, u32& index) {
    const long long value = parseNumberWord(word);
    if (value < 0 || value >= static_cast<long long>(count)) return false;
    index = static_cast<u32>(value);
    return true;
}

bool parseBlockWord(const std::string& word, u64& block) {
    const long long value = parseNumberWord(word);
    if (value < 0) return false;
    block = static_cast<u64>(value);
    return true;
}

bool parseBlockRange(const std::string& word, u64& first, u64& last) {
    // A leading sign belongs to the first number, so the separator is the
    // first "-" after it.
    size_t start = 0;
    while (start < word.size() && isBlank(word[start])) ++start;
    if (start < word.size() && (word[start] == '-' || word[start] == '+')) ++start;
    const size_t dash = word.find('-', start);
    if (dash == std::string::npos) return false;
    return parseBlockWord(word.substr(0, dash), first) && parseBlockWord(word.substr(dash + 1), last);
}

bool parseTreePath(const std::string& path, std::vector<long long>& indexes) {
    indexes.clear();
    std::string body = path;
    if (!body.empty() && body.back() == '.') body.pop_back();
    if (body.empty()) return false;
    size_t begin = 0;
    while (true) {
        const size_t dot = body.find('.', begin);
        const std::string part = body.substr(begin, dot == std::string::npos ? std::string::npos : dot - begin);
        if (part.empty()) {
            indexes.clear();
            return false;
        }
        indexes.push_back(parseNumberWord(part));
        if (dot == std::string::npos) break;
        begin = dot + 1;
    }
    return true;
}

int parityRotationOfWord(const std::string& word) {
    static const char* const kNames[] = {"forward",    "backward",    "none",         "forwarddyn",
                                         "backwarddyn", "forwarddelay", "backwarddelay"};
    for (int code = 0; code < 7; ++code)
        if (word == kNames[code]) return code;
    return -1;
}

std::vector<std::string> splitWords(const std::string& line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isBlank(line[i])) ++i;
        const size_t begin = i;
        while (i < line.size() && !isBlank(line[i])) ++i;
        if (i > begin) words.push_back(line.substr(begin, i - begin));
    }
    return words;
}

std::string expandHome(const std::string& path) {
    if (path.empty() || path[0] != '~' || (path.size() > 1 && path[1] != '/')) return path;
    const char* home = getenv("HOME");
    if (!home || !*home) return path;
    return std::string(home) + path.substr(1);
}

std::string escapeControlChars(const std::string& text) { return escape(text, false); }

std::string escapeLogLine(const std::string& text) { return escape(text, true); }

std::string treeDumpLine(u32 depth, const std::string& path, const std::string& text) {
    return std::string(size_t(depth) * 2, ' ') + "+-[" + path + "]- " + escapeControlChars(text) + "\n";
}

std::string tableDumpLine(int row, const std::vector<std::string>& cells) {
    std::string line = "[" + std::to_string(row) + "]  ";
    for (size_t column = 0; column < cells.size(); ++column) {
        // printf's "%-25.25s  " and its kin: widths and cuts count bytes.
        size_t width = 8;
        bool right = false;
        switch (column) {
            case 0: width = 25; break;
            case 1: right = true; break;
            case 3: width = 20; break;
            case 4: right = true; break;
            default: break;
        }
        std::string cell = escapeControlChars(cells[column]);
        if (cell.size() > width) cell.resize(width);
        const std::string pad(width - cell.size(), ' ');
        line += right ? pad + cell : cell + pad;
        line += "  ";
    }
    line += "\n";
    return line;
}

}  // namespace vorn
