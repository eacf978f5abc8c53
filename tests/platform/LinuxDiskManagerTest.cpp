#include "platform/LinuxDiskManager.h"

#include <gtest/gtest.h>

#include <memory>

#include "TestMedia.h"
#include "platform/FakeSysfs.h"
#include "platform/LinuxDisk.h"
#include "platform/LoopDevice.h"
#include "platform/PlatformLog.h"
#include "storage/Disk.h"

// GCC 12 warns about fields left out of designated initializers even when
// they have default member initializers; leaving them out is the point here.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace vorn {
namespace {

using test::FakeSysfs;
using test::PlatformLog;

const char* const kAta = "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0";
const char* const kUsb = "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0";
const char* const kAtapi = "pci0000:00/0000:00:17.0/ata2/host1/target1:0:0/1:0:0:0";

class ManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs.addDisk({.name = "sda", .devicePath = kAta, .sectors = 488397168, .major = 8, .minor = 0,
                    .vendor = "ATA", .model = "ST250DM000"});
        fs.addPartition("sda", "sda1", 1, 1048576, 8, 1);
        fs.setUdev(8, 1, "E:ID_PART_ENTRY_SCHEME=gpt\nE:ID_PART_ENTRY_TYPE=c12a7328-f81f-11d2-ba4b-00a0c93ec93b\n");
        fs.addPartition("sda", "sda2", 2, 487346176, 8, 2);
        fs.setUdev(8, 2, "E:ID_FS_LABEL=Data\n");
        fs.addMount(8, 2, "/dev/sda2", "/data");

        fs.addDisk({.name = "sdb", .devicePath = kUsb, .sectors = 15633408, .removable = 1, .major = 8,
                    .minor = 16, .vendor = "Kingston", .model = "DataTraveler 3.0"});
        fs.addPartition("sdb", "sdb1", 1, 2048, 8, 17);
        fs.addPartition("sdb", "sdb2", 2, 2, 8, 18);  // extended container
        fs.addPartition("sdb", "sdb5", 5, 15000000, 8, 21);

        fs.addDisk({.name = "sr0", .devicePath = kAtapi, .sectors = 1400000, .logicalBlockSize = 2048,
                    .removable = 1, .major = 11, .minor = 0, .vendor = "HL-DT-ST", .model = "DVD-RAM",
                    .scsiType = "5"});
        fs.addDisk({.name = "zram0", .sectors = 1000, .major = 252, .minor = 0});
    }

    static std::vector<std::string> paths(DiskManager& m) {
        std::vector<std::string> out;
        for (u32 i = 0; i < m.getDiskCount(); ++i) out.push_back(m.getDisk(i)->getPath());
        return out;
    }

    FakeSysfs fs;
};

TEST_F(ManagerTest, DisksAreListedAsLinuxDisksWithTheirSysfsFacts) {
    LinuxDiskManager m(fs.roots());
    m.scanForDisks();
    const std::string dev = fs.roots().dev;
    ASSERT_EQ(paths(m), (std::vector<std::string>{dev + "/sda", dev + "/sdb", dev + "/sr0"}));
    Disk* sda = m.getDisk(0);
    EXPECT_NE(dynamic_cast<LinuxDisk*>(sda), nullptr);
    EXPECT_EQ(sda->getName(), "ST250DM000");
    EXPECT_EQ(sda->getInterface(), "ATA");
    EXPECT_EQ(sda->getType(), DISK_TYPE_FIXED);
    EXPECT_EQ(sda->getBlockSize(), 512u);
    EXPECT_EQ(sda->getBlockCount(), 488397168u);
    EXPECT_TRUE(sda->isWhole());
    Disk* sdb = m.getDisk(1);
    EXPECT_EQ(sdb->getName(), "Kingston DataTraveler 3.0");
    EXPECT_EQ(sdb->getType(), DISK_TYPE_REMOVABLE);
    EXPECT_EQ(sdb->getInterface(), "USB");
    Disk* sr0 = m.getDisk(2);
    EXPECT_EQ(sr0->getType(), DISK_TYPE_CDDVD);
    EXPECT_EQ(sr0->getBlockSize(), 2048u);
    EXPECT_EQ(sr0->getBlockCount(), 350000u);
    // Listing opened nothing: the nodes do not even exist.
    EXPECT_EQ(sr0->getOpenCount(), 0u);
}

