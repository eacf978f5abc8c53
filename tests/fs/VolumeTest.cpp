#include "fs/Volume.h"

#include <gtest/gtest.h>

#include <memory>

#include "fs/ItemTestSupport.h"
#include "fs/MarkerBitmap.h"
#include "fs/MemoryTestDisk.h"
#include "misc/Bytes.h"

namespace vorn {
namespace {

TEST(Volume, ReadsAtItsDiskOffsetMarksTheBlocksItReadAndDetachesItsRoots) {
    test::LogCapture rec(LOG_WARNING);
    std::vector<u8> bytes(16 * 512);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<u8>(i * 7 + i / 256);
    test::MemoryTestDisk disk(bytes);
    ASSERT_TRUE(disk.open(false));
    auto* volume = new test::TestVolume(&disk);
    volume->setDiskOffset(512);
    volume->createMarkerBitmap();
    u8 buf[600];
    ASSERT_TRUE(volume->read(0, 100, buf));  // marking is off
    volume->setMarkUsedBlocks(true);
    ASSERT_TRUE(volume->read(1000, 600, buf));  // disk bytes 1512 to 2111: blocks 2 to 4
    EXPECT_TRUE(std::equal(buf, buf + 600, bytes.begin() + 1512));
    EXPECT_FALSE(volume->read(15 * 512, 10, buf));  // past the end; no disk
    EXPECT_FALSE(test::TestVolume().read(0, 4, buf));
    EXPECT_EQ(loadLE16(volume->getMarkerBitmap()->getBits()), 0x1C);  // a failed read marks nothing
    volume->setDiskOffset(8192);  // beyond the disk: logged
    EXPECT_EQ(rec.lines, (std::vector<std::string>{"Volume::read - error: no disk assigned!\n",
                                                   "Volume::setDiskOffset - offset out of disk range! (8192)\n"}));
    volume->createRootItem("root");
    std::unique_ptr<VolumeItem> root(volume->getRootItem());
    delete volume;  // the root of a deleted volume is detached, not deleted
    EXPECT_EQ(root->getVolume(), nullptr);
}

TEST(MarkerBitmap, RangesWorkInWholeBytesInsideTheBitmap) {
    test::LogCapture quiet(LOG_ERROR);
    MarkerBitmap a(32), b(10), absurd(~u64(0));
    a.setRange(8, 16, true);
    EXPECT_EQ(loadBE32(a.getBits()), 0x00FFFF00u);
    a.setRange(3, 10, true);  // the start goes down to its byte, the count down to whole bytes
    a.setRange(16, 8, false);
    EXPECT_EQ(loadBE32(a.getBits()), 0xFFFF0000u);
    a.setRange(16, 1000, true);     // past the end: up to the last byte, after a warning
    a.setRange(8, ~u64(0), false);  // a count that wraps the sum
    a.setRange(32, 8, true);        // a start outside: nothing
    EXPECT_EQ(loadBE32(a.getBits()), 0xFF000000u);
    for (u64 bit : {9, 15, 16}) b.setBit(bit);  // bit 15 lies in the last byte, bit 16 outside
    EXPECT_TRUE(loadBE16(b.getBits()) == 0x0082);
    EXPECT_TRUE(b.isBitSet(15));
    EXPECT_FALSE(b.isBitSet(8));
    EXPECT_FALSE(b.isBitSet(16));
    absurd.setBit(3);  // a failed allocation leaves no bits; every operation does nothing, quietly
    absurd.setRange(0, 64, true);
    EXPECT_FALSE(absurd.getBits());
    EXPECT_FALSE(absurd.isBitSet(3));
}

}  // namespace
}  // namespace vorn
