#include "storage/ImageDisk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "LogCapture.h"
#include "TestMedia.h"
#include "storage/CachedDisk.h"
#include "storage/PartitionDisk.h"
#include "storage/StorageTestUtil.h"

namespace vorn::test {
namespace {

// A file that ends inside a block (a copy that stopped short) counts that block too.
TEST(ImageDiskGeometry, BlocksOfAwkwardSizesIsoByXorrisoAndFilesThatAreNoImage) {
    const struct { const char* name; u32 blockSize; u64 blocks; bool opens; } cases[] = {
        {"rand_511.img", 512, 1, true}, {"rand_1000.img", 512, 2, true}, {"rand_4097.img", 512, 9, true},
        {"rand_1m333.img", 512, 2049, true}, {"sparse_4g.img", 512, 8390660, true}, {"small.iso", 2048, 189, true},
        {"iso_cut_34775.img", 512, 68, true},  // the volume descriptor cut short: never ISO
        {"iso_cut_34776.img", 2048, 17, true}, {"no_such_image.img", 512, 0, false}, {"same_a", 512, 0, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture logs;
        ImageDisk disk(mediaPath(c.name));
        EXPECT_EQ(disk.getName() + disk.getPath(), "Image file (" + std::string(c.name) + ")");  // no path
        EXPECT_EQ(std::pair(disk.getBlockSize(), disk.getBlockCount()), std::pair(c.blockSize, c.blocks));
        EXPECT_EQ(logs.has("error opening file " + mediaPath(c.name) + "\n"), !c.opens);
        EXPECT_EQ(disk.open(false), c.opens);
    }
    // A FIFO waits for a writer when opened or read, a character device may too: no images. A
    // child stands for the image disk, so that a wait ends the child, not the test.
    const std::string fifo = ::testing::TempDir() + "vorn-image-fifo";
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/zero")}) {
        EXPECT_EXIT(
            {
                alarm(20);  // many times what an open takes
                LogCapture logs;
                ImageDisk disk(path);
                _exit(!disk.open(false) && disk.getBlockCount() == 0 && logs.has("error opening file " + path + "\n")
                          ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << path;
    }
    unlink(fifo.c_str());
}

// The last block of a file that ends inside it reads the file's bytes, then zeros.
TEST(ImageDiskRead, GivesTheFileBytesToTheLastBlockFailsPastItAndWhileClosed) {
    for (const char* name : {"rand_1000.img", "rand_4097.img", "rand_1m333.img", "rand_3m.img", "small.iso"}) {
        SCOPED_TRACE(name);
        const auto file = readFileBytes(mediaPath(name));
        ImageDisk disk(mediaPath(name));
        ASSERT_TRUE(disk.open(false));
        const u64 blocks = disk.getBlockCount(), bs = disk.getBlockSize(), tail = file.size() - (blocks - 1) * bs;
        std::vector<u8> buffer(blocks * bs + bs, 0xCC);
        ASSERT_TRUE(disk.read(1, u32(blocks * bs - 1), buffer.data()));  // partial first and last blocks
        EXPECT_EQ(0, memcmp(buffer.data(), file.data() + 1, file.size() - 1));
        EXPECT_EQ(std::count(buffer.begin() + file.size() - 1, buffer.begin() + blocks * bs - 1, 0),
                  long(blocks * bs - file.size()));
        std::fill(buffer.begin(), buffer.end(), 0xCC);  // a read past the last block gives what there is, then zeros
        EXPECT_FALSE(disk.readBlocks(blocks - 1, 2, buffer.data()));
        EXPECT_EQ(0, memcmp(buffer.data(), file.data() + (blocks - 1) * bs, tail));
        EXPECT_EQ(std::count(buffer.begin() + tail, buffer.begin() + 2 * bs, 0), long(2 * bs - tail));
        EXPECT_FALSE(disk.readBlocks(~u64(0) / bs, 2, buffer.data()));
        disk.close();
        EXPECT_FALSE(disk.readBlocks(0, 1, buffer.data()));  // nothing is read while the file is closed
        EXPECT_EQ(disk.getReadErrors(), 3u);
    }
}

// Partitions, found volumes and RAID members share the one read-only file.
TEST(ImageDiskOpen, OpensAreCountedSoOnlyTheLastCloseClosesTheFileAndNothingIsWritten) {
    const std::string path = mediaPath("rand_4097.img");
    const auto before = readFileBytes(path);
    ImageDisk disk(path);
    PartitionDisk part(&disk, 1, 7);
    auto* found = new PartitionDisk(&part, 2, 5);  // a volume found inside the partition, owned by it
    CachedDisk cache(&part, 65536, 4096);
    LogCapture logs;
    ASSERT_TRUE(part.addPartition(found));
    ASSERT_TRUE(disk.open(false));
    ASSERT_TRUE(cache.open(true));
    ASSERT_TRUE(found->open(true));
    ASSERT_TRUE(disk.openImpl(false));  // a RAID member opening the medium directly
    EXPECT_EQ(std::pair(disk.getOpenCount(), logs.count("open " + path + "\n")), std::pair(2u, 2));
    ASSERT_EQ(fdsOpenOn(path).size(), 1u);
    const int fd = fdsOpenOn(path)[0];
    EXPECT_EQ(std::pair(fcntl(fd, F_GETFL) & O_ACCMODE, fcntl(fd, F_GETFD)), std::pair(O_RDONLY, FD_CLOEXEC));
    std::vector<u8> zeros(4096);  // the partition's bytes through the cache, and no write anywhere
    EXPECT_TRUE(cache.read(1000, 2000, zeros.data()));
    EXPECT_TRUE(!memcmp(zeros.data(), before.data() + 1512, 2000));
    EXPECT_FALSE(cache.writeBlocks(0, 1, zeros.data()));
    EXPECT_FALSE(found->writeBlocksImpl(0, 1, zeros.data()));
    EXPECT_FALSE(disk.writeBlocks(0, 1, zeros.data()));
    found->close();
    cache.close();
    disk.closeImpl();
    part.cleanup();  // deletes the found volume, leaves the medium alone
    disk.close();
    EXPECT_TRUE(fdsOpenOn(path).empty());
    auto* other = new ImageDisk(path);
    ASSERT_TRUE(other->open(false));
    ASSERT_TRUE(other->openImpl(false));
    delete other;  // deleting an open disk closes its file
    EXPECT_TRUE(fdsOpenOn(path).empty());
    EXPECT_EQ(readFileBytes(path), before);
}

TEST(ImageDiskIdentity, EqualNamesAndSizesInDifferentFoldersAreTwoDisksOneFileIsOne) {
    ImageDisk a(mediaPath("same_a/same.img")), b(mediaPath("same_b/same.img"));
    EXPECT_NE(a.getId(), b.getId());
    const std::string absolute = std::filesystem::canonical(mediaPath("same_a/same.img")).string();
    EXPECT_EQ(a.getId(), "Disk_" + absolute + "_Image file (same.img)_128_512_512");
    EXPECT_EQ(ImageDisk(std::filesystem::relative(absolute).string()).getId(), a.getId());
}

}  // namespace
}  // namespace vorn::test
