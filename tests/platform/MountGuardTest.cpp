// The write guard through mounts, over mount tables written here: each entry names folders and
// files of a scratch folder, with that folder's device number, as the kernel would list a FUSE
// view, an overlay, an ntfs-3g mount or a network file system there. One test mounts bindfs for real.
#include "platform/MountGuard.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <tuple>

#include "platform/SysfsParsers.h"
#include "recovery/RecoveryTestSupport.h"

namespace vorn {
namespace {

using test::ScratchDir;
using test::writeFile;
namespace fs = std::filesystem;

FileIdentity identityOf(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return FileIdentity{static_cast<u64>(st.st_dev), static_cast<u64>(st.st_ino)};
}

class MountTable : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* folder : {"src/GUARD", "src/inner", "view/inner", "view2", "upper/GUARD", "lower/low",
                                   "lo:w, x/odd", "merged", "oddmerged", "gonemerged", "fat", "nfs", "ntfs", "loop",
                                   "self", "ring1", "ring2", "proc/100/fd", "proc/200/fd"})
            fs::create_directories(scratch / folder);
        for (const char* file : {"src/GUARD/disk.img", "src/GUARD/notes.txt", "src/inner/disk.img",
                                 "upper/GUARD/disk.img", "lower/low/dmp.raw", "lo:w, x/odd/odd.img", "ntfs.img",
                                 "other.img", "erofs.img"})
            ASSERT_TRUE(writeFile(scratch / file, {'v'}));
        struct stat st {};
        ASSERT_EQ(stat(scratch.path.c_str(), &st), 0);
        dev = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
        // What a FUSE server holds open: /dev/fuse and one file (process 100).
        fs::create_symlink("/dev/fuse", scratch / "proc/100/fd/3");
        fs::create_symlink(scratch / "other.img", scratch / "proc/100/fd/4");
        fs::create_symlink(scratch / "other.img", scratch / "proc/200/fd/7");  // a client, no server
    }

    // One mountinfo line with the scratch folder's device number.
    std::string line(int id, const std::string& point, const std::string& type, const std::string& source,
                     const std::string& options = "rw") const {
        return std::to_string(id) + " 1 " + dev + " / " + point + " rw,relatime - " + type + " " + source + " " +
               options + "\n";
    }
    std::string table() const {
        const std::string s = scratch.path;
        return line(20, "/", "ext4", "/dev/root") +
               line(21, s + "/view", "fuse", s + "/src", "rw,user_id=0,group_id=0") +          // bindfs
               line(22, s + "/view2", "fuse", s + "/view", "rw,user_id=0,group_id=0") +        // bindfs of it
               line(23, s + "/merged", "overlay", "overlay",
                    "rw,lowerdir=" + s + "/lower,upperdir=" + s + "/upper,workdir=" + s + "/work") +
               line(24, s + "/oddmerged", "overlay", "overlay", "ro,lowerdir=" + s + "/lo\\134:w\\134\\054\\040x::" + s + "/lower") +
               line(31, s + "/gonemerged", "overlay", "overlay", "ro,lowerdir=" + s + "/gone:" + s + "/lower") +
               line(25, s + "/ntfs", "fuse", s + "/ntfs.img", "rw,allow_other") +              // ntfs-3g
               line(26, s + "/fat", "fuse.fusefat", "fusefat", "rw,user_id=0") +
               line(27, s + "/nfs", "nfs4", "server:/export", "rw,vers=4.2") +
               line(28, s + "/loop", "erofs", s + "/erofs.img", "ro") +                         // a file-backed mount
               line(29, s + "/self", "fuse", s + "/self", "rw") +                               // a view of itself
               line(32, s + "/ring1", "fuse", s + "/ring2", "rw") + line(33, s + "/ring2", "fuse", s + "/ring1", "rw") +
               line(30, s + "/view/inner", "tmpfs", "tmpfs", "rw");
    }

    // The files at paths (scratch-relative), followed through the mounts of mountInfo by guardMounts.
    ProtectedFiles guarded(const std::string& mountInfo, const std::vector<std::string>& paths) const {
        std::ofstream(scratch / "mountinfo") << mountInfo;
        SysfsRoots roots;
        roots.mountInfo = scratch / "mountinfo";
        roots.proc = scratch / "proc";
        ProtectedFiles files;
        for (const std::string& path : paths) files.addPath(scratch / path);
        guardMounts(files, roots);
        return files;
    }

    bool refuses(const ProtectedFiles& files, const std::string& path, bool asFolder = false,
                 const std::string& proc = "") const {
        return makeMountRules(table(), proc.empty() ? scratch / "proc" : proc)->refuses(scratch / path, asFolder, files);
    }

    ScratchDir scratch;
    std::string dev;
};

