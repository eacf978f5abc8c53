#include "misc/Bytes.h"

#include <gtest/gtest.h>

namespace vorn {
namespace {

TEST(Bytes, BothByteOrdersWithoutSignExtensionAndZeroOutsideWithoutWrapping) {
    const u8 bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xF9};
    ByteReader r(bytes, sizeof bytes);
    EXPECT_EQ(r.le16(7) + r.be16(0) + 0ULL + r.le32(5) + r.be32(1), 0xF908u + 0x0102u + 0xF9080706ULL + 0x02030405u);
    EXPECT_EQ(r.le64(1), 0xF908070605040302ULL);
    EXPECT_EQ(r.be64(1), 0x02030405060708F9ULL);
    EXPECT_EQ(loadLE32(bytes + 5) + 0ULL + loadBE64(bytes + 1), r.le32(5) + r.be64(1));
    EXPECT_EQ(loadLE16(bytes) + loadBE16(bytes) + loadBE32(bytes) + loadLE64(bytes),
              0x0201u + 0x0102u + 0x01020304u + 0x0807060504030201ULL);
    EXPECT_TRUE(r.ok());
    EXPECT_FALSE(inBounds(10, 8, 3));
    EXPECT_FALSE(inBounds(10, 2, UINT64_MAX));
    EXPECT_FALSE(inBounds(10, UINT64_MAX, 2));
    EXPECT_EQ(r.le32(6) + r.le16(SIZE_MAX), 0u);  // one byte past the end; a wrapping offset
    EXPECT_TRUE(r.ptr(SIZE_MAX - 1, 4) == nullptr);
    EXPECT_TRUE(!r.ok());
    EXPECT_EQ(r.u8At(8), 0xF9);  // inside still works after a failed read
    u8 out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_TRUE(!r.copy(7, out, 4));  // zero-filled
    EXPECT_TRUE((out[0] | out[3]) == 0);
    ByteReader null(nullptr, 100);
    EXPECT_EQ(null.size() + null.le32(0), 0u);
}

}  // namespace
}  // namespace vorn
