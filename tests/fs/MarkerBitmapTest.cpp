#include "fs/MarkerBitmap.h"

#include <gtest/gtest.h>

#include "fs/ItemTestSupport.h"

namespace vorn {
namespace {

using test::LogCapture;

TEST(MarkerBitmap, SizesItsBytesFromTheBitCountAndStartsClear) {
    LogCapture rec;
    MarkerBitmap bitmap(10);
    EXPECT_EQ(bitmap.getByteCount(), 2u);
    EXPECT_EQ(bitmap.getBitCount(), 10u);
    ASSERT_NE(bitmap.getBits(), nullptr);
    EXPECT_EQ(bitmap.getBits()[0], 0);
    EXPECT_EQ(bitmap.getBits()[1], 0);
    EXPECT_TRUE(rec.has("MarkerBitmap::MarkerBitmap bits = 10\n"));
    EXPECT_TRUE(rec.has("MarkerBitmap::init - value = 0\n"));
}

TEST(MarkerBitmap, BitNineLivesInByteOneAtPositionOne) {
    MarkerBitmap bitmap(16);
    bitmap.setBit(9);
    EXPECT_EQ(bitmap.getBits()[0], 0x00);
    EXPECT_EQ(bitmap.getBits()[1], 0x02);
    EXPECT_TRUE(bitmap.isBitSet(9));
    EXPECT_FALSE(bitmap.isBitSet(8));
    EXPECT_FALSE(bitmap.isBitSet(10));
}

TEST(MarkerBitmap, RangeChecksAreByteGranular) {
    LogCapture rec;
    MarkerBitmap bitmap(10);
    bitmap.setBit(15);  // inside the last byte although beyond the bit count
    rec.clear();
    EXPECT_TRUE(bitmap.isBitSet(15));
    EXPECT_TRUE(rec.lines.empty());
    EXPECT_FALSE(bitmap.isBitSet(16));
    EXPECT_EQ(rec.lines, std::vector<std::string>{"isBitSet error: bit out of range\n"});
    rec.clear();
    bitmap.setBit(16);  // ignored silently
    EXPECT_TRUE(rec.lines.empty());
    EXPECT_EQ(bitmap.getBits()[1], 0x80);
}

TEST(MarkerBitmap, SetRangeFillsWholeBytesOnly) {
    MarkerBitmap a(32);
    a.setRange(8, 16, true);
    EXPECT_EQ(a.getBits()[0], 0x00);
    EXPECT_EQ(a.getBits()[1], 0xFF);
    EXPECT_EQ(a.getBits()[2], 0xFF);
    EXPECT_EQ(a.getBits()[3], 0x00);

    MarkerBitmap b(32);
    b.setRange(3, 10, true);  // start taken down to byte 0, count down to 8 bits
    EXPECT_EQ(b.getBits()[0], 0xFF);
    EXPECT_EQ(b.getBits()[1], 0x00);

    a.setRange(16, 8, false);
    EXPECT_EQ(a.getBits()[1], 0xFF);
    EXPECT_EQ(a.getBits()[2], 0x00);
}

TEST(MarkerBitmap, SetRangeBeyondTheEndFillsToTheLastByteAfterAWarning) {
    LogCapture rec;
    MarkerBitmap bitmap(32);
    rec.clear();
    bitmap.setRange(16, 1000, true);
    EXPECT_EQ(rec.lines, std::vector<std::string>{"MarkerBitmap warning - startbit+count out of range\n"});
    EXPECT_EQ(bitmap.getBits()[1], 0x00);
    EXPECT_EQ(bitmap.getBits()[2], 0xFF);
    EXPECT_EQ(bitmap.getBits()[3], 0xFF);

    rec.clear();
    bitmap.setRange(8, ~u64(0), true);  // a count that wraps the sum
    EXPECT_EQ(rec.lines, std::vector<std::string>{"MarkerBitmap warning - startbit+count out of range\n"});
    EXPECT_EQ(bitmap.getBits()[1], 0xFF);
    EXPECT_EQ(bitmap.getBits()[0], 0x00);
}

TEST(MarkerBitmap, SetRangeStartingOutsideWritesNothing) {
    LogCapture rec;
    MarkerBitmap bitmap(16);
    rec.clear();
    bitmap.setRange(16, 8, true);
    EXPECT_EQ(rec.lines, std::vector<std::string>{"MarkerBitmap error - startbit out of range\n"});
    EXPECT_EQ(bitmap.getBits()[0], 0);
    EXPECT_EQ(bitmap.getBits()[1], 0);
}

TEST(MarkerBitmap, InitFillsEveryByte) {
    MarkerBitmap bitmap(24);
    bitmap.init(0xA5);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(bitmap.getBits()[i], 0xA5);
}

TEST(MarkerBitmap, DumpCountsSetBitsWithinTheBitCount) {
    LogCapture rec;
    MarkerBitmap fresh(10);
    rec.clear();
    fresh.dump();
    EXPECT_EQ(rec.lines, (std::vector<std::string>{"MarkerBitmap::dump\n", "size (bytes) = 2, bitcount = 10\n",
                                                   "bitsetcount = 0, percent set: 0.00\n"}));
    MarkerBitmap bitmap(10);
    bitmap.setBit(0);
    bitmap.setBit(9);
    bitmap.setBit(12);  // beyond the bit count: not counted
    rec.clear();
    bitmap.dump();
    EXPECT_EQ(rec.lines.back(), "bitsetcount = 2, percent set: 20.00\n");
}

TEST(MarkerBitmap, AnAbsurdBitCountFailsLikeAFailedAllocation) {
    LogCapture rec;
    MarkerBitmap bitmap(~u64(0));
    EXPECT_EQ(bitmap.getBits(), nullptr);
    EXPECT_EQ(bitmap.getByteCount(), u64(1) << 61);
    // The size is printed whole, not cut to 32 bits.
    EXPECT_EQ(rec.count("MarkerBitmap - error allocating bitmap (size=2305843009213693952 bytes)\n"), 1);
    rec.clear();
    bitmap.setBit(3);
    bitmap.setRange(0, 64, true);
    EXPECT_FALSE(bitmap.isBitSet(3));
    EXPECT_TRUE(rec.lines.empty());  // every operation does nothing, quietly
}

TEST(MarkerBitmap, DestructorLogsWhenItFreesBits) {
    LogCapture rec;
    { MarkerBitmap bitmap(8); }
    EXPECT_TRUE(rec.has("MarkerBitmap::~MarkerBitmap\n"));
}

}  // namespace
}  // namespace vorn