TEST_F(MountTable, AViewOfAFolderAndAnOverlayAreFollowedToTheFileBelowAndItsFolder) {
    ProtectedFiles files;
    files.addPath(scratch / "src/GUARD/disk.img");
    files.addPath(scratch / "upper/GUARD/disk.img");
    files.addPath(scratch / "lower/low/dmp.raw");
    files.addPath(scratch / "lo:w, x/odd/odd.img");
    files.addPath(scratch / "src/inner/disk.img");
    struct Case { const char* path; bool asFolder; bool refused; };
    for (const Case& c : {Case{"view/GUARD/disk.img", false, true},     // the file below the view
                          Case{"view2/GUARD/disk.img", false, true},    // two views down
                          Case{"view/GUARD/notes.txt", false, false},
                          Case{"view/GUARD/new.txt", false, false},
                          Case{"view/GUARD", true, false},
                          Case{"view/inner/disk.img", false, false},    // another mount inside the view decides
                          Case{"merged/GUARD/disk.img", false, true},   // in the upper folder
                          Case{"merged/low/dmp.raw", false, true},      // in the lower one
                          Case{"merged/low/new/deeper/dmp.raw", false, false},
                          Case{"merged/GUARD/notes.txt", false, false},
                          Case{"nfs/GUARD/disk.img", false, false}}) {  // a network file system: a valid target
        SCOPED_TRACE(c.path);
        EXPECT_EQ(refuses(files, c.path, c.asFolder), c.refused);
    }
    // An overlay whose lower folder holds ":", "," and " " (escaped), with a data-only folder; one
    // of whose folders is not there (from another mount namespace): the others are followed.
    EXPECT_EQ(overlayFolders("ro,lowerdir=" + scratch.path + "/lo\\134:w\\134\\054\\040x::/d,upperdir=/u\\054p"),
              (std::vector<std::string>{"/u,p", scratch / "lo:w, x", "/d"}));
    // The kernel shows each folder as it was given: an upper folder's "," escaped with a backslash
    // too (and its ":" is no separator).
    EXPECT_EQ(overlayFolders("rw,lowerdir=/l,upperdir=/up\\134\\054p:er\\040x,workdir=/w"),
              (std::vector<std::string>{"/up,p:er x", "/l"}));
    EXPECT_TRUE(refuses(files, "oddmerged/odd/odd.img"));
    EXPECT_FALSE(refuses(files, "oddmerged/odd/other.txt"));
    EXPECT_TRUE(refuses(files, "gonemerged/low/dmp.raw"));
    EXPECT_FALSE(refuses(files, "gonemerged/other.txt"));
    // A view mounted over its own folder ends there; two views of each other end at the depth
    // bound, refused.
    EXPECT_FALSE(refuses(files, "self/x.txt"));
    EXPECT_TRUE(refuses(files, "ring1/x.txt"));
    EXPECT_FALSE(refuses(ProtectedFiles(), "merged/GUARD/disk.img"));
}

