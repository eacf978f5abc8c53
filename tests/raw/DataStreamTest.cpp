// The carver's byte streams: positions and their limits at both ends of the
// disk, short reads, integer reads in both byte orders (missing bytes read
// as 0), the position stack, windows of a stream, and reads through the
// shared block cache that never show another line's bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "misc/Bytes.h"
#include "misc/Data.h"
#include "raw/ComfortDataStream.h"
#include "raw/DiskDataStream.h"
#include "raw/SubDataStream.h"
#include "storage/CachedDisk.h"
#include "storage/FailingDisk.h"
#include "storage/LogCapture.h"
#include "raw/StreamRig.h"
#include "storage/StorageTestUtil.h"

namespace vorn::test {
namespace {

TEST(DiskDataStreamSeek, TheLastValidPositionIsTheSizeMinusOne) {
    StreamRig rig(patternBytes(4096, 1));
    LogCapture logs;
    ASSERT_EQ(rig.stream->getSize(), 4096u);
    EXPECT_TRUE(rig.stream->seek(4095, SEEK_FROM_START));
    EXPECT_EQ(rig.stream->getPos(), 4095u);
    EXPECT_FALSE(rig.stream->seek(4096, SEEK_FROM_START));
    EXPECT_EQ(logs.count(">>>>>> ComfortDataStream error seeking\n"), 1);
    EXPECT_EQ(rig.stream->getPos(), 4095u);
    EXPECT_FALSE(rig.stream->seek(-4096, SEEK_FROM_CURRENT));
    EXPECT_TRUE(rig.stream->seek(-4095, SEEK_FROM_CURRENT));
    EXPECT_EQ(rig.stream->getPos(), 0u);
}

TEST(DiskDataStreamSeek, FromTheEndZeroFailsAndOneReachesTheLastByte) {
    StreamRig rig(patternBytes(4096, 2));
    LogCapture logs;
    EXPECT_FALSE(rig.stream->seek(0, SEEK_FROM_END));
    EXPECT_TRUE(rig.stream->seek(1, SEEK_FROM_END));
    EXPECT_EQ(rig.stream->getPos(), 4095u);
    EXPECT_EQ(rig.stream->readU8(), rig.bytes[4095]);
    logs.clear();
    EXPECT_FALSE(rig.stream->seek(0, 7));  // an unknown whence fails silently
    EXPECT_TRUE(logs.lines.empty());
    EXPECT_FALSE(rig.stream->seek(INT64_MIN, SEEK_FROM_END));  // no overflow into range
    EXPECT_FALSE(rig.stream->seek(INT64_MAX, SEEK_FROM_CURRENT));
}

TEST(DiskDataStreamRead, NearTheEndReadIsShortAndReadPtrRefuses) {
    StreamRig rig(patternBytes(4096, 3));
    LogCapture logs;
    ASSERT_TRUE(rig.stream->seek(4093, SEEK_FROM_START));
    EXPECT_EQ(rig.stream->readPtr(4), nullptr);
    EXPECT_EQ(logs.count("error: cannot read after file end\n"), 1);
    EXPECT_EQ(rig.stream->getPos(), 4093u);
    u8 out[4] = {0, 0, 0, 0xEE};
    EXPECT_EQ(rig.stream->read(4, out), 3u);
    EXPECT_EQ(logs.count("error: cannot read after file end\n"), 2);
    EXPECT_EQ(0, memcmp(out, rig.bytes.data() + 4093, 3));
    EXPECT_EQ(out[3], 0xEE);
    EXPECT_EQ(rig.stream->getPos(), 4096u);
    EXPECT_EQ(rig.stream->read(1, out), 0u);  // nothing left at all
}

TEST(DiskDataStreamRead, ACountOfZeroIsAnError) {
    StreamRig rig(patternBytes(4096, 4));
    LogCapture logs;
    u8 out[1];
    EXPECT_EQ(rig.stream->read(0, out), 0u);
    EXPECT_EQ(rig.stream->readPtr(0), nullptr);
    EXPECT_EQ(logs.count("error reading: count is negative or zero!\n"), 2);
}

TEST(DiskDataStreamRead, AnUnreadableBlockFailsOnlyTheReadsThatTouchIt) {
    StreamRig rig(patternBytes(64 * 512, 5));
    rig.disk.failBlock(9);  // inside the line of blocks 8 to 11
    ASSERT_TRUE(rig.stream->seek(9 * 512 - 2, SEEK_FROM_START));
    EXPECT_EQ(rig.stream->readPtr(4), nullptr);
    EXPECT_EQ(rig.stream->getPos(), 9u * 512 - 2);
    const u8* p = rig.stream->readPtr(2);  // block 8 of the same line reads
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(0, memcmp(p, rig.bytes.data() + 9 * 512 - 2, 2));
    EXPECT_EQ(rig.stream->readU8(), 0);  // the bad block reads as 0
    EXPECT_EQ(rig.stream->getPos(), 9u * 512);
    ASSERT_TRUE(rig.stream->seek(10 * 512, SEEK_FROM_START));
    EXPECT_EQ(rig.stream->readU32(), loadLE32(rig.bytes.data() + 10 * 512));
}

TEST(ComfortDataStream, IntegersFollowTheByteOrder) {
    std::vector<u8> bytes(4096, 0);
    bytes[0] = 0x34, bytes[1] = 0x12, bytes[2] = 0x78, bytes[3] = 0x56;
    StreamRig rig(bytes);
    EXPECT_EQ(rig.stream->readU16(), 0x1234);
    rig.stream->seek(0, SEEK_FROM_START);
    EXPECT_EQ(rig.stream->readU32(), 0x56781234u);
    rig.stream->setLittleEndian(0);
    rig.stream->seek(0, SEEK_FROM_START);
    EXPECT_EQ(rig.stream->readU16(), 0x3412);
    EXPECT_EQ(rig.stream->readU16(), 0x7856);
    EXPECT_EQ(rig.stream->getPos(), 4u);
}

TEST(ComfortDataStream, BytesPastTheEndReadAsZeroAndTheOthersStillCount) {
    std::vector<u8> bytes(4096, 0);
    bytes[4093] = 0xAA, bytes[4094] = 0xBB, bytes[4095] = 0xCC;
    StreamRig rig(bytes);
    LogCapture logs;
    rig.stream->seek(4093, SEEK_FROM_START);
    EXPECT_EQ(rig.stream->readU32(), 0x00CCBBAAu);
    EXPECT_EQ(rig.stream->getPos(), 4096u);
    EXPECT_EQ(logs.count("error: cannot read after file end\n"), 1);  // only the missing byte
    rig.stream->setLittleEndian(0);
    rig.stream->seek(4095, SEEK_FROM_START);
    EXPECT_EQ(rig.stream->readU16(), 0xCC00);
    EXPECT_EQ(rig.stream->readU8(), 0);
}

TEST(ComfortDataStream, PopReturnsToThePushedPositionAndAnEmptyStackChangesNothing) {
    StreamRig rig(patternBytes(4096, 6));
    LogCapture logs;
    rig.stream->seek(100, SEEK_FROM_START);
    rig.stream->push();
    rig.stream->seek(3000, SEEK_FROM_START);
    rig.stream->push();
    rig.stream->readU32();
    rig.stream->pop();
    EXPECT_EQ(rig.stream->getPos(), 3000u);
    rig.stream->pop();
    EXPECT_EQ(rig.stream->getPos(), 100u);
    EXPECT_TRUE(logs.has("push: 100\n"));
    EXPECT_TRUE(logs.has("top: 3000\n"));
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
    EXPECT_EQ(rig.stream->getPos(), 1010u);
    EXPECT_EQ(window.getPos(), 10u);
    ASSERT_TRUE(window.seek(5, SEEK_FROM_CURRENT));
    EXPECT_EQ(window.getPos(), 15u);
    ASSERT_TRUE(window.seek(3, SEEK_FROM_END));
    EXPECT_EQ(rig.stream->getPos(), 1996u);
    u8 out[16];
    EXPECT_EQ(window.read(16, out), 4u);
    EXPECT_EQ(0, memcmp(out, rig.bytes.data() + 1996, 4));
    EXPECT_EQ(window.read(16, out), 0u);  // beyond the end
    EXPECT_FALSE(window.seek(0, 9));
}

TEST(SubDataStream, AnEndBeforeTheStartHasNoSize) {
    StreamRig rig(patternBytes(4096, 8));
    SubDataStream window(rig.stream.get(), 2000, 1000);
    LogCapture logs;
    EXPECT_EQ(window.getSize(), 0u);
    EXPECT_TRUE(logs.has(">>> subdatastream getsize ERROR: endpos < startpos\n"));
}

// The scan keeps its block as a view (holder 0) while the carver's stream
// reads anywhere through the same cache: every read must give the disk's own
// bytes at that place, and the scan's view must keep its bytes.
TEST(DiskDataStreamCache, StreamReadsAndTheScansViewNeverSeeEachOthersLines) {
    const auto bytes = patternBytes(256 * 2048 + 1536, 9);
    for (bool cached : {true, false}) {
        StreamRig rig(bytes, cached);
        TestRandom random(cached ? 10 : 11);
        Data scan;
        u64 scanOfs = 0;
        for (int step = 0; step < 4000; ++step) {
            if (step % 50 == 0) {
                // An allocation block of 1 KiB: always inside one line, a view.
                scanOfs = random.below(bytes.size() - 1024) & ~u64(1023);
                ASSERT_TRUE(rig.cache->getOfsData(scanOfs, 1024, scan, 0));
                ASSERT_FALSE(scan.isOwned());
            }
            const u64 ofs = random.below(bytes.size());
            const u32 count = static_cast<u32>(1 + random.below(step % 7 == 0 ? 5000 : 16));
            ASSERT_TRUE(rig.stream->seek(static_cast<i64>(ofs), SEEK_FROM_START));
            if (ofs + count <= bytes.size()) {
                const u8* p = rig.stream->readPtr(count);
                ASSERT_NE(p, nullptr) << ofs << "+" << count;
                ASSERT_EQ(0, memcmp(p, bytes.data() + ofs, count)) << ofs << "+" << count;
                ASSERT_EQ(rig.stream->getPos(), ofs + count);
            }
            ASSERT_EQ(0, memcmp(scan.getPtr(), bytes.data() + scanOfs, 1024)) << step;
        }
    }
}

}  // namespace
}  // namespace vorn::test