TEST_F(ManagerTest, PartitionsGoUnderTheirDisksWithoutEfiAndExtendedContainers) {
    LinuxDiskManager m(fs.roots());
    m.scanForDisks();
    m.scanForPartitions();
    ASSERT_EQ(m.getDiskCount(), 3u);
    Disk* sda = m.getDisk(0);
    ASSERT_EQ(sda->getPartitionCount(), 1u);
    Disk* data = sda->getPartition(0);
    EXPECT_EQ(data->getPath(), fs.roots().dev + "/sda2");
    EXPECT_EQ(data->getName(), "Data");
    EXPECT_FALSE(data->isWhole());
    EXPECT_EQ(data->getType(), DISK_TYPE_FIXED);
    EXPECT_EQ(data->getBlockCount(), 487346176u);
    Disk* sdb = m.getDisk(1);
    ASSERT_EQ(sdb->getPartitionCount(), 2u);
    EXPECT_EQ(sdb->getPartition(0)->getPath(), fs.roots().dev + "/sdb1");
    EXPECT_EQ(sdb->getPartition(1)->getPath(), fs.roots().dev + "/sdb5");
    EXPECT_EQ(sdb->getPartition(1)->getType(), DISK_TYPE_REMOVABLE);
}

TEST_F(ManagerTest, ARepeatedScanListsNothingTwice) {
    LinuxDiskManager m(fs.roots());
    for (int i = 0; i < 3; ++i) {
        m.scanForDisks();
        m.scanForPartitions();
    }
    EXPECT_EQ(m.getDiskCount(), 3u);
    EXPECT_EQ(m.getDisk(0)->getPartitionCount(), 1u);
    EXPECT_EQ(m.getDisk(1)->getPartitionCount(), 2u);
}

TEST_F(ManagerTest, MountingAVolumeChangesThePartitionsNameAndSoItsIdentity) {
    LinuxDiskManager m(fs.roots());
    m.scanForDisks();
    m.scanForPartitions();
    EXPECT_EQ(m.getDisk(1)->getPartition(1)->getName(), "");
    fs.setUdev(8, 21, "E:ID_FS_LABEL_ENC=PHOTOS\n");
    m.scanForPartitions();
    ASSERT_EQ(m.getDisk(1)->getPartitionCount(), 3u);
    EXPECT_EQ(m.getDisk(1)->getPartition(2)->getName(), "PHOTOS");
}

// A partition whose disk is not listed is listed on its own, once.
TEST_F(ManagerTest, PartitionWithoutAListedDiskIsAddedAsADiskOnlyOnce) {
    PlatformLog log;
    LinuxDiskManager m(fs.roots());
    m.scanForPartitions();
    m.scanForPartitions();
    const std::string dev = fs.roots().dev;
    EXPECT_EQ(paths(m), (std::vector<std::string>{dev + "/sda2", dev + "/sdb1", dev + "/sdb5"}));
    for (u32 i = 0; i < m.getDiskCount(); ++i) EXPECT_FALSE(m.getDisk(i)->isWhole());
    EXPECT_EQ(m.getDisk(1)->getType(), DISK_TYPE_REMOVABLE);
    EXPECT_FALSE(log.containing("disk already in list").empty());
}

TEST_F(ManagerTest, ScansLogTheirNamesAndWhatIsLeftOut) {
    PlatformLog log;
    LinuxDiskManager m(fs.roots());
    m.scanForDisks();
    m.scanForPartitions();
    EXPECT_TRUE(log.has("LinuxDiskManager::scanForDisks\n"));
    EXPECT_TRUE(log.has("LinuxDiskManager::scanForPartitions\n"));
    EXPECT_TRUE(log.has("partition type: c12a7328-f81f-11d2-ba4b-00a0c93ec93b\n"));
    EXPECT_TRUE(log.has("LinuxDiskManager::scanForPartitions - leaving out " + fs.roots().dev +
                        "/sda1 (EFI system partition)\n"));
    EXPECT_TRUE(log.has("LinuxDiskManager::scanForPartitions - leaving out " + fs.roots().dev +
                        "/sdb2 (extended-partition container)\n"));
}

