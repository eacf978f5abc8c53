#include "platform/SysfsMediaScanner.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/FakeSysfs.h"
#include "storage/Disk.h"

// GCC 12 warns about fields left out of designated initializers even when
// they have default member initializers; leaving them out is the point here.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace vorn {
namespace {

using test::FakeSysfs;

const char* const kAta = "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0";
const char* const kAtapi = "pci0000:00/0000:00:17.0/ata2/host1/target1:0:0/1:0:0:0";
const char* const kUsb = "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0";
const char* const kNvme = "pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0";
const char* const kVirtio = "pci0000:00/0000:00:02.0/virtio1";
const char* const kMmc = "pci0000:00/0000:00:1e.6/mmc_host/mmc0/mmc0:aaaa";
const char* const kSas = "pci0000:00/0000:00:10.0/host2/target2:0:1/2:0:1:0";

// A laptop with a SATA disk, an NVMe disk with 4,096-byte sectors, a USB
// stick, an optical drive, an SD card, a loop device with and without a
// backing file, ram disks and an MBR disk with an extended partition.
class ScannerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs.addDisk({.name = "sda", .devicePath = kAta, .sectors = 1000215216, .major = 8, .minor = 0,
                    .vendor = "ATA     ", .model = "Samsung SSD 860 ", .scsiType = "0"});
        fs.addPartition("sda", "sda1", 1, 1048576, 8, 1);
        fs.addPartition("sda", "sda2", 2, 999164000, 8, 2);
        fs.setUdev(8, 1, "E:ID_PART_ENTRY_SCHEME=gpt\nE:ID_PART_ENTRY_TYPE=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\n"
                         "E:ID_FS_TYPE=vfat\n");
        fs.setUdev(8, 2, "S:disk/by-label/Data\nE:ID_PART_ENTRY_SCHEME=gpt\n"
                         "E:ID_PART_ENTRY_TYPE=0fc63daf-8483-4772-8e79-3d69d8477de4\n"
                         "E:ID_FS_LABEL=Data\nE:ID_FS_LABEL_ENC=Data\n");
        fs.addMount(8, 2, "/dev/sda2", "/home");

        fs.addDisk({.name = "nvme0n1", .devicePath = kNvme, .sectors = 2000409264, .logicalBlockSize = 4096,
                    .major = 259, .minor = 0, .model = "WD Blue SN570 1TB"});
        fs.addPartition("nvme0n1", "nvme0n1p1", 1, 2000400000, 259, 1);

        fs.addDisk({.name = "sdb", .devicePath = kUsb, .sectors = 60063744, .removable = 1, .major = 8,
                    .minor = 16, .vendor = "SanDisk ", .model = "Cruzer Blade\x01", .scsiType = "0"});
        fs.addPartition("sdb", "sdb1", 1, 60061696, 8, 17);
        fs.addLabelLink("MY\\x20STICK", "sdb1");

        fs.addDisk({.name = "sr0", .devicePath = kAtapi, .sectors = 1425760, .logicalBlockSize = 2048,
                    .removable = 1, .major = 11, .minor = 0, .vendor = "HL-DT-ST", .model = "DVDRAM GH24NSD1",
                    .scsiType = "5"});

        fs.addDisk({.name = "mmcblk0", .devicePath = kMmc, .sectors = 62333952, .major = 179, .minor = 0,
                    .model = "", .scsiType = "SD"});
        fs.write(fs.diskFolder("mmcblk0") + "/device/name", "SD64G\n");

        fs.addDisk({.name = "loop0", .sectors = 8192, .major = 7, .minor = 0, .backingFile = "/home/u/disk.img"});
        fs.addDisk({.name = "loop1", .sectors = 0, .major = 7, .minor = 1});
        fs.addDisk({.name = "loop2", .sectors = 4096, .major = 7, .minor = 2});  // no backing file
        fs.addDisk({.name = "ram0", .sectors = 131072, .major = 1, .minor = 0});
        fs.addDisk({.name = "zram0", .sectors = 8388608, .logicalBlockSize = 4096, .major = 252, .minor = 0});

