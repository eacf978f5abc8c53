// Image-file disks over tool-made images: sizes, ISO detection, reads up to
// and past the end, images above 4 GiB, counted opens and identity.
#include "storage/ImageDisk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "TestMedia.h"
#include "LogCapture.h"
#include "storage/StorageTestUtil.h"

namespace vorn::test {
namespace {

constexpr u64 kSparseSize = 4294967296ULL + 1048576 + 1636;

TEST(ImageDiskGeometry, OneMebibyteImageHas2048BlocksOf512) {
    const std::string path = mediaPath("rand_1m.img");
    ImageDisk disk(path);
    EXPECT_EQ(disk.getBlockSize(), 512u);
    EXPECT_EQ(disk.getBlockCount(), 2048u);
    EXPECT_EQ(disk.getType(), DISK_TYPE_IMAGEFILE);
    EXPECT_EQ(disk.getName(), "Image file (rand_1m.img)");
    EXPECT_EQ(disk.getPath(), "");
    EXPECT_EQ(disk.getImagePath(), path);
    EXPECT_TRUE(disk.isWhole());
}

TEST(ImageDiskGeometry, APartialLastBlockIsNotCounted) {
    EXPECT_EQ(ImageDisk(mediaPath("rand_1000.img")).getBlockCount(), 1u);
    EXPECT_EQ(ImageDisk(mediaPath("rand_511.img")).getBlockCount(), 0u);
    EXPECT_EQ(ImageDisk(mediaPath("rand_4097.img")).getBlockCount(), 8u);
    EXPECT_EQ(ImageDisk(mediaPath("rand_1m333.img")).getBlockCount(), 2048u);
}

TEST(ImageDiskGeometry, AnIsoImageIsReadIn2048ByteBlocks) {
    const std::string path = mediaPath("small.iso");
    LogCapture logs;
    ImageDisk disk(path);
    EXPECT_TRUE(logs.has("ImageDisk::openImpl - identified as ISO image\n"));
    EXPECT_EQ(disk.getBlockSize(), 2048u);
    EXPECT_EQ(disk.getBlockCount(), std::filesystem::file_size(path) / 2048);
    EXPECT_TRUE(disk.isWhole());

    // Opening again finds the ISO again and marks it whole.
    disk.setWhole(false);
    ASSERT_TRUE(disk.open(false));
    EXPECT_EQ(disk.getBlockSize(), 2048u);
    EXPECT_TRUE(disk.isWhole());
    disk.close();
}

TEST(ImageDiskGeometry, IsoDescriptorCutShortIsNeverIso) {
    LogCapture logs;
    ImageDisk cut(mediaPath("iso_cut_34775.img"));
    EXPECT_EQ(cut.getBlockSize(), 512u);
    EXPECT_EQ(cut.getBlockCount(), 34775u / 512);
    EXPECT_FALSE(logs.has("ImageDisk::openImpl - identified as ISO image\n"));

    ImageDisk enough(mediaPath("iso_cut_34776.img"));
    EXPECT_EQ(enough.getBlockSize(), 2048u);
    EXPECT_EQ(enough.getBlockCount(), 16u);
}

TEST(ImageDiskGeometry, AMissingFileIsListedButNeverOpens) {
    LogCapture logs;
    const std::string path = mediaPath("no_such_image.img");
    ImageDisk disk(path);
    EXPECT_TRUE(logs.has("error opening file " + path + "\n"));
    EXPECT_EQ(disk.getName(), "Image file (no_such_image.img)");
    EXPECT_EQ(disk.getBlockSize(), 512u);
    EXPECT_EQ(disk.getBlockCount(), 0u);
    EXPECT_FALSE(disk.open(false));
    EXPECT_EQ(disk.getOpenCount(), 0u);
}

TEST(ImageDiskGeometry, AFolderIsNoImage) {
    LogCapture logs;
    ImageDisk disk(mediaPath("same_a"));
    EXPECT_TRUE(logs.has("error opening file " + mediaPath("same_a") + "\n"));
    EXPECT_EQ(disk.getBlockCount(), 0u);
    EXPECT_FALSE(disk.open(false));
}

TEST(ImageDiskRead, BlocksAndBytesAreTheFileContents) {
    for (const char* name : {"rand_1m333.img", "rand_3m.img", "rand_4097.img", "small.iso"}) {
        SCOPED_TRACE(name);
        const auto file = readFileBytes(mediaPath(name));
        ImageDisk disk(mediaPath(name));
        ASSERT_TRUE(disk.open(false));
        const u32 bs = disk.getBlockSize();
        const u64 usable = disk.getBlockCount() * bs;
        TestRandom random(31);
        std::vector<u8> buffer(64 * 2048);
        for (int i = 0; i < 200; ++i) {
            const u64 block = random.below(disk.getBlockCount());
            const u32 count = static_cast<u32>(1 + random.below(std::min<u64>(disk.getBlockCount() - block, 64)));
            ASSERT_TRUE(disk.readBlocks(block, count, buffer.data()));
            ASSERT_EQ(0, memcmp(buffer.data(), file.data() + block * bs, size_t(count) * bs));
            const u64 ofs = random.below(usable);
            const u32 len = static_cast<u32>(random.below(std::min<u64>(usable - ofs, buffer.size()) + 1));
            ASSERT_TRUE(disk.read(ofs, len, buffer.data()));
            ASSERT_EQ(0, memcmp(buffer.data(), file.data() + ofs, len));
        }
        EXPECT_EQ(disk.getReadErrors(), 0u);
        disk.close();
    }
}

TEST(ImageDiskRead, ThePartialLastBlockFailsWithOneReadErrorAndNoStaleBytes) {
    const auto file = readFileBytes(mediaPath("rand_1000.img"));
    ImageDisk disk(mediaPath("rand_1000.img"));
    ASSERT_TRUE(disk.open(false));
    std::vector<u8> buffer(1024, 0xCC);
    EXPECT_TRUE(disk.readBlocks(0, 1, buffer.data()));
    EXPECT_FALSE(disk.readBlocksImpl(1, 1, buffer.data()));
    EXPECT_EQ(disk.getReadErrors(), 1u);
    EXPECT_EQ(0, memcmp(buffer.data(), file.data() + 512, 488));
    EXPECT_TRUE(std::all_of(buffer.begin() + 488, buffer.begin() + 512, [](u8 b) { return b == 0; }));

    std::fill(buffer.begin(), buffer.end(), 0xCC);
    EXPECT_FALSE(disk.readBlocks(0, 2, buffer.data()));
    EXPECT_EQ(disk.getReadErrors(), 2u);
    EXPECT_EQ(0, memcmp(buffer.data(), file.data(), 1000));
    EXPECT_EQ(buffer[1000], 0);
    EXPECT_EQ(buffer[1023], 0);
}

TEST(ImageDiskRead, BlocksPastTheEndFailAndCount) {
    ImageDisk disk(mediaPath("rand_1m.img"));
    ASSERT_TRUE(disk.open(false));
    std::vector<u8> buffer(1024, 0xCC);
    EXPECT_FALSE(disk.readBlocks(2048, 1, buffer.data()));
    EXPECT_FALSE(disk.readBlocks(~u64(0) / 512, 2, buffer.data()));
    EXPECT_EQ(disk.getReadErrors(), 2u);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0), 1024);
    // Byte reads past the end are refused before any device read.
    EXPECT_FALSE(disk.read(2048 * 512 - 1, 2, buffer.data()));
    EXPECT_EQ(disk.getReadErrors(), 2u);
}

