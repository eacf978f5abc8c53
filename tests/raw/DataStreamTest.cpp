// The carver's byte streams: positions and their limits at both ends of the
// disk, short reads, integers in both byte orders (missing bytes read as 0),
// the position stack, windows of a stream, and reads through the shared
// block cache that never show another line's bytes.
#include <gtest/gtest.h>

#include "misc/Bytes.h"
#include "raw/RawTestSupport.h"
#include "raw/SubDataStream.h"
#include "storage/LogCapture.h"
#include "storage/StorageTestUtil.h"

namespace vorn::test {
namespace {

TEST(DiskDataStream, SeeksReachTheLastByteAndNoFurther) {
    StreamRig rig(patternBytes(4096, 1));
    struct Case {
        i64 offset;
        int whence;
        bool ok;
        u64 pos;  // after the seek, which starts from 100
    } cases[] = {{4095, 0, true, 4095},   {4096, 0, false, 100},     {-1, 0, false, 100},
                 {1, 2, true, 4095},      {0, 2, false, 100},        {4096, 2, true, 0},
                 {-100, 1, true, 0},      {-101, 1, false, 100},     {INT64_MIN, 2, false, 100},
                 {INT64_MAX, 1, false, 100}, {0, 7, false, 100}};
    LogCapture logs;
    for (const Case& c : cases) {
        rig.at(100);
        EXPECT_EQ(rig.stream->seek(c.offset, c.whence), c.ok) << c.offset << "/" << c.whence;
        EXPECT_EQ(rig.stream->getPos(), c.pos) << c.offset << "/" << c.whence;
    }
    // Every failure but the unknown whence is logged.
    EXPECT_EQ(logs.count(">>>>>> ComfortDataStream error seeking\n"), 6);
}

TEST(DiskDataStream, AtTheEndReadIsShortReadPtrRefusesAndIntegersReadZeros) {
    std::vector<u8> bytes = patternBytes(4096, 3);
    bytes[4093] = 0xAA, bytes[4094] = 0xBB, bytes[4095] = 0xCC;
    StreamRig rig(bytes);
    LogCapture logs;
    EXPECT_EQ(rig.at(4093)->readPtr(4), nullptr);
    EXPECT_EQ(rig.stream->getPos(), 4093u);
    u8 out[4] = {0, 0, 0, 0xEE};
    EXPECT_EQ(rig.stream->read(4, out), 3u);
    EXPECT_EQ(0, memcmp(out, "\xAA\xBB\xCC\xEE", 4));
    EXPECT_EQ(logs.count("error: cannot read after file end\n"), 2);
    EXPECT_EQ(rig.at(4093)->readU32(), 0x00CCBBAAu);  // only the missing byte is logged
    EXPECT_EQ(logs.count("error: cannot read after file end\n"), 3);
    rig.stream->setLittleEndian(0);
    EXPECT_EQ(rig.at(4095)->readU16(), 0xCC00);
    EXPECT_EQ(rig.stream->read(0, out), 0u);
    EXPECT_EQ(rig.stream->readPtr(0), nullptr);
    EXPECT_EQ(logs.count("error reading: count is negative or zero!\n"), 2);
}

TEST(DiskDataStream, IntegersFollowTheByteOrderAndBadBlocksReadAsZeros) {
    std::vector<u8> bytes(64 * 512, 0);
    put(bytes, 9 * 512 - 2, "\x34\x12\x78\x56");
    StreamRig rig(bytes);
    EXPECT_EQ(rig.at(9 * 512 - 2)->readU32(), 0x56781234u);
    rig.stream->setLittleEndian(0);
    EXPECT_EQ(rig.at(9 * 512 - 2)->readU16(), 0x3412);
    StreamRig damaged(bytes);
    damaged.disk.failBlock(9);
    EXPECT_EQ(damaged.at(9 * 512 - 2)->readPtr(4), nullptr);
    EXPECT_EQ(damaged.stream->getPos(), 9u * 512 - 2);
    EXPECT_EQ(damaged.stream->readU32(), 0x1234u);  // the bytes that read still count
    EXPECT_EQ(damaged.stream->getPos(), 9u * 512);   // failed bytes do not move it
}

TEST(ComfortDataStream, PopReturnsToThePushedPositionAndAnEmptyStackChangesNothing) {
    StreamRig rig(patternBytes(4096, 6));
    LogCapture logs;
    rig.at(100)->push();
    rig.at(3000)->push();
    rig.stream->readU32();
    rig.stream->pop();
    EXPECT_EQ(rig.stream->getPos(), 3000u);
    rig.stream->pop();
    EXPECT_EQ(rig.stream->getPos(), 100u);
    EXPECT_TRUE(logs.has("push: 100\n") && logs.has("top: 3000\n"));
    EXPECT_EQ(logs.count("pop\n"), 2);
    rig.stream->pop();
    EXPECT_TRUE(logs.has(">>>>> ERROR: stack is empty!\n"));
    EXPECT_EQ(rig.stream->getPos(), 100u);
}

TEST(SubDataStream, AWindowCountsFromItsStartAndReadsNoFurtherThanItsEnd) {
    StreamRig rig(patternBytes(4096, 7));
    SubDataStream window(rig.stream.get(), 1000, 1999);
    EXPECT_EQ(window.getSize(), 1000u);
    EXPECT_EQ(window.getBlockSize(), 512u);
    ASSERT_TRUE(window.seek(10, SEEK_FROM_START));
    ASSERT_TRUE(window.seek(5, SEEK_FROM_CURRENT));
    EXPECT_EQ(rig.stream->getPos(), 1015u);
    EXPECT_EQ(window.getPos(), 15u);
    ASSERT_TRUE(window.seek(3, SEEK_FROM_END));
    u8 out[16];
    EXPECT_EQ(window.read(16, out), 4u);
    EXPECT_EQ(0, memcmp(out, rig.bytes.data() + 1996, 4));
    EXPECT_EQ(window.read(16, out), 0u);
    LogCapture logs;
    EXPECT_EQ(SubDataStream(rig.stream.get(), 2000, 1000).getSize(), 0u);
    EXPECT_TRUE(logs.has(">>> subdatastream getsize ERROR: endpos < startpos\n"));
}

// The scan keeps its block as a view (holder 0) while the carver's stream
// reads anywhere through the same cache (and, for comparison, straight from
// the disk): every read gives the disk's bytes at that place, and the
// scan's view keeps its bytes.
TEST(DiskDataStream, StreamReadsAndTheScansViewNeverSeeEachOthersLines) {
    const auto bytes = patternBytes(256 * 2048 + 1536, 9);
    for (bool cached : {true, false}) {
        StreamRig rig(bytes, cached);
        TestRandom random(cached ? 10 : 11);
        Data scan;
        u64 scanOfs = 0;
        for (int step = 0; step < 4000; ++step) {
            if (step % 50 == 0) {
                scanOfs = random.below(bytes.size() - 1024) & ~u64(1023);  // one line: a view
                ASSERT_TRUE(rig.cache->getOfsData(scanOfs, 1024, scan, 0));
            }
            const u64 ofs = random.below(bytes.size());
            const u32 count = static_cast<u32>(1 + random.below(step % 7 == 0 ? 5000 : 16));
            if (ofs + count <= bytes.size()) {
                const u8* p = rig.at(ofs)->readPtr(count);
                ASSERT_TRUE(p && memcmp(p, bytes.data() + ofs, count) == 0) << ofs << "+" << count;
                ASSERT_EQ(rig.stream->getPos(), ofs + count);
            }
            ASSERT_EQ(0, memcmp(scan.getPtr(), bytes.data() + scanOfs, 1024)) << step;
        }
    }
}

}  // namespace
}  // namespace vorn::test