        fs.addDisk({.name = "sdc", .devicePath = kSas, .sectors = 2097152, .major = 8, .minor = 32,
                    .vendor = "SEAGATE", .model = "ST300MM0008", .scsiType = "0"});
        fs.addPartition("sdc", "sdc1", 1, 1000000, 8, 33);
        fs.addPartition("sdc", "sdc2", 2, 2, 8, 34);  // the extended container
        fs.addPartition("sdc", "sdc5", 5, 1000000, 8, 37);
    }

    std::vector<MediaInfo> disks() {
        SysfsMediaScanner scanner(fs.roots());
        std::vector<MediaInfo> out;
        EXPECT_TRUE(scanner.scanDisks(out));
        return out;
    }
    std::vector<MediaInfo> partitions() {
        SysfsMediaScanner scanner(fs.roots());
        std::vector<MediaInfo> out;
        EXPECT_TRUE(scanner.scanPartitions(out));
        return out;
    }
    static const MediaInfo* find(const std::vector<MediaInfo>& list, const std::string& name) {
        auto it = std::find_if(list.begin(), list.end(), [&](const MediaInfo& m) { return m.name == name; });
        return it == list.end() ? nullptr : &*it;
    }
    static std::vector<std::string> names(const std::vector<MediaInfo>& list) {
        std::vector<std::string> out;
        for (const MediaInfo& m : list) out.push_back(m.name);
        return out;
    }

    FakeSysfs fs;
};

TEST_F(ScannerTest, ListsRealMediaInNaturalOrderAndLeavesOutRamEmptyLoopsAndEmptyDrives) {
    EXPECT_EQ(names(disks()), (std::vector<std::string>{"loop0", "mmcblk0", "nvme0n1", "sda", "sdb", "sdc", "sr0"}));
}

TEST_F(ScannerTest, SizesComeFromSysfsIn512ByteUnitsWhateverTheSectorSize) {
    auto list = disks();
    const MediaInfo* sda = find(list, "sda");
    ASSERT_TRUE(sda);
    EXPECT_EQ(sda->blockSize, 512u);
    EXPECT_EQ(sda->blockCount, 1000215216ull);
    EXPECT_EQ(sda->sizeBytes, 1000215216ull * 512);
    const MediaInfo* nvme = find(list, "nvme0n1");
    ASSERT_TRUE(nvme);
    EXPECT_EQ(nvme->blockSize, 4096u);
    EXPECT_EQ(nvme->blockCount, 2000409264ull * 512 / 4096);
    const MediaInfo* sr = find(list, "sr0");
    ASSERT_TRUE(sr);
    EXPECT_EQ(sr->blockSize, 2048u);
    EXPECT_EQ(sr->blockCount, 1425760ull / 4);
}

TEST_F(ScannerTest, TypeAndInterfaceFollowTheBusAndTheDriveKind) {
    auto list = disks();
    struct Want {
        const char* name;
        int type;
        const char* interface;
    };
    for (const Want& w : {Want{"sda", DISK_TYPE_FIXED, "ATA"}, Want{"nvme0n1", DISK_TYPE_FIXED, "NVME"},
                          Want{"sdb", DISK_TYPE_REMOVABLE, "USB"}, Want{"sr0", DISK_TYPE_CDDVD, "ATA"},
                          Want{"mmcblk0", DISK_TYPE_REMOVABLE, "MMC"}, Want{"loop0", DISK_TYPE_IMAGEFILE, "LOOP"},
                          Want{"sdc", DISK_TYPE_FIXED, "SCSI"}}) {
        const MediaInfo* m = find(list, w.name);
        ASSERT_TRUE(m) << w.name;
        EXPECT_EQ(m->type, w.type) << w.name;
        EXPECT_EQ(m->interfaceText, w.interface) << w.name;
    }
}

TEST_F(ScannerTest, UsbDiskWithoutRemovableFlagIsStillRemovable) {
    fs.write(fs.diskFolder("sdb") + "/removable", "0\n");
    auto list = disks();
    const MediaInfo* m = find(list, "sdb");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->type, DISK_TYPE_REMOVABLE);
    EXPECT_TRUE(m->removable);
}

