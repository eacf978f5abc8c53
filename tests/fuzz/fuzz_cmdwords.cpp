// Feeds arbitrary bytes to what the command line does with names from a disk
// and words from its user: escaping for the terminal, the dump lines and the
// word parsers. Escaped text must hold no control character and be valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/CmdWords.cpp"

using namespace vorn;

namespace {

// True when text is valid UTF-8 without C0, DEL or C1 controls (line ends and
// tabs allowed when keepLineEnds).
bool isSafe(const std::string& text, bool keepLineEnds) {
    size_t i = 0;
    while (i < text.size()) {
        const u8 c = static_cast<u8>(text[i]);
        if (c < 0x80) {
            if ((c < 0x20 || c == 0x7F) && !(keepLineEnds && (c == '\n' || c == '\t'))) return false;
            ++i;
            continue;
        }
        u32 codePoint = 0;
        const size_t length = utf8SequenceAt(text, i, codePoint);
        if (length == 0 || codePoint <= 0x9F || codePoint == 0x202E || (codePoint >= 0x2066 && codePoint <= 0x2069)) return false;
        i += length;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);

    const std::string escaped = escapeControlChars(text);
    if (!isSafe(escaped, false) || escaped.size() > 4 * size) __builtin_trap();
    if (!isSafe(escapeLogLine(text), true)) __builtin_trap();

    const std::vector<std::string> words = splitWords(text);
    if (!isSafe(treeDumpLine(3, "0.1.2", text), true)) __builtin_trap();
    const std::string row = tableDumpLine(-1, words);
    if (row.size() > 8 + words.size() * 27 + 1) __builtin_trap();

    for (const std::string& word : words) {
        (void)parseNumberWord(word);
        u32 index = 0;
        if (parseIndexWord(word, 10, index) && index >= 10) __builtin_trap();
        u64 first = 0;
        u64 last = 0;
        (void)parseBlockRange(word, first, last);
        std::vector<long long> path;
        if (parseTreePath(word, path) && path.empty()) __builtin_trap();
        (void)parityRotationOfWord(word);
        (void)expandHome(word);
    }
    return 0;
}
