// The block cache: geometry, LRU order, views and copies, the end of the
// disk, bad blocks, and byte-for-byte agreement with the image files.
#include "storage/CachedDisk.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <set>

#include "LogCapture.h"
#include "TestMedia.h"
#include "storage/FailingDisk.h"
#include "storage/ImageDisk.h"
#include "storage/StorageTestUtil.h"

namespace vorn::test {
namespace {

constexpr u32 kLine = 2048;  // caches of 16 lines of 4 blocks of 512 bytes
constexpr u32 kSixteenLines = 16 * kLine;

bool same(const u8* got, const std::vector<u8>& bytes, u64 ofs, u64 len) {
    return len == 0 || memcmp(got, bytes.data() + ofs, len) == 0;
}

// True when reading a byte of line needs no device request.
bool cached(CachedDisk& cache, FailingDisk& disk, u64 line) {
    const size_t before = disk.requestCount();
    u8 byte;
    EXPECT_TRUE(cache.read(line * kLine + 1, 1, &byte));
    return disk.requestCount() == before;
}

void touch(CachedDisk& cache, u64 first, u64 last) {
    u8 byte;
    for (u64 line = first; line <= last; ++line) ASSERT_TRUE(cache.read(line * kLine, 1, &byte));
}

TEST(CachedDisk, GeometryHasAtLeastOneBlockPerLineAndOneLine) {
    struct Case {
        u32 blockSize, cacheSize, readAhead, lines, blocksPerRead;
    };
    for (const Case& c : std::vector<Case>{{512, 4194304, 262144, 16, 512}, {2048, 20480, 2048, 10, 1},
                                           {4096, 20480, 2048, 5, 1}, {512, 1000, 2048, 1, 4},
                                           {512, 0, 0, 1, 1}, {0, 4194304, 262144, 1, 1}}) {
        SCOPED_TRACE(std::to_string(c.blockSize) + " " + std::to_string(c.cacheSize) + " " + std::to_string(c.readAhead));
        FailingDisk disk(std::vector<u8>(size_t(c.blockSize ? c.blockSize : 512) * 8), c.blockSize);
        LogCapture logs;
        CachedDisk cache(&disk, c.cacheSize, c.readAhead);
        EXPECT_EQ(cache.getLineCount(), c.lines);
        EXPECT_EQ(cache.getBlocksPerRead(), c.blocksPerRead);
        if (c.cacheSize == 4194304 && c.blockSize == 512) {
            EXPECT_TRUE(logs.has("CachedDisk created - cacheSize=4194304, readAheadSize=262144 => cacheLines=16, "
                                 "blocksPerRead=512\n"));
        }
    }
}

TEST(CachedDisk, IsReadOnlyFillsOneLinePerRequestAndLeavesTheWrappedDiskOpen) {
    const auto bytes = patternBytes(64 * 512, 3);
    FailingDisk disk(bytes);
    auto cache = std::make_unique<CachedDisk>(&disk, kSixteenLines, kLine);
    ASSERT_TRUE(cache->open(false));
    u8 buffer[512];
    EXPECT_FALSE(cache->writeBlocks(0, 1, buffer));
    LogCapture logs;
    ASSERT_TRUE(cache->readBlocks(1, 1, buffer));
    EXPECT_TRUE(logs.has("cache not full - filling cache (0)\n"));
    ASSERT_TRUE(cache->read(3 * 512 + 7, 505, buffer));
    EXPECT_TRUE(same(buffer, bytes, 3 * 512 + 7, 505));
    ASSERT_EQ(disk.requestCount(), 1u);
    EXPECT_EQ(disk.requests()[0].block, 0u);
    EXPECT_EQ(disk.requests()[0].count, 4u);
    logs.lines.clear();
    cache.reset();
    EXPECT_EQ(logs.lines, (std::vector<std::string>{"stopping prefetch thread...\n", "freeing cache\n", "done\n",
                                                    "Disk::~Disk\n"}));
    EXPECT_EQ(disk.getOpenCount(), 1u);
}

TEST(CachedDisk, TheLeastRecentlyUsedLineMakesRoomInExactOrder) {
    FailingDisk disk(patternBytes(20 * kLine, 4));
    CachedDisk cache(&disk, kSixteenLines, kLine);
    ASSERT_TRUE(cache.open(false));
    touch(cache, 0, 15);
    touch(cache, 0, 0);
    touch(cache, 2, 2);  // oldest first: 1, 3, 4, ...
    touch(cache, 16, 17);
    EXPECT_EQ(disk.requestCount(), 18u);
    EXPECT_TRUE(cached(cache, disk, 0));
    EXPECT_TRUE(cached(cache, disk, 2));
    EXPECT_TRUE(cached(cache, disk, 4));
    EXPECT_FALSE(cached(cache, disk, 3));  // evicts 5, the oldest now
    EXPECT_FALSE(cached(cache, disk, 5));
}

TEST(CachedDisk, AViewIsALockedLineThatSurvivesReadsOfOtherLines) {
    const auto bytes = patternBytes(40 * kLine, 7);
    FailingDisk disk(bytes);
    CachedDisk cache(&disk, kSixteenLines, kLine);
    ASSERT_TRUE(cache.open(false));
    Data view, again;
    ASSERT_TRUE(cache.getOfsData(3 * kLine + 100, kLine - 100, view));
    EXPECT_FALSE(view.isOwned());
    ASSERT_TRUE(cache.getOfsData(3 * kLine + 101, 10, again, 1));
    EXPECT_EQ(again.getPtr(), view.getPtr() + 1);
    std::vector<u8> buffer(3 * kLine);
    for (int round = 0; round < 3; ++round) {
        for (u64 line = 0; line < 40; ++line) {
            if (line == 3) continue;
            ASSERT_TRUE(cache.read(line * kLine, kLine, buffer.data()));
            ASSERT_TRUE(cache.readBlocks(line * 4, 4, buffer.data()));
        }
        ASSERT_TRUE(cache.read(0, 3 * kLine, buffer.data()));
    }
    EXPECT_TRUE(same(view.getPtr(), bytes, 3 * kLine + 100, kLine - 100));
    EXPECT_TRUE(cached(cache, disk, 3));
    // A copy over line boundaries (here three lines) is owned and drops the
    // lock: line 3 then ages out like any other.
    ASSERT_TRUE(cache.getOfsData(5 * kLine - 1, kLine + 2, view));
    EXPECT_TRUE(view.isOwned());
    EXPECT_TRUE(same(view.getPtr(), bytes, 5 * kLine - 1, kLine + 2));
    view.free();
    ASSERT_TRUE(cache.getOfsData(0, 1, again, 1));
    touch(cache, 20, 36);
    EXPECT_FALSE(cached(cache, disk, 3));
}

TEST(CachedDisk, AViewStaysLiveMemoryInAOneLineCacheAndAcrossABlockSizeChange) {
    const auto bytes = patternBytes(8 * kLine, 21);
    FailingDisk disk(bytes);
    CachedDisk cache(&disk, kLine, kLine);
    ASSERT_TRUE(cache.open(false));
    Data view;
    ASSERT_TRUE(cache.getOfsData(10, 100, view));
    LogCapture logs;
    u8 buffer[5000];
    ASSERT_TRUE(cache.read(3 * kLine, 16, buffer));
    EXPECT_TRUE(logs.has("!! ERROR !! Cache is completely locked!\n"));
    EXPECT_TRUE(same(buffer, bytes, 3 * kLine, 16));
    disk.setBlockSize(1024);  // the cache follows and lets go of its line buffers
    disk.setBlockCount(16);
    ASSERT_TRUE(cache.read(1000, 5000, buffer));
    EXPECT_TRUE(same(buffer, bytes, 1000, 5000));
    ASSERT_TRUE(cache.readBlocks(15, 1, buffer));
    EXPECT_TRUE(same(buffer, bytes, 15 * 1024, 1024));
    volatile u8 sum = 0;  // the sanitizer build checks the memory is live
    for (u32 i = 0; i < view.getSize(); ++i) sum = sum + view.getPtr()[i];
    ASSERT_TRUE(cache.getOfsData(16 * 1024 - 10, 10, view));
    EXPECT_TRUE(same(view.getPtr(), bytes, 16 * 1024 - 10, 10));
}

TEST(CachedDisk, TheLastLineIsShortAndRangesPastTheEndAreRefused) {
    const auto bytes = patternBytes(10 * 512 + 100, 12);  // 10 blocks: lines of 4, 4 and 2
    FailingDisk disk(bytes);
    CachedDisk cache(&disk, kSixteenLines, kLine);
    ASSERT_TRUE(cache.open(false));
    LogCapture logs;
    std::vector<u8> buffer(4096);
    ASSERT_TRUE(cache.readBlocks(9, 1, buffer.data()));
    EXPECT_TRUE(same(buffer.data(), bytes, 9 * 512, 512));
    ASSERT_EQ(disk.requestCount(), 1u);
    EXPECT_EQ(disk.requests()[0].block, 8u);
    EXPECT_EQ(disk.requests()[0].count, 2u);
    Data data;
    ASSERT_TRUE(cache.getOfsData(10 * 512 - 700, 700, data));
    EXPECT_TRUE(same(data.getPtr(), bytes, 10 * 512 - 700, 700));
    ASSERT_TRUE(cache.getOfsData(10 * 512, 0, data));
    EXPECT_TRUE(cache.readBlocks(10, 0, buffer.data()));
    EXPECT_FALSE(cache.getOfsData(10 * 512 - 700, 701, data));
    EXPECT_TRUE(logs.has("error at CachedDisk::getOfsData: incorrect parameters (ofs=4420, cnt=701)\n"));
    EXPECT_FALSE(cache.read(10 * 512 - 700, 701, buffer.data()));
    EXPECT_TRUE(logs.has("error at CachedDisk::read: incorrect parameters (ofs=4420, size=701)\n"));
    EXPECT_FALSE(cache.readBlocks(10, 1, buffer.data()));
    EXPECT_TRUE(logs.has("error at CachedDisk::readBlocks: incorrect parameters (block=10, count=1)\n"));
    EXPECT_FALSE(cache.readBlocks(9, 2, buffer.data()));
    EXPECT_FALSE(cache.readBlocks(std::numeric_limits<u64>::max(), 2, buffer.data()));
    EXPECT_FALSE(cache.read(std::numeric_limits<u64>::max() - 1, 4, buffer.data()));
    EXPECT_FALSE(cache.getOfsData(0, Disk::kMaxReadSize + 1, data));
    EXPECT_FALSE(cache.read(0, 1, nullptr));
    EXPECT_TRUE(logs.has("CachedDisk::read parameter mismatch\n"));
    EXPECT_EQ(disk.requestCount(), 1u);
    EXPECT_EQ(disk.getReadErrors(), 0u);

    disk.setBlockSize(0);  // never reaches a division
    EXPECT_FALSE(cache.read(0, 1, buffer.data()));
    EXPECT_TRUE(logs.has("error at CachedDisk::read: incorrect parameters (ofs=0, size=1)\n"));
    EXPECT_FALSE(cache.getOfsData(0, 1, data));
    EXPECT_FALSE(cache.readBlocks(0, 1, buffer.data()));

    ImageDisk image(mediaPath("rand_1m.img"));  // not opened
    CachedDisk unopened(&image, 4194304, 262144);
    EXPECT_FALSE(unopened.read(0, 16, buffer.data()));
    EXPECT_GT(image.getReadErrors(), 0u);
}

TEST(CachedDisk, BadBlocksCostOnlyThemselvesAndCountOnceEach) {
    const auto bytes = patternBytes(40 * kLine, 17);
    FailingDisk disk(bytes);
    disk.failBlock(2);
    disk.failBlocks(8, 4);  // a whole line
    CachedDisk cache(&disk, kSixteenLines, kLine);
    ASSERT_TRUE(cache.open(false));
    LogCapture logs;
    Data data;
    ASSERT_TRUE(cache.getOfsData(0, 1024, data));
    EXPECT_TRUE(same(data.getPtr(), bytes, 0, 1024));
    EXPECT_TRUE(logs.has("CachedDisk::getBlock - error reading cblk=0, ccnt=4\n"));
    ASSERT_EQ(disk.requestCount(), 5u);  // the line, then block by block
    for (u32 i = 0; i < 4; ++i) EXPECT_EQ(disk.requests()[1 + i].block, i);
    EXPECT_EQ(disk.getReadErrors(), 1u);
    u8 buffer[2048];
    EXPECT_TRUE(cache.read(3 * 512, 512, buffer));
    EXPECT_FALSE(cache.read(2 * 512 + 511, 1, buffer));
    EXPECT_FALSE(cache.readBlocks(1, 3, buffer));
    EXPECT_FALSE(cache.getOfsData(512, 2048, data));  // a copy over lines 0 and 1
    ASSERT_TRUE(cache.getOfsData(3 * 512, 2048, data));
    EXPECT_TRUE(same(data.getPtr(), bytes, 3 * 512, 2048));
    data.free();
    EXPECT_FALSE(cache.getOfsData(9 * 512, 10, data));
    EXPECT_FALSE(cache.getOfsData(8 * 512, 10, data));
    EXPECT_TRUE(cache.getOfsData(12 * 512, 512, data));
    EXPECT_EQ(disk.getReadErrors(), 5u);
    // Evicted and refilled, line 0 skips its known bad block: no new error.
    touch(cache, 10, 30);
    disk.clearRequests();
    ASSERT_TRUE(cache.readBlocks(3, 1, buffer));
    EXPECT_TRUE(same(buffer, bytes, 3 * 512, 512));
    ASSERT_EQ(disk.requestCount(), 2u);
    EXPECT_EQ(disk.requests()[0].count, 2u);
    EXPECT_EQ(disk.requests()[1].block, 3u);
    EXPECT_FALSE(cache.getOfsData(8 * 512, 10, data));
    EXPECT_EQ(disk.requestCount(), 2u);
    EXPECT_EQ(disk.getReadErrors(), 5u);
}

TEST(CachedDisk, CdSectorsReadAsLogicalBlocks) {
    const auto raw = patternBytes(50 * 2352, 20);
    FailingDisk disk(raw, 2352);
    CachedDisk cache(&disk, 4194304, 262144);
    ASSERT_TRUE(cache.open(false));
    std::vector<u8> buffer(2048 * 50);
    ASSERT_TRUE(cache.read(0, 2048 * 50, buffer.data()));
    for (u32 k = 0; k < 50; ++k) ASSERT_TRUE(same(buffer.data() + k * 2048, raw, k * 2352 + 16, 2048)) << k;
}

// --- agreement with the files, for random requests and cache sizes

const std::pair<u32, u32> kCacheSizes[] = {{4194304, 262144}, {20480, 2048}, {2048, 2048}, {4608, 1536}, {4096, 100}};

// One random request through read, readBlocks or getOfsData; answers whether
// it succeeded and checks the bytes then. A request fails exactly when it
// leaves the disk or holds a block of bad.
void request(CachedDisk& cache, const std::vector<u8>& file, TestRandom& random, const std::set<u64>& bad, Data& data) {
    const u32 bs = cache.getBlockSize();
    const u64 blocks = cache.getBlockCount(), lineBytes = u64(cache.getBlocksPerRead()) * bs;
    u64 ofs = random.below(blocks * bs + 2 * bs);
    u64 len = random.below(2) ? random.below(bs * 3) : random.below(3 * lineBytes);
    static std::vector<u8> buffer;
    buffer.resize(4 * lineBytes + 2 * bs);
    const u8* got = buffer.data();
    const int kind = static_cast<int>(random.below(3));
    bool ok;
    if (kind == 1) {
        const u32 count = static_cast<u32>(len / bs);
        ok = cache.readBlocks(ofs / bs, count, buffer.data());
        ofs = ofs / bs * bs;
        len = u64(count) * bs;
    } else if (kind == 0) {
        ok = cache.read(ofs, static_cast<u32>(len), buffer.data());
    } else {
        ok = cache.getOfsData(ofs, static_cast<u32>(len), data);
        got = data.getPtr();
    }
    bool expected = ofs <= blocks * bs && len <= blocks * bs - ofs;
    for (u64 b : bad) expected &= len == 0 || b < ofs / bs || b > (ofs + len - 1) / bs;
    ASSERT_EQ(ok, expected) << kind << " " << ofs << "+" << len;
    if (ok) ASSERT_TRUE(same(got, file, ofs, len)) << kind << " " << ofs << "+" << len;
}

TEST(CachedDisk, EveryRequestGivesTheFileBytesOnEveryAwkwardImageAndCacheSize) {
    u64 seed = 100;
    for (const char* name : {"rand_511.img", "rand_1000.img", "rand_4097.img", "rand_1m333.img", "rand_3m.img",
                             "small.iso", "iso_cut_34775.img", "iso_cut_34776.img"}) {
        const auto file = readFileBytes(mediaPath(name));
        for (auto [cacheSize, readAhead] : kCacheSizes) {
            SCOPED_TRACE(std::string(name) + " " + std::to_string(cacheSize) + "/" + std::to_string(readAhead));
            ImageDisk image(mediaPath(name));
            CachedDisk cache(&image, cacheSize, readAhead);
            ASSERT_TRUE(cache.open(false));
            TestRandom random(++seed);
            Data data, view;  // another holder's view, kept meanwhile
            const u32 viewLen = static_cast<u32>(std::min<u64>(cache.getBlockCount() * cache.getBlockSize(), 100));
            ASSERT_TRUE(cache.getOfsData(0, viewLen, view, 1));
            for (int i = 0; i < 400; ++i) request(cache, file, random, {}, data);
            if (cache.getLineCount() > 2) EXPECT_TRUE(same(view.getPtr(), file, 0, viewLen));  // two holders lock two
            EXPECT_EQ(image.getReadErrors(), 0u);
            if (data.isOwned()) data.free();
        }
    }
}

TEST(CachedDisk, InjectedBadBlocksFailOnlyTheirRequestsAndCountOnceEach) {
    const auto file = readFileBytes(mediaPath("rand_3m.img"));
    for (auto [cacheSize, readAhead] : kCacheSizes) {
        SCOPED_TRACE(std::to_string(cacheSize) + "/" + std::to_string(readAhead));
        ImageDisk image(mediaPath("rand_3m.img"));
        FailingDisk disk(&image);
        TestRandom random(cacheSize + readAhead);
        for (int i = 0; i < 40; ++i) disk.failBlock(random.below(disk.getBlockCount()));
        disk.failBlocks(1000, 30);
        CachedDisk cache(&disk, cacheSize, readAhead);
        ASSERT_TRUE(cache.open(false));
        Data data;
        for (int pass = 0; pass < 2; ++pass) {
            TestRandom requests(7);  // the same requests twice
            disk.clearRequests();
            for (int i = 0; i < 400; ++i) request(cache, file, requests, disk.failingBlocks(), data);
            if (pass == 0) {
                // Each bad block learned was asked for alone once, and counted once.
                std::set<u64> learned;
                for (const auto& r : disk.requests()) {
                    if (r.count == 1 && disk.isFailing(r.block)) EXPECT_TRUE(learned.insert(r.block).second) << r.block;
                }
                EXPECT_GT(learned.size(), 0u);
                EXPECT_EQ(disk.getReadErrors(), learned.size());
            }
        }
        // The second pass asked the device for no bad block.
        for (const auto& r : disk.requests()) {
            for (u64 b = r.block; b < r.block + r.count; ++b) ASSERT_FALSE(disk.isFailing(b)) << b;
        }
        if (data.isOwned()) data.free();
    }
}

TEST(CachedDisk, TheLastBlockOfAnImageAbove4GiBReadsThroughTheCache) {
    ImageDisk image(mediaPath("sparse_4g.img"));
    CachedDisk cache(&image, 4194304, 262144);
    ASSERT_TRUE(cache.open(false));
    Data data;
    for (u64 ofs : {cache.getBlockCount() * 512 - 1000, u64(4294967296ULL - 8)}) {
        ASSERT_TRUE(cache.getOfsData(ofs, 1000, data));
        for (u32 i = 0; i < 1000; ++i) ASSERT_EQ(data.getPtr()[i], offsetWordByte(ofs + i)) << ofs + i;
    }
    EXPECT_EQ(image.getReadErrors(), 0u);
    if (data.isOwned()) data.free();
}

}  // namespace
}  // namespace vorn::test