TEST_F(ScannerTest, WholeDisksAreNamedByVendorAndModelCleanedForDisplay) {
    auto list = disks();
    EXPECT_EQ(find(list, "sda")->displayName, "Samsung SSD 860");  // libata's "ATA" vendor dropped
    EXPECT_EQ(find(list, "sdb")->displayName, "SanDisk Cruzer Blade");
    EXPECT_EQ(find(list, "nvme0n1")->displayName, "WD Blue SN570 1TB");
    EXPECT_EQ(find(list, "mmcblk0")->displayName, "SD64G");
    EXPECT_EQ(find(list, "sr0")->displayName, "HL-DT-ST DVDRAM GH24NSD1");
    EXPECT_EQ(find(list, "loop0")->displayName, "disk.img");
    EXPECT_EQ(find(list, "loop0")->backingFile, "/home/u/disk.img");
}

TEST_F(ScannerTest, WholeDiskWithAMountedLabelledVolumeIsNamedAfterTheLabel) {
    fs.setUdev(8, 16, "E:ID_FS_LABEL_ENC=BACKUP\\x20USB\n");
    EXPECT_EQ(find(disks(), "sdb")->displayName, "SanDisk Cruzer Blade");  // not mounted yet
    fs.addMount(8, 16, "/dev/sdb", "/media/u/BACKUP\\040USB", "vfat");
    auto list = disks();
    EXPECT_EQ(find(list, "sdb")->displayName, "BACKUP USB");
    EXPECT_TRUE(find(list, "sdb")->mounted);
    EXPECT_EQ(find(list, "sdb")->mountPoint, "/media/u/BACKUP USB");
}

TEST_F(ScannerTest, DevicePathsUseTheNodeNameBelowTheDevRoot) {
    fs.addDisk({.name = "cciss!c0d0", .devicePath = "pci0000:00/0000:00:05.0/host9/target9:0:0/9:0:0:0",
                .sectors = 1000, .major = 104, .minor = 0, .devName = "cciss/c0d0"});
    auto list = disks();
    EXPECT_EQ(find(list, "sda")->devicePath, fs.roots().dev + "/sda");
    EXPECT_EQ(find(list, "cciss!c0d0")->devicePath, fs.roots().dev + "/cciss/c0d0");
}

TEST_F(ScannerTest, HiddenDevicesAndDrivesWithoutMediumAreLeftOut) {
    fs.addDisk({.name = "nvme1c1n1", .devicePath = kNvme, .sectors = 1000, .major = 259, .minor = 9, .hidden = true});
    fs.write(fs.diskFolder("sr0") + "/size", "0\n");
    auto list = names(disks());
    EXPECT_EQ(std::count(list.begin(), list.end(), "nvme1c1n1"), 0);
    EXPECT_EQ(std::count(list.begin(), list.end(), "sr0"), 0);
}

TEST_F(ScannerTest, VirtioAndDeviceMapperDisksAreFixed) {
    fs.addDisk({.name = "vda", .devicePath = kVirtio, .sectors = 536870912, .major = 254, .minor = 0,
                .vendor = "0x1af4"});
    fs.addDisk({.name = "dm-0", .sectors = 409600, .major = 253, .minor = 0});
    auto list = disks();
    EXPECT_EQ(find(list, "vda")->interfaceText, "VIRTIO");
    EXPECT_EQ(find(list, "vda")->type, DISK_TYPE_FIXED);
    EXPECT_EQ(find(list, "vda")->displayName, "");  // a PCI vendor id is no name
    EXPECT_EQ(find(list, "dm-0")->interfaceText, "DM");
    EXPECT_EQ(find(list, "dm-0")->type, DISK_TYPE_FIXED);
}

TEST_F(ScannerTest, UdevBusIsTheFallbackInterface) {
    fs.addDisk({.name = "sdx", .devicePath = "platform/odd-controller/disk0", .sectors = 100, .major = 65,
                .minor = 112});
    fs.setUdev(65, 112, "E:ID_BUS=ieee1394\n");
    EXPECT_EQ(find(disks(), "sdx")->interfaceText, "IEEE1394");
}

