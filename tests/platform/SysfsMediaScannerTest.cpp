#include "platform/SysfsMediaScanner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <tuple>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "platform/CreateDiskManager.h"
#include "platform/LinuxDiskManager.h"
#include "platform/VolumeInfo.h"
#include "storage/Disk.h"

namespace vorn {
namespace {

using Attrs = std::vector<std::pair<std::string, std::string>>;

class FakeTree : public ::testing::Test {
protected:
    std::string at(const std::string& rel) {  // root/rel, its folders made
        std::filesystem::create_directories(std::filesystem::path(root + "/" + rel).parent_path());
        return root + "/" + rel;
    }
    void write(const std::string& rel, const std::string& text) { std::ofstream(at(rel)) << text << "\n"; }
    void link(const std::string& rel, const std::string& target) { std::filesystem::create_symlink(target, at(rel)); }
    // The folder's size (512-byte units), dev and attribute files; the
    // attribute "udev" is the device's entry in the udev database.
    void node(const std::string& name, const std::string& folder, const std::string& majMin, u64 sectors,
              const Attrs& attrs) {
        write(folder + "/size", std::to_string(sectors));
        write(folder + "/dev", majMin);
        for (const auto& [file, text] : attrs) write(file == "udev" ? "udev/b" + majMin : folder + "/" + file, text);
        link("sys/dev/block/" + majMin, root + "/" + folder);
        folders[name] = folder;
    }
    void disk(const std::string& name, const std::string& bus, const std::string& majMin, u64 sectors,
              const Attrs& attrs = {}) {
        node(name, "sys/devices/" + (bus.empty() ? "virtual" : bus) + "/block/" + name, majMin, sectors, attrs);
        link("sys/block/" + name, root + "/" + folders[name]);
    }
    void part(const std::string& disk, const std::string& name, int number, const std::string& majMin, u64 sectors,
              Attrs attrs = {}) {
        attrs.emplace_back("partition", std::to_string(number));
        node(name, folders.at(disk) + "/" + name, majMin, sectors, attrs);
    }
    SysfsRoots roots() const { return {root + "/sys", dev, root + "/mountinfo", root + "/udev"}; }

