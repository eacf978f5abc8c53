// HFS Plus volumes whose allocation file cannot be read (on unreadable blocks, past the end of a medium cut
// short) or whose header claims more than the medium holds: the volume mounts, lists and reads its files, and
// counts the blocks its bitmap cannot tell about as in use; the analysers accept its header, and what they
// believe of it stays within the medium.
#include <gtest/gtest.h>

#include <filesystem>

#include "LogCapture.h"
#include "TestMedia.h"
#include "fs/ItemTestSupport.h"
#include "fs/MemoryTestDisk.h"
#include "fs/hfs/HFSVolume.h"
#include "fs/hfs/HfsTestSupport.h"
#include "misc/Bytes.h"
#include "recovery/Recovery.h"
#include "storage/FailingDisk.h"
#include "storage/ImageDisk.h"
#include "storage/PartitionDisk.h"

namespace vorn::test {
namespace {

const char kUnreadableLine[] = "error reading allocation file";

// Byte offset and length of the allocation file of the volume at the start of bytes (one extent).
std::pair<u64, u64> allocationFile(const Bytes& bytes) {
    ByteReader h(bytes.data() + 1024, 512);
    EXPECT_EQ(h.be32(140), 0u) << "more than one extent";
    return {u64(h.be32(128)) * h.be32(40), u64(h.be32(132)) * h.be32(40)};
}

// The tree of a browsed volume is The Sleuth Kit's, and every file reads back as it says.
void expectAsTheOracle(VolumeItem* root, const Oracle& oracle) {
    EXPECT_EQ(listingOf(root), oracle.listing);
    for (auto& [path, item] : walkTree(root)) {
        if (item->isContainer() || !oracle.sha.count(path)) continue;
        Bytes data;
        ASSERT_TRUE(readItem(item, data, 1 << 20)) << path;
        EXPECT_EQ(sha256Hex(data), oracle.sha.at(path)) << path;
    }
}

// xorriso puts the allocation file at the volume's end. On unreadable blocks, the volume still mounts with one
// line, lists and reads every file, and every block of the volume counts as in use.
TEST(HFSUnreadableAllocationFile, TheVolumeMountsListsAndReadsWithEveryBlockInUse) {
    const Oracle oracle = readOracle("hfs_bare.img");
    ImageDisk image(mediaPath("hfs_bare.img"));
    const auto [at, length] = allocationFile(readFileBytes(mediaPath("hfs_bare.img"), 4096));
    ASSERT_GT(at, 1u << 20);
    FailingDisk disk(&image);
    disk.failBlocks(at / 512, length / 512);
    LogCapture log(LOG_WARNING);
    Recovery recovery;
    ASSERT_TRUE(recovery.selectDisk(&disk));
    recovery.openExistingVolume();
    auto* volume = dynamic_cast<HFSVolume*>(recovery.getVolume());
    ASSERT_NE(volume, nullptr);
    ASSERT_NE(volume->getRootItem(), nullptr);
    EXPECT_EQ(log.countPrefix(kUnreadableLine), 1);
    expectAsTheOracle(volume->getRootItem(), oracle);
    u64 used = 0;
    for (u64 b = 0; b < volume->getTotalBlocks(); ++b) used += volume->isAllocationBlockUsed(b);
    EXPECT_EQ(used, volume->getTotalBlocks());
}

// The deleted-files scan of a volume with free blocks whose allocation file cannot be read takes none of its
// blocks for free space.
TEST(HFSUnreadableAllocationFile, TheDeletedFilesScanTakesNoBlockForFree) {
    const Bytes bytes = genImage();
    const auto [at, length] = allocationFile(bytes);
    for (bool failing : {false, true}) {
        SCOPED_TRACE(failing ? "allocation file unreadable" : "intact");
        MemoryTestDisk disk(bytes);
        if (failing) disk.failBlocks(at / 512, length / 512);
        LogCapture log(LOG_INFO);
        Recovery recovery;
        ASSERT_TRUE(recovery.selectDisk(&disk));
        recovery.setScanType(SCAN_DELETED_FILES);
        recovery.scan();
        ASSERT_NE(dynamic_cast<HFSVolume*>(recovery.getVolume()), nullptr);
        const u64 blocks = bytes.size() / 4096;
        const std::string all = "used allocation blocks: " + std::to_string(blocks) + "\n";
        EXPECT_TRUE(log.hasPrefix("used allocation blocks: "));
        EXPECT_EQ(log.has(all), failing);
    }
}

// One unreadable sector of a three-sector bitmap (the generated volume grown to 40 MiB, its blocks past the
// first 512 free): only the 4,096 blocks that sector describes count as in use besides those the bitmap marks.
TEST(HFSUnreadableAllocationFile, OnlyTheBlocksOfAnUnreadableSectorCountAsInUse) {
    Bytes bytes = genImage();
    const auto [at, length] = allocationFile(bytes);
    const u32 blocks = 10240;
    bytes.resize(u64(blocks) * 4096);
    put32(bytes, 1024 + 44, blocks);
    MemoryTestDisk intactDisk(bytes), failingDisk(bytes);
    failingDisk.failBlock(at / 512 + 1);
    ASSERT_TRUE(intactDisk.open(false));
    ASSERT_TRUE(failingDisk.open(false));
    HFSVolume intact(&intactDisk), failing(&failingDisk);
    LogCapture log(LOG_WARNING);
    ASSERT_TRUE(intact.mount(true));
    EXPECT_EQ(log.countPrefix(kUnreadableLine), 0);
    ASSERT_TRUE(failing.mount(true));
    EXPECT_EQ(log.countPrefix(kUnreadableLine), 1);
    u64 freeInSector = 0, freeElsewhere = 0;
    for (u64 b = 0; b < blocks; ++b) {
        const bool inSector = b / 4096 == 1;
        (inSector ? freeInSector : freeElsewhere) += !intact.isAllocationBlockUsed(b);
        EXPECT_EQ(failing.isAllocationBlockUsed(b), inSector || intact.isAllocationBlockUsed(b)) << b;
    }
    EXPECT_EQ(freeInSector, 4096u);
    EXPECT_GT(freeElsewhere, 4096u);
    EXPECT_EQ(length, 4096u);
}

// A header that claims 2^32 - 1 blocks and an allocation file of 2^40 bytes on a 2 MiB disk: the volume mounts
// and lists; its bitmap holds the blocks on the medium and no more, read in one request; a lost-volume
// partition made from it ends with the disk.
TEST(HFSShortMedium, AHugeClaimMountsWithABitmapTheMediumBounds) {
    Bytes bytes = genImage();
    put32(bytes, 1024 + 44, 0xFFFFFFFF);                                 // totalBlocks
    put32(bytes, 1024 + 112, 1u << 8), put32(bytes, 1024 + 116, 0);      // allocation file: 2^40 bytes
    put32(bytes, 1024 + 124, 0xFFFFFFF0), put32(bytes, 1024 + 132, 0xFFFFFFF0);  // in one extent from block 1
    MemoryTestDisk disk(bytes);
    ASSERT_TRUE(disk.open(false));
    {
        LogCapture log(LOG_WARNING);
        HFSVolume volume(&disk);
        volume.setDeferBitmap(true);
        ASSERT_TRUE(volume.mount(true));
        EXPECT_EQ(walkTree(volume.getRootItem()).size(), 6u);
        const u64 onMedium = bytes.size() / 4096;
        EXPECT_EQ(volume.blocksOnMedium(), onMedium);
        disk.clearRequests();
        EXPECT_TRUE(volume.loadBitmap());
        EXPECT_EQ(disk.requestCount(), 1u);
        EXPECT_TRUE(volume.isAllocationBlockUsed(0));
        volume.isAllocationBlockUsed(onMedium - 1);
        EXPECT_FALSE(log.hasPrefix("isAllocationBlockUsed error"));
        EXPECT_FALSE(volume.isAllocationBlockUsed(onMedium + 64));  // past the bitmap the medium bounds
        EXPECT_TRUE(log.hasPrefix("isAllocationBlockUsed error"));
    }
    PartitionDisk* part = lostVolumeOf(disk);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->getFirstBlock(), 0u);
    EXPECT_EQ(part->getLastBlock(), disk.getBlockCount() - 1);
}

// hfs_short.img, the first 538 KiB of the xorriso volume (header and whole catalog, not the allocation file at
// the end), at sector 601 of a disk, after noise: the lost-volumes scan finds it, its partition ends with the
// disk, and browsing that partition lists every folder and file.
TEST(HFSShortMedium, AShortCopyBecomesALostVolumeThatBrowses) {
    const Oracle oracle = readOracle("hfs_bare.img");
    const Bytes volume = readFileBytes(mediaPath("hfs_short.img"));
    ASSERT_EQ(volume.size(), 538u * 1024);
    ASSERT_GT(allocationFile(volume).first, volume.size());
    MemoryTestDisk disk(diskWith(volume, 601 * 512, 0));
    PartitionDisk* part = lostVolumeOf(disk);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->getName(), "HYBRID2048");
    EXPECT_EQ(part->getFirstBlock(), 601u);
    EXPECT_EQ(part->getLastBlock(), disk.getBlockCount() - 1);
    Recovery browse;
    ASSERT_TRUE(browse.selectDisk(part));
    browse.openExistingVolume();
    ASSERT_NE(browse.getRootItem(), nullptr);
    EXPECT_EQ(listingOf(browse.getRootItem()), oracle.listing);
}

