#include "platform/LinuxDisk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "TestMedia.h"
#include "platform/CdToc.h"
#include "platform/CreateDiskManager.h"
#include "platform/DeviceOpener.h"
#include "platform/LinuxDiskManager.h"
#include "platform/VolumeInfo.h"
#include "misc/OutputFile.h"
#include "recovery/Recovery.h"
#include "storage/DiskManager.h"
#include "storage/DisksReadBy.h"
#include "storage/ImageDisk.h"
#include "storage/RAIDDisk.h"
#include "LogCapture.h"

namespace vorn {
namespace {

std::string run(const std::string& command) {  // its output less the last line end
    std::string out(1 << 20, '\0');
    FILE* p = popen(command.c_str(), "r");
    out.resize(p ? fread(out.data(), 1, out.size(), p) : 0);
    if (p) pclose(p);
    return out.substr(0, out.find_last_not_of('\n') + 1);
}

// A loop device over a file, partitions listed, detached at the end (root only).
struct Loop {
    Loop(const std::string& file, const std::string& options) {
        if (geteuid() == 0) path = run("losetup -f --show " + options + " '" + file + "' 2>/dev/null");
        if (!path.empty()) (void)std::system(("partx -a " + path + " 2>/dev/null").c_str());  // where -P made none
    }
    ~Loop() { if (!path.empty()) (void)std::system(("losetup -d " + path).c_str()); }
    std::string name() const { return path.substr(5); }  // "loop3"
    std::string path;
};

struct FakeOpener : DeviceOpener {
    explicit FakeOpener(int error, PkexecOpener& pkexec) : refuse(error), prompt(pkexec) {}
    int openReadOnly(const std::string& path) override { return refuse ? -refuse : DeviceOpener::openReadOnly(path); }
    int openWithRights(const std::string& path) override {
        ++asked;
        return prompt.open(path);
    }
    int refuse, asked = 0;
    PkexecOpener& prompt;
};

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/vorn-device-XXXXXX";
        ASSERT_TRUE(mkdtemp(templ));
        dir = templ;
        pkexec.setHelperPath(helper);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    // dir/name holding text, executable when it starts with "#!".
    std::string put(const std::string& name, const std::string& text) {
        std::ofstream(dir + "/" + name, std::ios::binary) << text;
        chmod((dir + "/" + name).c_str(), text.rfind("#!", 0) ? 0644 : 0755);
        return dir + "/" + name;
    }
    std::string dir;
    const std::string helper = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "vorn-open-helper";
    PkexecOpener pkexec;
};

TEST_F(DeviceTest, DiskOpensOnlyForReadingAndZeroFillsPastTheEndAndAfterReadErrors) {
    test::LogCapture log;
    std::string data(10 * 512 + 100, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7 + i / 512);
    const std::string path = put("image", data);
    LinuxDisk disk(path);
    EXPECT_FALSE(disk.open(true));
    EXPECT_TRUE(log.has("error at LinuxDisk::open: write access refused (" + path + ")\n"));
    std::string got(3 * 512, 'x');
    EXPECT_FALSE(disk.writeBlocksImpl(0, 1, got.data()));
    disk.setType(DISK_TYPE_CDDVD);
    disk.setLastSessionOfs(12345);
    ASSERT_TRUE(disk.open(false));
    EXPECT_EQ(disk.getLastSessionOfs(), 0u);  // a file has no table of contents: the first session
    const int fd = disk.getDescriptor();
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(disk.getBlockCount(), 10u);  // not listed: the size of the node
    ASSERT_TRUE(disk.readBlocksImpl(9, 3, got.data()));
    EXPECT_EQ(got, data.substr(9 * 512) + std::string(3 * 512 - 612, '\0'));
    EXPECT_FALSE(disk.readBlocksImpl(~0ull / 512, 1, got.data()));  // the offset overflows
    EXPECT_EQ(disk.getReadErrors(), 0u);
    LinuxDisk folder(dir);  // opens, but a read fails: one read error, zeros
    folder.setBlockCount(4);
    EXPECT_TRUE(folder.open(false));
    EXPECT_FALSE(folder.readBlocksImpl(0, 3, got.data()));
    EXPECT_EQ(folder.getReadErrors(), 1u);
    EXPECT_EQ(got, std::string(3 * 512, '\0'));
}

TEST_F(DeviceTest, RightsAreAskedOnceWhenTheNodeRefusesTheUserAndARefusalFailsTheOpenWithEveryLine) {
    const std::string p = "/dev/vorn-test-node", denied = "ExecuteWithAuthorizatonRight failed " + p + " (13)\n";
    const std::string failed = "Error opening " + p + " (13)\n", none = "Failed to execute with privileges (" + helper;
    for (const auto& [error, launcher, lines] : std::vector<std::tuple<int, std::string, std::vector<std::string>>>{
             {EACCES, "exit 126", {"Pre-authorization failed: 126, giving up.\n",
                                   "(user canceled entering root password)\n", denied, failed}},
             {EACCES, "exit 127", {"Pre-authorization failed: 127, giving up.\n", denied, failed}},
             {EACCES, "", {none + "): 2, giving up.\n", denied, failed}},
             {EACCES, "no authorization", {failed}},
             {ENOENT, "exit 126", {"Error opening " + p + " (2)\n"}},
             {ENOMEDIUM, "exit 126", {"error at LinuxDisk::open: no medium in " + p + "\n",
                                      "Error opening " + p + " (" + std::to_string(ENOMEDIUM) + ")\n"}}}) {
        test::LogCapture log(LOG_ERROR);
        pkexec.setLauncher(launcher.empty() ? dir + "/none" : put("pkexec", "#!/bin/sh\n" + launcher));
        FakeOpener opener(error, pkexec);
        LinuxDisk disk(p, &opener);
        EXPECT_FALSE(launcher == "no authorization" ? disk.openImplAuthorized(false, false) : disk.open(false));
        EXPECT_EQ(opener.asked, lines.size() > 2 ? 1 : 0);
        EXPECT_EQ(log.lines, lines);
    }
    // Granted: the helper, run as the service runs it, opens block devices only, and only for reading.
    Loop loop(put("image", std::string(65536, 'v')), "");  // writable, for the lying helper at the end
    if (access(helper.c_str(), X_OK) != 0 || loop.path.empty()) GTEST_SKIP() << "needs the helper, root, losetup";
    pkexec.setLauncher(put("pkexec", "#!/bin/sh\nexec \"$@\""));
    for (const char* path : {"/dev/null", "/dev/../etc/passwd", "/dev/shm"}) EXPECT_EQ(pkexec.open(path), -1) << path;
    FakeOpener granted(EPERM, pkexec);  // a refusal by policy asks too
    LinuxDisk disk(loop.path, &granted);
    ASSERT_TRUE(disk.open(false));
    ASSERT_TRUE(disk.open(false));
    EXPECT_EQ(granted.asked, 1);
    EXPECT_EQ(fcntl(disk.getDescriptor(), F_GETFL) & O_ACCMODE, O_RDONLY);
    pkexec.setHelperPath(put("liar", "#!/usr/bin/python3\nimport os, socket\nsocket.send_fds(socket.socket(fileno=0), "
                                     "[b'v'], [os.open('" + loop.path + "', os.O_RDWR)])\n"));
    EXPECT_EQ(pkexec.open(loop.path), -1);  // a descriptor that allows writing is not believed
}

CdToc toc(const std::vector<std::vector<int>>& tracks, int length = -1, const std::vector<u8>& trailing = {}) {
    std::vector<u8> b = {0, 0, 1, 1};
    for (const auto& t : tracks) {
        const int f = t[2] + 150;  // minutes/seconds/frames count the lead-in
        const int control = t.size() > 3 ? t[3] : 4, adr = t.size() > 4 ? t[4] : 1;
        const u8 d[11] = {u8(t[0]), u8(adr << 4 | control), 0, u8(t[1]), 0, 0, 0, 0, u8(f / 4500), u8(f / 75 % 60),
                          u8(f % 75)};
        b.insert(b.end(), d, d + 11);
    }
    b.insert(b.end(), trailing.begin(), trailing.end());
    const size_t len = length >= 0 ? size_t(length) : b.size() - 2;
    b[0] = u8(len >> 8);
    b[1] = u8(len);
    CdToc parsed;
    EXPECT_TRUE(parseFullToc(b.data(), b.size(), parsed));
    return parsed;
}

CdToc dvdEntries() {
    CdToc t = toc({{1, 1, 0}, {2, 2, 0}});
    t.descriptors[1].hasStartLba = true;
    t.descriptors[1].startLba = 2000000;
    return t;
}

// A loop device reads the file behind it, open or not: a save into that file's folder never writes it.
TEST(RealSystem, ALoopDeviceNamesTheFileBehindItAndASaveNeverWritesThatFile) {
    char templ[] = "/tmp/vorn-loop-XXXXXX";
    ASSERT_TRUE(mkdtemp(templ));
    const std::string dir = templ, image = dir + "/GUARD/disk.img";
    std::filesystem::create_directories(dir + "/GUARD");
    std::filesystem::copy_file(test::mediaPath("guard/disk.img"), image);
    Loop loop(image, "");
    if (!loop.path.empty()) {
        struct stat file {};
        ASSERT_EQ(stat(image.c_str(), &file), 0);
        const FileIdentity expected{static_cast<u64>(file.st_dev), static_cast<u64>(file.st_ino)};
        LinuxDisk disk(loop.path);
        FileIdentity closed, opened;
        EXPECT_TRUE(disk.getLoopBackingFile(closed) && disk.open(false) && disk.getLoopBackingFile(opened));
        EXPECT_EQ(std::pair(closed, opened), std::pair(expected, expected));

        LinuxDiskManager manager;
        manager.scanForDisks();
        Recovery recovery;
        ASSERT_TRUE(recovery.selectDisk(manager.findDiskByPath(loop.path)));
        recovery.openExistingVolume();
        ASSERT_TRUE(recovery.getRootItem());
        recovery.save({recovery.getRootItem()}, dir);
        EXPECT_EQ(recovery.getRefusedFileCount(), 1u);
        recovery.selectDisk(nullptr);
    }
    std::ifstream saved(image, std::ios::binary), original(test::mediaPath("guard/disk.img"), std::ios::binary);
    EXPECT_TRUE(std::equal(std::istreambuf_iterator<char>(saved), {}, std::istreambuf_iterator<char>(original), {}));
    std::filesystem::remove_all(dir);
    if (loop.path.empty()) GTEST_SKIP() << "no loop device (needs root and losetup)";
}

// An image mounted through a loop device (an ext4 file system past its FAT volume): a save onto
// that file system, or a file a front end writes there, would land in the image being read.
TEST(RealSystem, NothingIsSavedOntoAFileSystemMountedFromTheImageBeingRead) {
    char templ[] = "/tmp/vorn-mounted-XXXXXX";
    ASSERT_TRUE(mkdtemp(templ));
    const std::string dir = templ, image = dir + "/disk.img", mounted = dir + "/mnt";
    struct Scratch {  // removed last, once nothing is mounted there
        ~Scratch() { std::filesystem::remove_all(path, error); }
        std::string path;
        std::error_code error;
    } scratch{dir, {}};
    std::filesystem::create_directories(mounted);
    std::filesystem::copy_file(test::mediaPath("guard/disk.img"), image);
    std::filesystem::resize_file(image, 8 << 20);
    const std::string past = std::to_string(2 << 20);  // where the guard volume ends
    Loop loop(image, "-o " + past);
    struct Mount {  // unmounted before the loop device is detached
        ~Mount() { if (made) (void)std::system(("umount " + folder).c_str()); }
        std::string folder;
        bool made;
    } mount{mounted, !loop.path.empty() &&
                         std::system(("mkfs.ext4 -q -E lazy_itable_init=0,lazy_journal_init=0 " + loop.path +
                                      " >/dev/null 2>&1 && mount -o noatime " + loop.path + " " + mounted +
                                      " 2>/dev/null").c_str()) == 0};
    if (mount.made) {
        sync();
        const std::string before = run("sha256sum < " + image);
        ImageDisk disk(image);
        Recovery recovery;
        ASSERT_TRUE(recovery.selectDisk(&disk));
        recovery.openExistingVolume();
        ASSERT_TRUE(recovery.getRootItem());
        test::LogCapture logs(LOG_ERROR);
        recovery.save({recovery.getRootItem()}, mounted);
        // Refused because the folder lies on the image, which the window tells apart from a
        // file that would replace one being read.
        EXPECT_EQ(std::tuple(recovery.getSavedFileCount(), recovery.getRefusedFileCount(), recovery.getRefusedOnMediumCount()),
                  std::tuple(u64{0}, u64{1}, u64{1}));
        EXPECT_TRUE(logs.has("error: " + mounted + "/GUARD not written: it is a device or a file that vorn is reading\n"));
        recovery.getRootItem()->loadChildren();
        std::vector<VolumeItem*> files;  // the root's files on their own, each made in that folder
        for (u32 i = 0; i < recovery.getRootItem()->getChildCount(true); ++i) {
            VolumeItem* item = recovery.getRootItem()->getChild(i, true);
            if (!item->isContainer()) files.push_back(item);
        }
        recovery.save(files, mounted);
        EXPECT_EQ(std::tuple(recovery.getSavedFileCount(), recovery.getRefusedFileCount(), recovery.getRefusedOnMediumCount()),
                  std::tuple(u64{0}, static_cast<u64>(files.size()), static_cast<u64>(files.size())));
        EXPECT_GE(files.size(), 2u);
        // A missing folder there is not made, and its files count as refused on the disk being read.
        recovery.save(files, mounted + "/new/deeper");
        EXPECT_EQ(std::tuple(recovery.getSavedFileCount(), recovery.getRefusedFileCount(), recovery.getRefusedOnMediumCount()),
                  std::tuple(u64{0}, static_cast<u64>(files.size()), static_cast<u64>(files.size())));
        EXPECT_FALSE(std::filesystem::exists(mounted + "/new"));
        OutputOpen opened = OutputOpen::Opened;
        const int fd = recovery.openOutputFile(mounted + "/dmp.raw", true, opened);
        if (fd >= 0) close(fd);
        EXPECT_EQ(fd, -1);
        EXPECT_EQ(opened, OutputOpen::Refused);
        EXPECT_FALSE(recovery.createImageFile(&disk, mounted + "/imagefile.img"));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(mounted), {}), 1) << "only lost+found";
        sync();
        EXPECT_EQ(run("sha256sum < " + image), before);
        recovery.selectDisk(nullptr);
    }
    if (!mount.made) GTEST_SKIP() << "no loop device, ext4 or mount (needs root)";
}

