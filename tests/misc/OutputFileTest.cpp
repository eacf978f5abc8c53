#include "misc/OutputFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "recovery/RecoveryTestSupport.h"

namespace vorn {
namespace {

using test::fileBytes;
using test::ScratchDir;
using test::writeFile;

const std::vector<u8> kKept = {'k', 'e', 'p', 't'};

struct Opened {
    OutputOpen result;
    int fd;
};

Opened openAt(const std::string& path, const ProtectedFiles& files, OutputTarget how) {
    Opened o{OutputOpen::Opened, -1};
    o.fd = openOutputFile(path, files, how, o.result);
    return o;
}

TEST(OutputFile, RefusesDevicesAndProtectedFilesByIdentityAndEmptiesOnlyWhatItMayWrite) {
    ScratchDir scratch;
    const std::string image = scratch / "image.img";
    ASSERT_TRUE(writeFile(image, kKept));
    ASSERT_EQ(link(image.c_str(), (scratch / "hard").c_str()), 0);
    ASSERT_EQ(symlink(image.c_str(), (scratch / "soft").c_str()), 0);
    ASSERT_TRUE(writeFile(scratch / "plain", kKept));
    ASSERT_EQ(symlink((scratch / "plain").c_str(), (scratch / "soft-plain").c_str()), 0);
    ASSERT_EQ(mkdir((scratch / "folder").c_str(), 0777), 0);
    ASSERT_EQ(mkfifo((scratch / "fifo").c_str(), 0666), 0);
    ProtectedFiles files;
    files.addPath(image);

    const OutputTarget noFollow{false, false}, follow{true, false}, fresh{false, true};
    struct Case { std::string path; OutputTarget how; OutputOpen result; };
    const Case cases[] = {
        {image, noFollow, OutputOpen::Refused},
        {scratch / "hard", noFollow, OutputOpen::Refused},  // another name of the same file
        {scratch / "soft", follow, OutputOpen::Refused},
        {scratch / "soft", noFollow, OutputOpen::Failed},   // a link is not followed: no write
        {scratch / "soft-plain", noFollow, OutputOpen::Failed},
        {image, fresh, OutputOpen::Refused},
        {"/dev/null", follow, OutputOpen::Refused},
        {"/dev/null", noFollow, OutputOpen::Refused},
        {scratch / "folder", follow, OutputOpen::Failed},
        {scratch / "fifo", follow, OutputOpen::Failed},
        {scratch / "plain", fresh, OutputOpen::Failed},      // must be new, is not
        {scratch / "missing/x", follow, OutputOpen::Failed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const Opened o = openAt(c.path, files, c.how);
        EXPECT_EQ(o.result, c.result);
        EXPECT_EQ(o.fd, -1);
        EXPECT_TRUE(isProtectedTarget(c.path, files, c.how.followLinks) == (c.result == OutputOpen::Refused));
    }
    EXPECT_EQ(fileBytes(image), kKept);
    EXPECT_EQ(fileBytes(scratch / "plain"), kKept);

    // What may be written is opened empty: an existing file, one through a link, a new one.
    for (const auto& [path, how] : {std::pair{scratch / "plain", noFollow}, std::pair{scratch / "soft-plain", follow},
                                   std::pair{scratch / "new", fresh}}) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(writeFile(scratch / "plain", kKept));
        const Opened o = openAt(path, files, how);
        ASSERT_EQ(o.result, OutputOpen::Opened);
        EXPECT_TRUE(writeAll(o.fd, reinterpret_cast<const u8*>("new"), 3));
        EXPECT_EQ(close(o.fd), 0);
        EXPECT_EQ(fileBytes(path), (std::vector<u8>{'n', 'e', 'w'}));
    }
}

TEST(OutputFile, TheOpenFileIsProtectedEvenAfterItsPathNamesAnother) {
    ScratchDir scratch;
    const std::string image = scratch / "image.img";
    ASSERT_TRUE(writeFile(image, kKept));
    const int reading = open(image.c_str(), O_RDONLY);
    ASSERT_GE(reading, 0);
    ProtectedFiles files;
    files.addOpenFile(reading);
    // The file read moves away; a new file takes its name.
    ASSERT_EQ(rename(image.c_str(), (scratch / "moved.img").c_str()), 0);
    ASSERT_TRUE(writeFile(image, kKept));
    EXPECT_EQ(openAt(scratch / "moved.img", files, {}).result, OutputOpen::Refused);
    const Opened o = openAt(image, files, {});
    EXPECT_EQ(o.result, OutputOpen::Opened);
    close(o.fd);
    EXPECT_EQ(fileBytes(scratch / "moved.img"), kKept);
    close(reading);
}

}  // namespace
}  // namespace vorn