TEST_F(MountTable, AMountOfAFileBeingReadRefusesAndAFuseMountWithNothingToFollowAsksItsServers) {
    ProtectedFiles files;
    files.addPath(scratch / "ntfs.img");
    files.addPath(scratch / "erofs.img");
    EXPECT_TRUE(refuses(files, "ntfs/dmp.raw"));       // ntfs-3g over the image being read
    EXPECT_TRUE(refuses(files, "ntfs", true));
    EXPECT_TRUE(refuses(files, "loop/x.txt"));         // a kernel mount of the file
    EXPECT_FALSE(refuses(ProtectedFiles(), "ntfs/dmp.raw"));
    // fusefat: its source names nothing. The server (process 100) holds other.img open: refused when
    // that file is being read, or when a process cannot be looked at (process 300's fd is no folder).
    EXPECT_FALSE(refuses(files, "fat/rescued"));
    files.addPath(scratch / "other.img");
    EXPECT_TRUE(refuses(files, "fat/rescued"));
    EXPECT_TRUE(refuses(files, "fat", true));
    ProtectedFiles unrelated;
    unrelated.addPath(scratch / "ntfs.img");
    fs::create_directories(scratch / "proc/300");
    ASSERT_TRUE(writeFile(scratch / "proc/300/fd", {'x'}));
    EXPECT_TRUE(refuses(unrelated, "fat/rescued"));
    EXPECT_TRUE(refuses(unrelated, "fat/rescued", false, scratch / "no-proc"));
    EXPECT_FALSE(refuses(unrelated, "nfs/x"));
    // A FUSE or kernel mount of a block device being read (ntfs-3g over a loop device).
    std::string node;
    for (const auto& entry : fs::directory_iterator("/dev")) {
        if (entry.is_block_file()) node = entry.path();
        if (!node.empty()) break;
    }
    if (!node.empty()) {
        SCOPED_TRACE(node);
        const std::string mounted = line(20, "/", "ext4", "/dev/root") + line(40, scratch / "ntfs", "fuseblk", node);
        struct stat device {};
        ASSERT_EQ(stat(node.c_str(), &device), 0);
        ProtectedFiles read;
        EXPECT_FALSE(makeMountRules(mounted)->refuses(scratch / "ntfs/dmp.raw", false, read));
        read.addDevice(device.st_rdev);
        EXPECT_TRUE(makeMountRules(mounted)->refuses(scratch / "ntfs/dmp.raw", false, read));
    }
    // Opened files on the FUSE and overlay mounts are looked at again; those on a disk are not.
    struct stat st {};
    ASSERT_EQ(stat(scratch.path.c_str(), &st), 0);
    EXPECT_TRUE(makeMountRules(table())->watches(st.st_dev));
    EXPECT_FALSE(makeMountRules(table())->watches(makedev(4095, 4095)));
    EXPECT_FALSE(makeMountRules(line(20, "/", "ext4", "/dev/root") + line(27, "/nfs", "nfs4", "server:/"))
                     ->watches(st.st_dev));
}

TEST_F(MountTable, TheFilesBelowAProtectedFilesViewAreProtectedUnderTheirOwnIdentity) {
    // vorn reads the image through the bindfs view (two views down) and the dump through the overlay;
    // the files there stand for what the views show.
    fs::create_directories(scratch / "view2/GUARD");
    fs::create_directories(scratch / "merged/low");
    ASSERT_TRUE(writeFile(scratch / "view2/GUARD/disk.img", {'v'}));
    ASSERT_TRUE(writeFile(scratch / "merged/low/dmp.raw", {'v'}));
    const ProtectedFiles files = guarded(table(), {"view2/GUARD/disk.img", "merged/low/dmp.raw"});
    EXPECT_TRUE(files.holds(identityOf(scratch / "src/GUARD/disk.img")));
    EXPECT_TRUE(files.holds(identityOf(scratch / "lower/low/dmp.raw")));
    EXPECT_FALSE(files.holds(identityOf(scratch / "src/GUARD/notes.txt")));
    ASSERT_TRUE(files.rules());
    // And so a write in the real folder is refused by identity, before any mount is looked at.
    EXPECT_TRUE(isProtectedTarget(scratch / "src/GUARD/disk.img", files, false));
    EXPECT_TRUE(isProtectedTarget(scratch / "view/GUARD/disk.img", files, false));
    EXPECT_FALSE(isProtectedTarget(scratch / "view/GUARD/notes.txt", files, false));
}

