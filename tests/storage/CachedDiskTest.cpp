// The block cache: line geometry, device requests, LRU eviction, views and
// copies, short last lines, bad blocks, and byte-for-byte agreement with the
// image files for many requests and cache sizes.
#include "storage/CachedDisk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <set>

#include "TestMedia.h"
#include "storage/FailingDisk.h"
#include "storage/ImageDisk.h"
#include "storage/LogCapture.h"
#include "storage/StorageTestUtil.h"

namespace vorn::test {
namespace {

// 16 lines of 4 blocks of 512 bytes.
constexpr u32 kLineBytes = 2048;
constexpr u32 kSixteenLines = 16 * kLineBytes;

struct Geometry {
    u32 blockSize, cacheSize, readAhead, lines, blocksPerRead;
};

class CachedDiskGeometry : public ::testing::TestWithParam<Geometry> {};

TEST_P(CachedDiskGeometry, LinesAndBlocksPerReadFollowTheSizes) {
    const Geometry g = GetParam();
    FailingDisk disk(std::vector<u8>(size_t(g.blockSize ? g.blockSize : 512) * 8), g.blockSize);
    CachedDisk cache(&disk, g.cacheSize, g.readAhead);
    EXPECT_EQ(cache.getLineCount(), g.lines);
    EXPECT_EQ(cache.getBlocksPerRead(), g.blocksPerRead);
}

INSTANTIATE_TEST_SUITE_P(
    SizesOfTheCallers, CachedDiskGeometry,
    ::testing::Values(Geometry{512, 4194304, 262144, 16, 512}, Geometry{2048, 4194304, 262144, 16, 128},
                      Geometry{512, 20480, 2048, 10, 4}, Geometry{2048, 20480, 2048, 10, 1},
                      // Lines smaller than a block, caches smaller than a line:
                      // still one block per line and one line.
                      Geometry{4096, 20480, 2048, 5, 1}, Geometry{512, 1000, 2048, 1, 4}, Geometry{512, 0, 0, 1, 1},
                      Geometry{0, 4194304, 262144, 1, 1}),
    [](const ::testing::TestParamInfo<Geometry>& info) {
        const Geometry& g = info.param;
        return "block" + std::to_string(g.blockSize) + "_cache" + std::to_string(g.cacheSize) + "_readAhead" +
               std::to_string(g.readAhead);
    });

TEST(CachedDiskCreate, LogsItsGeometry) {
    FailingDisk disk(std::vector<u8>(4096));
    LogCapture logs;
    CachedDisk cache(&disk, 4194304, 262144);
    EXPECT_TRUE(logs.has("CachedDisk created - cacheSize=4194304, readAheadSize=262144 => cacheLines=16, blocksPerRead=512\n"));
}

TEST(CachedDiskCreate, DestructionLogsAndLeavesTheWrappedDiskOpen) {
    FailingDisk disk(patternBytes(8192, 1));
    auto cache = std::make_unique<CachedDisk>(&disk, kSixteenLines, kLineBytes);
    ASSERT_TRUE(cache->open(false));
    u8 byte;
    ASSERT_TRUE(cache->read(0, 1, &byte));
    LogCapture logs;
    cache.reset();
    const std::vector<std::string> expected = {"stopping prefetch thread...\n", "freeing cache\n", "done\n",
                                               "Disk::~Disk\n"};
    EXPECT_EQ(logs.lines, expected);
    EXPECT_EQ(disk.getOpenCount(), 1u);
    EXPECT_EQ(disk.implOpenCount(), 1u);
}

TEST(CachedDiskForwarding, TheCacheAnswersAsTheDiskItWraps) {
    FailingDisk disk(patternBytes(8192, 2));
    CachedDisk cache(&disk, kSixteenLines, kLineBytes);
    EXPECT_EQ(cache.getId(), disk.getId());
    EXPECT_EQ(cache.getName(), disk.getName());
    EXPECT_EQ(cache.getBlockCount(), 16u);
    EXPECT_EQ(getInnermostDisk(&cache), &disk);
    ASSERT_TRUE(cache.open(false));
    EXPECT_EQ(disk.getOpenCount(), 1u);
    u8 block[512] = {};
    EXPECT_FALSE(cache.writeBlocks(0, 1, block));
    cache.close();
    EXPECT_EQ(disk.getOpenCount(), 0u);
}

TEST(CachedDiskRequests, TheFirstReadFillsOneLineInOneRequest) {
    const auto bytes = patternBytes(64 * 512, 3);
    FailingDisk disk(bytes);
    CachedDisk cache(&disk, kSixteenLines, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    LogCapture logs;
    u8 buffer[512];
    ASSERT_TRUE(cache.readBlocks(0, 1, buffer));
    EXPECT_TRUE(logs.has("cache not full - filling cache (0)\n"));
    ASSERT_EQ(disk.requestCount(), 1u);
    EXPECT_EQ(disk.requests()[0].block, 0u);
    EXPECT_EQ(disk.requests()[0].count, 4u);
    ASSERT_TRUE(cache.readBlocks(1, 1, buffer));
    ASSERT_TRUE(cache.read(3 * 512 + 7, 505, buffer));
    EXPECT_EQ(disk.requestCount(), 1u);
    EXPECT_EQ(0, memcmp(buffer, bytes.data() + 3 * 512 + 7, 505));
}

// Reads one byte of each line in order, through read.
void touchLines(CachedDisk& cache, std::initializer_list<u64> lines) {
    for (u64 line : lines) {
        u8 byte;
        ASSERT_TRUE(cache.read(line * kLineBytes, 1, &byte));
    }
}

bool lineIsCached(CachedDisk& cache, FailingDisk& disk, u64 line) {
    const size_t before = disk.requestCount();
    u8 byte;
    EXPECT_TRUE(cache.read(line * kLineBytes + 1, 1, &byte));
    return disk.requestCount() == before;
}

TEST(CachedDiskEviction, TheLeastRecentlyUsedLineMakesRoom) {
    FailingDisk disk(patternBytes(20 * kLineBytes, 4));
    CachedDisk cache(&disk, kSixteenLines, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    for (u64 line = 0; line < 16; ++line) touchLines(cache, {line});
    EXPECT_EQ(disk.requestCount(), 16u);
    touchLines(cache, {16});
    EXPECT_EQ(disk.requestCount(), 17u);
    EXPECT_FALSE(lineIsCached(cache, disk, 0));  // line 0 was the oldest; reading it evicts line 1
    EXPECT_FALSE(lineIsCached(cache, disk, 1));
    EXPECT_TRUE(lineIsCached(cache, disk, 16));
}

TEST(CachedDiskEviction, TouchingALineMovesItToTheNewestEnd) {
    FailingDisk disk(patternBytes(20 * kLineBytes, 5));
    CachedDisk cache(&disk, kSixteenLines, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    for (u64 line = 0; line < 16; ++line) touchLines(cache, {line});
    touchLines(cache, {0, 2});  // 1 is now the oldest, then 3
    touchLines(cache, {16, 17});
    EXPECT_TRUE(lineIsCached(cache, disk, 0));
    EXPECT_TRUE(lineIsCached(cache, disk, 2));
    EXPECT_TRUE(lineIsCached(cache, disk, 4));
    EXPECT_FALSE(lineIsCached(cache, disk, 1));
}

TEST(CachedDiskViews, AViewInsideOneLineIsNotACopy) {
    const auto bytes = patternBytes(16 * kLineBytes, 6);
    FailingDisk disk(bytes);
    CachedDisk cache(&disk, kSixteenLines, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    Data view;
    ASSERT_TRUE(cache.getOfsData(kLineBytes + 100, kLineBytes - 100, view));
    EXPECT_FALSE(view.isOwned());
    EXPECT_EQ(view.getSize(), kLineBytes - 100);
    EXPECT_EQ(0, memcmp(view.getPtr(), bytes.data() + kLineBytes + 100, kLineBytes - 100));
    Data again;
    ASSERT_TRUE(cache.getOfsData(kLineBytes + 101, 10, again));
    EXPECT_EQ(again.getPtr(), view.getPtr() + 1);
    EXPECT_EQ(disk.requestCount(), 1u);
}

TEST(CachedDiskViews, AViewSurvivesAnyNumberOfReadsOfOtherLines) {
    const auto bytes = patternBytes(40 * kLineBytes, 7);
    FailingDisk disk(bytes);
    CachedDisk cache(&disk, kSixteenLines, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    Data view;
    ASSERT_TRUE(cache.getOfsData(3 * kLineBytes + 512, 1024, view));
    std::vector<u8> buffer(3 * kLineBytes);
    for (int round = 0; round < 3; ++round) {
        for (u64 line = 0; line < 40; ++line) {
            if (line == 3) continue;
            ASSERT_TRUE(cache.read(line * kLineBytes, kLineBytes, buffer.data()));
            ASSERT_TRUE(cache.readBlocks(line * 4, 4, buffer.data()));
        }
        ASSERT_TRUE(cache.read(0, 3 * kLineBytes, buffer.data()));
    }
    EXPECT_EQ(0, memcmp(view.getPtr(), bytes.data() + 3 * kLineBytes + 512, 1024));
    EXPECT_TRUE(lineIsCached(cache, disk, 3));
}

TEST(CachedDiskViews, InAOneLineCacheTheLockedLineIsEvictedWithAnError) {
    const auto bytes = patternBytes(4 * kLineBytes, 8);
    FailingDisk disk(bytes);
    CachedDisk cache(&disk, kLineBytes, kLineBytes);
    ASSERT_EQ(cache.getLineCount(), 1u);
    ASSERT_TRUE(cache.open(false));
    Data view;
    ASSERT_TRUE(cache.getOfsData(0, 16, view));
    LogCapture logs;
    u8 buffer[16];
    ASSERT_TRUE(cache.read(kLineBytes, 16, buffer));
    EXPECT_TRUE(logs.has("!! ERROR !! Cache is completely locked!\n"));
    EXPECT_EQ(0, memcmp(buffer, bytes.data() + kLineBytes, 16));
}

TEST(CachedDiskViews, AViewStaysLiveMemoryUntilTheNextGetOfsData) {
    // Even after its line was evicted in a one-line cache and the wrapped
    // disk's block size changed (which lets go of every line buffer), the
    // view points at memory that is still allocated; the sanitizer build
    // checks that.
    const auto bytes = patternBytes(8 * kLineBytes, 21);
    FailingDisk disk(bytes);
    CachedDisk cache(&disk, kLineBytes, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    Data view;
    ASSERT_TRUE(cache.getOfsData(10, 100, view));
    u8 buffer[16];
    ASSERT_TRUE(cache.read(3 * kLineBytes, 16, buffer));
    disk.setBlockSize(1024);
    disk.setBlockCount(16);
    ASSERT_TRUE(cache.read(5 * kLineBytes, 16, buffer));
    EXPECT_EQ(0, memcmp(buffer, bytes.data() + 5 * kLineBytes, 16));
    volatile u8 sum = 0;
    for (u32 i = 0; i < view.getSize(); ++i) sum = sum + view.getPtr()[i];
    ASSERT_TRUE(cache.getOfsData(0, 100, view));
    EXPECT_EQ(0, memcmp(view.getPtr(), bytes.data(), 100));
}

TEST(CachedDiskCopies, BytesAcrossALineBoundaryAreAnOwnedCopyAndClearTheLock) {
    const auto bytes = patternBytes(40 * kLineBytes, 9);
    FailingDisk disk(bytes);
    CachedDisk cache(&disk, kSixteenLines, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    Data view;
    ASSERT_TRUE(cache.getOfsData(0, 8, view));  // locks line 0
    Data copy;
    ASSERT_TRUE(cache.getOfsData(5 * kLineBytes - 2, 4, copy));
    EXPECT_TRUE(copy.isOwned());
    ASSERT_EQ(copy.getSize(), 4u);
    EXPECT_EQ(0, memcmp(copy.getPtr(), bytes.data() + 5 * kLineBytes - 2, 4));
    copy.free();

    // With the lock gone, line 0 ages out like any other.
    for (u64 line = 1; line <= 16; ++line) touchLines(cache, {line});
    EXPECT_FALSE(lineIsCached(cache, disk, 0));
}

TEST(CachedDiskCopies, ALockedLineIsKeptWhileOthersAgeOut) {
    FailingDisk disk(patternBytes(40 * kLineBytes, 10));
    CachedDisk cache(&disk, kSixteenLines, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    Data view;
    ASSERT_TRUE(cache.getOfsData(0, 8, view));
    for (u64 line = 1; line <= 30; ++line) touchLines(cache, {line});
    EXPECT_TRUE(lineIsCached(cache, disk, 0));
}

TEST(CachedDiskCopies, AnOwnedBufferOfTheRightSizeIsReused) {
    const auto bytes = patternBytes(8 * kLineBytes, 11);
    FailingDisk disk(bytes);
    CachedDisk cache(&disk, kSixteenLines, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    Data copy;
    ASSERT_TRUE(cache.getOfsData(kLineBytes - 100, 300, copy));
    const u8* first = copy.getPtr();
    ASSERT_TRUE(cache.getOfsData(3 * kLineBytes - 100, 300, copy));
    EXPECT_EQ(copy.getPtr(), first);
    EXPECT_EQ(0, memcmp(copy.getPtr(), bytes.data() + 3 * kLineBytes - 100, 300));
    // A copy spanning three lines.
    ASSERT_TRUE(cache.getOfsData(kLineBytes - 1, kLineBytes + 2, copy));
    EXPECT_EQ(0, memcmp(copy.getPtr(), bytes.data() + kLineBytes - 1, kLineBytes + 2));
    copy.free();
}

TEST(CachedDiskEnd, TheLastLineIsReadShort) {
    const auto bytes = patternBytes(10 * 512 + 100, 12);  // 10 blocks: lines of 4, 4 and 2
    FailingDisk disk(bytes);
    CachedDisk cache(&disk, kSixteenLines, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    u8 buffer[1024];
    ASSERT_TRUE(cache.readBlocks(9, 1, buffer));
    ASSERT_EQ(disk.requestCount(), 1u);
    EXPECT_EQ(disk.requests()[0].block, 8u);
    EXPECT_EQ(disk.requests()[0].count, 2u);
    EXPECT_EQ(0, memcmp(buffer, bytes.data() + 9 * 512, 512));
    EXPECT_EQ(disk.getReadErrors(), 0u);
}

TEST(CachedDiskEnd, ReadsEndingAtTheEndSucceedOneByteMoreFails) {
    const auto bytes = patternBytes(10 * 512, 13);
    FailingDisk disk(bytes);
    CachedDisk cache(&disk, kSixteenLines, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    Data data;
    ASSERT_TRUE(cache.getOfsData(10 * 512 - 700, 700, data));
    EXPECT_EQ(0, memcmp(data.getPtr(), bytes.data() + 10 * 512 - 700, 700));
    ASSERT_TRUE(cache.getOfsData(10 * 512, 0, data));
    EXPECT_EQ(data.getSize(), 0u);

    LogCapture logs;
    EXPECT_FALSE(cache.getOfsData(10 * 512 - 700, 701, data));
    EXPECT_TRUE(logs.has("error at CachedDisk::getOfsData: incorrect parameters (ofs=4420, cnt=701)\n"));
    u8 buffer[701];
    EXPECT_FALSE(cache.read(10 * 512 - 700, 701, buffer));
    EXPECT_TRUE(logs.has("error at CachedDisk::read: incorrect parameters (ofs=4420, size=701)\n"));
    EXPECT_FALSE(cache.getOfsData(0, Disk::kMaxReadSize + 1, data));
    EXPECT_FALSE(cache.read(std::numeric_limits<u64>::max() - 1, 4, buffer));
    EXPECT_FALSE(cache.read(0, 1, nullptr));
    EXPECT_TRUE(logs.has("CachedDisk::read parameter mismatch\n"));
}

TEST(CachedDiskEnd, BlockReadsAtOrPastTheBlockCountAreRefused) {
    FailingDisk disk(patternBytes(10 * 512, 14));
    CachedDisk cache(&disk, kSixteenLines, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    std::vector<u8> buffer(4 * 512);
    LogCapture logs;
    EXPECT_FALSE(cache.readBlocks(10, 1, buffer.data()));
    EXPECT_FALSE(cache.readBlocks(9, 2, buffer.data()));
    EXPECT_FALSE(cache.readBlocks(std::numeric_limits<u64>::max(), 2, buffer.data()));
    EXPECT_TRUE(logs.has("error at CachedDisk::readBlocks: incorrect parameters (block=10, count=1)\n"));
    EXPECT_EQ(disk.requestCount(), 0u);
    EXPECT_TRUE(cache.readBlocks(9, 1, buffer.data()));
    EXPECT_TRUE(cache.readBlocks(10, 0, buffer.data()));
}

TEST(CachedDiskEnd, ADiskWithBlockSizeZeroFailsEveryRead) {
    FailingDisk disk(patternBytes(4096, 15));
    disk.setBlockSize(0);
    disk.setBlockCount(8);
    CachedDisk cache(&disk, kSixteenLines, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    LogCapture logs;
    u8 buffer[16];
    Data data;
    EXPECT_FALSE(cache.read(0, 1, buffer));
    EXPECT_TRUE(logs.has("error at CachedDisk::read: incorrect parameters (ofs=0, size=1)\n"));
    EXPECT_FALSE(cache.getOfsData(0, 1, data));
    EXPECT_TRUE(logs.has("error at CachedDisk::getOfsData: incorrect parameters (ofs=0, cnt=1)\n"));
    EXPECT_FALSE(cache.readBlocks(0, 1, buffer));
    EXPECT_EQ(disk.requestCount(), 0u);
}

TEST(CachedDiskEnd, AChangedBlockSizeOfTheWrappedDiskIsFollowed) {
    const auto bytes = patternBytes(16 * 1024, 16);
    FailingDisk disk(bytes);
    CachedDisk cache(&disk, kSixteenLines, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    Data view;
    ASSERT_TRUE(cache.getOfsData(100, 200, view));
    disk.setBlockSize(1024);
    disk.setBlockCount(16);
    std::vector<u8> buffer(5000);
    ASSERT_TRUE(cache.read(1000, 5000, buffer.data()));
    EXPECT_EQ(0, memcmp(buffer.data(), bytes.data() + 1000, 5000));
    ASSERT_TRUE(cache.readBlocks(15, 1, buffer.data()));
    EXPECT_EQ(0, memcmp(buffer.data(), bytes.data() + 15 * 1024, 1024));
    // The old view still points at live memory until the next getOfsData.
    EXPECT_EQ(0, memcmp(view.getPtr(), bytes.data() + 100, 200));
    ASSERT_TRUE(cache.getOfsData(16 * 1024 - 10, 10, view));
    EXPECT_EQ(0, memcmp(view.getPtr(), bytes.data() + 16 * 1024 - 10, 10));
}

TEST(CachedDiskEnd, AnUnopenedMediumFailsAndCountsReadErrors) {
    ImageDisk image(mediaPath("rand_1m.img"));
    CachedDisk cache(&image, 4194304, 262144);
    u8 buffer[16];
    EXPECT_FALSE(cache.read(0, 16, buffer));
    EXPECT_GT(image.getReadErrors(), 0u);
}

TEST(CachedDiskBadBlocks, ABadBlockFailsOnlyRequestsThatContainIt) {
    const auto bytes = patternBytes(16 * 512, 17);
    FailingDisk disk(bytes);
    disk.failBlock(2);
    CachedDisk cache(&disk, kSixteenLines, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    LogCapture logs;
    Data data;
    ASSERT_TRUE(cache.getOfsData(0, 1024, data));
    EXPECT_EQ(0, memcmp(data.getPtr(), bytes.data(), 1024));
    EXPECT_TRUE(logs.has("CachedDisk::getBlock - error reading cblk=0, ccnt=4\n"));
    // The failed line request, then the line block by block.
    ASSERT_EQ(disk.requestCount(), 5u);
    for (u32 i = 0; i < 4; ++i) {
        EXPECT_EQ(disk.requests()[1 + i].block, i);
        EXPECT_EQ(disk.requests()[1 + i].count, 1u);
    }
    EXPECT_EQ(disk.getReadErrors(), 2u);

    u8 buffer[2048];
    EXPECT_TRUE(cache.read(3 * 512, 512, buffer));
    EXPECT_EQ(0, memcmp(buffer, bytes.data() + 3 * 512, 512));
    EXPECT_FALSE(cache.read(2 * 512 + 511, 1, buffer));
    EXPECT_FALSE(cache.read(1 * 512 + 500, 100, buffer));
    EXPECT_FALSE(cache.readBlocks(1, 3, buffer));
    EXPECT_FALSE(cache.getOfsData(2 * 512, 1, data));
    EXPECT_FALSE(cache.getOfsData(512, 2048, data));  // a copy over lines 0 and 1
    EXPECT_TRUE(cache.getOfsData(3 * 512, 2048, data));
    EXPECT_EQ(0, memcmp(data.getPtr(), bytes.data() + 3 * 512, 2048));
    data.free();
    // The bad block fails at once from now on: no device request, no new count.
    EXPECT_EQ(disk.requestCount(), 6u);  // the copy above filled line 1
    EXPECT_EQ(disk.getReadErrors(), 2u);
}

TEST(CachedDiskBadBlocks, ARefilledLineSkipsItsKnownBadBlocks) {
    const auto bytes = patternBytes(40 * kLineBytes, 18);
    FailingDisk disk(bytes);
    disk.failBlock(2);
    CachedDisk cache(&disk, kSixteenLines, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    touchLines(cache, {0});
    for (u64 line = 1; line <= 16; ++line) touchLines(cache, {line});  // evicts line 0
    disk.clearRequests();
    u8 buffer[512];
    ASSERT_TRUE(cache.readBlocks(3, 1, buffer));
    EXPECT_EQ(0, memcmp(buffer, bytes.data() + 3 * 512, 512));
    ASSERT_EQ(disk.requestCount(), 2u);
    EXPECT_EQ(disk.requests()[0].block, 0u);
    EXPECT_EQ(disk.requests()[0].count, 2u);
    EXPECT_EQ(disk.requests()[1].block, 3u);
    EXPECT_EQ(disk.requests()[1].count, 1u);
    EXPECT_EQ(disk.getReadErrors(), 2u);
}

TEST(CachedDiskBadBlocks, ALineThatCannotBeReadAtAllIsNotCached) {
    const auto bytes = patternBytes(16 * 512, 19);
    FailingDisk disk(bytes);
    disk.failBlocks(4, 4);
    CachedDisk cache(&disk, kSixteenLines, kLineBytes);
    ASSERT_TRUE(cache.open(false));
    Data data;
    EXPECT_FALSE(cache.getOfsData(5 * 512, 10, data));
    EXPECT_EQ(disk.requestCount(), 5u);
    EXPECT_EQ(disk.getReadErrors(), 5u);
    // Every block is known bad: later requests fail without the device.
    EXPECT_FALSE(cache.getOfsData(4 * 512, 10, data));
    EXPECT_EQ(disk.requestCount(), 5u);
    // Neighbouring lines are unaffected.
    EXPECT_TRUE(cache.getOfsData(3 * 512, 512, data));
    EXPECT_TRUE(cache.getOfsData(8 * 512, 512, data));
    EXPECT_EQ(0, memcmp(data.getPtr(), bytes.data() + 8 * 512, 512));
}

TEST(CachedDiskRawSectors, CdSectorsReadThroughTheCacheAsLogicalBlocks) {
    const auto raw = patternBytes(50 * 2352, 20);
    FailingDisk disk(raw, 2352);
    CachedDisk cache(&disk, 4194304, 262144);
    ASSERT_EQ(cache.getBlocksPerRead(), 128u);
    ASSERT_TRUE(cache.open(false));
    std::vector<u8> buffer(2048 * 50);
    ASSERT_TRUE(cache.read(0, 2048 * 50, buffer.data()));
    for (u32 k = 0; k < 50; ++k) ASSERT_EQ(0, memcmp(buffer.data() + k * 2048, raw.data() + k * 2352 + 16, 2048)) << k;
}

// --- agreement with the files, for many requests and cache sizes

struct CacheSize {
    u32 cacheSize, readAhead;
};

const CacheSize kCacheSizes[] = {
    {4194304, 262144},  // the engine's
    {20480, 2048},      // the partition parser's
    {2048, 2048},       // one line
    {4608, 1536},       // three lines of three blocks
    {4096, 100},        // lines of one block
};

// Random requests through every entry point, compared with the file; a view
// is checked again after the reads that follow it.
void compareWithFile(const std::string& name, const CacheSize& size, u64 seed) {
    SCOPED_TRACE(name + " cache " + std::to_string(size.cacheSize) + "/" + std::to_string(size.readAhead));
    const auto file = readFileBytes(mediaPath(name));
    ImageDisk image(mediaPath(name));
    CachedDisk cache(&image, size.cacheSize, size.readAhead);
    ASSERT_TRUE(cache.open(false));
    const u32 bs = cache.getBlockSize();
    const u64 usable = cache.getBlockCount() * bs;
    const u64 lineBytes = u64(cache.getBlocksPerRead()) * bs;
    TestRandom random(seed);
    std::vector<u8> buffer(4 * lineBytes + 2 * bs);
    Data view;
    u64 viewOfs = 0;
    bool haveView = false;
    for (int i = 0; i < 400; ++i) {
        const u64 ofs = random.below(usable + 2 * bs);
        const u64 len = random.below(2) ? random.below(bs * 3) : random.below(3 * lineBytes);
        const bool inside = ofs <= usable && len <= usable - ofs;
        switch (random.below(3)) {
            case 0:
                ASSERT_EQ(cache.read(ofs, static_cast<u32>(len), buffer.data()), inside) << ofs << "+" << len;
                if (inside) {
                    ASSERT_EQ(0, memcmp(buffer.data(), file.data() + ofs, len)) << ofs << "+" << len;
                }
                break;
            case 1: {
                const u64 block = ofs / bs;
                const u32 count = static_cast<u32>(len / bs);
                const bool blocksInside = block + count <= cache.getBlockCount();
                ASSERT_EQ(cache.readBlocks(block, count, buffer.data()), blocksInside) << block << "+" << count;
                if (blocksInside) {
                    ASSERT_EQ(0, memcmp(buffer.data(), file.data() + block * bs, size_t(count) * bs));
                }
                break;
            }
            default:
                ASSERT_EQ(cache.getOfsData(ofs, static_cast<u32>(len), view), inside) << ofs << "+" << len;
                haveView = inside && !view.isOwned();
                viewOfs = ofs;
                if (inside) {
                    ASSERT_EQ(0, memcmp(view.getPtr(), file.data() + ofs, len)) << ofs << "+" << len;
                }
                break;
        }
        if (haveView && cache.getLineCount() > 1) {
            ASSERT_EQ(0, memcmp(view.getPtr(), file.data() + viewOfs, view.getSize())) << "view at " << viewOfs;
        }
    }
    EXPECT_EQ(image.getReadErrors(), 0u);
    if (view.isOwned()) view.free();
    cache.close();
}

TEST(CachedDiskAgreement, EveryRequestGivesTheFileBytesOnEveryAwkwardImage) {
    u64 seed = 100;
    for (const char* name : {"rand_511.img", "rand_1000.img", "rand_4097.img", "rand_1m333.img", "rand_3m.img",
                             "small.iso", "iso_cut_34775.img", "iso_cut_34776.img"}) {
        for (const CacheSize& size : kCacheSizes) compareWithFile(name, size, ++seed);
    }
}

TEST(CachedDiskAgreement, BadBlocksFailExactlyTheRequestsThatContainThem) {
    const std::string name = "rand_3m.img";
    const auto file = readFileBytes(mediaPath(name));
    for (const CacheSize& size : kCacheSizes) {
        SCOPED_TRACE(std::to_string(size.cacheSize) + "/" + std::to_string(size.readAhead));
        ImageDisk image(mediaPath(name));
        FailingDisk disk(&image);
        TestRandom random(size.cacheSize + size.readAhead);
        const u64 blocks = disk.getBlockCount();
        for (int i = 0; i < 40; ++i) disk.failBlock(random.below(blocks));
        disk.failBlocks(1000, 30);  // a bad region
        CachedDisk cache(&disk, size.cacheSize, size.readAhead);
        ASSERT_TRUE(cache.open(false));

        struct Request {
            int kind;
            u64 ofs, len;
        };
        std::vector<Request> requests;
        for (int i = 0; i < 300; ++i) {
            const u64 ofs = random.below(blocks * 512);
            const u64 len = random.below(std::min<u64>(blocks * 512 - ofs, 3 * 262144) + 1);
            requests.push_back({static_cast<int>(random.below(3)), ofs, len});
        }
        // Requests near the bad region too.
        for (u64 b = 990; b < 1040; b += 3) requests.push_back({static_cast<int>(b % 3), b * 512 + 17, 700});

        auto run = [&]() {
            std::vector<u8> buffer(3 * 262144 + 512);
            Data data;
            for (const Request& r : requests) {
                const u64 firstBlock = r.ofs / 512;
                const u64 lastBlock = (r.ofs + std::max<u64>(r.len, 1) - 1) / 512;
                bool touchesBad = false;
                for (u64 b : disk.failingBlocks()) touchesBad |= b >= firstBlock && b <= lastBlock;
                bool ok;
                const u8* got;
                u64 from = r.ofs, length = r.len;
                if (r.kind == 0) {
                    if (r.len == 0) touchesBad = false;  // reads nothing
                    ok = cache.read(r.ofs, static_cast<u32>(r.len), buffer.data());
                    got = buffer.data();
                } else if (r.kind == 1) {
                    const u32 count = static_cast<u32>(std::max<u64>(1, r.len / 512));
                    touchesBad = false;
                    for (u64 b : disk.failingBlocks()) touchesBad |= b >= firstBlock && b < firstBlock + count;
                    ok = cache.readBlocks(firstBlock, count, buffer.data());
                    got = buffer.data();
                    from = firstBlock * 512;
                    length = u64(count) * 512;
                } else {
                    ok = cache.getOfsData(r.ofs, static_cast<u32>(r.len), data);
                    got = data.getPtr();
                }
                ASSERT_EQ(ok, !touchesBad) << r.kind << " " << r.ofs << "+" << r.len;
                if (ok) {
                    ASSERT_EQ(0, memcmp(got, file.data() + from, length)) << r.kind << " " << r.ofs << "+" << r.len;
                }
            }
            if (data.isOwned()) data.free();
        };
        run();
        const u64 errors = disk.getReadErrors();
        EXPECT_GT(errors, 0u);
        disk.clearRequests();
        run();
        // A second pass learns nothing new: no device request touches a bad
        // block and no read error is added.
        EXPECT_EQ(disk.getReadErrors(), errors);
        for (const auto& request : disk.requests()) {
            for (u64 b = request.block; b < request.block + request.count; ++b) ASSERT_FALSE(disk.isFailing(b)) << b;
        }
        cache.close();
    }
}

TEST(CachedDiskAgreement, TheLastBlockOfAnImageAbove4GiBReadsThroughTheCache) {
    ImageDisk image(mediaPath("sparse_4g.img"));
    CachedDisk cache(&image, 4194304, 262144);
    ASSERT_TRUE(cache.open(false));
    const u64 end = cache.getBlockCount() * 512;
    Data data;
    ASSERT_TRUE(cache.getOfsData(end - 1000, 1000, data));
    for (u32 i = 0; i < 1000; ++i) ASSERT_EQ(data.getPtr()[i], offsetWordByte(end - 1000 + i)) << i;
    const u64 mark = 4294967296ULL;
    ASSERT_TRUE(cache.getOfsData(mark - 8, 16, data));
    for (u32 i = 0; i < 16; ++i) ASSERT_EQ(data.getPtr()[i], offsetWordByte(mark - 8 + i)) << i;
    EXPECT_EQ(image.getReadErrors(), 0u);
    if (data.isOwned()) data.free();
}

}  // namespace
}  // namespace vorn::test