// A block device being read that is no loop device (a zram device made here) with an ext4 mounted
// from it by the kernel: neither a dump nor an image file goes there, whatever a front end asked.
TEST(RealSystem, NothingIsWrittenOntoAFileSystemMountedFromTheDeviceBeingRead) {
    char templ[] = "/tmp/vorn-device-XXXXXX";
    ASSERT_TRUE(mkdtemp(templ));
    const std::string dir = templ, mounted = dir + "/mnt";
    struct Device {  // unmounted, then removed; the folder last
        ~Device() {
            if (made) (void)std::system(("umount '" + folder + "' 2>/dev/null || umount -l '" + folder + "'").c_str());
            if (!number.empty()) std::ofstream("/sys/class/zram-control/hot_remove") << number;
            std::filesystem::remove_all(scratch, error);
        }
        std::string scratch, folder, number;
        bool made = false;
        std::error_code error;
    } device{dir, mounted, "", false, {}};
    std::filesystem::create_directories(mounted);
    if (geteuid() == 0) device.number = run("cat /sys/class/zram-control/hot_add 2>/dev/null");
    const std::string node = "/dev/zram" + device.number;
    device.made = !device.number.empty() &&
                  std::system(("echo 8M > /sys/block/zram" + device.number + "/disksize && mkfs.ext4 -q " +
                               "-E lazy_itable_init=0,lazy_journal_init=0 '" + node + "' >/dev/null 2>&1 && " +
                               "mount -o noatime '" + node + "' '" + mounted + "' 2>/dev/null")
                                  .c_str()) == 0;
    if (!device.made) GTEST_SKIP() << "needs root, a zram device (zram-control), mkfs.ext4 and mount";
    sync();
    const std::string before = run("sha256sum < " + node);
    ImageDisk disk(node);
    Recovery recovery;
    ASSERT_TRUE(recovery.selectDisk(&disk));
    test::LogCapture logs(LOG_ERROR);
    OutputOpen opened = OutputOpen::Opened;
    const int fd = recovery.openOutputFile(mounted + "/dmp.raw", true, opened);
    if (fd >= 0) close(fd);
    EXPECT_EQ(std::pair(fd, opened), std::pair(-1, OutputOpen::Refused));
    EXPECT_FALSE(recovery.createImageFile(&disk, mounted + "/imagefile.img"));
    EXPECT_EQ(logs.countPrefix("error: " + mounted + "/"), 2);
    recovery.selectDisk(nullptr);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(mounted), {}), 1) << "only lost+found";
    sync();
    EXPECT_EQ(run("sha256sum < " + node), before);
}