    void SetUp() override {
        char templ[] = "/tmp/vorn-fakesys-XXXXXX";
        ASSERT_TRUE(mkdtemp(templ));
        root = templ;
        dev = root + "/dev";
        const std::string ata = "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0";
        disk("sda", ata, "8:0", 1000215216, {{"device/vendor", "ATA     "}, {"device/model", "Samsung SSD 860 "}});
        part("sda", "sda1", 1, "8:1", 1048576, {{"udev", "E:ID_PART_ENTRY_TYPE=C12A7328-F81F-11D2-BA4B-00A0C93EC93B"}});
        part("sda", "sda2", 2, "8:2", 999164000, {{"udev", "E:ID_FS_LABEL=Data"}});
        write("mountinfo", "36 1 8:2 / /home rw shared:1 - ext4 /dev/sda2 rw\n"
                           "37 1 179:0 / /media/u/CAMERA\\040CARD rw - vfat /dev/mmcblk0 rw");
        disk("nvme0n1", "pci0000:00/0000:3d:00.0/nvme/nvme0", "259:0", 2000409264,
             {{"queue/logical_block_size", "4096"}, {"device/model", "WD Blue SN570"}});
        part("nvme0n1", "nvme0n1p1", 1, "259:1", 8);  // one 4,096-byte sector: the extended container
        part("nvme0n1", "nvme0n1p5", 5, "259:5", 2000400000);
        // A USB stick without the removable flag; udev knows its partition types.
        disk("sdb", "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0", "8:16", 60063744,
             {{"device/vendor", "SanDisk "}, {"device/model", "Cruzer Blade\x01"}});
        part("sdb", "sdb1", 1, "8:17", 60000000);
        link("dev/disk/by-label/MY\\x20STICK", "../../sdb1");
        part("sdb", "sdb2", 2, "8:18", 2048, {{"udev", "E:ID_PART_ENTRY_SCHEME=dos\nE:ID_PART_ENTRY_TYPE=0xf"}});
        part("sdb", "sdb4", 4, "8:20", 0);
        // No udev: the container is known by its size, the EFI partition by its name.
        disk("sdc", "pci0000:00/0000:00:10.0/host2/target2:0:1/2:0:1:0", "8:32", 2097152,
             {{"device/vendor", "SEAGATE"}, {"device/model", "ST300MM0008"}, {"queue/logical_block_size", "1000"},
              {"udev", "E:ID_FS_LABEL=NotMounted"}});
        part("sdc", "sdc1", 1, "8:33", 204800, {{"uevent", "PARTNAME=EFI system partition"}});
        part("sdc", "sdc2", 2, "8:34", 2);
        part("sdc", "sdc3", 3, "8:35", 8, {{"udev", "E:ID_FS_LABEL_ENC=EVIL\\x1b[2J\\x0aNAME"}});
        disk("sr0", "pci0000:00/0000:00:17.0/ata2/host1/target1:0:0/1:0:0:0", "11:0", 1425760,
             {{"queue/logical_block_size", "2048"}, {"removable", "1"}, {"device/vendor", "HL-DT-ST"},
              {"device/model", "DVDRAM GH24NSD1"}, {"device/type", "5"}});
        disk("sr1", ata, "11:1", 0, {{"device/type", "5"}});  // no disc
        disk("mmcblk0", "pci0000:00/0000:00:1e.6/mmc_host/mmc0/mmc0:aaaa", "179:0", 62333952,
             {{"device/name", "SD64G"}, {"device/type", "SD"}, {"udev", "E:ID_FS_LABEL_ENC=CAMERA\\x20CARD"}});
        disk("loop0", "", "7:0", 8192, {{"loop/backing_file", "/home/u/disk.img"}});
        disk("loop2", "", "7:2", 4096);  // no backing file
        disk("ram0", "", "1:0", 131072);
        disk("zram0", "", "252:0", 8388608);
        disk("nvme1c1n1", "pci0000:00/0000:3d:00.0/nvme/nvme0", "259:9", 1000, {{"hidden", "1"}});
        disk("md0", "", "9:0", 800000);  // RAID on sdb1; dm-0 (LVM) on sda2 and md0
        link(folders["md0"] + "/slaves/sdb1", root + "/" + folders["sdb1"]);
        disk("dm-0", "", "253:0", 1600000);
        link(folders["dm-0"] + "/slaves/sda2", root + "/" + folders["sda2"]);
        link(folders["dm-0"] + "/slaves/md0", root + "/" + folders["md0"]);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }

