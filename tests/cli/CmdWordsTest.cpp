#include "cli/CmdWords.h"
#include "misc/Utils.h"

#include <climits>
#include <cstdlib>

#include <gtest/gtest.h>

namespace vorn {
namespace {

TEST(CmdWords, NumbersReadLikeAtoiButSaturateAndIndexesAreRangeChecked) {
    const struct { const char* word; long long value; } numbers[] = {
        {"12", 12}, {"  7x", 7}, {"+5", 5}, {"-3", -3}, {"abc", 0}, {"", 0}, {"-", 0},
        {"4294967296", 4294967296LL}, {"99999999999999999999999", LLONG_MAX},
        {"-99999999999999999999999", LLONG_MIN}};
    for (const auto& c : numbers) EXPECT_EQ(parseNumberWord(c.word), c.value) << c.word;

    // Text that is no number is index 0; negative or too large is refused.
    const struct { const char* word; u32 count; bool ok; u32 index; } indexes[] = {
        {"2", 3, true, 2}, {"first", 3, true, 0}, {"3", 3, false, 0}, {"-1", 3, false, 0},
        {"4294967296", 3, false, 0}, {"0", 0, false, 0}};
    for (const auto& c : indexes) {
        SCOPED_TRACE(c.word);
        u32 index = 99;
        EXPECT_EQ(parseIndexWord(c.word, c.count, index), c.ok);
        if (c.ok) { EXPECT_EQ(index, c.index); }
    }
    u64 block = 0;
    EXPECT_TRUE(parseBlockWord("5000000000", block));
    EXPECT_EQ(block, 5000000000ULL);
    EXPECT_FALSE(parseBlockWord("-1", block));
}

TEST(CmdWords, DumpRangesAreFirstMinusLastAndNeverNegative) {
    const struct { const char* word; bool ok; u64 first, last; } cases[] = {
        {"5-5", true, 5, 5}, {"7-5", true, 7, 5}, {"x-y", true, 0, 0}, {"6000000000-6000000001", true, 6000000000ULL, 6000000001ULL},
        {"12", false, 0, 0}, {"-1-3", false, 0, 0}, {"3--1", false, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        u64 first = 99, last = 99;
        ASSERT_EQ(parseBlockRange(c.word, first, last), c.ok);
        if (c.ok) { EXPECT_EQ(std::make_pair(first, last), std::make_pair(c.first, c.last)); }
    }
}

TEST(CmdWords, TreePathsSplitAtDotsAndEmptyPiecesAreRefused) {
    using Path = std::vector<long long>;
    const struct { const char* path; bool ok; Path indexes; } cases[] = {
        {"0.1.2", true, {0, 1, 2}}, {"0.", true, {0}}, {"0.x.-1", true, {0, 0, -1}},
        {"0.4294967296", true, {0, 4294967296LL}},
        {"", false, {}}, {".", false, {}}, {".0", false, {}}, {"0..1", false, {}}, {"0..", false, {}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        Path indexes = {7};
        EXPECT_EQ(parseTreePath(c.path, indexes), c.ok);
        EXPECT_EQ(indexes, c.indexes);
    }
}

TEST(CmdWords, ParityWordsLinesAndHome) {
    const char* words[] = {"forward", "backward", "none", "forwarddyn", "backwarddyn", "forwarddelay", "backwarddelay"};
    for (int code = 0; code < 7; ++code) EXPECT_EQ(parityRotationOfWord(words[code]), code);
    EXPECT_EQ(parityRotationOfWord("auto"), -1);
    EXPECT_EQ(parityRotationOfWord("Forward"), -1);

    EXPECT_EQ(splitWords("  ct\t0.1   r  out\r\n"), (std::vector<std::string>{"ct", "0.1", "r", "out"}));
    EXPECT_TRUE(splitWords(" \t\n").empty());
    const std::string longWord(200, 'a');
    EXPECT_EQ(splitWords("ctn " + longWord + "\n"), (std::vector<std::string>{"ctn", longWord}));

    const char* home = getenv("HOME");
    ASSERT_NE(home, nullptr);
    EXPECT_EQ(expandHome("~/out"), std::string(home) + "/out");
    EXPECT_EQ(expandHome("~"), std::string(home));
    EXPECT_EQ(expandHome("~other/out"), "~other/out");
    EXPECT_EQ(expandHome("out/~"), "out/~");
}

TEST(CmdWords, DumpLinesHaveFixedWidthsAndEscapesCountTowardsThem) {
    EXPECT_EQ(treeDumpLine(0, "0", "Disks"), "+-[0]- Disks\n");
    EXPECT_EQ(treeDumpLine(2, "0.1.3", "DCIM (4)"), "    +-[0.1.3]- DCIM (4)\n");
    EXPECT_EQ(treeDumpLine(1, "0.0", "bad\x1bname"), "  +-[0.0]- bad\\x1Bname\n");
    const struct { int row; std::vector<std::string> cells; const char* line; } cases[] = {
        {-1, {"Name", "Size", "Type", "DateModified", "ID"},
         "[-1]  Name                           Size  Type      DateModified                ID  \n"},
        {12, {"a_very_long_file_name_that_is_cut.jpg", "123456789 KB", "image/jpeg", "01.02.03 04:05:06 and more", "123456789"},
         "[12]  a_very_long_file_name_tha  12345678  image/jp  01.02.03 04:05:06 an  12345678  \n"},
        // A sixth column is shown like the type.
        {0, {"a", "1", "t", "d", "7", "extra-long"},
         "[0]  a                                 1  t         d                            7  extra-lo  \n"},
        {0, {"\x01\x02\x03\x04\x05\x06\x07"}, "[0]  \\x01\\x02\\x03\\x04\\x05\\x06\\  \n"}};
    for (const auto& c : cases) EXPECT_EQ(tableDumpLine(c.row, c.cells), c.line) << c.row;
}

}  // namespace
}  // namespace vorn