TEST_F(ScannerTest, PartitionsComeUnderTheirDisksInNumberOrderWithTheDisksGeometryAndType) {
    auto list = partitions();
    EXPECT_EQ(names(list), (std::vector<std::string>{"nvme0n1p1", "sda1", "sda2", "sdb1", "sdc1", "sdc2", "sdc5"}));
    const MediaInfo* p = find(list, "nvme0n1p1");
    ASSERT_TRUE(p);
    EXPECT_FALSE(p->whole);
    EXPECT_EQ(p->parent, "nvme0n1");
    EXPECT_EQ(p->parentDevicePath, fs.roots().dev + "/nvme0n1");
    EXPECT_EQ(p->blockSize, 4096u);
    EXPECT_EQ(p->blockCount, 2000400000ull * 512 / 4096);
    EXPECT_EQ(find(list, "sdb1")->type, DISK_TYPE_REMOVABLE);
    EXPECT_EQ(find(list, "sdb1")->interfaceText, "USB");
    EXPECT_EQ(find(list, "sda2")->partitionNumber, 2);
}

TEST_F(ScannerTest, EfiSystemPartitionAndExtendedContainerAreFlagged) {
    auto list = partitions();
    EXPECT_TRUE(find(list, "sda1")->efiSystemPartition);
    EXPECT_FALSE(find(list, "sda2")->efiSystemPartition);
    EXPECT_TRUE(find(list, "sdc2")->extendedContainer);  // 1 KiB in a primary slot, no udev
    EXPECT_FALSE(find(list, "sdc1")->extendedContainer);
    EXPECT_FALSE(find(list, "sdc5")->extendedContainer);
}

TEST_F(ScannerTest, UdevPartitionTypesDecideWhenKnown) {
    fs.setUdev(8, 34, "E:ID_PART_ENTRY_SCHEME=dos\nE:ID_PART_ENTRY_TYPE=0xf\n");
    fs.setUdev(8, 33, "E:ID_PART_ENTRY_SCHEME=dos\nE:ID_PART_ENTRY_TYPE=0xef\n");
    fs.setUdev(8, 37, "E:ID_PART_ENTRY_SCHEME=dos\nE:ID_PART_ENTRY_TYPE=0x83\n");
    auto list = partitions();
    EXPECT_TRUE(find(list, "sdc2")->extendedContainer);
    EXPECT_TRUE(find(list, "sdc1")->efiSystemPartition);
    EXPECT_FALSE(find(list, "sdc5")->extendedContainer);
    EXPECT_FALSE(find(list, "sdc5")->efiSystemPartition);
}

TEST_F(ScannerTest, ExtendedContainerOnA4096ByteSectorDiskIsOneSector) {
    fs.addDisk({.name = "sdd", .devicePath = kSas, .sectors = 2097152, .logicalBlockSize = 4096, .major = 8,
                .minor = 48});
    fs.addPartition("sdd", "sdd1", 1, 8, 8, 49);     // 4 KiB: the container
    fs.addPartition("sdd", "sdd5", 5, 80000, 8, 53);
    auto list = partitions();
    EXPECT_TRUE(find(list, "sdd1")->extendedContainer);
    EXPECT_FALSE(find(list, "sdd5")->extendedContainer);
}

TEST_F(ScannerTest, EfiSystemPartitionWithoutUdevIsKnownByItsGptName) {
    fs.addDisk({.name = "sde", .devicePath = kSas, .sectors = 2097152, .major = 8, .minor = 64});
    fs.addPartition("sde", "sde1", 1, 204800, 8, 65, "EFI system partition");
    fs.addPartition("sde", "sde2", 2, 204800, 8, 66, "Linux filesystem");
    auto list = partitions();
    EXPECT_TRUE(find(list, "sde1")->efiSystemPartition);
    EXPECT_FALSE(find(list, "sde2")->efiSystemPartition);
    EXPECT_EQ(find(list, "sde2")->partitionName, "Linux filesystem");
}