TEST(ImageDiskRead, AnImageAbove4GiBReadsItsLastBlockAndAcrossThe4GiBMark) {
    const std::string path = mediaPath("sparse_4g.img");
    ASSERT_EQ(std::filesystem::file_size(path), kSparseSize);
    ImageDisk disk(path);
    ASSERT_EQ(disk.getBlockCount(), kSparseSize / 512);
    ASSERT_TRUE(disk.open(false));

    const u64 last = disk.getBlockCount() - 1;
    std::vector<u8> block(512);
    ASSERT_TRUE(disk.readBlocks(last, 1, block.data()));
    for (u32 i = 0; i < 512; ++i) ASSERT_EQ(block[i], offsetWordByte(last * 512 + i)) << i;

    const u64 mark = 4294967296ULL;
    std::vector<u8> bytes(4096);
    ASSERT_TRUE(disk.read(mark - 2000, 4096, bytes.data()));
    for (u32 i = 0; i < 4096; ++i) ASSERT_EQ(bytes[i], offsetWordByte(mark - 2000 + i)) << i;

    // The partial block after the last one fails.
    EXPECT_FALSE(disk.readBlocksImpl(last + 1, 1, block.data()));
    EXPECT_EQ(disk.getReadErrors(), 1u);
    disk.close();
}

