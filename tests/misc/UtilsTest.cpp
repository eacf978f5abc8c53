#include "misc/Utils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace vorn {
namespace {

using Pieces = std::vector<std::string>;

// ---------------------------------------------------------------- text

TEST(UtilsText, SubstringBeforeCutsAtTheFirstDelimiter) {
    EXPECT_EQ(substringBefore("NAME.TXT;1", ";"), "NAME.TXT");
    EXPECT_EQ(substringBefore("a;b;c", ";"), "a");
    EXPECT_EQ(substringBefore("none", ";"), "none");
    EXPECT_EQ(substringBefore("", ";"), "");
}

TEST(UtilsText, StartsAndEndsWith) {
    EXPECT_TRUE(startsWith("abc", ""));
    EXPECT_TRUE(startsWith("abc", "ab"));
    EXPECT_FALSE(startsWith("abc", "bc"));
    EXPECT_FALSE(startsWith("ab", "abc"));
    EXPECT_TRUE(endsWith("abc", "bc"));
    EXPECT_TRUE(endsWith("abc", ""));
    EXPECT_FALSE(endsWith("bc", "abc"));
    EXPECT_TRUE(endsWith("abab", "ab"));  // the last occurrence counts
}

TEST(UtilsText, ReplaceAllReplacesEveryOccurrence) {
    EXPECT_EQ(replaceAll("a/b/c", "/", ":"), "a:b:c");
    EXPECT_EQ(replaceAll("aaaa", "aa", "b"), "bb");
    EXPECT_EQ(replaceAll("abc", "x", "y"), "abc");
    EXPECT_EQ(replaceAll("a.b", ".", ""), "ab");
}

TEST(UtilsText, ReplaceAllEndsWhenTheReplacementHoldsTheSearch) {
    // Escaping "&" as "&amp;" must not loop forever.
    EXPECT_EQ(replaceAll("a & b & c", "&", "&amp;"), "a &amp; b &amp; c");
    EXPECT_EQ(replaceAll("xx", "x", "xx"), "xxxx");
}

TEST(UtilsText, ReplaceAllWithEmptySearchLeavesTheText) { EXPECT_EQ(replaceAll("abc", "", "x"), "abc"); }

TEST(UtilsText, TrimRemovesSpaceCharacters) {
    EXPECT_EQ(trim(" \t\r\n\v\f a b \n"), "a b");
    EXPECT_EQ(trimLeft("  a  "), "a  ");
    EXPECT_EQ(trimRight("  a  "), "  a");
    EXPECT_EQ(trim(" \t \n"), "");
    EXPECT_EQ(trim(""), "");
    EXPECT_EQ(trim("\xa0x\xa0"), "\xa0x\xa0");  // high bytes are not spaces (no sign extension)
}

TEST(UtilsText, CaseConversionsWorkPerByte) {
    EXPECT_EQ(toUpper("abc-XyZ\xe9"), "ABC-XYZ\xe9");
    EXPECT_EQ(toLower("ABC-xYz"), "abc-xyz");
    EXPECT_TRUE(equalsIgnoreCase("Hello", "hELLO"));
    EXPECT_FALSE(equalsIgnoreCase("Hello", "Hell"));
}

TEST(UtilsText, ToIntReadsALeadingDecimalNumber) {
    EXPECT_EQ(toInt("42"), 42);
    EXPECT_EQ(toInt("  -17xyz"), -17);
    EXPECT_EQ(toInt("abc"), 0);
    EXPECT_EQ(toInt(""), 0);
}

TEST(UtilsText, ToStringForms) {
    EXPECT_EQ(toString(-12), "-12");
    EXPECT_EQ(toString(true), "true");
    EXPECT_EQ(toString(false), "false");
    EXPECT_EQ(toString('-', 3), "---");
    EXPECT_EQ(toString('-', 0), "");
    EXPECT_EQ(toString('-', -2), "");
    EXPECT_EQ(repeat("ab", 3), "ababab");
    EXPECT_EQ(repeat("ab", 0), "");
    EXPECT_EQ(repeat("ab", -1), "");
}

TEST(UtilsText, JoinPutsNoSeparatorBeforeAnEmptyStart) {
    EXPECT_EQ(join({"", "a", "b"}, ","), "a,b");
    EXPECT_EQ(join({"a", "", "b"}, ","), "a,,b");
    EXPECT_EQ(join({}, ","), "");
    EXPECT_EQ(join({"x"}, ", "), "x");
}

TEST(UtilsText, SplitKeepsInnerEmptyPiecesButNotAFinalOne) {
    EXPECT_EQ(split("a,,b,", ","), (Pieces{"a", "", "b"}));
    EXPECT_EQ(split("a,,b", ","), (Pieces{"a", "", "b"}));
    EXPECT_EQ(split(",a", ","), (Pieces{"", "a"}));
    EXPECT_EQ(split(",", ","), (Pieces{""}));
    EXPECT_EQ(split("", ","), Pieces{});
    EXPECT_EQ(split("abc", ","), (Pieces{"abc"}));
    EXPECT_EQ(split("a::b::", "::"), (Pieces{"a", "b"}));
}

TEST(UtilsText, SplitWithAnEmptyDelimiterGivesTheWholeText) {
    EXPECT_EQ(split("abc", ""), (Pieces{"abc"}));
    EXPECT_EQ(split("", ""), Pieces{});
}

TEST(UtilsText, TokenizeSkipsRunsOfDelimiters) {
    EXPECT_EQ(tokenize("  open \t image.img\r\n"), (Pieces{"open", "image.img"}));
    EXPECT_EQ(tokenize("a,;b;;c", ",;"), (Pieces{"a", "b", "c"}));
    EXPECT_EQ(tokenize(" \t "), Pieces{});
    EXPECT_EQ(tokenize(""), Pieces{});
}

TEST(UtilsText, StringTokenizerCanSwitchDelimiters) {
    StringTokenizer t("key=value with blanks;next");
    ASSERT_TRUE(t.nextToken("="));
    EXPECT_EQ(t.getToken(), "key");
    ASSERT_TRUE(t.nextToken(";"));
    EXPECT_EQ(t.getToken(), "=value with blanks");  // the position stays on the delimiter
    ASSERT_TRUE(t.nextToken());
    EXPECT_EQ(t.getToken(), ";next");  // default set: the ';' is part of the token
    EXPECT_FALSE(t.nextToken());
    EXPECT_FALSE(t.nextToken());
}

TEST(UtilsText, FormatReturnsResultsOfAnyLength) {
    EXPECT_EQ(format("%d-%s", 7, "x"), "7-x");
    const std::string big(100000, 'q');
    std::string out = format("[%s|%s]", big.c_str(), big.c_str());
    EXPECT_EQ(out.size(), 200003u);
    EXPECT_EQ(out.front(), '[');
    EXPECT_EQ(out.back(), ']');
    EXPECT_EQ(format("%s", "after growth"), "after growth");
    EXPECT_EQ(format("%llu", 18446744073709551615ULL), "18446744073709551615");
}

// ---------------------------------------------------------------- paths

TEST(UtilsPaths, FileNameIsTheLastPiece) {
    EXPECT_EQ(getFileName("/a/b/c.txt"), "c.txt");
    EXPECT_EQ(getFileName("/x/y/"), "y");
    EXPECT_EQ(getFileName("plain"), "plain");
    EXPECT_EQ(getFileName(""), "");
}

TEST(UtilsPaths, ExtensionIsTheLastDotPieceOfTheWholePath) {
    EXPECT_EQ(getFileExtension("archive.tar.gz"), "gz");
    EXPECT_EQ(getFileExtension("/a.b/c"), "b/c");  // a dot in a folder counts
    EXPECT_EQ(getFileExtension("noext"), "noext");
    EXPECT_EQ(getFileExtension("/photos/IMG.JPG"), "JPG");
    EXPECT_EQ(getFileExtension(""), "");
}

TEST(UtilsPaths, DirectoryDropsOnlyTheLastPiece) {
    EXPECT_EQ(getDirectory("/a/b/c.txt"), "/a/b/");
    EXPECT_EQ(getDirectory("/c.txt/c.txt"), "/c.txt/");
    EXPECT_EQ(getDirectory("/c.txt"), "/");
    // The piece that getFileName answers goes, also before a final "/".
    EXPECT_EQ(getDirectory("/x/y/"), "/x/");
    EXPECT_EQ(getDirectory("/x/y/") + getFileName("/x/y/"), "/x/y");
    EXPECT_EQ(getDirectory("/"), "");
    EXPECT_EQ(getDirectory("name"), "");
    EXPECT_EQ(getDirectory(""), "");
}

// ---------------------------------------------------------------- Unicode

TEST(UtilsUnicode, Utf8DecodesOneToFourByteSequences) {
    EXPECT_EQ(utf8ToWide("A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"), (std::wstring{L'A', 0xE9, 0x20AC, 0x1F600}));
}

TEST(UtilsUnicode, Utf8BadSequencesGiveOneQuestionMarkEach) {
    EXPECT_EQ(utf8ToWide("\xc3\x41"), L"?A");           // cut short by a plain byte
    EXPECT_EQ(utf8ToWide("a\x80" "b"), L"a?b");        // stray continuation
    EXPECT_EQ(utf8ToWide("\xf8\xff"), L"??");           // never a lead byte
    EXPECT_EQ(utf8ToWide("x\xe2\x82"), L"x?");          // open at the end
    EXPECT_EQ(utf8ToWide("\xc3\xc3\xa9"), L"?\u00e9");  // cut short by a new lead byte
    EXPECT_EQ(utf8ToWide("\xf0\x9f\x98"), L"?");
    EXPECT_EQ(utf8ToWide("\xc1\x81"), L"A");  // overlong forms are accepted
}

TEST(UtilsUnicode, WideJoinsSurrogatePairs) {
    const std::wstring pair{0xD83D, 0xDE00};
    EXPECT_EQ(wideToUtf8(pair), "\xf0\x9f\x98\x80");
    EXPECT_EQ(wideToUtf8(std::wstring{0x1F600}), "\xf0\x9f\x98\x80");
    EXPECT_EQ(wideToUtf8(std::wstring{L'a', 0xE9, 0x7FF, 0x800, 0xFFFF}),
              "a\xc3\xa9\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf");
}

TEST(UtilsUnicode, WideWritesLoneSurrogatesByThemselves) {
    EXPECT_EQ(wideToUtf8(std::wstring{0xD83D}), "\xed\xa0\xbd");
    EXPECT_EQ(wideToUtf8(std::wstring{0xDE00, 0xD83D}), "\xed\xb8\x80\xed\xa0\xbd");  // wrong order
    EXPECT_EQ(wideToUtf8(std::wstring{0xD83D, L'x'}), "\xed\xa0\xbdx");
}

TEST(UtilsUnicode, WideUnitsBeyond21BitsBecomeQuestionMarks) {
    EXPECT_EQ(wideToUtf8(std::wstring{static_cast<wchar_t>(0x200000), static_cast<wchar_t>(-1)}), "??");
    EXPECT_EQ(wideToUtf8(std::wstring{0x1FFFFF}), "\xf7\xbf\xbf\xbf");
}

TEST(UtilsUnicode, Utf8AndWideRoundTrip) {
    const std::string text = "Gr\xc3\xbc\xc3\x9f" "e \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x8e\xb5";
    EXPECT_EQ(wideToUtf8(utf8ToWide(text)), text);
}

TEST(UtilsUnicode, Utf16StopsAtZeroUnitCountAndByteLimit) {
    const u16 units[] = {'a', 'b', 'c', 0, 'd'};
    EXPECT_EQ(utf16ToUtf8(units, 5, 10, false), "abc");
    EXPECT_EQ(utf16ToUtf8(units, 2, 10, false), "ab");
    EXPECT_EQ(utf16ToUtf8(units, 5, 4, false), "ab");
    EXPECT_EQ(utf16ToUtf8(units, 5, 0, false), "");
    EXPECT_EQ(utf16ToUtf8(nullptr, 5, 10, false), "");
}

TEST(UtilsUnicode, Utf16NeverReadsAUnitThatCrossesTheByteLimit) {
    // 3 bytes hold one whole unit; the second would straddle the limit.
    const u16 units[] = {'a', 'b'};
    EXPECT_EQ(utf16ToUtf8(units, 2, 3, false), "a");
}

TEST(UtilsUnicode, Utf16BigEndianWithSurrogates) {
    // "é😀" as big-endian UTF-16 bytes, at an odd address on purpose.
    const u8 raw[] = {0xFF, 0x00, 0xE9, 0xD8, 0x3D, 0xDE, 0x00};
    const u16* units = reinterpret_cast<const u16*>(raw + 1);
    EXPECT_EQ(utf16ToUtf8(units, 3, 6, true), "\xc3\xa9\xf0\x9f\x98\x80");
}

// An HFS Plus name: a big-endian length and big-endian units.
std::vector<u8> hfsName(const std::vector<u16>& chars, u16 length) {
    std::vector<u8> out = {static_cast<u8>(length >> 8), static_cast<u8>(length)};
    for (u16 c : chars) {
        out.push_back(static_cast<u8>(c >> 8));
        out.push_back(static_cast<u8>(c));
    }
    return out;
}

TEST(UtilsUnicode, HfsNameTakesItsLengthFromTheFirstUnit) {
    std::vector<u8> raw = hfsName({'R', 'e', 'a', 'd', 0xE9}, 4);
    EXPECT_EQ(hfsUniStrToUtf8(reinterpret_cast<const u16*>(raw.data()), static_cast<int>(raw.size())), "Read");
}

TEST(UtilsUnicode, HfsNameIsBoundedByMaxBytesWhateverItsLength) {
    std::vector<u8> raw = hfsName({'a', 'b', 'c'}, 0xFFFF);  // a corrupt length
    EXPECT_EQ(hfsUniStrToUtf8(reinterpret_cast<const u16*>(raw.data()), static_cast<int>(raw.size())), "abc");
    EXPECT_EQ(hfsUniStrToUtf8(reinterpret_cast<const u16*>(raw.data()), 4), "a");
    EXPECT_EQ(hfsUniStrToUtf8(reinterpret_cast<const u16*>(raw.data()), 1), "");
    EXPECT_EQ(hfsUniStrToUtf8(nullptr, 100), "");
}

// ---------------------------------------------------------------- time

TEST(UtilsTime, HfsTimeCountsFrom1904) {
    EXPECT_EQ(hfsTimeToUnix(2082844800u), 0u);
    EXPECT_EQ(hfsTimeToUnix(2082844801u), 1u);
    EXPECT_EQ(hfsTimeToUnix(5), 0u);
    EXPECT_EQ(hfsTimeToUnix(0xFFFFFFFFu), 0xFFFFFFFFu - 2082844800u);
}

// Sets TZ for one case and restores it.
class TimeZone {
public:
    explicit TimeZone(const char* tz) {
        if (const char* old = getenv("TZ")) {
            m_had = true;
            m_old = old;
        }
        setenv("TZ", tz, 1);
        tzset();
    }
    ~TimeZone() {
        if (m_had) {
            setenv("TZ", m_old.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    bool m_had = false;
    std::string m_old;
};

TEST(UtilsTime, LocalConversionsInUtc) {
    TimeZone tz("UTC0");
    EXPECT_EQ(toTimeLocal(2, 1, 1970, 0, 0, 0), 86400);
    EXPECT_EQ(toTimeNoDst(31, 12, 2009, 23, 59, 59), 1262303999);
    EXPECT_EQ(timeToString(1262303999), "12.31.09 23:59:59");
    EXPECT_EQ(timeToString(0), "01.01.70 00:00:00");
}

TEST(UtilsTime, NoDstIgnoresDaylightSaving) {
    TimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
    // 2010-07-01 12:00 in standard time (UTC+1) is 11:00 UTC.
    EXPECT_EQ(toTimeNoDst(1, 7, 2010, 12, 0, 0), 1277982000);
}

TEST(UtilsTime, UnconvertibleTimeGivesEmptyText) {
    EXPECT_EQ(timeToString(std::numeric_limits<time_t>::max()), "");
}

// ---------------------------------------------------------------- sizes

TEST(UtilsSizes, SizeToStringInUnitsOf1024) {
    EXPECT_EQ(sizeToString(0), "0.00  ");
    EXPECT_EQ(sizeToString(512), "512.00  ");
    EXPECT_EQ(sizeToString(1023), "1023.00  ");
    EXPECT_EQ(sizeToString(1024), "1.00 K");
    EXPECT_EQ(sizeToString(1536), "1.50 K");
    EXPECT_EQ(sizeToString(1048576), "1.00 M");
    EXPECT_EQ(sizeToString(1073741824ULL * 3), "3.00 G");
    EXPECT_EQ(sizeToString(1099511627776ULL), "1.00 T");
    EXPECT_EQ(sizeToString(1099511627776ULL * 2048), "2048.00 T");  // never past T
}

TEST(UtilsSizes, ScaleSizeSetsTheUnit) {
    double v = 3 * 1048576.0;
    char unit = 0;
    scaleSize(v, unit);
    EXPECT_DOUBLE_EQ(v, 3.0);
    EXPECT_EQ(unit, 'M');
    v = 10;
    scaleSize(v, unit);
    EXPECT_EQ(unit, ' ');
}

// ---------------------------------------------------------------- hexadecimal

TEST(UtilsHex, ParseHexByteIsSigned) {
    EXPECT_EQ(parseHexByte('7', 'f'), 127);
    EXPECT_EQ(parseHexByte('F', 'F'), -1);
    EXPECT_EQ(parseHexByte('a', 'z'), 10);  // a non-digit ends early
    EXPECT_EQ(parseHexByte('z', '1'), 0);
}

TEST(UtilsHex, ParseHexStopsAtTheFirstNonDigit) {
    auto parse = [](const char* s, int n) { return parseHex(reinterpret_cast<const u8*>(s), n); };
    EXPECT_EQ(parse("1aF0", 4), 0x1AF0u);
    EXPECT_EQ(parse("1aF0", 2), 0x1Au);
    EXPECT_EQ(parse("12g4", 4), 0x12u);
    EXPECT_EQ(parse("123456789A", 10), 0x3456789Au);  // only the last eight digits stay
    EXPECT_EQ(parse("", 0), 0u);
    EXPECT_EQ(parseHex(nullptr, 8), 0u);
}

TEST(UtilsHex, ToHexStringPadsToTheDigitCount) {
    EXPECT_EQ(toHexString(0xAB, 4), "00AB");
    EXPECT_EQ(toHexString(0x12345678, 2), "78");
    EXPECT_EQ(toHexString(0xDEADBEEF, 8), "DEADBEEF");
    EXPECT_EQ(toHexString(0xF, 0), "F");
    EXPECT_EQ(toHexString(0x1, 12), "00000001");
}

TEST(UtilsHex, FindBytesFindsTheFirstOccurrence) {
    const u8 data[] = {1, 2, 3, 1, 2, 3, 4};
    const u8 pattern[] = {2, 3, 4};
    EXPECT_EQ(findBytes(data, pattern, 7, 3), data + 4);
    EXPECT_EQ(findBytes(data, pattern, 7, 2), data + 1);
    EXPECT_EQ(findBytes(data, pattern, 6, 3), nullptr);
    EXPECT_EQ(findBytes(data, pattern, 2, 3), nullptr);
    EXPECT_EQ(findBytes(nullptr, pattern, 7, 3), nullptr);
    EXPECT_EQ(findBytes(data, pattern, 7, 0), nullptr);
}

TEST(UtilsHex, HexdumpLayout) {
    u8 data[20];
    for (int i = 0; i < 20; ++i) data[i] = static_cast<u8>(i == 0 ? 'A' : i * 13);
    testing::internal::CaptureStdout();
    hexdump("t", data, 20);
    std::string out = testing::internal::GetCapturedStdout();
    char header[96];
    snprintf(header, sizeof header, "Hexdump (t) data=0x%llx, bytes=20\n",
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(data)));
    std::string expect = header;
    expect += "    0 00000000  41 0d 1a 27 34 41 4e 5b 68 75 82 8f 9c a9 b6 c3  A..'4AN[hu......\n";
    expect += "   16 00000010  d0 dd ea f7 " + std::string(12 * 3, ' ') + " ....\n";
    EXPECT_EQ(out, expect);
}

TEST(UtilsHex, HexdumpOfNothingPrintsOnlyTheHeader) {
    testing::internal::CaptureStdout();
    hexdump("empty", nullptr, 5);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Hexdump (empty) data=0x0, bytes=5\n");
}

// ---------------------------------------------------------------- files

TEST(UtilsFiles, QueriesOnFoldersAndFiles) {
    char tmpl[] = "/tmp/vorn_utils_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const std::string sub = dir + "/sub";
    const std::string file = dir + "/file.txt";
    std::ofstream(file) << "x";
    EXPECT_TRUE(makeDir(sub));
    EXPECT_FALSE(makeDir(sub));  // exists already
    chmod(sub.c_str(), 0755);
    EXPECT_TRUE(isDirectory(sub));
    EXPECT_FALSE(isDirectory(file));
    EXPECT_TRUE(fileExists(file));
    EXPECT_TRUE(fileExists(sub));
    EXPECT_FALSE(fileExists(dir + "/missing"));
    EXPECT_FALSE(isDirectory(dir + "/missing"));
    std::filesystem::remove_all(dir);
}

// ---------------------------------------------------------------- entropy

TEST(UtilsEntropy, FastLog2IsExactAtPowersOfTwo) {
    EXPECT_EQ(fastLog2(1.0f), 0.0f);
    EXPECT_EQ(fastLog2(8.0f), 3.0f);
    EXPECT_EQ(fastLog2(1.0f / 256), -8.0f);
    EXPECT_EQ(fastLog2(3.0f), 1.5f);  // 2^1 × 1.5 -> 1 + 0.5
    EXPECT_NEAR(fastLog2(1000.0f), std::log2(1000.0f), 0.1f);
}

TEST(UtilsEntropy, EntropyRangesFromZeroToOne) {
    u8 all[256];
    for (int i = 0; i < 256; ++i) all[i] = static_cast<u8>(i);
    EXPECT_FLOAT_EQ(entropy(all, 256), 1.0f);
    std::vector<u8> same(4097, 0x42);
    EXPECT_FLOAT_EQ(entropy(same.data(), same.size()), 0.0f);
    EXPECT_EQ(entropy(all, 0), 0.0f);
    EXPECT_EQ(entropy(nullptr, 10), 0.0f);
    const u8 two[] = {0, 1, 0, 1, 0, 1};  // one bit per byte
    EXPECT_FLOAT_EQ(entropy(two, 6), 0.125f);
}

}  // namespace
}  // namespace vorn
