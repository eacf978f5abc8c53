#include "platform/LinuxDisk.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "platform/DeviceOpener.h"
#include "platform/PlatformLog.h"
#include "platform/LoopDevice.h"

namespace vorn {
namespace {

using test::PlatformLog;

// Stands in for the system: the direct open answers as told; a request for
// rights opens `grant` when set, else is refused.
class FakeOpener : public DeviceOpener {
public:
    int openReadOnly(const std::string& path) override {
        ++directCalls;
        if (directResult == 0) return DeviceOpener::openReadOnly(path);
        return directResult;
    }
    int openWithRights(const std::string& path) override {
        ++rightsCalls;
        lastRightsPath = path;
        if (grant.empty()) return -1;
        return ::open(grant.c_str(), O_RDONLY | O_CLOEXEC);
    }
    int directResult = 0;  // 0: really open; else -errno
    std::string grant;
    int directCalls = 0;
    int rightsCalls = 0;
    std::string lastRightsPath;
};

// A temporary file of `blocks` 512-byte blocks plus `extra` bytes, byte i
// holding (i * 7 + i / 512) & 0xFF.
class TempImage {
public:
    TempImage(size_t blocks, size_t extra = 0) {
        char templ[] = "/tmp/vorn-linuxdisk-XXXXXX";
        int fd = mkstemp(templ);
        path = templ;
        bytes.resize(blocks * 512 + extra);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<u8>((i * 7 + i / 512) & 0xFF);
        if (fd >= 0) {
            EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
            ::close(fd);
        }
    }
    ~TempImage() { ::unlink(path.c_str()); }
    std::string path;
    std::vector<u8> bytes;
};

TEST(LinuxDisk, CreatingADiskOpensNothing) {
    FakeOpener opener;
    LinuxDisk disk("/dev/vorn-test-none", &opener);
    EXPECT_EQ(disk.getPath(), "/dev/vorn-test-none");
    EXPECT_EQ(disk.getBlockSize(), 512u);
    EXPECT_EQ(disk.getBlockCount(), 0u);
    EXPECT_EQ(opener.directCalls, 0);
    EXPECT_EQ(disk.getDescriptor(), -1);
}

TEST(LinuxDisk, WriteOpenIsRefusedWithALogLineAndTouchesNoNode) {
    PlatformLog log;
    FakeOpener opener;
    TempImage image(4);
    LinuxDisk disk(image.path, &opener);
    EXPECT_FALSE(disk.open(true));
    EXPECT_EQ(opener.directCalls, 0);
    EXPECT_EQ(disk.getOpenCount(), 0u);
    EXPECT_TRUE(log.has("error at LinuxDisk::open: write access refused (" + image.path + ")\n"));
    EXPECT_FALSE(disk.openImplAuthorized(true, true));
    u8 block[512] = {0};
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(disk.writeBlocksImpl(0, 1, block));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "not yet activated/tested!\n");
}

TEST(LinuxDisk, RefusedRightsFailTheOpenAfterOneRequestWithTheLines) {
    PlatformLog log(LOG_ERROR);
    FakeOpener opener;
    opener.directResult = -EACCES;
    LinuxDisk disk("/dev/vorn-test-locked", &opener);
    EXPECT_FALSE(disk.open(false));
    EXPECT_EQ(opener.directCalls, 1);
    EXPECT_EQ(opener.rightsCalls, 1);
    EXPECT_EQ(opener.lastRightsPath, "/dev/vorn-test-locked");
    EXPECT_EQ(log.containing("/dev/vorn-test-locked"),
              (std::vector<std::string>{"ExecuteWithAuthorizatonRight failed /dev/vorn-test-locked (13)\n",
                                        "Error opening /dev/vorn-test-locked (13)\n"}));
    EXPECT_EQ(disk.getOpenCount(), 0u);
    // The next first open may ask once more, never twice.
    EXPECT_FALSE(disk.open(false));
    EXPECT_EQ(opener.rightsCalls, 2);
}

TEST(LinuxDisk, PermissionDeniedByPolicyAlsoAsksForRights) {
    PlatformLog log;
    FakeOpener opener;
    opener.directResult = -EPERM;
    LinuxDisk disk("/dev/vorn-test-eperm", &opener);
    EXPECT_FALSE(disk.open(false));
    EXPECT_EQ(opener.rightsCalls, 1);
    EXPECT_TRUE(log.has("Error opening /dev/vorn-test-eperm (1)\n"));
}

TEST(LinuxDisk, WithoutAuthorizationNoRightsAreAskedFor) {
    PlatformLog log(LOG_ERROR);
    FakeOpener opener;
    opener.directResult = -EACCES;
    LinuxDisk disk("/dev/vorn-test-locked", &opener);
    EXPECT_FALSE(disk.openImplAuthorized(false, false));
    EXPECT_EQ(opener.rightsCalls, 0);
    EXPECT_EQ(log.containing("/dev/vorn-test-locked"),
              (std::vector<std::string>{"Error opening /dev/vorn-test-locked (13)\n"}));
}

TEST(LinuxDisk, GrantedRightsOpenTheNodeAndReadsWork) {
    TempImage image(8);
    FakeOpener opener;
    opener.directResult = -EACCES;
    opener.grant = image.path;
    LinuxDisk disk("/dev/vorn-test-locked", &opener);
    ASSERT_TRUE(disk.open(false));
    EXPECT_EQ(opener.rightsCalls, 1);
    std::vector<u8> got(1024);
    ASSERT_TRUE(disk.readBlocksImpl(2, 2, got.data()));
    EXPECT_EQ(0, memcmp(got.data(), image.bytes.data() + 1024, 1024));
    disk.close();
    EXPECT_EQ(disk.getDescriptor(), -1);
}

TEST(LinuxDisk, OtherOpenErrorsAskForNoRights) {
    PlatformLog log;
    FakeOpener opener;
    LinuxDisk disk("/nonexistent/vorn/dev/sdq", &opener);
    EXPECT_FALSE(disk.open(false));
    EXPECT_EQ(opener.rightsCalls, 0);
    EXPECT_TRUE(log.has("Error opening /nonexistent/vorn/dev/sdq (2)\n"));
}

TEST(LinuxDisk, AbsentMediumGivesAClearError) {
    PlatformLog log(LOG_ERROR);
    FakeOpener opener;
    opener.directResult = -ENOMEDIUM;
    LinuxDisk disk("/dev/vorn-test-sr0", &opener);
    EXPECT_FALSE(disk.open(false));
    EXPECT_EQ(opener.rightsCalls, 0);
    EXPECT_EQ(log.containing("/dev/vorn-test-sr0"),
              (std::vector<std::string>{"error at LinuxDisk::open: no medium in /dev/vorn-test-sr0\n",
                                        "Error opening /dev/vorn-test-sr0 (" + std::to_string(ENOMEDIUM) + ")\n"}));
}

TEST(LinuxDisk, UnlistedDiskTakesItsSizeFromTheOpenNode) {
    TempImage image(10, 100);
    LinuxDisk disk(image.path);
    ASSERT_TRUE(disk.open(false));
    EXPECT_EQ(disk.getBlockCount(), 10u);
    EXPECT_EQ(disk.getBlockSize(), 512u);
    std::vector<u8> got(10 * 512);
    ASSERT_TRUE(disk.readBlocks(0, 10, got.data()));
    EXPECT_EQ(0, memcmp(got.data(), image.bytes.data(), got.size()));
    // The node is read-only.
    EXPECT_EQ(fcntl(disk.getDescriptor(), F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_NE(fcntl(disk.getDescriptor(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST(LinuxDisk, ListedGeometryStaysWhenTheNodeReportsAnother) {
    PlatformLog log(LOG_WARNING);
    TempImage image(10);
    LinuxDisk disk(image.path);
    disk.setBlockCount(7);
    ASSERT_TRUE(disk.open(false));
    EXPECT_EQ(disk.getBlockCount(), 7u);
    EXPECT_EQ(log.containing("warning: " + image.path).size(), 1u);
}

TEST(LinuxDisk, ReadsPastTheEndAreZeroFilledWithoutAnError) {
    TempImage image(10, 100);
    LinuxDisk disk(image.path);
    ASSERT_TRUE(disk.open(false));
    std::vector<u8> got(1024, 0xAA);
    ASSERT_TRUE(disk.readBlocksImpl(10, 2, got.data()));
    EXPECT_EQ(0, memcmp(got.data(), image.bytes.data() + 5120, 100));
    for (size_t i = 100; i < got.size(); ++i) ASSERT_EQ(got[i], 0) << i;
    std::fill(got.begin(), got.end(), 0xAA);
    EXPECT_TRUE(disk.readBlocksImpl(1000, 2, got.data()));
    EXPECT_EQ(got, std::vector<u8>(1024, 0));
    EXPECT_EQ(disk.getReadErrors(), 0u);
}

TEST(LinuxDisk, AFailedReadCountsOneErrorAndZeroFills) {
    char templ[] = "/tmp/vorn-linuxdisk-dir-XXXXXX";
    ASSERT_TRUE(mkdtemp(templ));
    FakeOpener opener;
    LinuxDisk disk(templ, &opener);  // a folder opens read-only but cannot be read
    disk.setBlockCount(4);
    ASSERT_TRUE(disk.open(false));
    std::vector<u8> got(512, 0xAA);
    EXPECT_FALSE(disk.readBlocksImpl(0, 1, got.data()));
    EXPECT_EQ(disk.getReadErrors(), 1u);
    EXPECT_EQ(got, std::vector<u8>(512, 0));
    EXPECT_FALSE(disk.readBlocksImpl(1, 1, got.data()));
    EXPECT_EQ(disk.getReadErrors(), 2u);
    disk.close();
    rmdir(templ);
}

TEST(LinuxDisk, ReadingAClosedDiskFailsWithoutCountingAReadError) {
    PlatformLog log;
    LinuxDisk disk("/dev/vorn-test-closed");
    u8 block[512];
    EXPECT_FALSE(disk.readBlocksImpl(0, 1, block));
    EXPECT_EQ(disk.getReadErrors(), 0u);
    EXPECT_TRUE(log.has("error at LinuxDisk::readBlocksImpl: /dev/vorn-test-closed is not open\n"));
}

TEST(LinuxDisk, BlockNumbersBeyondTheOffsetRangeAreRefused) {
    PlatformLog log;
    TempImage image(4);
    LinuxDisk disk(image.path);
    ASSERT_TRUE(disk.open(false));
    u8 block[1024];
    EXPECT_FALSE(disk.readBlocksImpl(~0ull / 512, 1, block));
    EXPECT_FALSE(disk.readBlocksImpl((1ull << 63) / 512 - 1, 2, block));
    EXPECT_EQ(disk.getReadErrors(), 0u);
    EXPECT_EQ(log.containing("incorrect parameters").size(), 2u);
}

TEST(LinuxDisk, DeletingAnOpenDiskClosesItsDescriptor) {
    TempImage image(4);
    auto disk = std::make_unique<LinuxDisk>(image.path);
    ASSERT_TRUE(disk->open(false));
    const int fd = disk->getDescriptor();
    ASSERT_GE(fcntl(fd, F_GETFD), 0);
    disk.reset();
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(LinuxDisk, LastSessionIsLookedForOnlyOnCdDvd) {
    PlatformLog log;
    FakeOpener opener;
    TempImage image(4);
    LinuxDisk disk(image.path, &opener);
    disk.setType(DISK_TYPE_FIXED);
    disk.detectLastSession();
    EXPECT_EQ(opener.directCalls, 0);
    // A CD/DVD whose table cannot be read (a plain file has none) stays at 0.
    disk.setType(DISK_TYPE_CDDVD);
    disk.setLastSessionOfs(12345);
    disk.detectLastSession();
    EXPECT_EQ(opener.directCalls, 1);
    EXPECT_EQ(disk.getLastSessionOfs(), 0u);
    EXPECT_EQ(disk.getOpenCount(), 0u);
    EXPECT_TRUE(log.has("CD/DVD lastSessionStartLBA: 0\n"));
}

// A real block device: the ioctls give the sector size and the size.
TEST(LinuxDiskDevice, LoopDeviceWith4096ByteSectorsIsReadThroughTheIoctls) {
    TempImage image(2048);  // 1 MiB
    test::LoopDevice loop(image.path, "--sector-size 4096");
    if (!loop.available()) GTEST_SKIP() << "no loop device (needs root and losetup)";
    LinuxDisk disk(loop.path());
    ASSERT_TRUE(disk.open(false));
    EXPECT_EQ(disk.getBlockSize(), 4096u);
    EXPECT_EQ(disk.getRawBlockSize(), 4096u);
    EXPECT_EQ(disk.getBlockCount(), 256u);
    std::vector<u8> got(2 * 4096);
    ASSERT_TRUE(disk.readBlocks(3, 2, got.data()));
    EXPECT_EQ(0, memcmp(got.data(), image.bytes.data() + 3 * 4096, got.size()));
    std::vector<u8> all(1 << 20);
    ASSERT_TRUE(disk.readBlocks(0, 256, all.data()));
    EXPECT_EQ(all, image.bytes);
    EXPECT_EQ(fcntl(disk.getDescriptor(), F_GETFL) & O_ACCMODE, O_RDONLY);
    disk.close();
}

}  // namespace
}  // namespace vorn
