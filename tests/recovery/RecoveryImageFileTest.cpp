// Image files: a byte-identical copy of a real image disk, 0xAA for exactly
// the unreadable blocks of a failing disk, refusal to overwrite the copied
// disk or a device, cancel and write failures.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "TestMedia.h"
#include "misc/Log.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryTestSupport.h"
#include "storage/FailingDisk.h"
#include "storage/ImageDisk.h"
#include "storage/PartitionDisk.h"
#include "storage/RAIDDisk.h"
#include "LogCapture.h"

namespace vorn {
namespace {

using test::fileBytes;
using test::LogCapture;
using test::ScratchDir;
using test::TestListener;

TEST(ImageFile, CopyOfARealImageDiskIsByteIdentical) {
    ScratchDir scratch;
    for (const char* name : {"rand_3m.img", "rand_1m333.img", "small.iso"}) {
        const std::string source = test::mediaPath(name);
        ImageDisk disk(source);
        const std::string copy = scratch / (std::string(name) + ".copy");
        Recovery recovery;
        ASSERT_TRUE(recovery.createImageFile(&disk, copy)) << name;
        // The disk covers whole blocks only: the copy is that part of the file.
        const u64 size = disk.getBlockCount() * disk.getBlockSize();
        struct stat st {};
        ASSERT_EQ(stat(copy.c_str(), &st), 0);
        EXPECT_EQ(static_cast<u64>(st.st_size), size) << name;
        int status = -1;
        test::commandOutput("cmp -n " + std::to_string(size) + " '" + source + "' '" + copy + "'", &status);
        EXPECT_EQ(status, 0) << name;
        EXPECT_EQ(disk.getOpenCount(), 0u) << "the copy closes what it opened";
    }
}

TEST(ImageFile, UnreadableBlocksHoldAaAndEverythingElseIsIntact) {
    ImageDisk image(test::mediaPath("rand_3m.img"));
    test::FailingDisk disk(&image);
    const std::set<u64> failing = {0, 1, 700, 701, 702, 4000, disk.getBlockCount() - 1};
    for (u64 block : failing) disk.failBlock(block);
    ScratchDir scratch;
    const std::string copy = scratch / "copy.img";
    Recovery recovery;
    LogCapture logs(LOG_INFO);

    ASSERT_TRUE(recovery.createImageFile(&disk, copy));

    const std::vector<u8> original = fileBytes(test::mediaPath("rand_3m.img"));
    const std::vector<u8> written = fileBytes(copy);
    const u64 blockCount = disk.getBlockCount();
    ASSERT_EQ(written.size(), blockCount * 512);
    for (u64 block = 0; block < blockCount; ++block) {
        const auto at = written.begin() + static_cast<std::ptrdiff_t>(block * 512);
        if (failing.count(block)) {
            EXPECT_TRUE(std::all_of(at, at + 512, [](u8 b) { return b == 0xAA; })) << "block " << block;
        } else {
            EXPECT_TRUE(std::equal(at, at + 512, original.begin() + static_cast<std::ptrdiff_t>(block * 512)))
                << "block " << block;
        }
    }
    EXPECT_GT(disk.getReadErrors(), 0u);
    EXPECT_TRUE(logs.has("read errors: " + std::to_string(disk.getReadErrors()) + "\n"));
}

TEST(ImageFile, FolderThatDoesNotExistFails) {
    ImageDisk disk(test::mediaPath("rand_1m.img"));
    ScratchDir scratch;
    Recovery recovery;
    LogCapture logs(LOG_ERROR);
    EXPECT_FALSE(recovery.createImageFile(&disk, scratch / "missing/copy.img"));
    EXPECT_TRUE(logs.has("error creating image file!\n"));
    EXPECT_EQ(disk.getOpenCount(), 0u);
}

TEST(ImageFile, DiskThatCannotBeOpenedFails) {
    ImageDisk disk("/nonexistent/vorn/disk.img");
    ScratchDir scratch;
    Recovery recovery;
    LogCapture logs(LOG_ERROR);
    EXPECT_FALSE(recovery.createImageFile(&disk, scratch / "copy.img"));
    EXPECT_TRUE(logs.has("error opening disk!\n"));
}

TEST(ImageFile, CopyOntoTheImageBeingCopiedIsRefused) {
    ScratchDir scratch;
    const std::string source = scratch / "source.img";
    const std::vector<u8> bytes = test::patternBytes(64 * 1024, 1);
    ASSERT_TRUE(test::writeWholeFile(source, bytes));
    const std::string link = scratch / "link.img";
    ASSERT_EQ(symlink(source.c_str(), link.c_str()), 0);
    ImageDisk disk(source);
    Recovery recovery;
    LogCapture logs(LOG_ERROR);

    PartitionDisk partition(&disk, 16, 63);  // a partition of the image
    const std::string other = scratch / "other.img";
    ASSERT_TRUE(test::writeWholeFile(other, test::patternBytes(64 * 1024, 2)));
    ImageDisk otherDisk(other);
    RAIDDisk raid;  // a set with the image as its second member
    ASSERT_TRUE(raid.setMember(0, &otherDisk));
    ASSERT_TRUE(raid.setMember(1, &disk));

    EXPECT_FALSE(recovery.createImageFile(&disk, source));
    EXPECT_FALSE(recovery.createImageFile(&disk, link));
    EXPECT_FALSE(recovery.createImageFile(&partition, source));
    EXPECT_FALSE(recovery.createImageFile(&raid, source));

    EXPECT_EQ(logs.count("error creating image file!\n"), 4);
    EXPECT_EQ(fileBytes(source), bytes);
}

TEST(ImageFile, CopyOntoADeviceIsRefused) {
    std::string device;
    for (const char* candidate : {"/dev/loop0", "/dev/sda", "/dev/vda", "/dev/nvme0n1", "/dev/ram0"}) {
        struct stat st {};
        if (stat(candidate, &st) == 0 && S_ISBLK(st.st_mode)) {
            device = candidate;
            break;
        }
    }
    if (device.empty()) GTEST_SKIP() << "no block device node to try";
    ImageDisk disk(test::mediaPath("rand_1m.img"));
    Recovery recovery;
    LogCapture logs(LOG_ERROR);
    EXPECT_FALSE(recovery.createImageFile(&disk, device));
    EXPECT_TRUE(logs.has("error creating image file!\n"));
}

TEST(ImageFile, CopyOfAPartitionHoldsItsBlocks) {
    ImageDisk disk(test::mediaPath("rand_1m.img"));
    PartitionDisk partition(&disk, 100, 1099);
    ScratchDir scratch;
    Recovery recovery;
    ASSERT_TRUE(recovery.createImageFile(&partition, scratch / "part.img"));
    const std::vector<u8> whole = fileBytes(test::mediaPath("rand_1m.img"));
    EXPECT_EQ(fileBytes(scratch / "part.img"), std::vector<u8>(whole.begin() + 100 * 512, whole.begin() + 1100 * 512));
}

TEST(ImageFile, ExistingTargetIsReplaced) {
    ScratchDir scratch;
    const std::string copy = scratch / "copy.img";
    ASSERT_TRUE(test::writeWholeFile(copy, std::vector<u8>(5000000, 1)));
    ImageDisk disk(test::mediaPath("rand_1m.img"));
    Recovery recovery;
    ASSERT_TRUE(recovery.createImageFile(&disk, copy));
    EXPECT_EQ(fileBytes(copy), fileBytes(test::mediaPath("rand_1m.img")));
}

// Serves a memory image; the first read takes a little over a second, so
// that the copy reaches a progress report right after its first chunk.
class SlowStartDisk : public test::FailingDisk {
public:
    using FailingDisk::FailingDisk;
    bool readBlocksImpl(u64 rawBlock, u32 count, void* buffer) override {
        if (!m_slept) {
            m_slept = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        }
        return FailingDisk::readBlocksImpl(rawBlock, count, buffer);
    }

private:
    bool m_slept = false;
};

TEST(ImageFile, CancelAtTheFirstReportKeepsTheBytesCopiedSoFar) {
    const std::vector<u8> bytes = test::patternBytes(2 * 1024 * 1024, 2);
    SlowStartDisk disk(bytes);
    ScratchDir scratch;
    const std::string copy = scratch / "copy.img";
    Recovery recovery;
    TestListener listener;
    listener.cancelAtProgress = 0;
    recovery.setListener(&listener);

    EXPECT_TRUE(recovery.createImageFile(&disk, copy));

    ASSERT_EQ(listener.progress.size(), 1u);
    EXPECT_EQ(listener.progress[0], 12.0);  // 256 KiB of 2 MiB
    const std::vector<u8> written = fileBytes(copy);
    EXPECT_EQ(written, std::vector<u8>(bytes.begin(), bytes.begin() + 262144));
}

TEST(ImageFile, WriteFailureReturnsFalse) {
    ImageDisk disk(test::mediaPath("rand_1m.img"));
    ScratchDir scratch;
    Recovery recovery;
    LogCapture logs(LOG_ERROR);
    const sighandler_t old = signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limit = saved;
    limit.rlim_cur = 300000;
    setrlimit(RLIMIT_FSIZE, &limit);
    const bool ok = recovery.createImageFile(&disk, scratch / "copy.img");
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(logs.has("error writing to image file\n"));
}

}  // namespace
}  // namespace vorn
