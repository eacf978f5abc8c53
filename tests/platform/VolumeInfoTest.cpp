#include "platform/VolumeInfo.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>

#include "platform/FakeSysfs.h"

// GCC 12 warns about fields left out of designated initializers even when
// they have default member initializers; leaving them out is the point here.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace vorn {
namespace {

using test::FakeSysfs;

const char* const kAta = "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0";
const char* const kAta2 = "pci0000:00/0000:00:17.0/ata2/host1/target1:0:0/1:0:0:0";
const char* const kAta3 = "pci0000:00/0000:00:17.0/ata3/host2/target2:0:0/2:0:0:0";

class VolumeInfoTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs.addDisk({.name = "sda", .devicePath = kAta, .sectors = 1000000, .major = 8, .minor = 0});
        fs.addPartition("sda", "sda1", 1, 1000, 8, 1);
        fs.addPartition("sda", "sda2", 2, 900000, 8, 2);
        fs.addDisk({.name = "sdb", .devicePath = kAta2, .sectors = 1000000, .major = 8, .minor = 16});
        fs.addPartition("sdb", "sdb1", 1, 900000, 8, 17);
        fs.addDisk({.name = "sdc", .devicePath = kAta3, .sectors = 1000000, .major = 8, .minor = 32});
        fs.addPartition("sdc", "sdc1", 1, 900000, 8, 33);
        // md0 mirrors sdb1 and sdc1; dm-0 (an LVM volume) lies on sda2 and md0.
        fs.addDisk({.name = "md0", .sectors = 800000, .major = 9, .minor = 0});
        fs.link(fs.diskFolder("md0") + "/slaves/sdb1", "../../../../pci0000:00/0000:00:17.0/ata2/host1/"
                                                         "target1:0:0/1:0:0:0/block/sdb/sdb1");
        fs.link(fs.diskFolder("md0") + "/slaves/sdc1", "../../../../pci0000:00/0000:00:17.0/ata3/host2/"
                                                         "target2:0:0/2:0:0:0/block/sdc/sdc1");
        fs.addDisk({.name = "dm-0", .sectors = 1600000, .major = 253, .minor = 0, .devName = "dm-0"});
        fs.link(fs.diskFolder("dm-0") + "/slaves/sda2", "../../../../pci0000:00/0000:00:17.0/ata1/host0/"
                                                          "target0:0:0/0:0:0:0/block/sda/sda2");
        fs.link(fs.diskFolder("dm-0") + "/slaves/md0", "../../md0");
    }
    std::string dev(const std::string& node) const { return fs.roots().dev + "/" + node; }
    FakeSysfs fs;
};

TEST_F(VolumeInfoTest, PartitionNamesItsDeviceAndItsWholeDisk) {
    VolumeDevice v;
    ASSERT_TRUE(findVolumeDeviceByNumber(8, 2, v, fs.roots()));
    EXPECT_EQ(v.device, dev("sda2"));
    EXPECT_EQ(v.wholeDisk, dev("sda"));
    EXPECT_EQ(v.underlyingDisks, (std::vector<std::string>{dev("sda")}));
}

TEST_F(VolumeInfoTest, WholeDiskVolumeIsItsOwnWholeDisk) {
    VolumeDevice v;
    ASSERT_TRUE(findVolumeDeviceByNumber(8, 16, v, fs.roots()));
    EXPECT_EQ(v.device, dev("sdb"));
    EXPECT_EQ(v.wholeDisk, dev("sdb"));
}

TEST_F(VolumeInfoTest, StackedVolumesReachEveryDiskBelow) {
    VolumeDevice v;
    ASSERT_TRUE(findVolumeDeviceByNumber(253, 0, v, fs.roots()));
    EXPECT_EQ(v.device, dev("dm-0"));
    EXPECT_EQ(v.wholeDisk, dev("dm-0"));
    EXPECT_EQ(v.underlyingDisks,
              (std::vector<std::string>{dev("dm-0"), dev("md0"), dev("sdb"), dev("sdc"), dev("sda")}));
}

TEST_F(VolumeInfoTest, LoopsInTheSlaveLinksEndAtTheDepthBound) {
    fs.link(fs.diskFolder("sdb") + "/slaves/dm-0", "../../../../../../../../virtual/block/dm-0");
    VolumeDevice v;
    ASSERT_TRUE(findVolumeDeviceByNumber(253, 0, v, fs.roots()));
    EXPECT_EQ(v.underlyingDisks.size(), 5u);  // each disk once
}

TEST_F(VolumeInfoTest, UnknownDeviceNumberIsNotFound) {
    VolumeDevice v;
    v.device = "stale";
    EXPECT_FALSE(findVolumeDeviceByNumber(0, 45, v, fs.roots()));
    EXPECT_TRUE(v.device.empty());
}

// On the machine itself: the folder of the tests lies on the device that df
// names.
TEST(VolumeInfoReal, FolderOfTheTestsLiesOnTheDeviceDfNames) {
    FILE* p = popen("df --output=source /tmp 2>/dev/null | tail -n 1", "r");
    ASSERT_TRUE(p);
    char buf[512] = {0};
    const bool got = fgets(buf, sizeof buf, p) != nullptr;
    pclose(p);
    std::string source = got ? buf : "";
    while (!source.empty() && (source.back() == '\n' || source.back() == ' ')) source.pop_back();
    struct stat st;
    if (source.rfind("/dev/", 0) != 0 || stat(source.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) {
        GTEST_SKIP() << "/tmp is not on a block device (" << source << ")";
    }
    const std::string device = getVolumeInfoForPath("/tmp");
    ASSERT_FALSE(device.empty());
    struct stat mine;
    ASSERT_EQ(stat(device.c_str(), &mine), 0) << device;
    EXPECT_EQ(mine.st_rdev, st.st_rdev) << device << " vs " << source;
    EXPECT_TRUE(isPathOnDevice("/tmp", device));
    VolumeDevice v;
    ASSERT_TRUE(findVolumeDevice("/tmp", v));
    EXPECT_TRUE(isPathOnDevice("/tmp", v.wholeDisk));
    EXPECT_FALSE(isPathOnDevice("/tmp", "/dev/vorn-no-such-disk"));
    EXPECT_FALSE(isPathOnDevice("/tmp", ""));
}

TEST(VolumeInfoReal, PathsWithoutABlockDeviceGiveNothing) {
    EXPECT_EQ(getVolumeInfoForPath("/nonexistent/vorn/folder"), "");
    EXPECT_EQ(getVolumeInfoForPath(nullptr), "");
    EXPECT_EQ(getVolumeInfoForPath("/proc"), "");  // proc has an anonymous device
}

}  // namespace
}  // namespace vorn