// What a loop device over a file on a file system reads may lie in a protected file: the file
// system's mount refuses writes (here ntfs-3g's entry, over ntfs.img), or it is a FUSE connection
// that no mount shows (<sys>/fs/fuse/connections/MINOR).
TEST_F(MountTable, AFileSystemWhoseMountRefusesOrThatNoMountShowsMayReadAProtectedFile) {
    struct stat st {};
    ASSERT_EQ(stat(scratch.path.c_str(), &st), 0);
    const std::string sys = scratch / "sys";
    fs::create_directories(sys + "/fs/fuse/connections/4077");
    const auto rules = makeMountRules(table(), scratch / "proc", sys);
    ProtectedFiles none, ntfs;
    ntfs.addPath(scratch / "ntfs.img");
    EXPECT_EQ(std::tuple(rules->refusesDevice(st.st_dev, none), rules->refusesDevice(st.st_dev, ntfs)),
              std::tuple(false, true));
    EXPECT_EQ(std::tuple(rules->refusesDevice(makedev(0, 4077), none), rules->refusesDevice(makedev(0, 4078), none)),
              std::tuple(true, false));
}

// An overlay mounted with folders named relative to where it was mounted from: the kernel shows them
// so, and nothing tells where they are. A target there is refused.
TEST_F(MountTable, AnOverlayOfFoldersNamedRelativeToWhereItWasMountedFromIsRefused) {
    ProtectedFiles files;
    files.addPath(scratch / "upper/GUARD/disk.img");
    const std::string s = scratch.path;
    for (const auto& [options, refused] : {std::pair{std::string("rw,lowerdir=lower,upperdir=upper,workdir=work"), true},
                                           std::pair{"rw,lowerdir=" + s + "/lower:low2", true},
                                           std::pair{"rw,lowerdir=" + s + "/lower,upperdir=" + s + "/upper", false}}) {
        SCOPED_TRACE(options);
        const auto rules = makeMountRules(line(20, "/", "ext4", "/dev/root") + line(70, s + "/merged", "overlay",
                                                                                   "overlay", options));
        EXPECT_EQ(rules->refuses(scratch / "merged/GUARD/notes.txt", false, files), refused);
    }
}

// A FUSE server that shows folders of this machine without naming them as its source (a union of
// folders, an overlay in FUSE: the target lies on its mount, here fusefat's entry of the table) holds
// those folders open or names them in its arguments: one at or above a file being read refuses it.
TEST_F(MountTable, AFuseServerHoldingOrNamingAFolderOfAFileBeingReadRefusesItsUnfollowableMount) {
    ProtectedFiles files;
    files.addPath(scratch / "src/GUARD/disk.img");
    const std::string s = scratch.path;
    struct Case { const char* name; std::string heldFolder, arguments; bool refused; };
    for (const Case& c : {Case{"a layer held open", s + "/src", "", true},
                          Case{"another folder held open", s + "/lower", "", false},
                          Case{"a union of folders", "", std::string("union\0", 6) + s + "/lower:" + s + "/src", true},
                          Case{"branches with modes", "", std::string("u\0-o\0cow,dirs=", 14) + s + "/src=RW:/x=RO", true},
                          Case{"layers as options", "", std::string("o\0-o\0lowerdir=/x,upperdir=", 26) + s + "/src/GUARD", true},
                          Case{"a remote folder", "", std::string("s\0root@host:/\0", 14) + s + "/fat", false}}) {
        SCOPED_TRACE(c.name);
        const std::string proc = scratch / (std::string("proc-") + c.name);
        fs::create_directories(proc + "/400/fd");
        fs::create_symlink("/dev/fuse", proc + "/400/fd/3");
        if (!c.heldFolder.empty()) fs::create_directory_symlink(c.heldFolder, proc + "/400/fd/5");
        std::ofstream(proc + "/400/cmdline") << c.arguments;
        EXPECT_EQ(refuses(files, "fat/rescued", false, proc), c.refused);
    }
}