TEST(CdToc, LastSessionIsTheLastDataTrackHoldingAVolumeWithinTheBytesRead) {
    // What, the table, where the probe finds an ISO 9660 volume, the start found, the starts probed.
    for (const auto& [what, parsed, volumes, want, asked] :
         std::vector<std::tuple<const char*, CdToc, std::set<u64>, u64, std::vector<u64>>>{
             {"single session", toc({{1, 0xA2, 300000}, {1, 1, 0}}), {0}, 0, {}},
             {"two sessions", toc({{1, 0xA0, 0}, {1, 1, 0}, {2, 0xA2, 30000}, {2, 2, 20000}}), {20000}, 20000, {20000}},
             {"newest without volume", toc({{1, 1, 0}, {2, 2, 11000}, {3, 3, 20000}}), {11000}, 11000, {20000, 11000}},
             {"audio, lead-out, point 100, ADR 5",
              toc({{1, 1, 0}, {1, 2, 5000}, {1, 3, 9000, 0}, {2, 0xB0, 12000, 4, 5}, {2, 0xA2, 1}, {2, 100, 15000}}),
              {1, 5000, 9000, 12000, 15000}, 5000, {5000}},
             {"negative addresses", toc({{1, 1, 0}, {2, 2, 16000}, {2, 3, -150}, {2, 4, -1}}), {16000}, 16000, {16000}},
             {"length past the bytes", toc({{1, 1, 0}, {2, 2, 20000}}, 2 + 11 * 50, {2, 0x14, 0, 3, 0, 0, 0, 0, 10, 0}),
              {20000, 44850}, 20000, {20000}},  // not the cut track 3 at 10:00:00
             {"length of one", toc({{1, 1, 16000}, {2, 2, 20000}}, 2 + 11), {16000, 20000}, 16000, {16000}},
             {"length 0xFFFF over a header", toc({}, 0xFFFF), {0}, 0, {}},
             {"length 1", toc({{1, 1, 16000}}, 1), {16000}, 0, {}},
             {"DVD track entries", dvdEntries(), {2000000}, 2000000, {2000000}}}) {
        SCOPED_TRACE(what);
        std::vector<u64> probed;
        auto probe = [&, &volumes = volumes](u64 lba) {
            probed.push_back(lba);
            return volumes.count(lba) > 0;
        };
        EXPECT_EQ(findLastSessionLba(parsed, probe), want);
        EXPECT_EQ(probed, asked);
    }
    const u8 sector[2048] = {1, 'C', 'D', '0', '0', '1', 1};  // what the probe of a real disc looks for
    EXPECT_TRUE(isIsoPrimaryDescriptor(sector, sizeof sector));
}

