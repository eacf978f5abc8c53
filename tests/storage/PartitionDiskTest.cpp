#include "storage/PartitionDisk.h"

#include <gtest/gtest.h>

#include "fs/MemoryTestDisk.h"
#include "LogCapture.h"
#include "storage/PartitionTestSupport.h"

namespace vorn {
namespace {

using test::LogCapture;
using test::blankDisk;
using test::MemoryTestDisk;

// A parent of 8192 blocks whose every block starts with its own number.
std::vector<u8> numberedBlocks(u64 blocks, u32 blockSize) {
    std::vector<u8> bytes(blocks * blockSize);
    for (u64 b = 0; b < blocks; ++b)
        for (int i = 0; i < 4; ++i) bytes[b * blockSize + i] = u8(b >> (8 * i));
    return bytes;
}

u32 blockNumberIn(const u8* p) { return u32(p[0]) | u32(p[1]) << 8 | u32(p[2]) << 16 | u32(p[3]) << 24; }

TEST(PartitionDisk, IsAWindowOfTheParentNumberedFromZero) {
    MemoryTestDisk parent(numberedBlocks(8192, 512));
    PartitionDisk part(&parent, 2048, 4095);
    EXPECT_EQ(part.getBlockCount(), 2048u);
    EXPECT_EQ(part.getBlockSize(), 512u);
    ASSERT_TRUE(part.open(false));
    u8 block[512];
    ASSERT_TRUE(part.readBlocks(0, 1, block));
    EXPECT_EQ(blockNumberIn(block), 2048u);
    ASSERT_TRUE(part.read(2047ull * 512, 512, block));
    EXPECT_EQ(blockNumberIn(block), 4095u);
    EXPECT_FALSE(part.read(2047ull * 512 + 1, 512, block));  // past the window's end
    part.close();
}

TEST(PartitionDisk, IdentifierExtendsTheParentsWithNameAndGeometry) {
    MemoryTestDisk parent = blankDisk(8192, 512, "disk");
    PartitionDisk part(&parent, 2048, 4095);
    part.setName("Part00");
    EXPECT_EQ(part.getId(), parent.getId() + "_Partition_Part00_2048_4095_512");
}

TEST(PartitionDisk, LastBlockPastTheParentsEndIsClamped) {
    MemoryTestDisk parent = blankDisk(100, 512, "small");
    LogCapture log;
    PartitionDisk part(&parent, 90, 1000);
    EXPECT_EQ(part.getLastBlock(), 99u);
    EXPECT_EQ(part.getBlockCount(), 10u);
    EXPECT_TRUE(log.has("PartitionDisk::PartitionDisk firstBlock=90, lastBlock=1000\n"));
    EXPECT_TRUE(log.has(
        "PartitionDisk::PartitionDisk - last block 1000 beyond the end of the parent (100 blocks), clamped\n"));
}

TEST(PartitionDisk, BlockCountNeverWraps) {
    MemoryTestDisk parent = blankDisk(100, 512, "small");
    LogCapture log;
    PartitionDisk reversed(&parent, 50, 10);
    EXPECT_EQ(reversed.getBlockCount(), 0u);
    PartitionDisk wholeRange(&parent, 0, ~u64(0));
    EXPECT_EQ(wholeRange.getBlockCount(), 100u);
    MemoryTestDisk empty = blankDisk(0, 512, "empty");
    PartitionDisk onEmpty(&empty, 0, ~u64(0));
    EXPECT_EQ(onEmpty.getBlockCount(), 0u);
    PartitionDisk pastEnd(&parent, 200, 300);
    EXPECT_EQ(pastEnd.getBlockCount(), 0u);
}

TEST(PartitionDisk, FitsParentOnlyForNonEmptyWindowsStartingInside) {
    MemoryTestDisk parent = blankDisk(100, 512, "small");
    EXPECT_TRUE(PartitionDisk::fitsParent(&parent, 0, 99));
    EXPECT_TRUE(PartitionDisk::fitsParent(&parent, 99, 5000));  // clamped later
    EXPECT_FALSE(PartitionDisk::fitsParent(&parent, 100, 200));
    EXPECT_FALSE(PartitionDisk::fitsParent(&parent, 10, 9));
    EXPECT_FALSE(PartitionDisk::fitsParent(nullptr, 0, 1));
}

TEST(PartitionDisk, OpensAndClosesTheParentThroughItsCountedOpen) {
    MemoryTestDisk parent = blankDisk(16, 512, "p");
    PartitionDisk part(&parent, 4, 7);
    ASSERT_TRUE(parent.open(false));  // another user reads the medium
    ASSERT_TRUE(part.open(false));
    ASSERT_TRUE(part.open(false));
    EXPECT_EQ(parent.getOpenCount(), 2u);
    EXPECT_EQ(parent.opens, 1);
    part.close();
    part.close();
    EXPECT_EQ(part.getOpenCount(), 0u);
    EXPECT_EQ(parent.getOpenCount(), 1u);
    EXPECT_EQ(parent.closes, 0);  // still read by the other user
    u8 block[512];
    EXPECT_TRUE(parent.readBlocks(0, 1, block));
    parent.close();
    EXPECT_EQ(parent.closes, 1);
}

TEST(PartitionDisk, OpenFailsWhenTheParentCannot) {
    MemoryTestDisk parent = blankDisk(16, 512, "p");
    parent.failOpen = true;
    PartitionDisk part(&parent, 4, 7);
    EXPECT_FALSE(part.open(false));
    EXPECT_EQ(part.getOpenCount(), 0u);
}

TEST(PartitionDisk, CleanupLeavesTheParentAlone) {
    MemoryTestDisk parent = blankDisk(16, 512, "p");
    PartitionDisk part(&parent, 4, 7);
    ASSERT_TRUE(parent.open(false));
    part.cleanup();
    EXPECT_EQ(parent.getOpenCount(), 1u);
    EXPECT_EQ(parent.closes, 0);
    parent.close();
}

TEST(PartitionDisk, OwnsTheVolumesFoundInsideIt) {
    MemoryTestDisk parent = blankDisk(64, 512, "p");
    auto* part = new PartitionDisk(&parent, 8, 63);
    ASSERT_TRUE(parent.addPartition(part));
    auto* found = new PartitionDisk(part, 4, 11);
    found->setLostVolume(true);
    EXPECT_TRUE(part->addPartition(found));
    EXPECT_EQ(found->getBlockCount(), 8u);
    ASSERT_TRUE(found->open(false));
    u8 block[512];
    EXPECT_TRUE(found->readBlocks(0, 1, block));
    found->close();
    EXPECT_EQ(parent.getOpenCount(), 0u);
    EXPECT_EQ(parent.closes, 1);
    // The parent's destructor deletes part, which deletes found (leak-checked).
}

TEST(PartitionDisk, DumpsNamePathAndSize) {
    MemoryTestDisk parent = blankDisk(8192, 512, "p");
    PartitionDisk part(&parent, 2048, 4095);
    part.setName("Part00");
    LogCapture log;
    part.dump();
    EXPECT_TRUE(log.has("partition name=Part00, path=, size=1.00 M\n"));
}

}  // namespace
}  // namespace vorn
