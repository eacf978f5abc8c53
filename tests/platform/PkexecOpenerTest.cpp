#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/DeviceOpener.h"
#include "platform/LinuxDisk.h"
#include "platform/PlatformLog.h"
#include "platform/LoopDevice.h"

namespace vorn {
namespace {

using test::PlatformLog;

std::string helperNextToTests() {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return std::string();
    exe[n] = 0;
    std::string dir(exe);
    return dir.substr(0, dir.find_last_of('/')) + "/vorn-open-helper";
}

// Stand-ins for the authorization service: scripts in a temporary folder.
class PkexecOpenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/vorn-pkexec-XXXXXX";
        ASSERT_TRUE(mkdtemp(templ));
        dir = templ;
        helper = helperNextToTests();
        opener.setHelperPath(helper);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string script(const std::string& name, const std::string& body) {
        const std::string path = dir + "/" + name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        chmod(path.c_str(), 0755);
        return path;
    }
    bool haveHelper() const { return access(helper.c_str(), X_OK) == 0; }

    std::string dir;
    std::string helper;
    PkexecOpener opener;
};

TEST_F(PkexecOpenerTest, DismissedRequestLogsTheCancelLines) {
    PlatformLog log(LOG_ERROR);
    opener.setLauncher(script("pkexec", "exit 126"));
    EXPECT_EQ(opener.open("/dev/vorn-test"), -1);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"Pre-authorization failed: 126, giving up.\n",
                                                   "(user canceled entering root password)\n"}));
}

TEST_F(PkexecOpenerTest, RefusedRightLogsThePreAuthorizationLineOnly) {
    PlatformLog log(LOG_ERROR);
    opener.setLauncher(script("pkexec", "exit 127"));
    EXPECT_EQ(opener.open("/dev/vorn-test"), -1);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"Pre-authorization failed: 127, giving up.\n"}));
}

TEST_F(PkexecOpenerTest, MissingAuthorizationServiceFailsCleanly) {
    PlatformLog log(LOG_ERROR);
    opener.setLauncher(dir + "/no-such-pkexec");
    EXPECT_EQ(opener.open("/dev/vorn-test"), -1);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"Failed to execute with privileges (" + helper +
                                                   "): 2, giving up.\n"}));
}

TEST_F(PkexecOpenerTest, LauncherThatSucceedsWithoutADescriptorFails) {
    PlatformLog log(LOG_ERROR);
    opener.setLauncher(script("pkexec", "exit 0"));
    EXPECT_EQ(opener.open("/dev/vorn-test"), -1);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"Failed to execute with privileges (" + helper +
                                                   "): -1, giving up.\n"}));
}

TEST_F(PkexecOpenerTest, HelperRefusesNodesThatAreNoBlockDevices) {
    if (!haveHelper()) GTEST_SKIP() << "helper not built";
    opener.setLauncher(script("pkexec", "exec \"$@\""));
    const std::string file = dir + "/plain";
    std::ofstream(file) << "data";
    for (const std::string& path : {std::string("/dev/null"), file, std::string("/dev/../etc/passwd"),
                                    std::string("/dev/shm")}) {
        PlatformLog log(LOG_ERROR);
        EXPECT_EQ(opener.open(path), -1) << path;
        EXPECT_EQ(log.lines, (std::vector<std::string>{"Failed to execute with privileges (" + helper +
                                                       "): 2, giving up.\n"}))
            << path;
    }
}

// A block node in a folder that users may write to could be swapped between
// the checks and the open: refused.
TEST_F(PkexecOpenerTest, HelperRefusesBlockNodesInFoldersUsersMayWriteTo) {
    if (!haveHelper()) GTEST_SKIP() << "helper not built";
    if (geteuid() != 0) GTEST_SKIP() << "making a device node needs root";
    const std::string node = "/dev/shm/vorn-test-node-" + std::to_string(getpid());
    if (mknod(node.c_str(), S_IFBLK | 0600, makedev(7, 0)) != 0) GTEST_SKIP() << "cannot make a node in /dev/shm";
    opener.setLauncher(script("pkexec", "exec \"$@\""));
    PlatformLog log(LOG_ERROR);
    EXPECT_EQ(opener.open(node), -1);
    unlink(node.c_str());
    EXPECT_EQ(log.lines, (std::vector<std::string>{"Failed to execute with privileges (" + helper +
                                                   "): 2, giving up.\n"}));
}

TEST_F(PkexecOpenerTest, HelperCalledWrongEndsWithUsageStatus) {
    if (!haveHelper()) GTEST_SKIP() << "helper not built";
    EXPECT_EQ(WEXITSTATUS(std::system((helper + " 2>/dev/null").c_str())), 1);
    // Standard input is no socket here.
    EXPECT_EQ(WEXITSTATUS(std::system((helper + " --socket-fd 0 /dev/null </dev/null 2>/dev/null").c_str())), 1);
    EXPECT_EQ(WEXITSTATUS(std::system((helper + " --socket-fd x /dev/null 2>/dev/null").c_str())), 1);
}

