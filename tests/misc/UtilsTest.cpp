#include "misc/Utils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <climits>

namespace vorn {
namespace {

// Pieces as one text, each closed by ';' so that empty pieces show.
std::string listed(const std::vector<std::string>& pieces) {
    std::string out;
    for (const std::string& p : pieces) out += p + ";";
    return out;
}

// Each case is {result, expected}; names and fields from disks are among the inputs.
TEST(Utils, HelpersEndDecodeWithinTheirBoundsAndGiveTheirTexts) {
    const std::string big(100000, 'q'), oldZone = getenv("TZ") ? getenv("TZ") : "";
    const u16 units[] = {'a', 'b', 'c', 0, 'd'};
    const u8 be[] = {0xFF, 0x00, 0xE9, 0xD8, 0x3D, 0xDE, 0x00}, two[] = {0, 1, 0, 1, 0, 1};  // be + 1: "é😀", UTF-16BE
    const u8 hfs[] = {0xFF, 0xFF, 0, 'a', 0, 'b', 0, 'c'}, hfsShort[] = {0, 2, 0, 'R', 0, 'e', 0, 'x'};
    auto hfsName = [](const u8* raw, int max) { return hfsUniStrToUtf8(reinterpret_cast<const u16*>(raw), max); };
    auto zone = [](const char* tz) { tz ? setenv("TZ", tz, 1) : unsetenv("TZ"), tzset(); };
    u8 all[256];
    for (int i = 0; i < 256; ++i) all[i] = static_cast<u8>(i * 13);  // every byte value once
    testing::internal::CaptureStdout();
    hexdump("t", all, 20);
    const std::string dumped = testing::internal::GetCapturedStdout();
    zone("CET-1CEST,M3.5.0,M10.5.0/3");
    const time_t summerNoon = toTimeNoDst(1, 7, 2010, 12, 0, 0);  // in standard time
    zone("UTC0");
    EXPECT_EQ(utf8ToWide("A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"), (std::wstring{L'A', 0xE9, 0x20AC, 0x1F600}));
    const std::vector<std::pair<std::string, std::string>> cases = {
        // A replacement holding the search text and an empty search text or delimiter must end.
        {replaceAll("a & b & c", "&", "&amp;") + replaceAll("aaaa", "aa", "b"), "a &amp; b &amp; cbb"},
        {replaceAll("xx", "x", "xx") + replaceAll("abc", "", "x"), "xxxxabc"},
        {listed(split("a,,b,", ",")) + "|" + listed(split(",", ",")) + "|" + listed(split("", ",")), "a;;b;|;|"},
        {listed(split("a::b::", "::")) + "|" + listed(split("abc", "")), "a;b;|abc;"},
        {listed(tokenize(" open \t x\r\n")) + join({"", "a", "b"}, ",") + join({"a", "", "b"}, ","), "open;x;a,ba,,b"},
        // Bytes over 0x7F are neither spaces nor letters; negative counts give nothing.
        {trim(" \t\r\n\v\f\xa0x\xa0\n") + toUpper("a\xe9") + toString('-', -2) + repeat("a", -1), "\xa0x\xa0" "A\xe9"},
        {format("%d %llu", toInt(" -17x"), 18446744073709551615ULL), "-17 18446744073709551615"},
        {format("[%s|%s]", big.c_str(), big.c_str()), "[" + big + "|" + big + "]"},  // formats again when long
        {getFileName("/x/y/") + getFileExtension("/a.b/c") + "|" + getDirectory("/a/b/c.txt") + "|" +
             getDirectory("/x/y/") + "|" + getDirectory("/") + getDirectory("n"), "yb/c|/a/b/|/x/|"},
        {sizeToString(0) + "|" + sizeToString(1023) + "|" + sizeToString(1536) + "|" + sizeToString(1ULL << 51),
         "0.00  |1023.00  |1.50 K|2048.00 T"},
        {toString(parseHexByte('F', 'F')) + toHexString(0xAB, 4) + toHexString(0x1278, 2) + toHexString(1, 12),
         "-100AB7800000001"},
        {format("%x %x %x", parseHex(reinterpret_cast<const u8*>("123456789A"), 10),
                parseHex(reinterpret_cast<const u8*>("12g4"), 4), parseHex(nullptr, 8)), "3456789a 12 0"},
        // One '?' per bad sequence: cut short, stray, never a lead byte, open at the end; overlong accepted.
        {wideToUtf8(utf8ToWide("\xc3\x41|a\x80" "b|\xf8\xff|\xc3\xc3\xa9\xc1\x81|x\xe2\x82")),
         "?A|a?b|??|?\xc3\xa9" "A|x?"},
        {wideToUtf8({0xD83D, 0xDE00, 0x7FF}) + wideToUtf8({0xDE00, 0xD83D}),  // lone surrogates by themselves
         "\xf0\x9f\x98\x80\xdf\xbf\xed\xb8\x80\xed\xa0\xbd"},
        {wideToUtf8({0x200000, static_cast<wchar_t>(-1), 0x1FFFFF}), "??\xf7\xbf\xbf\xbf"},
        {utf16ToUtf8(units, 5, 10, false) + "|" + utf16ToUtf8(units, 2, 10, false) + "|" +
             utf16ToUtf8(units, 2, 3, false) + "|" + utf16ToUtf8(nullptr, 5, 10, false), "abc|ab|a|"},
        {utf16ToUtf8(reinterpret_cast<const u16*>(be + 1), 3, 6, true), "\xc3\xa9\xf0\x9f\x98\x80"},
        {hfsName(hfsShort, 8) + "|" + hfsName(hfs, 8) + "|" + hfsName(hfs, 4) + "|" + hfsName(hfs, 1) + hfsName(0, 9),
         "Re|abc|a|"},
        {timeToString(toTimeNoDst(31, 12, 2009, 23, 59, 59)) + timeToString(LLONG_MAX), "12.31.09 23:59:59"},
        {format("%lld %lld %u", (long long)toTimeLocal(2, 1, 1970, 0, 0, 0), (long long)summerNoon,
                hfsTimeToUnix(2082844801u) + hfsTimeToUnix(5)), "86400 1277982000 1"},
        {format("%td %d", findBytes(all, all + 5, 20, 3) - all, findBytes(all, all + 5, 7, 3) == nullptr), "5 1"},
        {format("%.3f %.3f %.3f", entropy(all, 256), entropy(two, 6), entropy(nullptr, 10)), "1.000 0.125 0.000"},
        {dumped, format("Hexdump (t) data=0x%llx, bytes=20\n", (unsigned long long)reinterpret_cast<uintptr_t>(all)) +
                     "    0 00000000  00 0d 1a 27 34 41 4e 5b 68 75 82 8f 9c a9 b6 c3  ...'4AN[hu......\n"
                     "   16 00000010  d0 dd ea f7 " + std::string(36, ' ') + " ....\n"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(cases[i].first, cases[i].second);
    }
    zone(oldZone.empty() ? nullptr : oldZone.c_str());
}

}  // namespace
TEST(Utils, ControlAndBidiCharactersFromADiskBecomeHexEscapes) {
    const struct { std::string text, escaped; } cases[] = {
        {"plain name.jpg", "plain name.jpg"},
        {"\x1b[2Jevil", "\\x1B[2Jevil"},
        {"a\nb\rc\td", "a\\x0Ab\\x0Dc\\x09d"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        {"del\x7f", "del\\x7F"},
        // UTF-8 text stays; the C1 control U+009B and broken sequences do not.
        {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},
        {"\xc2\x9b" "1m", "\\xC2\\x9B1m"},
        {"\xff\xc3", "\\xFF\\xC3"},
        {"\xc0\xaf", "\\xC0\\xAF"},
        {"\xed\xa0\x80", "\\xED\\xA0\\x80"},
        // A right-to-left override would show "exe.jpg" as "gpj.exe".
        {"a\xe2\x80\xaegpj.exe", "a\\xE2\\x80\\xAEgpj.exe"},
        {"\xe2\x81\xa6x\xe2\x81\xa9\xe2\x80\x8f", "\\xE2\\x81\\xA6x\\xE2\\x81\\xA9\\xE2\\x80\\x8F"},
        {"\xe2\x80\x8d", "\xe2\x80\x8d"}};
    for (const auto& c : cases) EXPECT_EQ(escapeControlChars(c.text), c.escaped) << c.escaped;
    // Log lines keep their line end and tabs.
    EXPECT_EQ(escapeLogLine("file: a\x1b]0;x\x07.txt\n"), "file: a\\x1B]0;x\\x07.txt\n");
    EXPECT_EQ(escapeLogLine("a\tb\r\n"), "a\tb\\x0D\n");
}

}  // namespace vorn