    std::string root, dev;
    std::map<std::string, std::string> folders;
};

// One line per medium: name, type, bus, block size x count, shown name, flags.
std::string describe(const std::vector<MediaInfo>& list) {
    const char* const types[] = {"unknown", "removable", "cd/dvd", "fixed", "image"};
    std::string out;
    for (const MediaInfo& m : list) {
        out += m.name + " " + types[m.type] + " " + m.interfaceText + " " + std::to_string(m.blockSize) + "x" +
               std::to_string(m.blockCount) + " '" + m.displayName + "'" + (m.efiSystemPartition ? " efi" : "") +
               (m.extendedContainer ? " container" : "") + "\n";
    }
    return out;
}

TEST_F(FakeTree, ListsEveryMediumWithItsGeometryTypeBusAndNameAndLeavesOutTheRest) {
    SysfsMediaScanner scanner(roots());
    std::vector<MediaInfo> disks, parts;
    ASSERT_TRUE(scanner.scanDisks(disks));
    ASSERT_TRUE(scanner.scanPartitions(parts));
    EXPECT_EQ(describe(disks), R"(dm-0 fixed DM 512x1600000 ''
loop0 image LOOP 512x8192 'disk.img'
md0 fixed MD 512x800000 ''
mmcblk0 removable MMC 512x62333952 'CAMERA CARD'
nvme0n1 fixed NVME 4096x250051158 'WD Blue SN570'
sda fixed ATA 512x1000215216 'Samsung SSD 860'
sdb removable USB 512x60063744 'SanDisk Cruzer Blade'
sdc fixed SCSI 512x2097152 'SEAGATE ST300MM0008'
sr0 cd/dvd ATA 2048x356440 'HL-DT-ST DVDRAM GH24NSD1'
)");
    EXPECT_EQ(describe(parts), R"(nvme0n1p1 fixed NVME 4096x1 '' container
nvme0n1p5 fixed NVME 4096x250050000 ''
sda1 fixed ATA 512x1048576 '' efi
sda2 fixed ATA 512x999164000 'Data'
sdb1 removable USB 512x60000000 'MY STICK'
sdb2 removable USB 512x2048 '' container
sdc1 fixed SCSI 512x204800 '' efi
sdc2 fixed SCSI 512x2 '' container
sdc3 fixed SCSI 512x8 'EVIL[2JNAME'
)");
    EXPECT_EQ(disks[3].mountPoint + " " + parts[3].mountPoint, "/media/u/CAMERA CARD /home");
    VolumeDevice v;
    ASSERT_TRUE(findVolumeDeviceByNumber(253, 0, v, roots()));
    EXPECT_EQ(v.underlyingDisks, (std::vector<std::string>{dev + "/dm-0", dev + "/md0", dev + "/sdb", dev + "/sda"}));
}

std::string listing(DiskManager& m, const std::string& dev) {
    std::string out;
    for (u32 i = 0; i < m.getDiskCount(); ++i) {
        out += " " + m.getDisk(i)->getPath().substr(dev.size() + 1);
        for (u32 p = 0; p < m.getDisk(i)->getPartitionCount(); ++p) {
            out += "[" + m.getDisk(i)->getPartition(p)->getPath().substr(dev.size() + 1) + "]";
        }
    }
    return out;
}

TEST_F(FakeTree, ManagerListsLinuxDisksOnceWithoutOpeningThemOrListingEfiAndContainers) {
    LinuxDiskManager m(roots());
    for (int i = 0; i < 2; ++i) {
        m.scanForDisks();
        m.scanForPartitions();
    }
    EXPECT_EQ(listing(m, dev), " dm-0 loop0 md0 mmcblk0 nvme0n1[nvme0n1p5] sda[sda2] sdb[sdb1] sdc[sdc3] sr0");
    auto show = [](Disk* d) {  // name, bus, type, geometry, whole, opens
        return d->getName() + " " + d->getInterface() + " " + std::to_string(d->getType()) + " " +
               std::to_string(d->getBlockSize()) + "x" + std::to_string(d->getBlockCount()) +
               (d->isWhole() ? " whole " : " part ") + std::to_string(d->getOpenCount());
    };
    EXPECT_EQ(show(m.getDisk(6)) + ", " + show(m.getDisk(6)->getPartition(0)),
              "SanDisk Cruzer Blade USB 1 512x60063744 whole 0, MY STICK USB 1 512x60000000 part 0");
    EXPECT_EQ(show(m.getDisk(4)->getPartition(0)), " NVME 3 4096x250050000 part 0");
    LinuxDiskManager alone(roots());  // no disks: the partitions are listed on their own, once
    alone.scanForPartitions();
    alone.scanForPartitions();
    EXPECT_EQ(listing(alone, dev), " nvme0n1p5 sda2 sdb1 sdc3");
    EXPECT_FALSE(alone.getDisk(0)->isWhole());
    std::unique_ptr<DiskManager> platform = createDiskManager();
    EXPECT_NE(dynamic_cast<LinuxDiskManager*>(platform.get()), nullptr);
}

TEST_F(FakeTree, TheDevicesOverAFileBeingReadAreProtectedWithTheirPartitionsMappingsAndLoopsWithin) {
    // loop3 reads the image, with a partition and a mapping on it; loop4 reads it too and, in this
    // tree, is the device of the folder holding the tree, so loop1 (listed first) reads a file that
    // lies on it: an image inside the mounted image. loop0 and loop2 have no file, loop6's is another.
    // What a loop reads is the kernel's word (the query), never the path text in sysfs: loop8's text
    // names the image but it reads another file; loop9's names a file that is not there (set up in
    // another mount namespace, or under a name with a line break) but it reads the image.
    const std::string image = at("image.img"), inner = at("inner.img");
    write("image.img", "image");
    write("inner.img", "inner");
    struct stat folder {};
    ASSERT_EQ(stat(root.c_str(), &folder), 0);
    const std::string here = std::to_string(major(folder.st_dev)) + ":" + std::to_string(minor(folder.st_dev));
    disk("loop3", "", "7:3", 16, {{"loop/backing_file", image}});
    part("loop3", "loop3p1", 1, "259:31", 8);
    disk("dm-1", "", "253:1", 8);
    link(folders["loop3p1"] + "/holders/dm-1", root + "/" + folders["dm-1"]);
    disk("loop4", "", here, 16, {{"loop/backing_file", image}});
    disk("loop1", "", "7:1", 16, {{"loop/backing_file", inner}});
    disk("loop6", "", "7:6", 16, {{"loop/backing_file", "/proc/version"}});
    disk("loop8", "", "7:8", 16, {{"loop/backing_file", image}});
    disk("loop9", "", "7:9", 16, {{"loop/backing_file", root + "/gone/image.img"}});
    auto identity = [](const std::string& path) {
        struct stat st {};
        stat(path.c_str(), &st);
        return FileIdentity{static_cast<u64>(st.st_dev), static_cast<u64>(st.st_ino)};
    };
    const std::map<std::string, FileIdentity> kernel = {
        {dev + "/loop3", identity(image)}, {dev + "/loop4", identity(image)},  {dev + "/loop1", identity(inner)},
        {dev + "/loop6", identity("/proc/version")}, {dev + "/loop8", FileIdentity{1, 2}}, {dev + "/loop9", identity(image)}};
    std::vector<std::string> asked;
    auto query = [&](const std::string& node, u64 device, LoopBacking& backing) {
        asked.push_back(node.substr(dev.size()) + "=" + std::to_string(major(device)) + ":" + std::to_string(minor(device)));
        const auto found = kernel.find(node);
        if (found == kernel.end()) return LoopFile::Detached;
        backing.file = found->second;
        return LoopFile::Found;
    };
    ProtectedFiles files;
    files.addPath(image);
    protectDevicesOverFiles(files, roots(), query);
    auto protectedDevices = [&files](std::vector<std::pair<u32, u32>> numbers) {
        std::string out;
        for (const auto& [major, minor] : numbers) {
            if (files.holdsDevice(makedev(major, minor))) out += std::to_string(major) + ":" + std::to_string(minor) + " ";
        }
        return out;
    };
    EXPECT_EQ(protectedDevices({{7, 0}, {7, 1}, {7, 2}, {7, 3}, {7, 8}, {7, 9}, {259, 31}, {253, 1}, {7, 6}, {253, 0}}),
              "7:1 7:3 7:9 259:31 253:1 ");
    EXPECT_TRUE(files.holdsDevice(folder.st_dev));
    // Each loop device asked once, at its node, with its device number.
    EXPECT_EQ(asked.size(), 8u);
    EXPECT_NE(std::find(asked.begin(), asked.end(), "/loop3=7:3"), asked.end());
    // A device being read protects its partitions and what is built on them (md0 on sdb1), not
    // the other disks.
    link(folders["sdb1"] + "/holders/md0", root + "/" + folders["md0"]);
    ProtectedFiles read;
    protectDeviceTree(makedev(8, 16), read, roots());
    EXPECT_EQ(std::tuple(read.holdsDevice(makedev(8, 16)), read.holdsDevice(makedev(8, 17)),
                         read.holdsDevice(makedev(8, 20)), read.holdsDevice(makedev(9, 0)),
                         read.holdsDevice(makedev(8, 0))),
              std::tuple(true, true, true, true, false));
}

// What a device shows of the medium beneath it: a partition the stretch of its whole disk that
// sysfs gives, a loop device the stretch of its file or device from the kernel's offset on. Whole
// disks, md and mapped devices show none; an attribute that is no number or too large to be a
// place leaves the end unknown.
TEST_F(FakeTree, APartitionShowsItsStretchOfTheWholeDiskAndALoopDeviceItsStretchOfWhatItReads) {
    write(folders["sdb1"] + "/start", "2048");
    write(folders["sdb2"] + "/start", "not a number");
    disk("loop3", "", "7:3", 16, {{"loop/backing_file", "/images/card.img"}});
    part("loop3", "loop3p1", 1, "259:31", 8, {{"start", "4"}});
    disk("loop5", "", "7:5", 8, {{"loop/backing_file", dev + "/loop3p1"}});
    disk("loop6", "", "7:6", 36028797018963968, {{"loop/backing_file", "/images/huge.img"}});
    disk("loop7", "", "7:7", 16, {{"loop/backing_file", ""}});  // detached since
    const FileIdentity card{1, 42};
    const std::map<u64, LoopBacking> kernel = {{makedev(7, 3), LoopBacking{card, 0, 1024}},
                                               {makedev(7, 5), LoopBacking{FileIdentity{1, 99}, makedev(259, 31), 512}},
                                               {makedev(7, 6), LoopBacking{FileIdentity{1, 43}, 0, 0}}};
    std::vector<std::string> asked;
    auto query = [&](const std::string& node, u64 device, LoopBacking& backing) {
        asked.push_back(node.substr(dev.size()));
        const auto found = kernel.find(device);
        if (found == kernel.end()) return LoopFile::Detached;
        backing = found->second;
        return LoopFile::Found;
    };
    auto beneath = [&](u64 device) {
        MediumBeneath b;
        if (!mediumBeneathDevice(device, b, roots(), query)) return std::string("none");
        return std::string(b.medium.device ? "device " : "file ") + std::to_string(b.medium.identity.device) + ":" +
               std::to_string(b.medium.identity.inode) + " to " + std::to_string(b.end);
    };
    const auto number = [](u32 major, u32 minor) { return std::to_string(u64(makedev(major, minor))); };
    EXPECT_EQ(beneath(makedev(8, 17)), "device 0:" + number(8, 16) + " to " + std::to_string((2048 + 60000000ull) * 512));
    EXPECT_EQ(beneath(makedev(8, 18)), "device 0:" + number(8, 16) + " to 0");
    EXPECT_EQ(beneath(makedev(7, 3)), "file 1:42 to " + std::to_string(1024 + 16 * 512));
    EXPECT_EQ(beneath(makedev(259, 31)), "device 0:" + number(7, 3) + " to " + std::to_string(12 * 512));
    EXPECT_EQ(beneath(makedev(7, 5)), "device 0:" + number(259, 31) + " to " + std::to_string(512 + 8 * 512));
    EXPECT_EQ(beneath(makedev(7, 6)), "file 1:43 to 0");
    EXPECT_EQ(beneath(makedev(7, 7)), "none");
    for (const auto& [major, minor] : std::vector<std::pair<u32, u32>>{{8, 16}, {9, 0}, {253, 0}, {8, 99}})
        EXPECT_EQ(beneath(makedev(major, minor)), "none") << major << ":" << minor;
    EXPECT_EQ(asked, (std::vector<std::string>{"/loop3", "/loop5", "/loop6", "/loop7"}));
}

TEST_F(FakeTree, ALoopOverAPartitionOfTheLoopOverTheImageAndWhatIsBuiltOnItLeadBackToTheImage) {
    // loop3 reads the image and has a partition loop3p1; loop5 reads that partition (a block device,
    // lo_rdevice), and the mapping dm-3 is built on loop5. Whatever is mounted from loop5 or dm-3
    // lands in the image; reading either of them reads the image.
    const std::string image = at("image.img");
    write("image.img", "image");
    disk("loop3", "", "7:3", 16, {{"loop/backing_file", image}});
    part("loop3", "loop3p1", 1, "259:31", 8);
    disk("loop5", "", "7:5", 8, {{"loop/backing_file", dev + "/loop3p1"}});
    disk("dm-3", "", "253:3", 8);
    link(folders["loop5"] + "/holders/dm-3", root + "/" + folders["dm-3"]);
    link(folders["dm-3"] + "/slaves/loop5", root + "/" + folders["loop5"]);
    disk("loop6", "", "7:6", 16, {{"loop/backing_file", "/proc/version"}});
    struct stat st {};
    ASSERT_EQ(stat(image.c_str(), &st), 0);
    const FileIdentity imageFile{static_cast<u64>(st.st_dev), static_cast<u64>(st.st_ino)};
    const std::map<std::string, LoopBacking> kernel = {
        {dev + "/loop3", LoopBacking{imageFile, 0}},
        {dev + "/loop5", LoopBacking{FileIdentity{1, 99}, makedev(259, 31)}},  // the node of loop3p1
        {dev + "/loop6", LoopBacking{FileIdentity{1, 98}, 0}}};
    auto query = [&](const std::string& node, u64, LoopBacking& backing) {
        const auto found = kernel.find(node);
        if (found == kernel.end()) return LoopFile::Detached;
        backing = found->second;
        return LoopFile::Found;
    };
    ProtectedFiles files;
    files.add(imageFile);
    protectDevicesOverFiles(files, roots(), query);
    EXPECT_EQ(std::tuple(files.holdsDevice(makedev(7, 3)), files.holdsDevice(makedev(259, 31)),
                         files.holdsDevice(makedev(7, 5)), files.holdsDevice(makedev(253, 3)),
                         files.holdsDevice(makedev(7, 6))),
              std::tuple(true, true, true, true, false));
    for (const u64 read : {makedev(7, 5), makedev(253, 3), makedev(259, 31)}) {
        SCOPED_TRACE(std::to_string(major(read)) + ":" + std::to_string(minor(read)));
        ProtectedFiles behind;
        protectFilesBehindDevice(read, behind, roots(), query);
        EXPECT_TRUE(behind.holds(imageFile));
    }
    ProtectedFiles other;
    protectFilesBehindDevice(makedev(7, 6), other, roots(), query);
    EXPECT_FALSE(other.holds(imageFile));
    // loop6 reads a file on a file system that the mount rules refuse (device 1): an image in an
    // image mounted through FUSE. loop7 reads inner.img, which the rules would not let be written
    // (on a btrfs subvolume of the image, say), found by the path that sysfs names when it leads to
    // the file the kernel names; loop8's path names inner.img too, but it reads another file.
    const std::string inner = at("sub/inner.img");
    write("sub/inner.img", "inner");
    ASSERT_EQ(stat(inner.c_str(), &st), 0);
    const FileIdentity innerFile{static_cast<u64>(st.st_dev), static_cast<u64>(st.st_ino)};
    disk("loop7", "", "7:7", 16, {{"loop/backing_file", inner}});
    disk("loop8", "", "7:8", 16, {{"loop/backing_file", inner}});
    std::map<std::string, LoopBacking> more = kernel;
    more[dev + "/loop7"] = LoopBacking{innerFile, 0};
    more[dev + "/loop8"] = LoopBacking{FileIdentity{2, 97}, 0};
    auto askMore = [&](const std::string& node, u64, LoopBacking& backing) {
        const auto found = more.find(node);
        if (found == more.end()) return LoopFile::Detached;
        backing = found->second;
        return LoopFile::Found;
    };
    struct Refusing : MountRules {
        explicit Refusing(std::string path) : refused(std::move(path)) {}
        bool refuses(const std::string& path, bool, const ProtectedFiles&) const override { return path == refused; }
        bool watches(u64) const override { return false; }
        bool refusesDevice(u64 device, const ProtectedFiles&) const override { return device == 1; }
        std::string refused;
    };
    ProtectedFiles nested;
    nested.add(imageFile);
    nested.setMountRules(std::make_shared<Refusing>(inner));
    protectDevicesOverFiles(nested, roots(), askMore);
    EXPECT_EQ(std::tuple(nested.holdsDevice(makedev(7, 6)), nested.holdsDevice(makedev(7, 7)),
                         nested.holdsDevice(makedev(7, 8))),
              std::tuple(true, true, false));
}

}  // namespace
}  // namespace vorn
