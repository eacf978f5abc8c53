// Image files: a byte-identical copy of a real image disk, 0xAA for exactly
// the unreadable blocks of a failing disk, refusal to overwrite the copied
// disk or a device, cancel and write failures.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "LogCapture.h"
#include "TestMedia.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryTestSupport.h"
#include "storage/FailingDisk.h"
#include "storage/ImageDisk.h"
#include "storage/PartitionDisk.h"
#include "storage/RAIDDisk.h"

namespace vorn {
namespace {

using test::fileBytes;
using test::LogCapture;
using test::ScratchDir;

TEST(ImageFile, CopyOfARealImageDiskIsByteIdentical) {
    ScratchDir scratch;
    Recovery recovery;
    for (const char* name : {"rand_3m.img", "rand_1m333.img", "small.iso"}) {
        const std::string source = test::mediaPath(name), copy = scratch / name;
        ImageDisk disk(source);
        ASSERT_TRUE(test::writeWholeFile(copy, std::vector<u8>(5000000, 1)));  // replaced
        ASSERT_TRUE(recovery.createImageFile(&disk, copy)) << name;
        // The disk covers whole blocks only: the copy is that part of the file.
        const u64 size = disk.getBlockCount() * disk.getBlockSize();
        EXPECT_EQ(fileBytes(copy).size(), size) << name;
        int status = -1;
        test::commandOutput("cmp -n " + std::to_string(size) + " '" + source + "' '" + copy + "'", &status);
        EXPECT_EQ(status, 0) << name;
        EXPECT_EQ(disk.getOpenCount(), 0u) << "the copy closes what it opened";
    }
    ImageDisk whole(test::mediaPath("rand_1m.img"));
    PartitionDisk partition(&whole, 100, 1099);
    ASSERT_TRUE(recovery.createImageFile(&partition, scratch / "part.img"));
    const std::vector<u8> bytes = fileBytes(test::mediaPath("rand_1m.img"));
    EXPECT_EQ(fileBytes(scratch / "part.img"), std::vector<u8>(bytes.begin() + 100 * 512, bytes.begin() + 1100 * 512));
}

TEST(ImageFile, UnreadableBlocksHoldAaAndEverythingElseIsIntact) {
    ImageDisk image(test::mediaPath("rand_3m.img"));
    test::FailingDisk disk(&image);
    const std::set<u64> failing = {0, 1, 700, 701, 702, 4000, disk.getBlockCount() - 1};
    for (u64 block : failing) disk.failBlock(block);
    ScratchDir scratch;
    Recovery recovery;
    LogCapture logs(LOG_INFO);

    ASSERT_TRUE(recovery.createImageFile(&disk, scratch / "copy.img"));

    const std::vector<u8> original = fileBytes(test::mediaPath("rand_3m.img"));
    const std::vector<u8> written = fileBytes(scratch / "copy.img");
    ASSERT_EQ(written.size(), disk.getBlockCount() * 512);
    for (u64 block = 0; block < disk.getBlockCount(); ++block) {
        const auto at = written.begin() + static_cast<std::ptrdiff_t>(block * 512);
        if (failing.count(block)) {
            EXPECT_EQ(std::count(at, at + 512, 0xAA), 512) << "block " << block;
        } else {
            EXPECT_TRUE(std::equal(at, at + 512, original.begin() + (at - written.begin()))) << "block " << block;
        }
    }
    EXPECT_GT(disk.getReadErrors(), 0u);
    EXPECT_TRUE(logs.has("read errors: " + std::to_string(disk.getReadErrors()) + "\n"));
}

TEST(ImageFile, NeverWritesOntoTheCopiedDiskOrADevice) {
    ScratchDir scratch;
    const std::string source = scratch / "source.img", link = scratch / "link.img", other = scratch / "other.img";
    const std::vector<u8> bytes = test::patternBytes(64 * 1024, 1);
    ASSERT_TRUE(test::writeWholeFile(source, bytes));
    ASSERT_TRUE(test::writeWholeFile(other, test::patternBytes(64 * 1024, 2)));
    ASSERT_EQ(symlink(source.c_str(), link.c_str()), 0);
    ImageDisk disk(source), otherDisk(other);
    PartitionDisk partition(&disk, 16, 63);
    RAIDDisk raid;  // a set with the image as its second member
    ASSERT_TRUE(raid.setMember(0, &otherDisk));
    ASSERT_TRUE(raid.setMember(1, &disk));
    std::vector<std::pair<Disk*, std::string>> refused = {
        {&disk, source}, {&disk, link}, {&partition, source}, {&raid, source}, {&disk, scratch / "missing/copy.img"}};
    for (const char* device : {"/dev/loop0", "/dev/sda", "/dev/vda", "/dev/nvme0n1"}) {
        struct stat st {};
        if (stat(device, &st) == 0 && S_ISBLK(st.st_mode)) refused.push_back({&disk, device});
    }
    Recovery recovery;
    LogCapture logs(LOG_ERROR);

    for (const auto& [from, to] : refused) EXPECT_FALSE(recovery.createImageFile(from, to)) << to;

    EXPECT_EQ(logs.count("error creating image file!\n"), static_cast<int>(refused.size()));
    EXPECT_EQ(fileBytes(source), bytes);
    ImageDisk missing("/nonexistent/vorn/disk.img");
    EXPECT_FALSE(recovery.createImageFile(&missing, scratch / "copy.img"));
    EXPECT_TRUE(logs.has("error opening disk!\n"));
}

// The first read takes a little over a second, so that the copy reaches a
// progress report right after its first chunk.
class SlowStartDisk : public test::FailingDisk {
public:
    using FailingDisk::FailingDisk;
    bool readBlocksImpl(u64 rawBlock, u32 count, void* buffer) override {
        if (!m_slept) std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        m_slept = true;
        return FailingDisk::readBlocksImpl(rawBlock, count, buffer);
    }

private:
    bool m_slept = false;
};

TEST(ImageFile, CancelAtTheFirstReportKeepsTheBytesCopiedSoFar) {
    const std::vector<u8> bytes = test::patternBytes(2 << 20, 2);
    SlowStartDisk disk(bytes);
    ScratchDir scratch;
    Recovery recovery;
    test::TestListener listener;
    listener.cancelAtProgress = 0;
    recovery.setListener(&listener);

    EXPECT_TRUE(recovery.createImageFile(&disk, scratch / "copy.img"));

    EXPECT_EQ(listener.progress, std::vector<double>{12.0});  // 256 KiB of 2 MiB
    EXPECT_EQ(fileBytes(scratch / "copy.img"), std::vector<u8>(bytes.begin(), bytes.begin() + 262144));
}

TEST(ImageFile, WriteFailureReturnsFalse) {
    ImageDisk disk(test::mediaPath("rand_1m.img"));
    ScratchDir scratch;
    Recovery recovery;
    LogCapture logs(LOG_ERROR);
    {
        test::FileSizeLimit limit(300000);
        EXPECT_FALSE(recovery.createImageFile(&disk, scratch / "copy.img"));
    }
    EXPECT_TRUE(logs.has("error writing to image file\n"));
}

}  // namespace
}  // namespace vorn
