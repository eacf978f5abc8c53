#include <gtest/gtest.h>

#include <filesystem>

#include "TestMedia.h"
#include "recovery/RecoveryTestSupport.h"
#include "storage/FailingDisk.h"
#include "storage/ImageDisk.h"
#include "storage/PartitionDisk.h"
#include "storage/RAIDDisk.h"

namespace vorn {
namespace {

using namespace test;
namespace fs = std::filesystem;

TEST(ImageFile, CopyOfARealImageDiskOrPartitionIsByteIdentical) {
    ScratchDir scratch;
    ASSERT_TRUE(writeFile(scratch / "old.img", std::vector<u8>(5000000, 1)));  // an existing target is replaced
    for (const char* name : {"rand_3m.img", "rand_1m333.img", "small.iso", "rand_1m.img"}) {
        SCOPED_TRACE(name);
        ImageDisk disk(mediaPath(name));
        Recovery recovery;
        ASSERT_TRUE(recovery.createImageFile(&disk, scratch / "old.img"));
        const u64 size = disk.getBlockCount() * disk.getBlockSize();  // whole blocks only
        std::vector<u8> want = fileBytes(mediaPath(name));
        want.resize(size);
        EXPECT_TRUE(fileBytes(scratch / "old.img") == want);
        EXPECT_EQ(disk.getOpenCount(), 0u);
    }
    ImageDisk disk(mediaPath("rand_1m.img"));
    PartitionDisk partition(&disk, 100, 1099);
    Recovery recovery;
    ASSERT_TRUE(recovery.createImageFile(&partition, scratch / "part.img"));
    const std::vector<u8> whole = fileBytes(mediaPath("rand_1m.img"));
    EXPECT_EQ(fileBytes(scratch / "part.img"), std::vector<u8>(whole.begin() + 100 * 512, whole.begin() + 1100 * 512));
}

TEST(ImageFile, UnreadableBlocksHoldAaAndEverythingElseIsIntact) {
    ImageDisk image(mediaPath("rand_3m.img"));
    FailingDisk disk(&image);
    const std::set<u64> failing = {0, 1, 700, 701, 702, 4000, disk.getBlockCount() - 1};
    for (u64 block : failing) disk.failBlock(block);
    ScratchDir scratch;
    Recovery recovery;
    LogCapture logs(LOG_INFO);
    ASSERT_TRUE(recovery.createImageFile(&disk, scratch / "copy.img"));
    std::vector<u8> expected = fileBytes(mediaPath("rand_3m.img"));
    expected.resize(disk.getBlockCount() * 512);
    for (u64 block : failing) std::fill_n(expected.begin() + static_cast<std::ptrdiff_t>(block * 512), 512, 0xAA);
    EXPECT_TRUE(fileBytes(scratch / "copy.img") == expected);
    EXPECT_TRUE(logs.has("read errors: " + std::to_string(disk.getReadErrors()) + "\n"));
}

TEST(ImageFile, CopyOntoItsOwnSourceOrAMissingFolderIsRefused) {
    ScratchDir scratch;
    const std::string source = scratch / "source.img", other = scratch / "other.img", link = scratch / "link.img";
    const std::vector<u8> bytes = patternBytes(64 * 1024, 1);
    ASSERT_TRUE(writeFile(source, bytes));
    ASSERT_TRUE(writeFile(other, patternBytes(64 * 1024, 2)));
    ASSERT_EQ(symlink(source.c_str(), link.c_str()), 0);
    ImageDisk disk(source), otherDisk(other);
    PartitionDisk partition(&disk, 16, 63);
    RAIDDisk raid;  // the image as the second member
    ASSERT_TRUE(raid.setMember(0, &otherDisk));
    ASSERT_TRUE(raid.setMember(1, &disk));
    const std::pair<Disk*, std::string> cases[] = {
        {&disk, source}, {&disk, link}, {&partition, source}, {&raid, source}, {&disk, scratch / "missing/x.img"}};
    for (const auto& [from, to] : cases) {
        SCOPED_TRACE(to);
        Recovery recovery;
        LogCapture logs(LOG_ERROR);
        EXPECT_FALSE(recovery.createImageFile(from, to));
        EXPECT_TRUE(logs.has("error creating image file!\n"));
    }
    EXPECT_EQ(fileBytes(source), bytes);
    EXPECT_EQ(disk.getOpenCount(), 0u);
}

TEST(ImageFile, WriteFailureAndUnopenableDiskReturnFalse) {
    ScratchDir scratch;
    Recovery recovery;
    LogCapture logs(LOG_ERROR);
    ImageDisk missing("/nonexistent/vorn/disk.img");
    EXPECT_FALSE(recovery.createImageFile(&missing, scratch / "a.img"));
    EXPECT_TRUE(logs.has("error opening disk!\n"));
    ImageDisk disk(mediaPath("rand_1m.img"));
    FileSizeLimit limit(300000);
    EXPECT_FALSE(recovery.createImageFile(&disk, scratch / "b.img"));
    EXPECT_TRUE(logs.has("error writing to image file\n"));
}

// An image file stopped before its end is named so: NAME.incomplete, else the first free
// NAME.incomplete-N. A taken name is never replaced, the file being read least of all (here the
// disk copied is NAME.incomplete itself); with every name taken the part stays where it is.
TEST(ImageFile, AnIncompleteImageFileTakesTheFirstFreeIncompleteNameAndReplacesNothing) {
    ScratchDir scratch;
    const std::string copy = scratch / "copy.img", first = copy + ".incomplete";
    const std::vector<u8> read = patternBytes(64 * 1024, 3), part = patternBytes(4096, 4), other = patternBytes(512, 5);
    ASSERT_TRUE(writeFile(first, read));
    ASSERT_TRUE(writeFile(copy + ".incomplete-2", other));
    ImageDisk disk(first);
    Recovery recovery;
    LogCapture logs(LOG_ERROR);
    for (const std::string& want : {copy + ".incomplete-3", copy + ".incomplete-4"}) {
        ASSERT_TRUE(writeFile(copy, part));
        EXPECT_EQ(recovery.keepIncompleteImageFile(copy, &disk), want);
        EXPECT_EQ(fileBytes(want), part);
        EXPECT_FALSE(fs::exists(copy)) << "not left looking whole";
    }
    EXPECT_EQ(logs.count("error: " + first + " not written: it is a device or a file that vorn is reading\n"), 2);
    EXPECT_EQ(fileBytes(first), read);
    EXPECT_EQ(fileBytes(copy + ".incomplete-2"), other);

    for (unsigned n = 5; n <= 100; ++n) ASSERT_TRUE(writeFile(copy + ".incomplete-" + std::to_string(n), other));
    ASSERT_TRUE(writeFile(copy, part));
    EXPECT_EQ(recovery.keepIncompleteImageFile(copy, &disk), "");
    EXPECT_EQ(fileBytes(copy), part);
    EXPECT_EQ(fileBytes(copy + ".incomplete-100"), other);
    EXPECT_EQ(fileBytes(first), read);
}

}  // namespace
}  // namespace vorn
