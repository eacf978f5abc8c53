#include "storage/DiskManager.h"

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "TestMedia.h"
#include "fs/MemoryTestDisk.h"
#include "storage/DiskManagerTreeModel.h"
#include "storage/ImageDisk.h"
#include "storage/PartitionDisk.h"
#include "storage/RAIDDisk.h"

namespace vorn::test {
namespace {

MemoryTestDisk* memoryDisk(const std::string& name, u64 blocks = 16, int type = DISK_TYPE_FIXED, u32 bs = 512) {
    return new MemoryTestDisk(std::vector<u8>(blocks * bs), bs, type, name);
}

TEST(DiskManager, ListsEachIdentifierOnceDumpsItsDisksAndScansWholeDisksOnly) {
    DiskManager manager;
    MemoryTestDisk* first = memoryDisk("Backup", 2048);
    MemoryTestDisk twin(std::vector<u8>(2048 * 512), 512, DISK_TYPE_FIXED, "Backup");
    auto* inside = new PartitionDisk(first, 1024, 2047);
    inside->setName("Part00");
    LogCapture log;
    EXPECT_TRUE(manager.addDisk(first));  // twin stays ours
    EXPECT_FALSE(manager.addDisk(&twin));
    EXPECT_TRUE(first->addPartition(inside));
    EXPECT_TRUE(manager.addDisk(memoryDisk("Other")));  // the name is part of the identifier
    RAIDDisk* raid = manager.addRAIDDisk();
    EXPECT_EQ(manager.addRAIDDisk(), raid);  // every empty set has one identifier
    // A set's identifier holds its members and layout: another layout is
    // listed beside it, the same one again is the listed one.
    auto set = [&](u32 rotation) {
        auto made = std::make_unique<RAIDDisk>();
        made->setParameters(RAIDParameters(2, 0, 16, rotation));
        made->setMember(0, first);
        return manager.addRAIDDisk(std::move(made));
    };
    RAIDDisk* forward = set(PARITY_FORWARD);
    EXPECT_NE(forward, raid);
    EXPECT_NE(set(PARITY_NONE), forward);
    EXPECT_EQ(set(PARITY_FORWARD), forward);
    Disk* image = manager.addImageDisk(mediaPath("mbr_logical.img"));
    EXPECT_EQ(manager.addImageDisk(mediaPath("mbr_logical.img")), image);
    auto* notWhole = new ImageDisk(mediaPath("apm_parted.img"));
    notWhole->setWhole(false);
    ASSERT_TRUE(raid);
    ASSERT_TRUE(image);
    ASSERT_TRUE(manager.addDisk(notWhole));
    Disk* part = image->getPartition(6);
    manager.scanForPartitions();  // lists nothing twice and keeps the partitions in use
    EXPECT_EQ(std::tuple(manager.getDiskCount(), image->getPartitionCount(), image->getPartition(6)),
              std::tuple(7u, 7u, part));
    EXPECT_EQ(notWhole->getPartitionCount(), 0u) << "a disk that is no whole disk is not scanned";
}

TEST(DiskManagerTreeModel, TextsIconsAndOrderOfDisksPartitionsAndFoundVolumes) {
    DiskManager manager, other;
    DiskManagerTreeModel model(&manager);
    EXPECT_TRUE(model.getRoot() == &manager);
    EXPECT_TRUE(model.isLeaf(&manager));
    MemoryTestDisk *backup = memoryDisk("Backup"), *unnamed = memoryDisk("", 2, DISK_TYPE_IMAGEFILE),
                   *cd = memoryDisk("cd", 16, DISK_TYPE_CDDVD, 2048), *lost = memoryDisk("lost"),
                   *platformPart = memoryDisk("sdb1", 16, DISK_TYPE_REMOVABLE);
    backup->setBlockCount(250000000000ull / 512);
    for (Disk* d : {cd, lost}) d->setLostVolume(true);
    platformPart->setWhole(false);  // a partition that the platform lists as a disk
    for (Disk* d : {backup, unnamed, cd, lost, platformPart}) manager.addDisk(d);
    auto *part = new PartitionDisk(unnamed, 0, 0), *found = new PartitionDisk(part, 0, 0);
    part->setName("Part00");
    found->setName("HFS");
    found->setLostVolume(true);  // a volume that a scan found inside the partition
    ASSERT_TRUE(unnamed->addPartition(part));
    ASSERT_TRUE(part->addPartition(found));
    Base plain;
    const struct { Base* node; std::string text; int icon; std::vector<Base*> children; } rows[] = {
        {&manager, "Disks", ICON_DISK_ROOT, {backup, unnamed, cd, lost, platformPart}},
        {backup, "Backup, 232.83 G", ICON_FIXED_DISK, {}}, {unnamed, "Unknown, 1.00 K", ICON_OTHER_DISK, {part}},
        {cd, "cd, 32.00 K", ICON_OTHER_DISK_LOST, {}}, {lost, "lost, 8.00 K", ICON_FIXED_DISK_LOST, {}},
        {platformPart, "sdb1, 8.00 K", ICON_PARTITION, {}}, {part, "Part00, 512.00  ", ICON_PARTITION, {found}},
        {found, "HFS, 512.00  ", ICON_PARTITION_LOST, {}}, {&plain, "", ICON_OTHER_DISK, {}},
        {&other, "", ICON_OTHER_DISK, {}}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(std::pair(model.getText(r.node), model.getIcon(r.node, true)), std::pair(r.text, r.icon));
        EXPECT_EQ(std::pair(model.getTag(r.node), model.isLeaf(r.node)), std::pair(0, r.children.empty()));
        ASSERT_EQ(model.getChildCount(r.node), r.children.size());
        for (u32 i = 0; i <= r.children.size(); ++i)
            EXPECT_EQ(model.getChild(r.node, i), i < r.children.size() ? r.children[i] : nullptr);
    }
}

}  // namespace
}  // namespace vorn::test
