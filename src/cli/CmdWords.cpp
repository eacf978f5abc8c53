#include "cli/CmdWords.h"

#include "misc/Utils.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace vorn {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

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
