#include "storage/DiskManager.h"

#include <gtest/gtest.h>

#include <memory>

#include "storage/DiskManagerTreeModel.h"
#include "storage/ImageDisk.h"
#include "fs/MemoryTestDisk.h"
#include "storage/PartitionDisk.h"
#include "LogCapture.h"
#include "storage/PartitionTestSupport.h"

#if __has_include("storage/RAIDDisk.h")
#include "storage/RAIDDisk.h"
#define VORN_HAVE_RAID_DISK 1
#endif

namespace vorn {
namespace {

using test::LogCapture;
using test::mediaPath;
using test::MemoryTestDisk;

MemoryTestDisk* memoryDisk(const std::string& name, u64 blocks = 16, u32 blockSize = 512, int type = DISK_TYPE_FIXED) {
    return new MemoryTestDisk(std::vector<u8>(blocks * blockSize), blockSize, type, name);
}

// ---- DiskManager

TEST(DiskManager, LogsItsConstructionAndDestruction) {
    LogCapture log;
    delete new DiskManager();
    EXPECT_EQ(log.lines, (std::vector<std::string>{"DiskManager::DiskManager\n", "DiskManager::~DiskManager\n"}));
}

TEST(DiskManager, AddDiskRefusesASecondDiskWithTheSameIdentifier) {
    DiskManager manager;
    MemoryTestDisk* first = memoryDisk("Backup");
    ASSERT_TRUE(manager.addDisk(first));
    std::unique_ptr<MemoryTestDisk> twin(memoryDisk("Backup"));
    LogCapture log;
    EXPECT_FALSE(manager.addDisk(twin.get()));  // the caller keeps it
    EXPECT_EQ(log.lines, (std::vector<std::string>{"DiskManager::addDisk " + twin->getId() + "\n",
                                                   "DiskManager::addDisk - disk already in list: " + twin->getId() +
                                                       "\n"}));
    EXPECT_TRUE(manager.addDisk(memoryDisk("Other")));  // the name is part of the identifier
    EXPECT_EQ(manager.getDiskCount(), 2u);
    EXPECT_EQ(manager.getDisk(0), first);
}

TEST(DiskManager, FindsDisksByPathAndIdentifier) {
    DiskManager manager;
    MemoryTestDisk* a = memoryDisk("A");
    MemoryTestDisk* b = memoryDisk("B");
    manager.addDisk(a);
    manager.addDisk(b);
    EXPECT_EQ(manager.findDiskById(b->getId()), b);
    EXPECT_EQ(manager.findDiskById("nothing"), nullptr);
    EXPECT_EQ(manager.findDiskByPath("/memory/B"), b);
    EXPECT_EQ(manager.findDiskByPath("/dev/none"), nullptr);
    EXPECT_EQ(manager.getDisk(2), nullptr);
}

TEST(DiskManager, AddImageDiskListsTheFileAndReadsItsTable) {
    DiskManager manager;
    Disk* disk = manager.addImageDisk(mediaPath("pt_mbr.img"));
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(manager.getDiskCount(), 1u);
    EXPECT_EQ(disk->getName(), "Image file (pt_mbr.img)");
    EXPECT_EQ(disk->getPartitionCount(), 5u);
}

TEST(DiskManager, AddingTheSameImageTwiceReturnsTheListedDisk) {
    DiskManager manager;
    Disk* first = manager.addImageDisk(mediaPath("pt_mbr.img"));
    Disk* second = manager.addImageDisk(mediaPath("pt_mbr.img"));
    EXPECT_EQ(second, first);
    EXPECT_EQ(manager.getDiskCount(), 1u);
    EXPECT_EQ(first->getPartitionCount(), 5u);
}

TEST(DiskManager, ScanForPartitionsReadsWholeDisksOnly) {
    DiskManager manager;
    manager.addImageDisk(mediaPath("pt_apm.img"));
    auto* notWhole = new ImageDisk(mediaPath("pt_mbr.img"));
    notWhole->setWhole(false);
    manager.addDisk(notWhole);
    manager.getDisk(0)->deletePartitions();
    LogCapture log;
    manager.scanForPartitions();
    EXPECT_EQ(log.lines.front(), "DiskManager::scanForPartitions\n");
    EXPECT_EQ(manager.getDisk(0)->getPartitionCount(), 2u);
    EXPECT_EQ(notWhole->getPartitionCount(), 0u);
    manager.scanForPartitions();  // a repeated scan lists nothing twice
    EXPECT_EQ(manager.getDisk(0)->getPartitionCount(), 2u);
}

TEST(DiskManager, BaseScanForDisksListsNothing) {
    // The base class itself; createDiskManager gives the platform's manager.
    auto manager = std::make_unique<DiskManager>();
    manager->scanForDisks();
    manager->scanForPartitions();
    EXPECT_EQ(manager->getDiskCount(), 0u);
}

TEST(DiskManager, DumpListsEveryDiskWithItsPartitions) {
    DiskManager manager;
    MemoryTestDisk* disk = memoryDisk("Backup", 2048);
    manager.addDisk(disk);
    auto* part = new PartitionDisk(disk, 1024, 2047);
    part->setName("Part00");
    disk->addPartition(part);
    LogCapture log(LOG_INFO);
    manager.dump();
    std::string all;
    for (const auto& line : log.lines) all += line;
    EXPECT_EQ(all, "---------DiskManager::dump-----------\n"
                         "0: "
                         "disk name=Backup, path=/memory/Backup, size=1.00 M, type=Fixed, whole=1, interface=, id=" +
                             disk->getId() +
                             "\n"
                             "     partition 0: "
                             "partition name=Part00, path=, size=512.00 K\n"
                             "---------------------------------------\n");
}

#ifdef VORN_HAVE_RAID_DISK
TEST(DiskManager, SecondAddRaidDiskReturnsTheListedSet) {
    DiskManager manager;
    RAIDDisk* first = manager.addRAIDDisk();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(manager.addRAIDDisk(), first);
    EXPECT_EQ(manager.getDiskCount(), 1u);
}
#endif

// ---- DiskManagerTreeModel

TEST(DiskManagerTreeModel, EmptyManagerIsALeafRoot) {
    DiskManager manager;
    DiskManagerTreeModel model(&manager);
    EXPECT_EQ(model.getRoot(), &manager);
    EXPECT_TRUE(model.isLeaf(&manager));
    EXPECT_EQ(model.getChildCount(&manager), 0u);
    EXPECT_EQ(model.getText(&manager), "Disks");
    EXPECT_EQ(model.getIcon(&manager, false), ICON_DISK_ROOT);
    EXPECT_EQ(model.getTag(&manager), 0);
    EXPECT_EQ(model.getChild(&manager, 0), nullptr);
}

TEST(DiskManagerTreeModel, ModelWithoutManagerHasNoRoot) {
    DiskManagerTreeModel model(nullptr);
    EXPECT_EQ(model.getRoot(), nullptr);
}

TEST(DiskManagerTreeModel, ShowsDisksUnderTheRootAndPartitionsUnderTheirDisks) {
    DiskManager manager;
    MemoryTestDisk* a = memoryDisk("A", 64);
    MemoryTestDisk* b = memoryDisk("B", 64);
    manager.addDisk(a);
    manager.addDisk(b);
    auto* p0 = new PartitionDisk(a, 0, 9);
    p0->setName("Part00");
    auto* p1 = new PartitionDisk(a, 10, 19);
    p1->setName("Part01");
    a->addPartition(p0);
    a->addPartition(p1);
    DiskManagerTreeModel model(&manager);
    EXPECT_FALSE(model.isLeaf(&manager));
    ASSERT_EQ(model.getChildCount(&manager), 2u);
    EXPECT_EQ(model.getChild(&manager, 0), a);
    EXPECT_EQ(model.getChild(&manager, 1), b);
    EXPECT_FALSE(model.isLeaf(a));
    EXPECT_TRUE(model.isLeaf(b));
    ASSERT_EQ(model.getChildCount(a), 2u);
    EXPECT_EQ(model.getChild(a, 0), p0);
    EXPECT_EQ(model.getChild(a, 1), p1);
    EXPECT_EQ(model.getChild(a, 2), nullptr);
    EXPECT_TRUE(model.isLeaf(p0));
    EXPECT_EQ(model.getChildCount(p0), 0u);
    EXPECT_EQ(model.getTag(p0), 0);
    EXPECT_EQ(model.getTag(a), 0);
}

TEST(DiskManagerTreeModel, PartitionShowsTheVolumesFoundInsideIt) {
    DiskManager manager;
    MemoryTestDisk* disk = memoryDisk("A", 64);
    manager.addDisk(disk);
    auto* part = new PartitionDisk(disk, 8, 63);
    disk->addPartition(part);
    auto* found = new PartitionDisk(part, 4, 11);
    found->setLostVolume(true);
    found->setName("Lost");
    part->addPartition(found);
    DiskManagerTreeModel model(&manager);
    EXPECT_FALSE(model.isLeaf(part));
    ASSERT_EQ(model.getChildCount(part), 1u);
    EXPECT_EQ(model.getChild(part, 0), found);
    EXPECT_EQ(model.getIcon(found, false), ICON_PARTITION_LOST);
}

TEST(DiskManagerTreeModel, LabelsAreNameAndScaledSize) {
    DiskManager manager;
    MemoryTestDisk* unnamed = memoryDisk("", 2, 512);
    manager.addDisk(unnamed);
    DiskManagerTreeModel model(&manager);
    EXPECT_EQ(model.getText(unnamed), "Unknown, 1.00 K");

    MemoryTestDisk big(std::vector<u8>(512), 512, DISK_TYPE_FIXED, "Backup");
    big.setBlockCount(250000000000ull / 512);
    EXPECT_EQ(model.getText(&big), "Backup, 232.83 G");

    auto* part = new PartitionDisk(unnamed, 0, 0);
    part->setName("Part00");
    unnamed->addPartition(part);
    EXPECT_EQ(model.getText(part), "Part00, 512.00  ");
}

TEST(DiskManagerTreeModel, IconsFollowKindTypeAndLostFlag) {
    DiskManager manager;
    DiskManagerTreeModel model(&manager);
    MemoryTestDisk* fixed = memoryDisk("fixed", 16, 512, DISK_TYPE_FIXED);
    MemoryTestDisk* cd = memoryDisk("cd", 16, 2048, DISK_TYPE_CDDVD);
    MemoryTestDisk* image = memoryDisk("image", 16, 512, DISK_TYPE_IMAGEFILE);
    MemoryTestDisk* removable = memoryDisk("usb", 16, 512, DISK_TYPE_REMOVABLE);
    for (Disk* d : {(Disk*)fixed, (Disk*)cd, (Disk*)image, (Disk*)removable}) manager.addDisk(d);
    EXPECT_EQ(model.getIcon(fixed, false), ICON_FIXED_DISK);
    EXPECT_EQ(model.getIcon(cd, true), ICON_OTHER_DISK);
    EXPECT_EQ(model.getIcon(image, false), ICON_OTHER_DISK);
    EXPECT_EQ(model.getIcon(removable, false), ICON_OTHER_DISK);
    fixed->setLostVolume(true);
    cd->setLostVolume(true);
    EXPECT_EQ(model.getIcon(fixed, false), ICON_FIXED_DISK_LOST);
    EXPECT_EQ(model.getIcon(cd, false), ICON_OTHER_DISK_LOST);

    auto* part = new PartitionDisk(fixed, 0, 3);
    fixed->addPartition(part);
    EXPECT_EQ(model.getIcon(part, false), ICON_PARTITION);
    part->setLostVolume(true);
    EXPECT_EQ(model.getIcon(part, false), ICON_PARTITION_LOST);

    // A platform partition is a plain disk that is not whole.
    MemoryTestDisk* platformPartition = memoryDisk("disk1s2", 16, 512, DISK_TYPE_FIXED);
    platformPartition->setWhole(false);
    manager.addDisk(platformPartition);
    EXPECT_EQ(model.getIcon(platformPartition, false), ICON_PARTITION);
}

TEST(DiskManagerTreeModel, NodesThatAreNotDisksShowNothing) {
    DiskManager manager;
    DiskManager other;
    DiskManagerTreeModel model(&manager);
    Base plain;
    for (Base* node : {&plain, (Base*)&other}) {
        EXPECT_EQ(model.getText(node), "");
        EXPECT_TRUE(model.isLeaf(node));
        EXPECT_EQ(model.getChildCount(node), 0u);
        EXPECT_EQ(model.getChild(node, 0), nullptr);
        EXPECT_EQ(model.getIcon(node, false), ICON_OTHER_DISK);
        EXPECT_EQ(model.getTag(node), 0);
    }
}

}  // namespace
}  // namespace vorn