TEST_F(MountTable, TheFileInAViewOfAProtectedFilesFolderIsProtectedAndSoIsWhatIsMountedFromIt) {
    // vorn reads src/GUARD/disk.img and upper/GUARD/disk.img; the same files seen through the bindfs
    // views (view, view2) and the overlay (merged) are files of their own here, as FUSE and overlayfs
    // give them identities of their own: a loop device or ntfs-3g set up through a view reads them.
    for (const char* file : {"view/GUARD/disk.img", "view2/GUARD/disk.img", "merged/GUARD/disk.img"}) {
        fs::create_directories((scratch / file).substr(0, (scratch / file).rfind('/')));
        ASSERT_TRUE(writeFile(scratch / file, {'v'}));
    }
    const ProtectedFiles files = guarded(table() + line(41, scratch / "ntfs", "fuseblk", scratch / "view/GUARD/disk.img"),
                                         {"src/GUARD/disk.img", "upper/GUARD/disk.img"});
    EXPECT_TRUE(files.holds(identityOf(scratch / "view/GUARD/disk.img")));
    EXPECT_TRUE(files.holds(identityOf(scratch / "view2/GUARD/disk.img")));
    EXPECT_TRUE(files.holds(identityOf(scratch / "merged/GUARD/disk.img")));
    EXPECT_FALSE(files.holds(identityOf(scratch / "src/GUARD/notes.txt")));
    ASSERT_TRUE(files.rules());
    EXPECT_TRUE(files.rules()->refuses(scratch / "ntfs/dmp.raw", false, files));
}

TEST_F(MountTable, AViewServedFromThisMachineIsFollowedToItsFolderAndOneFromElsewhereIsNot) {
    ProtectedFiles files;
    files.addPath(scratch / "src/GUARD/disk.img");
    const std::string s = scratch.path;
    const passwd* user = getpwuid(geteuid());
    ASSERT_TRUE(user && user->pw_dir);
    const std::string fromHome = fs::relative(scratch / "src", user->pw_dir);
    struct Case { std::string type, source, path; bool refused; };
    for (const Case& c : {Case{"fuse.sshfs", "root@localhost:" + s + "/src", "GUARD/disk.img", true},
                          Case{"fuse.sshfs", "root@localhost:" + s + "/src", "GUARD/notes.txt", false},
                          Case{"fuse.sshfs", "127.0.0.1:" + fromHome, "GUARD/disk.img", true},  // from the home folder
                          Case{"fuse.sshfs", "me@[::1]:" + s, "src/GUARD/disk.img", true},
                          Case{"nfs4", "LOCALHOST:" + s + "/src", "GUARD/disk.img", true},
                          Case{"fuse.sshfs", "root@backup.example:" + s + "/src", "GUARD/disk.img", false},
                          Case{"nfs", "192.0.2.1:" + s + "/src", "GUARD/disk.img", false}}) {
        SCOPED_TRACE(c.type + " " + c.source);
        const auto rules = makeMountRules(line(20, "/", "ext4", "/dev/root") + line(50, s + "/nfs", c.type, c.source),
                                          scratch / "proc");
        EXPECT_EQ(rules->refuses(scratch / ("nfs/" + c.path), false, files), c.refused);
    }
    struct stat st {};
    ASSERT_EQ(stat(scratch.path.c_str(), &st), 0);
    EXPECT_TRUE(makeMountRules(line(50, s + "/nfs", "nfs4", "localhost:/"))->watches(st.st_dev));
}