TEST(RealSystem, DisksAndPartitionsMatchLsblk) {
    Loop mbr(test::mediaPath("mbr_logical.img"), "-r -P");
    Loop gpt(test::mediaPath("gpt_4k.img"), "-r -P --sector-size 4096");
    auto counted = [&](const std::string& n, u64 size) {
        for (const Loop* l : {&mbr, &gpt}) {
            if (!l->path.empty() && (n == l->name() || n.rfind(l->name() + "p", 0) == 0)) return true;
        }
        return size > 0 && n.rfind("loop", 0) && n.rfind("ram", 0) && n.rfind("zram", 0);
    };
    std::map<std::string, u64> want, have;
    std::istringstream lsblk(run("lsblk -b -n -l -o KNAME,SIZE"));
    std::string name;
    for (u64 size = 0; lsblk >> name >> size;) {
        if (counted(name, size)) want[name] = size;
    }
    std::vector<MediaInfo> media, parts;
    ASSERT_TRUE(SysfsMediaScanner().scanDisks(media));
    ASSERT_TRUE(SysfsMediaScanner().scanPartitions(parts));
    media.insert(media.end(), parts.begin(), parts.end());
    for (const MediaInfo& m : media) {
        if (counted(m.name, m.sizeBytes)) have[m.name] = m.blockCount * m.blockSize;
    }
    EXPECT_EQ(have, want);
    if (gpt.path.empty()) GTEST_SKIP() << "no loop device (needs root and losetup)";
    EXPECT_EQ(want.count(mbr.name() + "p5") + want.count(gpt.name() + "p3"), 2u);  // the kernel listed them
    LinuxDiskManager manager;
    manager.scanForDisks();
    manager.scanForPartitions();
    for (const auto& [loop, image, count] : {std::tuple{&mbr, "mbr_logical.img", 7u}, {&gpt, "gpt_4k.img", 3u}}) {
        Disk* disk = manager.findDiskByPath(loop->path);
        ASSERT_TRUE(disk);
        EXPECT_EQ(disk->getName(), image);
        EXPECT_EQ(disk->getType(), DISK_TYPE_IMAGEFILE);
        EXPECT_EQ(disk->getPartitionCount(), count);  // the MBR's extended container left out
    }
    LinuxDisk logical(mbr.path + "p5"), unlisted(gpt.path);  // sized by the ioctls
    std::string block(512, 'x');
    ASSERT_TRUE(logical.open(false));
    ASSERT_TRUE(logical.readBlocks(0, 1, block.data()));
    ASSERT_TRUE(unlisted.open(false));
    EXPECT_EQ(block.substr(0, 17), "VORN-PART 5 FIRST");
    EXPECT_EQ(unlisted.getBlockSize(), 4096u);
    EXPECT_EQ(unlisted.getBlockCount(), 16384u);
}