TEST(ImageDiskRead, NothingIsReadWhileTheFileIsClosed) {
    ImageDisk disk(mediaPath("rand_1m.img"));
    std::vector<u8> buffer(512, 0xCC);
    EXPECT_FALSE(disk.readBlocks(0, 1, buffer.data()));
    EXPECT_EQ(disk.getReadErrors(), 1u);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0), 512);
    ASSERT_TRUE(disk.open(false));
    EXPECT_TRUE(disk.readBlocks(0, 1, buffer.data()));
    disk.close();
    EXPECT_FALSE(disk.readBlocks(0, 1, buffer.data()));
    EXPECT_EQ(disk.getReadErrors(), 2u);
}

TEST(ImageDiskWrite, WritesAreRefusedAndTheFileUnchanged) {
    const std::string path = mediaPath("rand_1000.img");
    const auto before = readFileBytes(path);
    ImageDisk disk(path);
    ASSERT_TRUE(disk.open(true));
    std::vector<u8> zeros(512);
    EXPECT_FALSE(disk.writeBlocks(0, 1, zeros.data()));
    disk.close();
    EXPECT_EQ(readFileBytes(path), before);
}

TEST(ImageDiskOpen, TheFileIsOpenReadOnlyAndCloseOnExecOnlyWhileOpen) {
    const std::string path = mediaPath("rand_4097.img");
    ImageDisk disk(path);
    EXPECT_TRUE(fdsOpenOn(path).empty());
    ASSERT_TRUE(disk.open(false));
    const auto fds = fdsOpenOn(path);
    ASSERT_EQ(fds.size(), 1u);
    EXPECT_EQ(fcntl(fds[0], F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_TRUE(fcntl(fds[0], F_GETFD) & FD_CLOEXEC);
    disk.close();
    EXPECT_TRUE(fdsOpenOn(path).empty());
}

TEST(ImageDiskOpen, AMemberOpeningTheMediumDirectlySharesTheFile) {
    const std::string path = mediaPath("rand_4097.img");
    ImageDisk disk(path);
    LogCapture logs;
    ASSERT_TRUE(disk.open(false));
    // A partition opens its parent's medium through openImpl, uncounted by
    // the parent's open count, and closes it through closeImpl.
    ASSERT_TRUE(disk.openImpl(false));
    EXPECT_EQ(fdsOpenOn(path).size(), 1u);
    disk.closeImpl();
    std::vector<u8> buffer(512);
    EXPECT_TRUE(disk.readBlocks(3, 1, buffer.data()));
    EXPECT_EQ(logs.count("close\n"), 0);
    disk.close();
    EXPECT_EQ(logs.count("close\n"), 1);
    EXPECT_EQ(logs.count("open " + path + "\n"), 2);
    EXPECT_TRUE(fdsOpenOn(path).empty());
    EXPECT_FALSE(disk.readBlocks(3, 1, buffer.data()));
}

TEST(ImageDiskOpen, DeletingAnOpenDiskClosesItsFile) {
    const std::string path = mediaPath("rand_4097.img");
    auto* disk = new ImageDisk(path);
    ASSERT_TRUE(disk->open(false));
    ASSERT_TRUE(disk->openImpl(false));
    delete disk;
    EXPECT_TRUE(fdsOpenOn(path).empty());
}

TEST(ImageDiskIdentity, EqualNamesAndSizesInDifferentFoldersAreDifferentDisks) {
    ImageDisk a(mediaPath("same_a/same.img"));
    ImageDisk b(mediaPath("same_b/same.img"));
    EXPECT_EQ(a.getName(), b.getName());
    EXPECT_EQ(a.getBlockCount(), b.getBlockCount());
    EXPECT_NE(a.getId(), b.getId());
    const std::string absolute = std::filesystem::canonical(mediaPath("same_a/same.img")).string();
    EXPECT_EQ(a.getId(), "Disk_" + absolute + "_Image file (same.img)_128_512_512");
}

TEST(ImageDiskIdentity, RelativeAndAbsolutePathsOfOneFileAreOneDisk) {
    const std::string absolute = std::filesystem::canonical(mediaPath("rand_1m.img")).string();
    const std::string relative = std::filesystem::relative(absolute).string();
    ASSERT_NE(relative, absolute);
    EXPECT_EQ(ImageDisk(relative).getId(), ImageDisk(absolute).getId());
}

}  // namespace
}  // namespace vorn::test