// A kernel file system writes into more devices than the one its mount names: the other devices of
// a btrfs (<sys>/fs/btrfs/FSID/devices), an ext4's external journal (the journal thread's name), an
// xfs log device (its option). Each is refused when one of those devices is being read.
TEST_F(MountTable, AFileSystemOverSeveralDevicesIsRefusedWhenAnyOfThemIsBeingRead) {
    std::vector<std::string> nodes;  // two block device nodes of this machine
    for (const auto& entry : fs::directory_iterator("/dev")) {
        struct stat st {};
        if (stat(entry.path().c_str(), &st) == 0 && S_ISBLK(st.st_mode)) nodes.push_back(entry.path());
        if (nodes.size() == 2) break;
    }
    if (nodes.size() < 2) GTEST_SKIP() << "needs two block device nodes in /dev";
    struct stat source {}, log {};
    ASSERT_EQ(stat(nodes[0].c_str(), &source), 0);
    ASSERT_EQ(stat(nodes[1].c_str(), &log), 0);
    // A sysfs of the source device (sda9), a btrfs over it and loop77, an ext4 on it whose journal
    // lies on loop78 (thread 4242), and a process name that is no journal's.
    const std::string sys = scratch / "sys", number = std::to_string(major(source.st_rdev)) + ":" +
                                                         std::to_string(minor(source.st_rdev));
    for (const char* folder : {"devices/sda9", "devices/loop77", "devices/loop78", "dev/block", "class/block",
                               "fs/btrfs/features", "fs/btrfs/5e1f/devices", "fs/ext4/sda9"})
        fs::create_directories(sys + "/" + folder);
    std::ofstream(sys + "/devices/sda9/dev") << number << "\n";
    std::ofstream(sys + "/devices/loop77/dev") << "7:77\n";
    std::ofstream(sys + "/devices/loop78/dev") << "7:78\n";
    fs::create_directory_symlink(sys + "/devices/sda9", sys + "/dev/block/" + number);
    fs::create_directory_symlink(sys + "/devices/sda9", sys + "/fs/btrfs/5e1f/devices/sda9");
    fs::create_directory_symlink(sys + "/devices/loop77", sys + "/fs/btrfs/5e1f/devices/loop77");
    fs::create_directory_symlink(sys + "/devices/loop78", sys + "/class/block/loop78");
    std::ofstream(sys + "/fs/ext4/sda9/journal_task") << "4242\n";
    fs::create_directories(scratch / "proc/4242");
    std::ofstream(scratch / "proc/4242/comm") << "jbd2/loop78\n";
    const std::string s = scratch.path;
    auto refused = [&](const std::string& type, const std::string& options, const ProtectedFiles& files) {
        return makeMountRules(line(20, "/", "ext4", "/dev/root") + line(60, s + "/nfs", type, nodes[0], options),
                              scratch / "proc", sys)
            ->refuses(scratch / "nfs/out", true, files);
    };
    ProtectedFiles none, loop77, loop78, logDevice;
    loop77.addDevice(makedev(7, 77));
    loop78.addDevice(makedev(7, 78));
    logDevice.addDevice(log.st_rdev);
    const std::string logOption = "rw,logdev=" + nodes[1];
    EXPECT_EQ(std::tuple(refused("btrfs", "rw", none), refused("btrfs", "rw", loop77), refused("ext4", "rw", loop77)),
              std::tuple(false, true, false));
    EXPECT_EQ(std::tuple(refused("ext4", "rw", loop78), refused("xfs", "rw", loop78)), std::tuple(true, false));
    EXPECT_EQ(std::tuple(refused("xfs", logOption, logDevice), refused("xfs", "rw", logDevice)), std::tuple(true, false));
    // An internal journal's thread ("jbd2/sda9-8") names no device.
    std::ofstream(scratch / "proc/4242/comm") << "jbd2/sda9-8\n";
    EXPECT_FALSE(refused("ext4", "rw", loop78));
}

