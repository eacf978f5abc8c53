#include "storage/Disk.h"

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "storage/FailingDisk.h"
#include "storage/StorageTestUtil.h"

namespace vorn::test {
namespace {

struct Wrapper : Disk {  // a Disk over an inner disk, with no device of its own
    explicit Wrapper(Disk* inner) { innerDisk = inner; }
    bool openImpl(bool) override { return false; }
    void closeImpl() override {}
    bool readBlocksImpl(u64, u32, void*) override { return false; }
    bool writeBlocksImpl(u64, u32, const void*) override { return false; }
};

TEST(DiskRead, RefusesRequestsOutsideTheDiskWithoutWrappingOrTouchingTheDevice) {
    const u64 kMax = ~u64(0), kEnd = 9 << 20;  // the size of the bytes
    const struct { u32 blockSize; u64 blockCount, ofs; u32 size; bool ok; } cases[] = {  // blockCount 0: the bytes'
        {512, 0, 100, 0, true}, {512, 0, kEnd - 700, 700, true}, {512, 0, kEnd - 699, 700, false},
        {512, 0, 1, Disk::kMaxReadSize, true}, {512, 0, 0, Disk::kMaxReadSize + 1, false}, {0, 100, 0, 16, false},
        {512, kMax / 4, kMax - 10, 100, false}};
    const auto bytes = patternBytes(kEnd, 1);
    std::vector<u8> buffer(Disk::kMaxReadSize + 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.blockSize << " " << c.ofs << "+" << c.size);
        FailingDisk disk(bytes);
        disk.setBlockSize(c.blockSize);
        if (c.blockCount) disk.setBlockCount(c.blockCount);
        ASSERT_TRUE(disk.open(false));
        buffer[0] = 0x5A;
        LogCapture logs;
        EXPECT_EQ(disk.read(c.ofs, c.size, buffer.data()), c.ok);
        if (c.ok) { EXPECT_EQ(memcmp(buffer.data(), bytes.data() + c.ofs, c.size), 0); }
        if (!c.ok) { EXPECT_EQ(std::pair(buffer[0], disk.requestCount()), std::pair(u8(0x5A), size_t(0))); }
    }
}

TEST(DiskRead, FailsExactlyWhenItTouchesABadBlockAndHandsOutOnlyMediumBytesOrZeros) {
    const auto bytes = patternBytes(32 * 512, 7);
    FailingDisk disk(bytes);
    disk.failBlock(5);
    ASSERT_TRUE(disk.open(false));
    TestRandom random(7);
    std::vector<u8> buffer(3000);
    for (int i = 0; i < 500; ++i) {
        const u64 ofs = random.below(13 * 512), len = random.below(3000) + 1, errors = disk.getReadErrors();
        const bool bad = ofs < 6 * 512 && ofs + len > 5 * 512;
        SCOPED_TRACE(testing::Message() << ofs << "+" << len);
        std::fill(buffer.begin(), buffer.end(), 0xCC);
        ASSERT_EQ(disk.read(ofs, u32(len), buffer.data()), !bad);
        EXPECT_EQ(disk.getReadErrors() > errors, bad);
        for (u32 k = 0; k < len; ++k) ASSERT_TRUE(buffer[k] == bytes[ofs + k] || (bad && buffer[k] == 0)) << k;
    }
}

TEST(DiskRawSectors, BlockSize2352ReadsTheDataPartOfEachSectorAndNothingOfAFailedRead) {
    const auto raw = patternBytes(40 * 2352, 9);
    FailingDisk disk(raw, 2352);
    ASSERT_TRUE(disk.open(false));
    std::vector<u8> bytes(3000), big(size_t(16385) * 2048, 0xCC);
    ASSERT_TRUE(disk.read(2048 * 3 - 1000, 3000, bytes.data()));  // sector data back to back
    EXPECT_EQ(0, memcmp(bytes.data(), raw.data() + 2 * 2352 + 16 + 1048, 1000));
    EXPECT_EQ(0, memcmp(bytes.data() + 1000, raw.data() + 3 * 2352 + 16, 2000));
    disk.failBlock(2);
    EXPECT_FALSE(disk.readBlocks(1, 2, big.data()));
    EXPECT_EQ(std::count(big.begin(), big.begin() + 4096, 0), 4096);
    disk.setBlockCount(20000);
    LogCapture logs;
    EXPECT_FALSE(disk.readBlocks(0, 16385, big.data()));  // no temporary buffer sized by any count
}

TEST(DiskLifecycle, OpensAreCountedPartitionsUniqueAndOnlyTheDisksOwnCleanupCloses) {
    Wrapper bare(nullptr);  // nothing set: 512-byte blocks, never a block size of 0; its openImpl fails
    EXPECT_EQ(std::pair(bare.getBlockSize(), bare.getRawBlockSize()), std::pair(512u, 512u));
    EXPECT_FALSE(bare.open(false));
    EXPECT_FALSE(bare.getOpenCount());
    FailingDisk disk(patternBytes(1024, 14)), twin(patternBytes(512, 15));
    auto* first = new FailingDisk(patternBytes(512, 16));  // identified as twin is: by name and sizes
    LogCapture logs;
    EXPECT_TRUE(disk.addPartition(first));
    EXPECT_FALSE(disk.addPartition(&twin));
    EXPECT_FALSE(first->isWhole());
    ASSERT_TRUE(disk.open(false));
    ASSERT_TRUE(disk.open(true));
    Wrapper(&disk).cleanup();  // a wrapper's cleanup leaves the medium alone
    disk.close();
    EXPECT_EQ(std::tuple(disk.getPartitionCount(), disk.getOpenCount(), disk.implOpenCount()), std::tuple(1u, 1u, 1u));
    disk.cleanup();
    disk.close();  // one close too many changes nothing
    EXPECT_EQ(std::tuple(disk.getPartitionCount(), disk.getOpenCount(), disk.implOpenCount()), std::tuple(0u, 0u, 0u));
    EXPECT_FALSE(disk.readBlocks(0, 1, std::vector<u8>(512).data()));
}

// A lost-volumes scan adds a partition per volume it finds, thousands on a disk full of descriptor copies:
// each joins the list after one look at its own identifier, never by asking every listed one for its own,
// and a partition whose identifier is listed already is still refused.
TEST(DiskLifecycle, ThousandsOfPartitionsAreAddedWithOneIdentifierEach) {
    struct Counted : FailingDisk {
        Counted(int n, u64* calls) : FailingDisk(std::vector<u8>(512)), calls(calls) {
            setName("Part " + std::to_string(n));
        }
        std::string getId() override { return ++*calls, FailingDisk::getId(); }
        u64* calls;
    };
    constexpr int kCount = 4000;
    u64 calls = 0;
    FailingDisk disk(patternBytes(1024, 17));
    for (int n = 0; n < kCount; ++n) ASSERT_TRUE(disk.addPartition(new Counted(n, &calls)));
    Counted twin(kCount / 2, &calls);
    EXPECT_FALSE(disk.addPartition(&twin));
    EXPECT_EQ(disk.getPartitionCount(), u32(kCount));
    EXPECT_LE(calls, u64(kCount) + 1);
}

}  // namespace
}  // namespace vorn::test
