#include "misc/Data.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "LogCapture.h"

namespace vorn {
namespace {

class DataTest : public ::testing::Test {
protected:
    void TearDown() override { m_data.free(); }
    test::LogCapture m_rec{LOG_INFO};
    Data m_data;
};

TEST_F(DataTest, NewBufferIsEmpty) {
    Data d;
    EXPECT_EQ(d.getSize(), 0u);
    EXPECT_EQ(d.getPtr(), nullptr);
    EXPECT_FALSE(d.isOwned());
}

TEST_F(DataTest, AllocOwnsElementSizeTimesCount) {
    ASSERT_TRUE(m_data.alloc(512, 4));
    EXPECT_EQ(m_data.getSize(), 2048u);
    EXPECT_TRUE(m_data.isOwned());
    memset(m_data.getPtr(), 0xAB, 2048);  // the sanitizer build checks the extent
    ASSERT_TRUE(m_data.alloc(0, 0));
    EXPECT_EQ(m_data.getSize(), 0u);
    EXPECT_TRUE(m_data.isOwned());
}

TEST_F(DataTest, AllocRefusesProductsOver32Bits) {
    ASSERT_TRUE(m_data.alloc(1, 16));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(m_data.alloc(65536, 65536));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Data::alloc failed!\n");
    EXPECT_EQ(m_data.getSize(), 0u);
    EXPECT_EQ(m_data.getPtr(), nullptr);
    EXPECT_FALSE(m_data.isOwned());
}

TEST_F(DataTest, ReallocOnAViewAllocatesAndLeavesTheViewedMemory) {
    std::vector<u8> foreign(16, 0x5A);
    ASSERT_TRUE(m_data.setPtr(foreign.data(), 1, 16));
    ASSERT_TRUE(m_data.realloc(512, 4));
    EXPECT_TRUE(m_data.isOwned());
    EXPECT_EQ(m_data.getSize(), 2048u);
    EXPECT_NE(m_data.getPtr(), foreign.data());
    memset(m_data.getPtr(), 0, 2048);
    EXPECT_EQ(foreign, std::vector<u8>(16, 0x5A));
}

TEST_F(DataTest, ReallocKeepsContentsUpToTheSmallerSize) {
    ASSERT_TRUE(m_data.alloc(1, 8));
    memcpy(m_data.getPtr(), "ABCDEFGH", 8);
    ASSERT_TRUE(m_data.realloc(1, 8));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(m_data.getPtr()), 8), "ABCDEFGH");
    ASSERT_TRUE(m_data.realloc(1, 4096));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(m_data.getPtr()), 8), "ABCDEFGH");
    ASSERT_TRUE(m_data.realloc(2, 2));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(m_data.getPtr()), 4), "ABCD");
    ASSERT_TRUE(m_data.realloc(0, 0));  // stays a valid owned buffer
    EXPECT_TRUE(m_data.isOwned());
    EXPECT_NE(m_data.getPtr(), nullptr);
    EXPECT_TRUE(m_rec.lines.empty());
}

TEST_F(DataTest, ReallocReportsLargeSizesButGoesOn) {
    ASSERT_TRUE(m_data.realloc(8388609, 1));
    EXPECT_EQ(m_data.getSize(), 8388609u);
    ASSERT_EQ(m_rec.lines.size(), 1u);
    EXPECT_EQ(m_rec.lines[0], "error at Data::realloc: incorrect parameters! (memsize=8388609, memcount=1)\n");
}

TEST_F(DataTest, ReallocRefusesProductsOver32BitsAndKeepsTheBuffer) {
    ASSERT_TRUE(m_data.alloc(1, 4));
    memcpy(m_data.getPtr(), "keep", 4);
    u8* before = m_data.getPtr();
    EXPECT_FALSE(m_data.realloc(65536, 65536));  // each in range, product 2^32
    ASSERT_EQ(m_rec.lines.size(), 1u);
    EXPECT_EQ(m_rec.lines[0], "error at Data::realloc: incorrect parameters! (memsize=65536, memcount=65536)\n");
    EXPECT_EQ(m_data.getPtr(), before);
    EXPECT_EQ(m_data.getSize(), 4u);
    EXPECT_EQ(memcmp(m_data.getPtr(), "keep", 4), 0);
}