// A real FUSE file system (bindfs): inode numbers are the server's, so a name that equals the
// protected file's ignoring case and accent composition is refused in its folder, and the view
// is followed to the file below it.
TEST(RealFuse, OnAFuseViewANameLikeTheImagesIsRefusedAndTheFileBelowIsFound) {
    ScratchDir scratch;
    fs::create_directories(scratch / "real");
    fs::create_directories(scratch / "view");
    ASSERT_TRUE(writeFile(scratch / "real/Card Été.img", {'v'}));
    struct Mount {
        ~Mount() {  // lazily when something still has a file open there
            if (made) (void)std::system(("umount '" + folder + "' 2>/dev/null || umount -l '" + folder + "'").c_str());
        }
        std::string folder;
        bool made;
    } mount{scratch / "view", geteuid() == 0 && access("/dev/fuse", R_OK | W_OK) == 0 &&
                                  std::system(("bindfs '" + scratch / "real" + "' '" + scratch / "view" +
                                               "' 2>/dev/null").c_str()) == 0};
    if (!mount.made) GTEST_SKIP() << "needs root, /dev/fuse and bindfs";
    ProtectedFiles files;
    files.addPath(scratch / "view/Card Été.img");
    guardMounts(files);
    EXPECT_TRUE(files.holds(identityOf(scratch / "real/Card Été.img")));
    const std::string decomposed = "CARD E\xcc\x81TE\xcc\x81.IMG";  // E and a combining acute accent
    EXPECT_TRUE(files.sharesName(scratch / "view/card été.img"));
    EXPECT_TRUE(files.sharesName(scratch / "view/" + decomposed));
    EXPECT_FALSE(files.sharesName(scratch / "view/card ete.img"));
    EXPECT_FALSE(files.sharesName(scratch / "real/card été.img")) << "the disk's own file system keeps identities";
    OutputOpen result = OutputOpen::Opened;
    EXPECT_EQ(openOutputFile(scratch / "view/" + decomposed, files, OutputTarget{false, true}, result), -1);
    EXPECT_EQ(result, OutputOpen::Refused);
    EXPECT_FALSE(fs::exists(scratch / ("real/" + decomposed)));
    EXPECT_TRUE(isProtectedTarget(scratch / "view/Card Été.img", files, false));
    const int fd = openOutputFile(scratch / "view/notes.txt", files, OutputTarget{false, true}, result);
    EXPECT_EQ(result, OutputOpen::Opened);
    if (fd >= 0) close(fd);
}

// A FUSE mount or an overlay that the mount table does not show (made in another mount namespace and
// reached through /proc/PID/root; here: left out of the table given): nothing tells where it leads (a
// view of the image's folder, a mount of the image), so it is refused; a disk there is not.
TEST(RealFuse, AFuseMountOrOverlayThatTheTableDoesNotShowIsRefused) {
    ScratchDir scratch;
    for (const char* folder : {"real", "view", "lower", "upper", "work", "merged"})
        fs::create_directories(scratch / folder);
    ASSERT_TRUE(writeFile(scratch / "held.img", {'v'}));
    struct Mount {
        ~Mount() {
            if (made) (void)std::system(("umount '" + folder + "' 2>/dev/null || umount -l '" + folder + "'").c_str());
        }
        std::string folder;
        bool made;
    };
    const bool root = geteuid() == 0;
    Mount overlay{scratch / "merged", root && std::system(("mount -t overlay overlay -o lowerdir=" + scratch / "lower" +
                                                           ",upperdir=" + scratch / "upper" + ",workdir=" +
                                                           scratch / "work" + " '" + scratch / "merged" + "' 2>/dev/null")
                                                              .c_str()) == 0};
    Mount view{scratch / "view", root && access("/dev/fuse", R_OK | W_OK) == 0 &&
                                     std::system(("bindfs '" + scratch / "real" + "' '" + scratch / "view" +
                                                  "' 2>/dev/null").c_str()) == 0};
    if (!overlay.made || !view.made) GTEST_SKIP() << "needs root, overlayfs, /dev/fuse and bindfs";
    const std::string table = "20 1 0:1 / / rw - ext4 /dev/root rw\n";  // neither mount shown
    ProtectedFiles files;
    files.addPath(scratch / "held.img");
    const auto rules = makeMountRules(table, scratch / "proc");
    EXPECT_TRUE(rules->refuses(scratch / "view/dmp.raw", false, files));
    EXPECT_TRUE(rules->refuses(scratch / "view/new/deeper", true, files));
    EXPECT_TRUE(rules->refuses(scratch / "merged/dmp.raw", false, files));
    EXPECT_TRUE(rules->refuses(scratch / "merged/new", true, files));
    EXPECT_FALSE(rules->refuses(scratch / "real/dmp.raw", false, files));
}

}  // namespace
}  // namespace vorn
