// Tool-made HFS Plus, HFSX and HFS volumes (tests/fixtures/make_hfs.sh) against The Sleuth Kit.
#include <gtest/gtest.h>

#include "TestMedia.h"
#include "fs/ItemTestSupport.h"
#include "fs/fat/FatManifest.h"
#include "fs/hfs/HFSForkData.h"
#include "fs/hfs/HFSVolume.h"
#include "fs/hfs/HFSVolumeItem.h"
#include "fs/hfs/HfsTestSupport.h"
#include "misc/Bytes.h"
#include "recovery/Recovery.h"
#include "storage/ImageDisk.h"
#include "storage/PartitionDisk.h"

namespace vorn::test {
namespace {

// The disk the volume lies on: the partition at the oracle's offset, or the image itself.
Disk* volumeDisk(ImageDisk& image, u64 volofs, bool wrapped) {
    if (volofs == 0 || wrapped) return &image;
    if (!image.open(false) || !image.scanForPartitions()) return nullptr;
    for (u32 i = 0; i < image.getPartitionCount(); ++i) {
        Disk* p = image.getPartition(i);
        if (auto* part = dynamic_cast<PartitionDisk*>(p); part && part->getFirstBlock() * p->getBlockSize() == volofs)
            return p;
    }
    return nullptr;
}

class HFSMediaTest : public ::testing::TestWithParam<const char*> {};

TEST_P(HFSMediaTest, ListsAndReadsAsTheSleuthKit) {
    const std::string name = GetParam();
    const bool wrapped = name == "hfs_wrapped.img";
    const Oracle oracle = readOracle(name);
    ASSERT_FALSE(oracle.listing.empty());
    ImageDisk image(mediaPath(name));
    Disk* disk = volumeDisk(image, oracle.volofs, wrapped);
    ASSERT_NE(disk, nullptr);
    Recovery recovery;
    ASSERT_TRUE(recovery.selectDisk(disk));
    recovery.openExistingVolume();
    auto* vol = dynamic_cast<HFSVolume*>(recovery.getVolume());
    ASSERT_NE(vol, nullptr);
    ASSERT_NE(vol->getRootItem(), nullptr) << "did not mount";
    EXPECT_TRUE(vol->isNameFound());
    EXPECT_EQ(vol->getDiskOffset(), wrapped ? oracle.volofs : 0);

    std::map<std::string, VolumeItem*> tree = walkTree(vol->getRootItem());
    EXPECT_EQ(listingOf(vol->getRootItem()), oracle.listing);

    for (auto& [path, item] : tree) {
        if (item->isContainer()) continue;
        ASSERT_TRUE(item->isKindOf(KIND_HFS_VOLUME_ITEM));
        auto* file = static_cast<HFSVolumeItem*>(item);
        std::vector<u8> bytes, fork(file->getResourceForkSize());
        ASSERT_TRUE(readItem(file, bytes, 1 << 20)) << path;
        if (!fork.empty()) {
            ASSERT_EQ(file->readResourceFork(0, fork.data(), u32(fork.size())), fork.size()) << path;
        }
        EXPECT_EQ(fork.size(), oracle.rsrcSize.count(path) ? oracle.rsrcSize.at(path) : 0) << path;
        const std::string empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
        EXPECT_EQ(sha256Hex(bytes), oracle.sha.count(path) ? oracle.sha.at(path) : empty) << path;
        if (oracle.rsrcSha.count(path)) { EXPECT_EQ(sha256Hex(fork), oracle.rsrcSha.at(path)) << path; }
    }

    // The bitmap holds as many used blocks as the header says are not free.
    u8 header[512];
    ASSERT_TRUE(vol->read(1024, sizeof header, header));
    u64 used = 0;
    for (u64 b = 0; b < vol->getTotalBlocks(); ++b) used += vol->isAllocationBlockUsed(b);
    EXPECT_EQ(used, vol->getTotalBlocks() - loadBE32(header + 48));
    EXPECT_FALSE(vol->isAllocationBlockUsed(vol->getTotalBlocks() + 64));
}

INSTANTIATE_TEST_SUITE_P(Volumes, HFSMediaTest,
                         ::testing::Values("hfs_hybrid512.iso", "hfs_hybrid2048.iso", "hfs_bare.img", "hfsx_bare.img",
                                           "hfs_gen.img", "hfs_wrapped.img", "hfsplus_macos.img",
                                           "hfs_selfloop_intact.img", "hfs_links_seed.img", "hfs_many.img"));

// Plain HFS (no embedded HFS Plus volume): the bitmap, an unnamed empty root; allocation block 0 at
// drAlBlSt x 512.
TEST(HFSPlainVolume, MountsWithItsBitmapAndAnEmptyRoot) {
    for (const char* name : {"hfs_plain.img", "hfs_genisoimage.iso"}) {
        ImageDisk image(mediaPath(name));
        Disk* disk = &image;
        if (std::string(name).ends_with(".iso")) {
            ASSERT_TRUE(image.open(false));
            ASSERT_TRUE(image.scanForPartitions());
            ASSERT_GT(image.getPartitionCount(), 0u) << name;
            disk = image.getPartition(image.getPartitionCount() - 1);
        }
        ASSERT_TRUE(disk->open(false));
        HFSVolume vol(disk);
        ASSERT_TRUE(vol.mount(true)) << name;
        u8 mdb[512];
        ASSERT_TRUE(vol.read(1024, sizeof mdb, mdb));
        EXPECT_TRUE(vol.isPlainHFS()) << name;
        EXPECT_EQ(vol.getName(), "Unknown") << name;
        EXPECT_EQ(vol.getDataOffset(), u64(loadBE16(mdb + 28)) * 512) << name;
        EXPECT_EQ(vol.getAllocBlockSize(), loadBE32(mdb + 20)) << name;
        vol.getRootItem()->loadChildren();
        EXPECT_EQ(vol.getRootItem()->getChildCount(true), 0u) << name;
        u64 used = 0;
        for (u64 b = 0; b < vol.getTotalBlocks(); ++b) used += vol.isAllocationBlockUsed(b);
        EXPECT_EQ(used, vol.getTotalBlocks() - loadBE16(mdb + 34)) << name;
        if (disk == &image) { EXPECT_EQ(vol.getDataOffset(), 5u * 512); }  // what hformat writes
        disk->close();
    }
}

}  // namespace
}  // namespace vorn::test
