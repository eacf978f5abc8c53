#include "misc/OutputFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>

#include "misc/Utils.h"
#include "recovery/RecoveryTestSupport.h"

namespace vorn {
namespace {

using test::fileBytes;
using test::ScratchDir;
using test::writeFile;

const std::vector<u8> kKept = {'k', 'e', 'p', 't'};

TEST(OutputFile, RefusesDevicesAndProtectedFilesByIdentityAndEmptiesOnlyWhatItMayWrite) {
    ScratchDir scratch;
    const std::string image = scratch / "image.img", plain = scratch / "plain";
    ASSERT_TRUE(writeFile(image, kKept));
    ASSERT_TRUE(writeFile(plain, kKept));
    ASSERT_EQ(link(image.c_str(), (scratch / "hard").c_str()), 0);
    ASSERT_EQ(symlink(image.c_str(), (scratch / "soft").c_str()), 0);
    ASSERT_EQ(symlink(plain.c_str(), (scratch / "soft-plain").c_str()), 0);
    ASSERT_EQ(mkfifo((scratch / "fifo").c_str(), 0666), 0);
    ProtectedFiles files;
    files.addPath(image);

    const OutputTarget noFollow{false, false}, follow{true, false}, fresh{false, true};
    using enum OutputOpen;
    struct Case { std::string path; OutputTarget how; OutputOpen result; };
    const Case cases[] = {
        {image, fresh, Refused},
        {scratch / "hard", noFollow, Refused},  // another name of the same file
        {scratch / "soft", follow, Refused},
        {scratch / "soft", noFollow, Failed},   // a link is not followed: no write
        {"/dev/null", follow, Refused},
        {scratch / "fifo", follow, Failed},
        {plain, fresh, Failed},                 // must be new, is not
        {plain, noFollow, Opened},
        {scratch / "soft-plain", follow, Opened},
        {scratch / "new", fresh, Opened},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        ASSERT_TRUE(writeFile(plain, kKept));
        OutputOpen result = Opened;
        const int fd = openOutputFile(c.path, files, c.how, result);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(isProtectedTarget(c.path, files, c.how.followLinks), c.result == Refused);
        if (result == Opened) {  // and emptied
            EXPECT_TRUE(writeAll(fd, reinterpret_cast<const u8*>("new"), 3) && close(fd) == 0);
            EXPECT_EQ(fileBytes(c.path), (std::vector<u8>{'n', 'e', 'w'}));
        } else {  // nothing touched
            EXPECT_EQ(std::pair(fd, fileBytes(plain)), std::pair(-1, kKept));
        }
    }
    EXPECT_EQ(fileBytes(image), kKept);
}

TEST(OutputFile, NothingIsMadeOrEmptiedOnADeviceWhoseBlocksLieInAProtectedFileNorBehindALinkToNowhere) {
    // The scratch folder's device stands for a loop device over an image file being read.
    ScratchDir scratch;
    const std::string plain = scratch / "plain", made = scratch / "new";
    ASSERT_TRUE(writeFile(plain, kKept));
    ASSERT_EQ(symlink(made.c_str(), (scratch / "to-nowhere").c_str()), 0);
    struct stat folder {};
    ASSERT_EQ(stat(scratch.path.c_str(), &folder), 0);
    ProtectedFiles files;
    files.addDevice(folder.st_dev);
    EXPECT_TRUE(isProtectedFolder(scratch.path, files));
    EXPECT_FALSE(isProtectedFolder(scratch.path, ProtectedFiles()));
    struct Case { std::string path; OutputTarget how; const ProtectedFiles& files; OutputOpen result; };
    const ProtectedFiles none;
    for (const Case& c : {Case{plain, {false, false}, files, OutputOpen::Refused},
                          Case{made, {false, true}, files, OutputOpen::Refused},
                          Case{made, {true, false}, files, OutputOpen::Refused},
                          Case{scratch / "to-nowhere", {true, false}, none, OutputOpen::Failed}}) {
        SCOPED_TRACE(c.path);
        OutputOpen result = OutputOpen::Opened;
        EXPECT_EQ(openOutputFile(c.path, c.files, c.how, result), -1);
        EXPECT_EQ(result, c.result);
    }
    EXPECT_EQ(fileBytes(plain), kKept);
    EXPECT_NE(access(made.c_str(), F_OK), 0) << "no file is made";
}

// Stands for the platform's mount rules: refuses the files (not folders) whose path, as given,
// is in `refused`, and records what it was asked.
struct RecordingRules : MountRules {
    bool refuses(const std::string& path, bool asFolder, const ProtectedFiles&) const override {
        asked.push_back((asFolder ? "folder " : "file ") + path);
        return !asFolder && std::find(refused.begin(), refused.end(), path) != refused.end();
    }
    bool watches(u64 device) const override { return device == watched; }
    std::vector<std::string> refused;
    u64 watched = 0;
    mutable std::vector<std::string> asked;
};

TEST(OutputFile, AFileOpenedOnAWatchedMountIsLookedAtAgainByThePathItWasOpenedAt) {
    // The rules see a new file only by its folder before the open; on a watched device the opened
    // file's real path is asked after it (a link or rename in between cannot slip past).
    ScratchDir scratch;
    ASSERT_EQ(mkdir((scratch / "real").c_str(), 0777), 0);
    ASSERT_EQ(symlink((scratch / "real").c_str(), (scratch / "link").c_str()), 0);
    ASSERT_TRUE(writeFile(scratch / "real/kept", kKept));
    struct stat folder {};
    ASSERT_EQ(stat(scratch.path.c_str(), &folder), 0);
    const std::string real = realPath(scratch.path);
    auto rules = std::make_shared<RecordingRules>();
    rules->refused = {real + "/real/late.txt", scratch / "link/kept"};
    ProtectedFiles files;
    files.setMountRules(rules);
    OutputOpen result = OutputOpen::Opened;
    for (const bool watched : {false, true}) {
        SCOPED_TRACE(watched ? "watched" : "not watched");
        rules->watched = watched ? static_cast<u64>(folder.st_dev) : 0;
        rules->asked.clear();
        unlink((scratch / "real/late.txt").c_str());
        const int fd = openOutputFile(scratch / "link/late.txt", files, OutputTarget{false, true}, result);
        if (fd >= 0) close(fd);
        EXPECT_EQ(result, watched ? OutputOpen::Refused : OutputOpen::Opened);
        std::vector<std::string> asked = {"folder " + scratch / "link"};
        if (watched) asked.push_back("file " + real + "/real/late.txt");
        EXPECT_EQ(rules->asked, asked);
    }
    // An existing file is asked by the path given before anyone opens it: refused untouched.
    EXPECT_TRUE(isProtectedTarget(scratch / "link/kept", files, true));
    EXPECT_EQ(openOutputFile(scratch / "link/kept", files, OutputTarget{true, false}, result), -1);
    EXPECT_EQ(std::pair(result, fileBytes(scratch / "real/kept")), std::pair(OutputOpen::Refused, kKept));
    EXPECT_FALSE(isProtectedFolder(scratch / "real", files));
}

TEST(OutputFile, AFolderChainIsMadeOnlyWhereItsNearestExistingFolderMayBeWrittenAndARefusedOneMakesNothing) {
    // A folder in memory (/dev/shm) stands for a file system inside an image being read; the
    // scratch folder in /tmp for a plain disk, with a link into the protected one.
    ScratchDir plain;
    std::string memory = "/dev/shm/vorn_folders_XXXXXX";
    ASSERT_TRUE(mkdtemp(memory.data()));
    ScratchDir protectedDir;
    protectedDir.path = memory;  // removed with the test
    struct stat plainInfo {}, memoryInfo {};
    ASSERT_EQ(stat(plain.path.c_str(), &plainInfo), 0);
    ASSERT_EQ(stat(memory.c_str(), &memoryInfo), 0);
    if (plainInfo.st_dev == memoryInfo.st_dev) GTEST_SKIP() << "/tmp and /dev/shm are one file system here";
    ProtectedFiles files;
    files.addDevice(memoryInfo.st_dev);
    ASSERT_EQ(symlink(memory.c_str(), (plain / "to-image").c_str()), 0);
    ASSERT_TRUE(writeFile(plain / "file", kKept));
    const std::string plainName = plain.path.substr(plain.path.rfind('/') + 1);

    using enum FolderMade;
    struct Case { std::string path; FolderMade result; std::string made; };
    const Case cases[] = {
        {memory + "/new/deeper/deepest", Refused, ""},
        {memory, Refused, ""},                               // an existing folder alone
        {plain / "to-image/new/deeper", Refused, ""},        // through a link on the way
        {plain / "gone/../to-image/new", Refused, ""},       // ".." does not make "gone"
        {plain / "file/new", Failed, ""},
        {plain / "file", Failed, ""},
        {plain / "a/b//c/", Ready, plain / "a/b/c"},
        {plain / "x/../../" + plainName + "/y", Ready, plain / "y"},
        {plain.path, Ready, plain.path},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        errno = 0;
        EXPECT_EQ(makeFolders(c.path, files), c.result);
        if (c.result == Failed) {
            EXPECT_EQ(errno, ENOTDIR);
        }
        if (!c.made.empty()) {
            EXPECT_TRUE(std::filesystem::is_directory(c.made));
        }
    }
    EXPECT_TRUE(std::filesystem::is_empty(memory)) << "nothing made in the protected file system";
    EXPECT_FALSE(std::filesystem::exists(plain / "gone"));
    EXPECT_FALSE(std::filesystem::exists(plain / "x"));
    EXPECT_EQ(makeFolders(memory + "/new", ProtectedFiles()), Ready) << "made when nothing is protected";
}

}  // namespace
}  // namespace vorn