TEST(ManagerFactory, ThePlatformsManagerIsTheLinuxOne) {
    std::unique_ptr<DiskManager> manager(createDiskManager());
    EXPECT_NE(dynamic_cast<LinuxDiskManager*>(manager.get()), nullptr);
}

TEST(ManagerRoots, UnreadableSysfsWritesOneLineAndListsNothing) {
    SysfsRoots roots;
    roots.sys = "/nonexistent/vorn/sys";
    LinuxDiskManager m(roots);
    ::testing::internal::CaptureStdout();
    m.scanForDisks();
    m.scanForPartitions();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "LinuxDiskManager::scanForDisks - cannot read /nonexistent/vorn/sys/block\n"
              "LinuxDiskManager::scanForPartitions - cannot read /nonexistent/vorn/sys/block\n");
    EXPECT_EQ(m.getDiskCount(), 0u);
}


// The whole road on the machine itself: images attached as loop devices
// (root only), listed by the manager over the real /sys.
class LoopImageManagerTest : public ::testing::Test {
protected:
    static Disk* listed(DiskManager& m, const std::string& path) {
        for (u32 i = 0; i < m.getDiskCount(); ++i) {
            if (m.getDisk(i)->getPath() == path) return m.getDisk(i);
        }
        return nullptr;
    }
};

TEST_F(LoopImageManagerTest, MbrImageShowsPrimaryAndLogicalPartitionsUnderItsLoopDevice) {
    test::LoopDevice loop(test::mediaPath("mbr_extended.img"), "-P");
    if (!loop.available()) GTEST_SKIP() << "no loop device (needs root and losetup)";
    loop.ensurePartitions();
    LinuxDiskManager manager;
    manager.scanForDisks();
    manager.scanForPartitions();
    Disk* disk = listed(manager, loop.path());
    ASSERT_TRUE(disk);
    EXPECT_EQ(disk->getType(), DISK_TYPE_IMAGEFILE);
    EXPECT_EQ(disk->getName(), "mbr_extended.img");
    EXPECT_EQ(disk->getInterface(), "LOOP");
    EXPECT_EQ(disk->getBlockCount() * disk->getBlockSize(), 8u << 20);
    ASSERT_EQ(disk->getPartitionCount(), 2u);
    EXPECT_EQ(disk->getPartition(0)->getPath(), loop.path() + "p1");
    EXPECT_EQ(disk->getPartition(0)->getBlockCount(), 2048u);
    EXPECT_EQ(disk->getPartition(1)->getPath(), loop.path() + "p5");
    EXPECT_EQ(disk->getPartition(1)->getBlockCount(), 4096u);
    EXPECT_EQ(disk->getPartition(1)->getType(), DISK_TYPE_IMAGEFILE);
    Disk* primary = disk->getPartition(0);
    ASSERT_TRUE(primary->open(false));
    u8 block[512];
    ASSERT_TRUE(primary->readBlocks(0, 1, block));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 7), "VORN-P1");
    primary->close();
}

TEST_F(LoopImageManagerTest, GptImageLeavesOutTheEfiSystemPartition) {
    test::LoopDevice loop(test::mediaPath("gpt_efi.img"), "-P");
    if (!loop.available()) GTEST_SKIP() << "no loop device (needs root and losetup)";
    loop.ensurePartitions();
    std::vector<MediaInfo> parts;
    ASSERT_TRUE(SysfsMediaScanner().scanPartitions(parts));
    bool named = false;
    for (const MediaInfo& m : parts) {
        if (m.name == loop.name() + "p1") named = !m.partitionName.empty() || !m.partitionType.empty();
    }
    if (!named) {
        // Partitions added by partx carry no GPT name, and without udev
        // nothing else tells their type without opening the device.
        GTEST_SKIP() << "this kernel names no partitions and udev is not running";
    }
    LinuxDiskManager manager;
    manager.scanForDisks();
    manager.scanForPartitions();
    Disk* disk = listed(manager, loop.path());
    ASSERT_TRUE(disk);
    ASSERT_EQ(disk->getPartitionCount(), 1u);
    EXPECT_EQ(disk->getPartition(0)->getPath(), loop.path() + "p2");
    EXPECT_EQ(disk->getPartition(0)->getBlockCount(), 12255u);
}

}  // namespace
}  // namespace vorn
