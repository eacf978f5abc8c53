#include "cli/CmdWords.h"

#include <climits>
#include <cstdlib>

#include <gtest/gtest.h>

namespace vorn {
namespace {

TEST(CmdWordsNumbers, ReadLikeAtoiButSaturateInsteadOfOverflowing) {
    EXPECT_EQ(parseNumberWord("12"), 12);
    EXPECT_EQ(parseNumberWord("  7x"), 7);
    EXPECT_EQ(parseNumberWord("+5"), 5);
    EXPECT_EQ(parseNumberWord("-3"), -3);
    EXPECT_EQ(parseNumberWord("abc"), 0);
    EXPECT_EQ(parseNumberWord(""), 0);
    EXPECT_EQ(parseNumberWord("-"), 0);
    EXPECT_EQ(parseNumberWord("4294967296"), 4294967296LL);
    EXPECT_EQ(parseNumberWord("99999999999999999999999"), LLONG_MAX);
    EXPECT_EQ(parseNumberWord("-99999999999999999999999"), LLONG_MIN);
}

TEST(CmdWordsNumbers, IndexesOutsideTheCountAreRefusedAndTextIsIndexZero) {
    u32 index = 99;
    EXPECT_TRUE(parseIndexWord("2", 3, index));
    EXPECT_EQ(index, 2u);
    EXPECT_TRUE(parseIndexWord("first", 3, index));
    EXPECT_EQ(index, 0u);
    EXPECT_FALSE(parseIndexWord("3", 3, index));
    EXPECT_FALSE(parseIndexWord("-1", 3, index));
    EXPECT_FALSE(parseIndexWord("4294967296", 3, index));
    EXPECT_FALSE(parseIndexWord("0", 0, index));
}

TEST(CmdWordsNumbers, BlockNumbersAreSixtyFourBitAndNeverNegative) {
    u64 block = 0;
    EXPECT_TRUE(parseBlockWord("5000000000", block));
    EXPECT_EQ(block, 5000000000ULL);
    EXPECT_FALSE(parseBlockWord("-1", block));
}

TEST(CmdWordsRanges, FirstAndLastAreJoinedByAMinus) {
    u64 first = 0;
    u64 last = 0;
    ASSERT_TRUE(parseBlockRange("5-5", first, last));
    EXPECT_EQ(first, 5u);
    EXPECT_EQ(last, 5u);
    ASSERT_TRUE(parseBlockRange("7-5", first, last));
    EXPECT_EQ(first, 7u);
    EXPECT_EQ(last, 5u);
    ASSERT_TRUE(parseBlockRange("x-y", first, last));
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(last, 0u);
    EXPECT_FALSE(parseBlockRange("12", first, last));
    EXPECT_FALSE(parseBlockRange("-1-3", first, last));
    EXPECT_FALSE(parseBlockRange("3--1", first, last));
}

TEST(CmdWordsTreePaths, DotsSeparateIndexesAndEmptyPiecesAreRefused) {
    std::vector<long long> indexes;
    ASSERT_TRUE(parseTreePath("0.1.2", indexes));
    EXPECT_EQ(indexes, (std::vector<long long>{0, 1, 2}));
    ASSERT_TRUE(parseTreePath("0.", indexes));
    EXPECT_EQ(indexes, (std::vector<long long>{0}));
    ASSERT_TRUE(parseTreePath("0.x.-1", indexes));
    EXPECT_EQ(indexes, (std::vector<long long>{0, 0, -1}));
    EXPECT_FALSE(parseTreePath("", indexes));
    EXPECT_FALSE(parseTreePath(".", indexes));
    EXPECT_FALSE(parseTreePath(".0", indexes));
    EXPECT_FALSE(parseTreePath("0..1", indexes));
    EXPECT_FALSE(parseTreePath("0..", indexes));
    EXPECT_TRUE(indexes.empty());
}

TEST(CmdWordsParity, EveryRotationHasItsWordAndAutoIsNoRotation) {
    const char* words[] = {"forward",    "backward",     "none",         "forwarddyn",
                           "backwarddyn", "forwarddelay", "backwarddelay"};
    for (int code = 0; code < 7; ++code) EXPECT_EQ(parityRotationOfWord(words[code]), code);
    EXPECT_EQ(parityRotationOfWord("auto"), -1);
    EXPECT_EQ(parityRotationOfWord("Forward"), -1);
}

TEST(CmdWordsLines, LinesSplitAtAnyWhiteSpaceAndLongLinesStayWhole) {
    EXPECT_EQ(splitWords("  ct\t0.1   r  out\r\n"), (std::vector<std::string>{"ct", "0.1", "r", "out"}));
    EXPECT_TRUE(splitWords(" \t\n").empty());
    const std::string longWord(200, 'a');
    EXPECT_EQ(splitWords("ctn " + longWord + "\n"), (std::vector<std::string>{"ctn", longWord}));
}

TEST(CmdWordsLines, TildeStandsForTheHomeFolder) {
    const char* home = getenv("HOME");
    ASSERT_NE(home, nullptr);
    EXPECT_EQ(expandHome("~/out"), std::string(home) + "/out");
    EXPECT_EQ(expandHome("~"), std::string(home));
    EXPECT_EQ(expandHome("~other/out"), "~other/out");
    EXPECT_EQ(expandHome("out/~"), "out/~");
}

TEST(CmdWordsEscaping, ControlCharactersFromADiskBecomeHexEscapes) {
    EXPECT_EQ(escapeControlChars("plain name.jpg"), "plain name.jpg");
    EXPECT_EQ(escapeControlChars("\x1b[2Jevil"), "\\x1B[2Jevil");
    EXPECT_EQ(escapeControlChars("a\nb\rc\td"), "a\\x0Ab\\x0Dc\\x09d");
    EXPECT_EQ(escapeControlChars(std::string("nul\0x", 5)), "nul\\x00x");
    EXPECT_EQ(escapeControlChars("del\x7f"), "del\\x7F");
    // UTF-8 text stays; the C1 control U+009B and broken sequences do not.
    EXPECT_EQ(escapeControlChars("caf\xc3\xa9 \xe2\x82\xac"), "caf\xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(escapeControlChars("\xc2\x9b" "1m"), "\\xC2\\x9B1m");
    EXPECT_EQ(escapeControlChars("\xff\xc3"), "\\xFF\\xC3");
    EXPECT_EQ(escapeControlChars("\xc0\xaf"), "\\xC0\\xAF");
    EXPECT_EQ(escapeControlChars("\xed\xa0\x80"), "\\xED\\xA0\\x80");
}

TEST(CmdWordsEscaping, LogLinesKeepTheirLineEndsAndTabs) {
    EXPECT_EQ(escapeLogLine("file: a\x1b]0;x\x07.txt\n"), "file: a\\x1B]0;x\\x07.txt\n");
    EXPECT_EQ(escapeLogLine("a\tb\r\n"), "a\tb\\x0D\n");
}

TEST(CmdWordsDumps, TreeLinesIndentTwoBlanksPerLevel) {
    EXPECT_EQ(treeDumpLine(0, "0", "Disks"), "+-[0]- Disks\n");
    EXPECT_EQ(treeDumpLine(2, "0.1.3", "DCIM (4)"), "    +-[0.1.3]- DCIM (4)\n");
    EXPECT_EQ(treeDumpLine(1, "0.0", "bad\x1bname"), "  +-[0.0]- bad\\x1Bname\n");
}

TEST(CmdWordsDumps, TableColumnsHaveFixedWidthsAndAreCut) {
    const std::vector<std::string> header = {"Name", "Size", "Type", "DateModified", "ID"};
    EXPECT_EQ(tableDumpLine(-1, header),
              "[-1]  Name                           Size  Type      DateModified                ID  \n");
    const std::vector<std::string> row = {"a_very_long_file_name_that_is_cut.jpg", "123456789 KB",
                                          "image/jpeg", "01.02.03 04:05:06 and more", "123456789"};
    EXPECT_EQ(tableDumpLine(12, row),
              "[12]  a_very_long_file_name_tha  12345678  image/jp  01.02.03 04:05:06 an  12345678  \n");
    // A sixth column is shown like the type.
    EXPECT_EQ(tableDumpLine(0, {"a", "1", "t", "d", "7", "extra-long"}),
              "[0]  a                                 1  t         d                            7  extra-lo  \n");
}

TEST(CmdWordsDumps, EscapesCountTowardsTheColumnWidth) {
    EXPECT_EQ(tableDumpLine(0, {"\x01\x02\x03\x04\x05\x06\x07"}), "[0]  \\x01\\x02\\x03\\x04\\x05\\x06\\  \n");
}

}  // namespace
}  // namespace vorn
