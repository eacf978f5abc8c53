// The template file system: a mount that never succeeds, and an analyser making a lost item or volume per block.
#include <gtest/gtest.h>

#include "fs/MemoryTestDisk.h"
#include "fs/foo/FooAnalyser.h"
#include "fs/foo/FooVolume.h"
#include "recovery/RecoveryTestSupport.h"
#include "storage/PartitionDisk.h"

namespace vorn::test {
namespace {

TEST(FooVolume, MountNeverSucceedsAndMakesOneRootForItsOwner) {
    MemoryTestDisk disk(std::vector<u8>(64 * 512));
    FooVolume volume(&disk);
    EXPECT_FALSE(volume.mount(false));
    EXPECT_EQ(volume.getRootItem(), nullptr);
    EXPECT_FALSE(volume.mount(true));
    VolumeItem* root = volume.getRootItem();
    ASSERT_NE(root, nullptr);
    EXPECT_FALSE(volume.mount(true));
    EXPECT_EQ(volume.getRootItem(), root);  // a second mount keeps the root its owner holds
    EXPECT_EQ(root->getName(), "Unknown");
    EXPECT_TRUE(root->isContainer());
    EXPECT_EQ(root->getVolume(), &volume);
    delete root;
    EXPECT_EQ(volume.getRootItem(), nullptr);
    Recovery recovery;  // the template is tried first, its root freed once (the sanitizer build checks)
    ASSERT_TRUE(recovery.selectDisk(&disk));
    recovery.openExistingVolume();
    EXPECT_EQ(dynamic_cast<FooVolume*>(recovery.getVolume()), nullptr);
}

// The scan as the analyser sees it: chosen block, data, kind and disk.
struct FooScan : Recovery {
    struct Listener : TestListener {
        void diskListChangedEvent() override { ++changes; }
        int changes = 0;
    } listener;
    Disk* getDisk() override { return disk; }
    RecoveryEventListener* getListener() override { return &listener; }
    int getScanType() override { return type; }
    u64 getCurrentBlock() const override { return block; }
    Data* getData() const override { return data; }
    Disk* disk = nullptr;
    int type = SCAN_LOST_FILES;
    u64 block = 0;
    Data* data = nullptr;
};

TEST(FooAnalyser, MakesOneLostItemOrOneLostVolumePerBlockOfAtLeast512Bytes) {
    MemoryTestDisk disk(std::vector<u8>(4096 * 512));
    std::vector<u8> bytes(512);
    Data block, tiny;
    block.setPtr(bytes.data(), 1, 512), tiny.setPtr(bytes.data(), 1, 511);
    FooScan scan;
    scan.disk = &disk, scan.data = &block;
    FooAnalyser lostFiles(&scan), lostVolumes(&scan);
    for (u64 b : {0, 7, 7, 4000}) {
        scan.block = b, scan.type = SCAN_LOST_FILES;
        lostFiles.scanBlock();
        scan.type = SCAN_LOST_VOLUMES;
        lostVolumes.scanBlock();
    }
    scan.data = &tiny;
    lostFiles.scanBlock();  // too short: nothing
    ASSERT_EQ(lostFiles.items().size(), 4u);
    for (const auto& [item, parent] : lostFiles.items()) {
        EXPECT_EQ(item->getName(), "child");
        EXPECT_EQ(item->getFlags(), ITEM_LOST);
        EXPECT_TRUE(item->isContainer());
        EXPECT_EQ(parent, 2945u);
    }
    EXPECT_TRUE(lostVolumes.items().empty());
    // Blocks 0, 7 (the second time refused by the disk as listed) and 4000 (clamped at the disk's end).
    ASSERT_EQ(disk.getPartitionCount(), 3u);
    const std::pair<u64, u64> windows[] = {{0, 1025}, {7, 1025}, {4000, 96}};
    for (u32 i = 0; i < 3; ++i) {
        auto* part = dynamic_cast<PartitionDisk*>(disk.getPartition(i));
        ASSERT_NE(part, nullptr);
        EXPECT_EQ(std::pair(part->getFirstBlock(), part->getBlockCount()), windows[i]);
        EXPECT_EQ(part->getName(), "foo");
        EXPECT_TRUE(part->isLostVolume());
    }
    EXPECT_EQ(scan.listener.changes, 3);
}

}  // namespace
}  // namespace vorn::test
