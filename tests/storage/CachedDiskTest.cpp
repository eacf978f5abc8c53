#include "storage/CachedDisk.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <cstring>
#include <memory>
#include <set>

#include "LogCapture.h"
#include "TestMedia.h"
#include "storage/CacheRequestCheck.h"
#include "storage/FailingDisk.h"
#include "storage/ImageDisk.h"
#include "storage/StorageTestUtil.h"

namespace vorn::test {
namespace {

constexpr u32 kLine = 2048;  // caches of 16 lines of 4 blocks of 512 bytes by default

bool same(const u8* got, const std::vector<u8>& bytes, u64 ofs, u64 len) {
    return len == 0 || memcmp(got, bytes.data() + ofs, len) == 0;
}

// Pattern bytes on a FailingDisk behind an open cache.
struct Rig {
    std::vector<u8> bytes;
    FailingDisk disk;
    CachedDisk cache;
    Rig(size_t size, u64 seed, u32 cacheSize = 16 * kLine, u32 readAhead = kLine, u32 blockSize = 512)
        : bytes(patternBytes(size, seed)), disk(bytes, blockSize), cache(&disk, cacheSize, readAhead) {
        EXPECT_TRUE(cache.open(false));
    }
    bool cached(u64 line) {  // reading a byte of line needs no device request
        const size_t before = disk.requestCount();
        u8 byte;
        EXPECT_TRUE(cache.read(line * kLine + 1, 1, &byte));
        return disk.requestCount() == before;
    }
    void touch(u64 first, u64 last) {
        u8 byte;
        for (u64 line = first; line <= last; ++line) ASSERT_TRUE(cache.read(line * kLine, 1, &byte));
    }
};

TEST(CachedDisk, GeometryHasAtLeastOneBlockPerLineAndOneLine) {
    struct Case { u32 blockSize, cacheSize, readAhead, lines, blocksPerRead; };
    for (const Case& c : std::vector<Case>{{512, 4194304, 262144, 16, 512}, {2048, 20480, 2048, 10, 1},
                                           {4096, 20480, 2048, 5, 1}, {512, 1000, 2048, 1, 4},
                                           {512, 0, 0, 1, 1}, {0, 4194304, 262144, 1, 1}}) {
        SCOPED_TRACE(std::to_string(c.blockSize) + " " + std::to_string(c.cacheSize) + " " + std::to_string(c.readAhead));
        FailingDisk disk(std::vector<u8>(size_t(c.blockSize ? c.blockSize : 512) * 8), c.blockSize);
        CachedDisk cache(&disk, c.cacheSize, c.readAhead);
        EXPECT_EQ(cache.getLineCount(), c.lines);
        EXPECT_EQ(cache.getBlocksPerRead(), c.blocksPerRead);
    }
}

TEST(CachedDisk, IsReadOnlyKeepsAnEvictedViewLiveAndLeavesTheWrappedDiskOpen) {
    const auto bytes = patternBytes(8 * kLine, 21);
    FailingDisk disk(bytes);
    auto cache = std::make_unique<CachedDisk>(&disk, kLine, kLine);  // one line
    Data view;
    u8 buffer[512];
    ASSERT_TRUE(cache->open(false));
    ASSERT_TRUE(cache->getOfsData(10, 100, view));
    EXPECT_FALSE(cache->writeBlocks(0, 1, buffer));
    LogCapture logs;
    ASSERT_TRUE(cache->read(3 * kLine, 16, buffer));
    ASSERT_TRUE(same(buffer, bytes, 3 * kLine, 16));
    EXPECT_TRUE(logs.has("!! ERROR !! Cache is completely locked!\n"));
    volatile u8 sum = 0;  // the sanitizer build checks the evicted view is still live memory
    for (u32 i = 0; i < view.getSize(); ++i) sum = sum + view.getPtr()[i];
    cache.reset();
    EXPECT_EQ(disk.getOpenCount(), 1u) << "the wrapped disk stays open";
}

TEST(CachedDisk, TheLeastRecentlyUsedLineMakesRoomInExactOrder) {
    Rig r(20 * kLine, 4);
    r.touch(0, 15);
    r.touch(0, 0);
    r.touch(2, 2);  // oldest first: 1, 3, 4, ...
    r.touch(16, 17);
    EXPECT_TRUE(r.cached(0));
    EXPECT_TRUE(r.cached(2));
    EXPECT_TRUE(r.cached(4));
    EXPECT_FALSE(r.cached(3));  // reading 3 evicts 5, the oldest now
    EXPECT_FALSE(r.cached(5));
}

TEST(CachedDisk, AViewIsALockedLineThatSurvivesReadsOfOtherLines) {
    Rig r(40 * kLine, 7);
    Data view, again;
    ASSERT_TRUE(r.cache.getOfsData(3 * kLine + 100, kLine - 100, view));
    ASSERT_TRUE(r.cache.getOfsData(3 * kLine + 101, 10, again, 1));
    EXPECT_TRUE(!view.isOwned());
    EXPECT_TRUE(again.getPtr() == view.getPtr() + 1);
    std::vector<u8> buffer(3 * kLine);
    for (u64 line = 0; line < 120; ++line) {
        if (line % 40 == 3) continue;
        ASSERT_TRUE(r.cache.read(line % 40 * kLine, kLine, buffer.data()));
        ASSERT_TRUE(r.cache.readBlocks(line % 40 * 4, 4, buffer.data()));
        ASSERT_TRUE(r.cache.read(0, 3 * kLine, buffer.data()));
    }
    EXPECT_TRUE(same(view.getPtr(), r.bytes, 3 * kLine + 100, kLine - 100));
    // A copy over line boundaries (three lines here) is owned and drops the
    // lock: line 3 then ages out like any other.
    ASSERT_TRUE(r.cache.getOfsData(5 * kLine - 1, kLine + 2, view));
    ASSERT_TRUE(r.cache.getOfsData(0, 1, again, 1));
    EXPECT_TRUE(view.isOwned());
    EXPECT_TRUE(same(view.getPtr(), r.bytes, 5 * kLine - 1, kLine + 2));
    view.free();
    r.touch(20, 36);
    EXPECT_FALSE(r.cached(3));
}

TEST(CachedDisk, TheLastLineIsShortAndRangesPastTheEndAreRefused) {
    Rig r(10 * 512 + 100, 12);  // 10 blocks: lines of 4, 4 and 2
    CachedDisk& cache = r.cache;
    LogCapture logs;
    std::vector<u8> buffer(4096);
    ASSERT_TRUE(cache.readBlocks(9, 1, buffer.data()));
    ASSERT_TRUE(same(buffer.data(), r.bytes, 9 * 512, 512));
    ASSERT_EQ(r.disk.requestCount(), 1u);  // one request for the line
    EXPECT_TRUE(r.disk.requests()[0].block == 8);
    EXPECT_TRUE(r.disk.requests()[0].count == 2);
    Data data;
    ASSERT_TRUE(cache.getOfsData(10 * 512 - 700, 700, data));
    ASSERT_TRUE(same(data.getPtr(), r.bytes, 10 * 512 - 700, 700));
    EXPECT_TRUE(cache.getOfsData(10 * 512, 0, data));
    EXPECT_TRUE(cache.readBlocks(10, 0, buffer.data()));
    EXPECT_FALSE(cache.getOfsData(10 * 512 - 700, 701, data));
    EXPECT_FALSE(cache.read(10 * 512 - 700, 701, buffer.data()));
    EXPECT_FALSE(cache.readBlocks(10, 1, buffer.data()));
    EXPECT_FALSE(cache.readBlocks(9, 2, buffer.data()));
    EXPECT_FALSE(cache.readBlocks(~u64(0), 2, buffer.data()));
    EXPECT_FALSE(cache.read(~u64(0) - 1, 4, buffer.data()));
    EXPECT_FALSE(cache.getOfsData(0, Disk::kMaxReadSize + 1, data));
    EXPECT_FALSE(cache.read(0, 1, nullptr));
    EXPECT_TRUE(r.disk.requestCount() == 1);
    EXPECT_TRUE(r.disk.getReadErrors() == 0);
    r.disk.setBlockSize(0);  // never reaches a division
    EXPECT_FALSE(cache.read(0, 1, buffer.data()));
    EXPECT_FALSE(cache.getOfsData(0, 1, data));
    EXPECT_FALSE(cache.readBlocks(0, 1, buffer.data()));
}

TEST(CachedDisk, BadBlocksCostOnlyThemselvesAndCountOnceEach) {
    Rig r(40 * kLine, 17);
    r.disk.failBlock(2);
    r.disk.failBlocks(8, 4);  // a whole line
    LogCapture logs;
    Data data;
    ASSERT_TRUE(r.cache.getOfsData(0, 1024, data));
    ASSERT_TRUE(same(data.getPtr(), r.bytes, 0, 1024));
    ASSERT_EQ(r.disk.requestCount(), 5u);  // the line, then block by block
    for (u32 i = 0; i < 4; ++i) EXPECT_EQ(r.disk.requests()[1 + i].block, i);
    EXPECT_EQ(r.disk.getReadErrors(), 1u);
    u8 buffer[512];
    EXPECT_FALSE(r.cache.getOfsData(9 * 512, 10, data));
    EXPECT_FALSE(r.cache.getOfsData(8 * 512, 10, data));
    EXPECT_EQ(r.disk.getReadErrors(), 5u);
    // Evicted and refilled, line 0 skips its known bad block; known bad
    // blocks fail at once: no device request, no new error.
    r.touch(10, 30);
    r.disk.clearRequests();
    ASSERT_TRUE(r.cache.readBlocks(3, 1, buffer));
    ASSERT_TRUE(same(buffer, r.bytes, 3 * 512, 512));
    EXPECT_FALSE(r.cache.getOfsData(8 * 512, 10, data));
    ASSERT_EQ(r.disk.requestCount(), 2u);
    EXPECT_TRUE(r.disk.requests()[0].count == 2);
    EXPECT_TRUE(r.disk.requests()[1].block == 3);
    EXPECT_EQ(r.disk.getReadErrors(), 5u);
}

TEST(CachedDisk, CdSectorsReadAsLogicalBlocks) {
    Rig r(50 * 2352, 20, 4194304, 262144, 2352);
    std::vector<u8> buffer(2048 * 50);
    ASSERT_TRUE(r.cache.read(0, 2048 * 50, buffer.data()));
    for (u32 k = 0; k < 50; ++k) ASSERT_TRUE(same(buffer.data() + k * 2048, r.bytes, k * 2352 + 16, 2048)) << k;
}

const std::pair<u32, u32> kCacheSizes[] = {{4194304, 262144}, {20480, 2048}, {2048, 2048}, {4608, 1536}, {4096, 100}};

TEST(CachedDisk, EveryRequestGivesTheFileBytesOrFailsForItsOwnBadBlocksOnEveryImage) {
    u64 seed = 100, met = 0;
    for (const std::string name : {"rand_511.img", "rand_1000.img", "rand_4097.img", "rand_1m333.img", "rand_3m.img",
                                   "small.iso", "iso_cut_34775.img", "iso_cut_34776.img"}) {
        const auto file = readFileBytes(mediaPath(name));
        for (auto [cacheSize, readAhead] : kCacheSizes) {
            SCOPED_TRACE(name + " " + std::to_string(cacheSize) + "/" + std::to_string(readAhead));
            ImageDisk image(mediaPath(name));
            FailingDisk disk(&image);
            CachedDisk cache(&disk, cacheSize, readAhead);
            TestRandom random(++seed);
            for (int i = 0; i < 20; ++i) disk.failBlock(random.below(disk.getBlockCount()) | 1);  // never block 0
            if (name == "rand_3m.img") disk.failBlocks(1000, 30);
            Data view;
            const u32 viewLen = static_cast<u32>(std::min<u64>(disk.getBlockCount() * disk.getBlockSize(), 100));
            ASSERT_TRUE(cache.open(false));
            ASSERT_TRUE(cache.getOfsData(0, viewLen, view, 1));
            // The last block reads the file's bytes, then zeros.
            CacheRequestCheck check{cache, [&](u64 ofs) { return ofs < file.size() ? file[ofs] : u8(0); },
                                    [&](u64 first, u64 last) {
                auto bad = disk.failingBlocks().lower_bound(first);
                return bad == disk.failingBlocks().end() || *bad > last;
            }};
            const u64 bs = disk.getBlockSize(), size = disk.getBlockCount() * bs, line = cache.getBlocksPerRead() * bs;
            for (int pass = 0; pass < 2; ++pass) {
                TestRandom requests(seed);
                if (pass == 1) disk.clearRequests();
                for (int i = 0; i < 400; ++i) {
                    const u64 ofs = requests.below(size + 2 * bs);
                    const u64 len = requests.below(2) ? requests.below(bs * 3) : requests.below(3 * line);
                    const auto kind = static_cast<CacheRequestCheck::Kind>(requests.below(3));
                    ASSERT_EQ(check.run(kind, ofs, static_cast<u32>(len)), "");
                }
                std::set<u64> alone;
                for (const auto& q : disk.requests()) {
                    for (u64 b = q.block; b < q.block + q.count; ++b) {
                        if (disk.isFailing(b)) {
                            EXPECT_TRUE(pass == 0) << b;
                            EXPECT_TRUE((q.count > 1 || alone.insert(b).second)) << b;
                        }
                    }
                }
                if (pass == 0) { EXPECT_EQ(disk.getReadErrors(), alone.size()); }
                met += alone.size();
            }
            if (cache.getLineCount() > 2) { EXPECT_TRUE(same(view.getPtr(), file, 0, viewLen)); }  // two holders lock two
            if (check.view.isOwned()) check.view.free();
        }
    }
    EXPECT_GT(met, 100u);
}

TEST(CachedDisk, TheLastBlockOfAnImageAbove4GiBReadsThroughTheCache) {
    ImageDisk image(mediaPath("sparse_4g.img"));
    CachedDisk cache(&image, 4194304, 262144);
    ASSERT_TRUE(cache.open(false));
    Data data;
    const u64 end = std::filesystem::file_size(mediaPath("sparse_4g.img"));  // inside the last block
    for (u64 ofs : {end - 1004, u64(4294967296ULL - 8)}) {
        ASSERT_TRUE(cache.getOfsData(ofs, 1000, data));
        for (u32 i = 0; i < 1000; ++i) ASSERT_EQ(data.getPtr()[i], offsetWordByte(ofs + i)) << ofs + i;
    }
    // The file's last 4 bytes, then the zeros to the end of its block.
    ASSERT_EQ(cache.getBlockCount() * 512 - end, 412u);
    ASSERT_TRUE(cache.getOfsData(end - 4, 8, data));
    EXPECT_EQ(std::vector<u8>(data.getPtr(), data.getPtr() + 8), std::vector<u8>({0xEE, 0xEE, 0xEE, 0xEE, 0, 0, 0, 0}));
    if (data.isOwned()) data.free();
}

}  // namespace
}  // namespace vorn::test
