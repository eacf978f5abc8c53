// Views of several holders in one cache: the block scan (holder 0) and the
// raw carver's disk stream (holder 1) read through the same CachedDisk, and
// neither may pull the bytes from under the other's view.
#include <gtest/gtest.h>

#include <cstring>

#include "storage/CachedDisk.h"
#include "storage/FailingDisk.h"
#include "storage/LogCapture.h"
#include "storage/StorageTestUtil.h"

namespace vorn::test {
namespace {

constexpr u32 kLineBytes = 2048;  // 4 blocks of 512 bytes
constexpr u32 kFourLines = 4 * kLineBytes;

bool sameBytes(const Data& view, const std::vector<u8>& bytes, u64 ofs) {
    return memcmp(view.getPtr(), bytes.data() + ofs, view.getSize()) == 0;
}

TEST(CachedDiskHolders, EachHoldersViewSurvivesTheOthersRequestsFarAway) {
    const auto bytes = patternBytes(64 * kLineBytes, 31);
    FailingDisk disk(bytes);
    CachedDisk cache(&disk, kFourLines, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    Data scan, carver;
    ASSERT_TRUE(cache.getOfsData(5 * kLineBytes + 512, 512, scan, 0));
    // The carver walks the whole disk in views and copies, the scan's view
    // keeps its bytes throughout, and the other way round.
    for (u64 ofs = 0; ofs + 700 < bytes.size(); ofs += 1500) {
        ASSERT_TRUE(cache.getOfsData(ofs, 700, carver, 1));
        ASSERT_TRUE(sameBytes(carver, bytes, ofs)) << ofs;
        ASSERT_TRUE(sameBytes(scan, bytes, 5 * kLineBytes + 512)) << ofs;
    }
    ASSERT_TRUE(cache.getOfsData(40 * kLineBytes + 3, 100, carver, 1));
    for (u64 line = 0; line < 64; ++line) {
        ASSERT_TRUE(cache.getOfsData(line * kLineBytes, kLineBytes, scan, 0));
        ASSERT_TRUE(sameBytes(carver, bytes, 40 * kLineBytes + 3)) << line;
    }
    if (carver.isOwned()) carver.free();
    if (scan.isOwned()) scan.free();
}

TEST(CachedDiskHolders, PlainReadsEvictNoHoldersLine) {
    const auto bytes = patternBytes(32 * kLineBytes, 32);
    FailingDisk disk(bytes);
    CachedDisk cache(&disk, kFourLines, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    Data scan, carver;
    ASSERT_TRUE(cache.getOfsData(2 * kLineBytes, 16, scan, 0));
    ASSERT_TRUE(cache.getOfsData(9 * kLineBytes, 16, carver, 1));
    LogCapture logs;
    std::vector<u8> buffer(kLineBytes);
    for (u64 line = 0; line < 32; ++line) ASSERT_TRUE(cache.read(line * kLineBytes, kLineBytes, buffer.data()));
    EXPECT_FALSE(logs.has("!! ERROR !! Cache is completely locked!\n"));
    EXPECT_TRUE(sameBytes(scan, bytes, 2 * kLineBytes));
    EXPECT_TRUE(sameBytes(carver, bytes, 9 * kLineBytes));
    // Both lines are still cached: asking again costs no device request.
    const size_t before = disk.requestCount();
    ASSERT_TRUE(cache.getOfsData(2 * kLineBytes + 100, 16, scan, 0));
    ASSERT_TRUE(cache.getOfsData(9 * kLineBytes + 100, 16, carver, 1));
    EXPECT_EQ(disk.requestCount(), before);
}

TEST(CachedDiskHolders, ANewViewGivesUpOnlyTheHoldersOwnLine) {
    FailingDisk disk(patternBytes(32 * kLineBytes, 33));
    CachedDisk cache(&disk, kFourLines, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    Data scan, carver;
    ASSERT_TRUE(cache.getOfsData(0, 16, scan, 0));
    ASSERT_TRUE(cache.getOfsData(kLineBytes, 16, carver, 1));
    ASSERT_TRUE(cache.getOfsData(2 * kLineBytes, 16, carver, 1));  // line 1 is free to go now
    std::vector<u8> buffer(16);
    for (u64 line = 3; line < 12; ++line) ASSERT_TRUE(cache.read(line * kLineBytes, 16, buffer.data()));
    const size_t before = disk.requestCount();
    ASSERT_TRUE(cache.read(1, 1, buffer.data()));
    ASSERT_TRUE(cache.read(2 * kLineBytes + 1, 1, buffer.data()));
    EXPECT_EQ(disk.requestCount(), before);  // lines 0 and 2 stayed
    ASSERT_TRUE(cache.read(kLineBytes + 1, 1, buffer.data()));
    EXPECT_EQ(disk.requestCount(), before + 1);  // line 1 aged out
}

TEST(CachedDiskHolders, AGeometryChangeKeepsEveryHoldersViewAliveUntilItsNextRequest) {
    // The sanitizer build checks that both views still point at live memory.
    const auto bytes = patternBytes(16 * kLineBytes, 34);
    FailingDisk disk(bytes);
    CachedDisk cache(&disk, kFourLines, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    Data scan, carver;
    ASSERT_TRUE(cache.getOfsData(100, 100, scan, 0));
    ASSERT_TRUE(cache.getOfsData(100, 100, carver, 1));  // the same line for both
    disk.setBlockSize(1024);
    disk.setBlockCount(16);
    ASSERT_TRUE(cache.getOfsData(3000, 100, scan, 0));
    EXPECT_TRUE(sameBytes(scan, bytes, 3000));
    EXPECT_TRUE(sameBytes(carver, bytes, 100));
    ASSERT_TRUE(cache.getOfsData(5000, 100, carver, 1));
    EXPECT_TRUE(sameBytes(carver, bytes, 5000));
}

TEST(CachedDiskHolders, AnUnknownHolderIsRefused) {
    FailingDisk disk(patternBytes(4 * kLineBytes, 35));
    CachedDisk cache(&disk, kFourLines, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    Data view;
    LogCapture logs;
    EXPECT_FALSE(cache.getOfsData(0, 16, view, CachedDisk::kMaxHolders));
    EXPECT_TRUE(logs.hasPrefix("error at CachedDisk::getOfsData: no such holder"));
}

}  // namespace
}  // namespace vorn::test
