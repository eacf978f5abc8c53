#include <gtest/gtest.h>

#include <cstring>

#include "storage/CachedDisk.h"
#include "storage/FailingDisk.h"
#include "LogCapture.h"
#include "storage/StorageTestUtil.h"

namespace vorn::test {
namespace {

constexpr u32 kLineBytes = 2048;  // 4 blocks of 512 bytes, 4 lines

TEST(CachedDiskHolders, AHoldersViewSurvivesEverythingButItsOwnNextRequest) {
    const auto bytes = patternBytes(64 * kLineBytes, 31);
    FailingDisk disk(bytes);
    CachedDisk cache(&disk, 4 * kLineBytes, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    auto same = [&](const Data& view, u64 ofs) { return memcmp(view.getPtr(), bytes.data() + ofs, view.getSize()) == 0; };
    Data scan, carver;
    ASSERT_TRUE(cache.getOfsData(5 * kLineBytes + 512, 512, scan, 0));
    // The carver walks the disk in views and copies, then plain reads walk
    // it: the scan's view keeps its bytes, and the carver's last one too.
    for (u64 ofs = 0; ofs + 700 < bytes.size(); ofs += 1500) {
        ASSERT_TRUE(cache.getOfsData(ofs, 700, carver, 1));
        ASSERT_TRUE(same(carver, ofs)) << ofs;
        ASSERT_TRUE(same(scan, 5 * kLineBytes + 512)) << ofs;
    }
    ASSERT_TRUE(cache.getOfsData(40 * kLineBytes + 3, 100, carver, 1));
    LogCapture logs;
    std::vector<u8> buffer(kLineBytes);
    for (u64 line = 0; line < 64; ++line) ASSERT_TRUE(cache.read(line * kLineBytes, kLineBytes, buffer.data()));
    EXPECT_FALSE(logs.has("!! ERROR !! Cache is completely locked!\n"));
    EXPECT_TRUE(same(scan, 5 * kLineBytes + 512));
    EXPECT_TRUE(same(carver, 40 * kLineBytes + 3));
    // A new view gives up only the holder's own line: line 40 ages out now.
    ASSERT_TRUE(cache.getOfsData(0, 16, carver, 1));
    for (u64 line = 10; line < 20; ++line) ASSERT_TRUE(cache.read(line * kLineBytes, 1, buffer.data()));
    const size_t before = disk.requestCount();
    ASSERT_TRUE(cache.read(5 * kLineBytes, 1, buffer.data()));
    EXPECT_EQ(disk.requestCount(), before);
    ASSERT_TRUE(cache.read(40 * kLineBytes, 1, buffer.data()));
    EXPECT_EQ(disk.requestCount(), before + 1);
}

TEST(CachedDiskHolders, AGeometryChangeKeepsEveryViewAliveAndUnknownHoldersAreRefused) {
    // The sanitizer build checks that both views still point at live memory.
    const auto bytes = patternBytes(16 * kLineBytes, 34);
    FailingDisk disk(bytes);
    CachedDisk cache(&disk, 4 * kLineBytes, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    Data scan, carver;
    ASSERT_TRUE(cache.getOfsData(100, 100, scan, 0));
    ASSERT_TRUE(cache.getOfsData(100, 100, carver, 1));  // the same line for both
    disk.setBlockSize(1024);
    disk.setBlockCount(16);
    ASSERT_TRUE(cache.getOfsData(3000, 100, scan, 0));
    EXPECT_EQ(0, memcmp(scan.getPtr(), bytes.data() + 3000, 100));
    EXPECT_EQ(0, memcmp(carver.getPtr(), bytes.data() + 100, 100));
    LogCapture logs;
    EXPECT_FALSE(cache.getOfsData(0, 16, carver, CachedDisk::kMaxHolders));
    EXPECT_TRUE(logs.hasPrefix("error at CachedDisk::getOfsData: no such holder"));
}

}  // namespace
}  // namespace vorn::test