TEST_F(DataTest, SetPtrReleasesOwnedMemoryAndFreeLeavesTheView) {
    ASSERT_TRUE(m_data.alloc(1, 64));
    u8 foreign[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(m_data.setPtr(foreign, 2, 4));  // the sanitizer build catches a leak here
    EXPECT_FALSE(m_data.isOwned());
    EXPECT_EQ(m_data.getPtr(), foreign);
    EXPECT_EQ(m_data.getSize(), 8u);
    m_data.free();  // must not free the stack array
    EXPECT_EQ(m_data.getPtr(), nullptr);
    EXPECT_EQ(foreign[7], 8);
    EXPECT_TRUE(m_rec.lines.empty());
}

TEST_F(DataTest, SetPtrAcceptsAZeroByteView) {
    u8 byte = 0;
    EXPECT_TRUE(m_data.setPtr(&byte, 1, 0));
    EXPECT_EQ(m_data.getSize(), 0u);
    EXPECT_TRUE(m_rec.lines.empty());
}

TEST_F(DataTest, SetPtrRefusesNullWithASize) {
    ASSERT_TRUE(m_data.alloc(1, 4));
    EXPECT_FALSE(m_data.setPtr(nullptr, 1, 16));
    ASSERT_EQ(m_rec.lines.size(), 1u);
    EXPECT_EQ(m_rec.lines[0], "error at Data::setPtr: incorrect parameters! (memsize=1, memcount=16, ptr=0)\n");
    EXPECT_EQ(m_data.getPtr(), nullptr);
    EXPECT_EQ(m_data.getSize(), 0u);
}

TEST_F(DataTest, SetPtrRefusesProductsOver32Bits) {
    u8 byte = 0;
    EXPECT_FALSE(m_data.setPtr(&byte, 0x10000, 0x10000));
    EXPECT_EQ(m_rec.lines.size(), 1u);
    EXPECT_EQ(m_data.getSize(), 0u);
}

TEST_F(DataTest, SetPtrReportsLargeSizesButGoesOn) {
    u8 byte = 0;
    EXPECT_TRUE(m_data.setPtr(&byte, 1, 8388609));
    ASSERT_EQ(m_rec.lines.size(), 1u);
    const std::string& line = m_rec.lines[0];
    EXPECT_EQ(line.rfind("error at Data::setPtr: incorrect parameters! (memsize=1, memcount=8388609, ptr=", 0), 0u);
    char expectPtr[32];
    snprintf(expectPtr, sizeof expectPtr, "ptr=%llx)\n", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&byte)));
    EXPECT_NE(line.find(expectPtr), std::string::npos) << line;
    EXPECT_EQ(m_data.getPtr(), &byte);
}

TEST_F(DataTest, InitWithDataZeroSizesStandForTheWholeBuffer) {
    ASSERT_TRUE(m_data.alloc(4, 2));
    EXPECT_TRUE(m_data.initWithData(reinterpret_cast<const u8*>("12345678"), 0, 0, 0));
    EXPECT_EQ(memcmp(m_data.getPtr(), "12345678", 8), 0);
    EXPECT_TRUE(m_data.initWithData(reinterpret_cast<const u8*>("ab"), 6, 1, 2));
    EXPECT_EQ(memcmp(m_data.getPtr(), "123456ab", 8), 0);
    EXPECT_TRUE(m_rec.lines.empty());
}

TEST_F(DataTest, InitWithDataPastTheEndCopiesNothing) {
    ASSERT_TRUE(m_data.alloc(1, 8));
    memset(m_data.getPtr(), 'z', 8);
    EXPECT_FALSE(m_data.initWithData(reinterpret_cast<const u8*>("x"), 8, 1, 1));
    ASSERT_EQ(m_rec.lines.size(), 1u);
    EXPECT_EQ(m_rec.lines[0],
              "error at Data::initWithData: incorrect data size (msize=1, %mcount=1, ofs=8, getSize=8)!\n");
    EXPECT_FALSE(m_data.initWithData(reinterpret_cast<const u8*>("xyz"), 6, 1, 3));
    EXPECT_EQ(memcmp(m_data.getPtr(), "zzzzzzzz", 8), 0);
}

TEST_F(DataTest, InitWithDataRefusesOffsetSumsAndProductsOver32Bits) {
    ASSERT_TRUE(m_data.alloc(1, 8));
    const u8 src[8] = {};
    // ofs + count wraps to 4 in 32 bits, which would pass a naive check.
    EXPECT_FALSE(m_data.initWithData(src, 0xFFFFFFFCu, 1, 8));
    // 2^16 × 2^16 wraps to 0.
    EXPECT_FALSE(m_data.initWithData(src, 0, 0x10000, 0x10000));
    EXPECT_EQ(m_rec.lines.size(), 2u);
}

TEST_F(DataTest, InitWithDataRefusesANullSource) {
    ASSERT_TRUE(m_data.alloc(1, 8));
    EXPECT_FALSE(m_data.initWithData(nullptr, 0, 1, 4));
    EXPECT_EQ(m_rec.lines.size(), 1u);
}

TEST_F(DataTest, FreeReturnsToEmpty) {
    ASSERT_TRUE(m_data.alloc(3, 3));
    m_data.free();
    EXPECT_EQ(m_data.getPtr(), nullptr);
    EXPECT_EQ(m_data.getMemSize(), 0u);
    EXPECT_EQ(m_data.getMemCount(), 0u);
    EXPECT_FALSE(m_data.isOwned());
    m_data.free();  // twice is harmless
}

}  // namespace
}  // namespace vorn
