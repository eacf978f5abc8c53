#include "misc/Bytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace vorn {
namespace {

const u8 kBytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};

TEST(Bytes, InBoundsNeverWraps) {
    EXPECT_TRUE(inBounds(10, 0, 10));
    EXPECT_TRUE(inBounds(10, 10, 0));
    EXPECT_FALSE(inBounds(10, 11, 0));
    EXPECT_FALSE(inBounds(10, 8, 3));
    EXPECT_FALSE(inBounds(10, 2, UINT64_MAX));  // ofs + n would wrap to 1
    EXPECT_FALSE(inBounds(10, UINT64_MAX, 2));
}

TEST(Bytes, ReaderLoadsBothByteOrders) {
    ByteReader r(kBytes, sizeof kBytes);
    EXPECT_EQ(r.u8At(8), 0x09);
    EXPECT_EQ(r.le16(0), 0x0201);
    EXPECT_EQ(r.be16(0), 0x0102);
    EXPECT_EQ(r.le32(1), 0x05040302u);
    EXPECT_EQ(r.be32(1), 0x02030405u);
    EXPECT_EQ(r.le64(1), 0x0908070605040302ULL);
    EXPECT_EQ(r.be64(0), 0x0102030405060708ULL);
    EXPECT_TRUE(r.ok());
}

TEST(Bytes, ReadsPastTheEndYieldZeroAndClearOk) {
    ByteReader r(kBytes, sizeof kBytes);
    EXPECT_EQ(r.le32(6), 0u);  // 6..9 is one past
    EXPECT_FALSE(r.ok());
    ByteReader r2(kBytes, sizeof kBytes);
    EXPECT_EQ(r2.be64(2), 0u);
    EXPECT_EQ(r2.u8At(9), 0u);
    EXPECT_EQ(r2.le16(SIZE_MAX), 0u);
    EXPECT_EQ(r2.ptr(SIZE_MAX - 1, 4), nullptr);
    EXPECT_FALSE(r2.ok());
    // Reads inside still work after a failed one.
    EXPECT_EQ(r2.u8At(0), 0x01);
}

TEST(Bytes, CopyZeroFillsWhenOutside) {
    ByteReader r(kBytes, sizeof kBytes);
    u8 out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_TRUE(r.copy(5, out, 4));
    EXPECT_EQ(out[3], 0x09);
    EXPECT_FALSE(r.copy(7, out, 4));
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[3], 0);
}

TEST(Bytes, NullDataIsAnEmptyReader) {
    ByteReader r(nullptr, 100);
    EXPECT_EQ(r.size(), 0u);
    EXPECT_EQ(r.le32(0), 0u);
    EXPECT_FALSE(r.ok());
    ByteReader none;
    EXPECT_FALSE(none.has(0, 1));
    EXPECT_TRUE(none.has(0, 0));
}

TEST(Bytes, UncheckedLoadsMatchTheReader) {
    EXPECT_EQ(loadLE16(kBytes), 0x0201);
    EXPECT_EQ(loadLE32(kBytes), 0x04030201u);
    EXPECT_EQ(loadLE64(kBytes), 0x0807060504030201ULL);
    EXPECT_EQ(loadBE16(kBytes), 0x0102);
    EXPECT_EQ(loadBE32(kBytes), 0x01020304u);
    EXPECT_EQ(loadBE64(kBytes), 0x0102030405060708ULL);
    const u8 high[] = {0xFF, 0xFE, 0xFD, 0xFC, 0xFB, 0xFA, 0xF9, 0xF8};
    ByteReader r(high, 8);
    EXPECT_EQ(r.le32(0), loadLE32(high));  // no sign extension of high bytes
    EXPECT_EQ(r.be64(0), loadBE64(high));
    EXPECT_EQ(r.le16(0), 0xFEFF);
}

}  // namespace
}  // namespace vorn
