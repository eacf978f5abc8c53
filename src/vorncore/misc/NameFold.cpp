#include "misc/NameFold.h"

#include <array>
#include <cstddef>

#include "misc/Types.h"
#include "misc/Utils.h"

namespace vorn {

namespace {

// The accented letters of U+00C0..U+017F that decompose into an ASCII letter
// and one combining mark, by mark: the letters and, in the same order,
// their base letters.
struct MarkRow {
    u32 mark;
    const char* letters;
    const char* bases;
};
constexpr MarkRow kMarkRows[] = {
    {0x0300, "ÀÈÌÒÙàèìòù", "AEIOUaeiou"},                                  // grave
    {0x0301, "ÁÉÍÓÚÝáéíóúýĆćĹĺŃńŔŕŚśŹź", "AEIOUYaeiouyCcLlNnRrSsZz"},    // acute
    {0x0302, "ÂÊÎÔÛâêîôûĈĉĜĝĤĥĴĵŜŝŴŵŶŷ", "AEIOUaeiouCcGgHhJjSsWwYy"},    // circumflex
    {0x0303, "ÃÑÕãñõĨĩŨũ", "ANOanoIiUu"},                                  // tilde
    {0x0304, "ĀāĒēĪīŌōŪū", "AaEeIiOoUu"},                                  // macron
    {0x0306, "ĂăĔĕĞğĬĭŎŏŬŭ", "AaEeGgIiOoUu"},                              // breve
    {0x0307, "ĊċĖėĠġİŻż", "CcEeGgIZz"},                                    // dot above
    {0x0308, "ÄËÏÖÜäëïöüÿŸ", "AEIOUaeiouyY"},                              // diaeresis
    {0x030A, "ÅåŮů", "AaUu"},                                              // ring above
    {0x030B, "ŐőŰű", "OoUu"},                                              // double acute
    {0x030C, "ČčĎďĚěĽľŇňŘřŠšŤťŽž", "CcDdEeLlNnRrSsTtZz"},                  // caron
    {0x0327, "ÇçĢģĶķĻļŅņŖŗŞşŢţ", "CcGgKkLlNnRrSsTt"},                      // cedilla
    {0x0328, "ĄąĘęĮįŲų", "AaEeIiUu"},                                      // ogonek
};
// Letters of that range without a decomposition, with their lower case.
constexpr std::pair<u32, u32> kLowerCase[] = {
    {0x00C6, 0x00E6}, {0x00D0, 0x00F0}, {0x00D8, 0x00F8}, {0x00DE, 0x00FE}, {0x0110, 0x0111}, {0x0126, 0x0127},
    {0x0132, 0x0133}, {0x013F, 0x0140}, {0x0141, 0x0142}, {0x014A, 0x014B}, {0x0152, 0x0153}, {0x0166, 0x0167},
};

constexpr u32 kTableFirst = 0x00C0, kTableEnd = 0x0180;

struct Folding {
    char base = 0;   // the lower-case base letter, or 0
    u32 mark = 0;    // its combining mark
    u32 lower = 0;   // else the lower-case letter, or 0: kept as it is
};

// The code point at text[at] and its length in length: 1 for ASCII, 0
// when the bytes there are no valid UTF-8.
u32 decodeAt(const std::string& text, size_t at, size_t& length) {
    u32 cp = static_cast<u8>(text[at]);
    length = cp < 0x80 ? 1 : utf8SequenceAt(text, at, cp);
    return cp;
}

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

const std::array<Folding, kTableEnd - kTableFirst>& foldingTable() {
    static const std::array<Folding, kTableEnd - kTableFirst> table = [] {
        std::array<Folding, kTableEnd - kTableFirst> t{};
        for (const MarkRow& row : kMarkRows) {
            const std::string letters = row.letters;
            size_t at = 0;
            for (const char* base = row.bases; *base && at < letters.size(); ++base) {
                size_t length = 0;
                const u32 cp = decodeAt(letters, at, length);
                if (length == 0) break;
                at += length;
                if (cp >= kTableFirst && cp < kTableEnd) t[cp - kTableFirst] = Folding{asciiLower(*base), row.mark, 0};
            }
        }
        for (const auto& [upper, lower] : kLowerCase) t[upper - kTableFirst].lower = lower;
        return t;
    }();
    return table;
}

}  // namespace

std::string foldedName(const std::string& utf8) {
    const auto& table = foldingTable();
    std::string out;
    out.reserve(utf8.size() + 8);
    for (size_t at = 0; at < utf8.size();) {
        size_t length = 0;
        const u32 cp = decodeAt(utf8, at, length);
        if (length == 0) {  // no valid UTF-8: the byte as it is
            out.push_back(utf8[at++]);
            continue;
        }
        if (cp < 0x80) {
            out.push_back(asciiLower(static_cast<char>(cp)));
        } else if (cp >= kTableFirst && cp < kTableEnd && table[cp - kTableFirst].base) {
            out.push_back(table[cp - kTableFirst].base);
            appendUtf8(out, table[cp - kTableFirst].mark);
        } else if (cp >= kTableFirst && cp < kTableEnd && table[cp - kTableFirst].lower) {
            appendUtf8(out, table[cp - kTableFirst].lower);
        } else {
            out.append(utf8, at, length);
        }
        at += length;
    }
    return out;
}

}  // namespace vorn