TEST_F(ScannerTest, PartitionsAreNamedByTheirLabelFromUdevOrByLabelLinks) {
    auto list = partitions();
    EXPECT_EQ(find(list, "sda2")->displayName, "Data");
    EXPECT_TRUE(find(list, "sda2")->mounted);
    EXPECT_EQ(find(list, "sda2")->mountPoint, "/home");
    EXPECT_EQ(find(list, "sdb1")->displayName, "MY STICK");  // decoded from the link's name
    EXPECT_FALSE(find(list, "sdb1")->mounted);
    EXPECT_EQ(find(list, "sdc1")->displayName, "");  // no label, no vendor for partitions
}

TEST_F(ScannerTest, PartitionsOfLeftOutDevicesAndEmptyPartitionsAreNotReported) {
    fs.addPartition("loop2", "loop2p1", 1, 2000, 259, 20);
    fs.addPartition("sdb", "sdb2", 2, 0, 8, 18);
    auto list = names(partitions());
    EXPECT_EQ(std::count(list.begin(), list.end(), "loop2p1"), 0);
    EXPECT_EQ(std::count(list.begin(), list.end(), "sdb2"), 0);
}

TEST_F(ScannerTest, LabelsFromTheMediumAreCleanedOfControlCharactersAndBounded) {
    fs.setUdev(8, 17, "E:ID_FS_LABEL_ENC=EVIL\\x1b[2J\\x0aNAME\n");
    EXPECT_EQ(find(partitions(), "sdb1")->displayName, "EVIL[2JNAME");
    fs.setUdev(8, 17, "E:ID_FS_LABEL_ENC=" + std::string(5000, 'A') + "\n");
    EXPECT_EQ(find(partitions(), "sdb1")->displayName.size(), 255u);
}

TEST_F(ScannerTest, CorruptSysfsValuesDoNotBreakTheList) {
    fs.write(fs.diskFolder("sda") + "/size", "lots\n");
    fs.write(fs.diskFolder("sdb") + "/queue/logical_block_size", "1000\n");
    fs.write(fs.diskFolder("sdc") + "/size", "99999999999999999999999\n");
    fs.write(fs.diskFolder("nvme0n1") + "/size", "36028797018963968\n");  // 2^55 sectors: bytes overflow
    auto list = disks();
    EXPECT_EQ(find(list, "sda"), nullptr);
    EXPECT_EQ(find(list, "sdc"), nullptr);
    EXPECT_EQ(find(list, "nvme0n1"), nullptr);
    ASSERT_TRUE(find(list, "sdb"));
    EXPECT_EQ(find(list, "sdb")->blockSize, 512u);  // not a power of two: the default
}

TEST(ScannerRoots, MissingSysfsIsAFailureWithAnEmptyList) {
    SysfsRoots roots;
    roots.sys = "/nonexistent/vorn/sys";
    SysfsMediaScanner scanner(roots);
    std::vector<MediaInfo> list{MediaInfo()};
    EXPECT_FALSE(scanner.scanDisks(list));
    EXPECT_TRUE(list.empty());
    EXPECT_FALSE(scanner.scanPartitions(list));
}

TEST(NaturalOrder, KernelNamesSortAsPeopleCount) {
    std::vector<std::string> names = {"sdaa", "sdb", "sda", "sdz", "nvme10n1", "nvme2n1", "sr0", "loop10", "loop9",
                                      "sda10", "sda2", "mmcblk0", "md0"};
    std::sort(names.begin(), names.end(), naturalLess);
    EXPECT_EQ(names, (std::vector<std::string>{"loop9", "loop10", "md0", "mmcblk0", "nvme2n1", "nvme10n1", "sda",
                                               "sda2", "sda10", "sdb", "sdz", "sdaa", "sr0"}));
    EXPECT_FALSE(naturalLess("sda", "sda"));
    EXPECT_TRUE(naturalLess("sd01", "sd2"));
}

}  // namespace
}  // namespace vorn