// Sets made of a loop device, its partitions, a loop over one of them and the image behind them all
// (read-only loops over the fixture): the bytes one medium shows count once, whatever names it goes
// by, and different stretches of it keep their sum.
TEST(RealSystem, ASetOfALoopDeviceItsPartitionsAndItsImageHoldsNoMoreThanTheImage) {
    const std::string image = test::mediaPath("mbr_logical.img");
    Loop loop(image, "-r -P");
    if (loop.path.empty()) GTEST_SKIP() << "no loop device (needs root and losetup)";
    Loop overFirst(loop.path + "p1", "-r");
    if (overFirst.path.empty()) GTEST_SKIP() << "no second loop device";
    // The front ends' disk manager brings the kernel's word on what lies beneath a device.
    struct Restore {
        ~Restore() { setMediumBeneathQuery(before); }
        MediumBeneathQuery before = setMediumBeneathQuery(nullptr);
    } restore;
    (void)createDiskManager();
    const u64 imageBytes = std::filesystem::file_size(image), partition = 8192 * 512;  // p1 and p3
    ImageDisk file(image), fileByNode(loop.path);
    LinuxDisk whole(loop.path), first(loop.path + "p1"), third(loop.path + "p3"), logical(loop.path + "p5"),
        over(overFirst.path);
    for (Disk* disk : std::vector<Disk*>{&whole, &first, &third, &logical, &over}) ASSERT_TRUE(disk->open(false));
    auto behind = [](const std::vector<Disk*>& members) {
        RAIDDisk set;
        set.setParameters(RAIDParameters(static_cast<u8>(members.size()), 0, 16, PARITY_NONE));
        for (u32 i = 0; i < members.size(); ++i) EXPECT_TRUE(set.setMember(i, members[i])) << i;
        return std::pair(mediaBytesBehind(&set), set.getBlockCount());
    };
    EXPECT_EQ(behind({&whole, &file}), std::pair(imageBytes, imageBytes / 512)) << "a loop device and its image";
    EXPECT_EQ(behind({&fileByNode, &file}), std::pair(imageBytes, imageBytes / 512)) << "the same through img";
    EXPECT_EQ(behind({&fileByNode, &whole}), std::pair(imageBytes, imageBytes / 512)) << "one device, two kinds";
    EXPECT_EQ(behind({&whole, &first}).first, imageBytes) << "a loop device and its partition";
    EXPECT_EQ(behind({&first, &third}), std::pair(2 * partition, 2 * partition / 512)) << "two partitions";
    EXPECT_EQ(behind({&first, &logical}).first, partition + 4096 * 512) << "a logical partition";
    EXPECT_EQ(behind({&over, &first}), std::pair(partition, partition / 512)) << "a loop over a partition";
    EXPECT_EQ(behind({&over, &third, &file}).first, imageBytes);
    for (Disk* disk : std::vector<Disk*>{&whole, &first, &third, &logical, &over}) disk->close();
}

TEST(RealSystem, TmpLiesOnTheBlockDeviceThatDfNames) {
    const std::string source = run("df --output=source /tmp | tail -n 1");
    struct stat st;
    if (stat(source.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
        GTEST_SKIP() << "/tmp is not on a block device (df names " << source << ")";
    EXPECT_TRUE(isPathOnDevice("/tmp", source)) << source;
}

}  // namespace
}  // namespace vorn