// A helper that answers with a write-capable descriptor is not believed.
TEST_F(PkexecOpenerTest, WriteCapableDescriptorIsRefused) {
    if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "python3 missing";
    PlatformLog log(LOG_ERROR);
    const std::string target = dir + "/target";
    std::ofstream(target) << "data";
    const std::string fake = dir + "/fake-helper";
    std::ofstream(fake) << "#!/usr/bin/python3\n"
                           "import os, socket, sys\n"
                           "s = socket.socket(fileno=0)\n"
                           "fd = os.open('" << target << "', os.O_RDWR)\n"
                           "socket.send_fds(s, [b'v'], [fd])\n";
    chmod(fake.c_str(), 0755);
    opener.setHelperPath(fake);
    opener.setLauncher(script("pkexec", "exec \"$@\""));
    EXPECT_EQ(opener.open(target), -1);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"error at PkexecOpener::open: the descriptor received is no "
                                                   "read-only open of " + target + "\n"}));
}

// The whole road on a real block device, with a launcher that runs the
// helper directly (the tests run as root on the test machine).
TEST_F(PkexecOpenerTest, HelperHandsBackAReadOnlyDescriptorOfTheDevice) {
    if (!haveHelper()) GTEST_SKIP() << "helper not built";
    const std::string image = dir + "/image";
    {
        std::ofstream out(image, std::ios::binary);
        std::vector<char> data(65536, 'x');
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    test::LoopDevice loop(image);
    if (!loop.available()) GTEST_SKIP() << "no loop device (needs root and losetup)";
    opener.setLauncher(script("pkexec", "exec \"$@\""));
    const int fd = opener.open(loop.path());
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(isReadOnlyDescriptorOf(fd, loop.path()));
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    char c = 0;
    EXPECT_EQ(pread(fd, &c, 1, 100), 1);
    EXPECT_EQ(c, 'x');
    close(fd);
    // A node of another device is refused by the check.
    EXPECT_FALSE(isReadOnlyDescriptorOf(open("/dev/null", O_RDONLY | O_CLOEXEC), loop.path()));
}

// The open road as the user meets it: the node refuses, the prompt is
// dismissed, the open fails with the lines of each step, asked once.
class DeniedThenCancelled : public DeviceOpener {
public:
    explicit DeniedThenCancelled(PkexecOpener& p) : pkexec(p) {}
    int openReadOnly(const std::string&) override { return -EACCES; }
    int openWithRights(const std::string& path) override {
        ++requests;
        return pkexec.open(path);
    }
    PkexecOpener& pkexec;
    int requests = 0;
};

TEST_F(PkexecOpenerTest, CancelledPromptFailsTheDiskOpenWithEveryLine) {
    opener.setLauncher(script("pkexec", "exit 126"));
    DeniedThenCancelled denied(opener);
    setDeviceOpener(&denied);
    PlatformLog log(LOG_ERROR);
    LinuxDisk disk("/dev/vorn-test-sdz");
    const bool opened = disk.open(false);
    setDeviceOpener(nullptr);
    EXPECT_FALSE(opened);
    EXPECT_EQ(denied.requests, 1);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"Pre-authorization failed: 126, giving up.\n",
                                                   "(user canceled entering root password)\n",
                                                   "ExecuteWithAuthorizatonRight failed /dev/vorn-test-sdz (13)\n",
                                                   "Error opening /dev/vorn-test-sdz (13)\n"}));
}

TEST(DeviceOpenerRegistry, AdministratorIsNotPromptedAgain) {
    if (geteuid() != 0) GTEST_SKIP() << "runs as administrator only";
    PlatformLog log(LOG_ERROR);
    DeviceOpener system;
    EXPECT_EQ(system.openWithRights("/dev/vorn-test-policy"), -1);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"error at DeviceOpener::openWithRights: refused to the "
                                                   "administrator too: /dev/vorn-test-policy\n"}));
}

TEST(DeviceOpenerRegistry, NullRestoresTheSystemOpener) {
    DeviceOpener* system = getDeviceOpener();
    DeviceOpener mine;
    setDeviceOpener(&mine);
    EXPECT_EQ(getDeviceOpener(), &mine);
    setDeviceOpener(nullptr);
    EXPECT_EQ(getDeviceOpener(), system);
    EXPECT_EQ(system->openReadOnly("/nonexistent/vorn"), -ENOENT);
}

}  // namespace
}  // namespace vorn
