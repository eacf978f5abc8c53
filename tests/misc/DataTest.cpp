#include "misc/Data.h"

#include <gtest/gtest.h>

#include <cstring>

#include "LogCapture.h"
#include "misc/Utils.h"

namespace vorn {
namespace {

TEST(Data, RefusesOverflowingSizesAndNullViewsAndNeverFreesAView) {
    test::LogCapture rec(LOG_INFO);
    Data d;
    ASSERT_TRUE(d.alloc(1, 4));
    memcpy(d.getPtr(), "keep", 4);
    EXPECT_FALSE(d.realloc(65536, 65536));  // each in range, product 2^32: the old buffer stays
    ASSERT_TRUE(d.realloc(1, 4096));
    ASSERT_TRUE(d.realloc(2, 1));
    EXPECT_EQ(memcmp(d.getPtr(), "ke", 2), 0);
    const u8 src[8] = {};
    ASSERT_TRUE(d.alloc(1, 8));
    // ofs + count wraps to 4 in 32 bits; a product of 2^32; a null source; one byte past the end.
    EXPECT_FALSE(d.initWithData(src, 0xFFFFFFFCu, 1, 8));
    EXPECT_FALSE(d.initWithData(src, 0, 0x10000, 0x10000));
    EXPECT_FALSE(d.initWithData(nullptr, 0, 1, 4));
    EXPECT_FALSE(d.initWithData(src, 8, 1, 1));
    EXPECT_TRUE(d.initWithData(reinterpret_cast<const u8*>("12345678"), 0, 0, 0));  // zero sizes: the whole buffer
    EXPECT_EQ(memcmp(d.getPtr(), "12345678", 8), 0);

    u8 foreign[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(d.setPtr(foreign, 2, 4));  // the owned bytes go (the sanitizer build sees a leak)
    ASSERT_TRUE(d.realloc(512, 4));        // a view reallocates into memory of its own
    memset(d.getPtr(), 0, 2048);
    EXPECT_EQ(foreign[7], 8);
    EXPECT_FALSE(d.setPtr(nullptr, 1, 16));
    EXPECT_FALSE(d.setPtr(foreign, 0x10000, 0x10000));
    EXPECT_TRUE(d.setPtr(foreign, 1, 8388609));  // large sizes are reported but go on
    ASSERT_TRUE(d.realloc(8388609, 1));           // leaves the viewed stack array alone
    const std::string ptr = format("%llx", (unsigned long long)reinterpret_cast<uintptr_t>(foreign));
    EXPECT_EQ(rec.lines, (std::vector<std::string>{
        "error at Data::realloc: incorrect parameters! (memsize=65536, memcount=65536)\n",
        "error at Data::initWithData: incorrect data size (msize=1, %mcount=8, ofs=-4, getSize=8)!\n",
        "error at Data::initWithData: incorrect data size (msize=65536, %mcount=65536, ofs=0, getSize=8)!\n",
        "error at Data::initWithData: incorrect data size (msize=1, %mcount=4, ofs=0, getSize=8)!\n",
        "error at Data::initWithData: incorrect data size (msize=1, %mcount=1, ofs=8, getSize=8)!\n",
        "error at Data::setPtr: incorrect parameters! (memsize=1, memcount=16, ptr=0)\n",
        "error at Data::setPtr: incorrect parameters! (memsize=65536, memcount=65536, ptr=" + ptr + ")\n",
        "error at Data::setPtr: incorrect parameters! (memsize=1, memcount=8388609, ptr=" + ptr + ")\n",
        "error at Data::realloc: incorrect parameters! (memsize=8388609, memcount=1)\n"}));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(d.alloc(65536, 65536));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Data::alloc failed!\n");
}

}  // namespace
}  // namespace vorn