// hfs_bare.img cut 100 bytes into the block of /Many/f100.txt, inside a sector: the file's 9 bytes lie wholly
// inside the copy, in its last sector, which the copy holds in part; they read back whole, and a file past the
// cut does not read.
TEST(HFSShortMedium, AFileInTheLastSectorOfACopyCutInsideItReadsWhole) {
    const Oracle oracle = readOracle("hfs_bare.img");
    ImageDisk image(mediaPath("hfs_cut_odd.img"));
    ASSERT_EQ(std::filesystem::file_size(mediaPath("hfs_cut_odd.img")) % 512, 100u);
    LogCapture log(LOG_WARNING);
    Recovery recovery;
    ASSERT_TRUE(recovery.selectDisk(&image));
    recovery.openExistingVolume();
    ASSERT_NE(recovery.getRootItem(), nullptr);
    const auto tree = walkTree(recovery.getRootItem());
    ASSERT_TRUE(tree.count("/Many/f100.txt"));
    Bytes data;
    ASSERT_TRUE(readItem(tree.at("/Many/f100.txt"), data));
    EXPECT_EQ(sha256Hex(data), oracle.sha.at("/Many/f100.txt"));
    ASSERT_TRUE(tree.count("/Many/f300.txt"));
    EXPECT_FALSE(readItem(tree.at("/Many/f300.txt"), data));
}

}  // namespace
}  // namespace vorn::test
