// The Disk base: range checks, block reads with raw-sector conversion,
// counted opens, partitions, identifiers, dumps and forwarding.
#include "storage/Disk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "storage/FailingDisk.h"
#include "LogCapture.h"
#include "storage/StorageTestUtil.h"

namespace vorn::test {
namespace {

// The simplest wrapper: a Disk whose inner disk is set and that has no
// device of its own.
class Wrapper : public Disk {
public:
    explicit Wrapper(Disk* inner) { m_innerDisk = inner; }
    bool openImpl(bool) override { return false; }
    void closeImpl() override {}
    bool readBlocksImpl(u64, u32, void*) override { return false; }
    bool writeBlocksImpl(u64, u32, const void*) override { return false; }
};

// A stand-in partition with an identifier of its own choosing.
class NamedDisk : public FailingDisk {
public:
    NamedDisk(const std::string& id, bool* deleted = nullptr)
        : FailingDisk(std::vector<u8>(1024)), m_id(id), m_deleted(deleted) {}
    ~NamedDisk() override {
        if (m_deleted) *m_deleted = true;
    }
    std::string getId() override { return m_id; }

private:
    std::string m_id;
    bool* m_deleted;
};

std::vector<u8> rawSectors(u32 count, u64 seed) { return patternBytes(size_t(count) * 2352, seed); }

TEST(DiskRead, ZeroBytesInsideTheDiskSucceedsAndTouchesNothing) {
    FailingDisk disk(patternBytes(4096, 1));
    ASSERT_TRUE(disk.open(false));
    u8 buffer[4] = {0x5A, 0x5A, 0x5A, 0x5A};
    EXPECT_TRUE(disk.read(100, 0, buffer));
    EXPECT_EQ(buffer[0], 0x5A);
    EXPECT_EQ(disk.requestCount(), 0u);
}

TEST(DiskRead, EndingExactlyAtTheEndSucceedsOneByteFurtherFails) {
    const auto bytes = patternBytes(8 * 512, 2);
    FailingDisk disk(bytes);
    ASSERT_TRUE(disk.open(false));
    std::vector<u8> buffer(700, 0x5A);
    ASSERT_TRUE(disk.read(4096 - 700, 700, buffer.data()));
    EXPECT_EQ(0, memcmp(buffer.data(), bytes.data() + 4096 - 700, 700));

    std::fill(buffer.begin(), buffer.end(), 0x5A);
    disk.clearRequests();
    LogCapture logs;
    EXPECT_FALSE(disk.read(4096 - 699, 700, buffer.data()));
    EXPECT_TRUE(logs.has("error at Disk::read: incorrect parameters (ofs=3397, size=700)\n"));
    EXPECT_EQ(disk.requestCount(), 0u);
    EXPECT_EQ(buffer[0], 0x5A);
}

TEST(DiskRead, EightMebibytesAreAcceptedOneByteMoreIsRefused) {
    const auto bytes = patternBytes(9u << 20, 3);
    FailingDisk disk(bytes);
    ASSERT_TRUE(disk.open(false));
    std::vector<u8> buffer(Disk::kMaxReadSize + 1);
    ASSERT_TRUE(disk.read(1, Disk::kMaxReadSize, buffer.data()));
    EXPECT_EQ(0, memcmp(buffer.data(), bytes.data() + 1, Disk::kMaxReadSize));
    LogCapture logs;
    EXPECT_FALSE(disk.read(0, Disk::kMaxReadSize + 1, buffer.data()));
    EXPECT_TRUE(logs.has("error at Disk::read: incorrect parameters (ofs=0, size=8388609)\n"));
}

TEST(DiskRead, NullBufferIsRefused) {
    FailingDisk disk(patternBytes(1024, 4));
    LogCapture logs;
    EXPECT_FALSE(disk.read(0, 1, nullptr));
    EXPECT_TRUE(logs.has("Disk::read parameter mismatch\n"));
}

TEST(DiskRead, BlockSizeZeroFailsWithIncorrectParameters) {
    FailingDisk disk(patternBytes(1024, 5));
    disk.setBlockSize(0);
    disk.setBlockCount(100);
    ASSERT_TRUE(disk.open(false));
    u8 buffer[16];
    LogCapture logs;
    EXPECT_FALSE(disk.read(0, 16, buffer));
    EXPECT_TRUE(logs.has("error at Disk::read: incorrect parameters (ofs=0, size=16)\n"));
    EXPECT_EQ(disk.requestCount(), 0u);
}

TEST(DiskRead, RangeCheckDoesNotWrapAround) {
    FailingDisk disk(patternBytes(1024, 6));
    disk.setBlockCount(std::numeric_limits<u64>::max() / 4);  // size in bytes overflows 64 bits
    ASSERT_TRUE(disk.open(false));
    u8 buffer[100];
    LogCapture logs;
    EXPECT_FALSE(disk.read(std::numeric_limits<u64>::max() - 10, 100, buffer));
    EXPECT_TRUE(logs.hasPrefix("error at Disk::read: incorrect parameters"));
    EXPECT_EQ(disk.requestCount(), 0u);
}

TEST(DiskRead, GivesTheMediumBytesForManyOffsetsAndLengths) {
    const auto bytes = patternBytes(64 * 512, 7);
    FailingDisk disk(bytes);
    ASSERT_TRUE(disk.open(false));
    TestRandom random(7);
    std::vector<u8> buffer(bytes.size());
    for (int i = 0; i < 500; ++i) {
        const u64 ofs = random.below(bytes.size());
        const u32 len = static_cast<u32>(random.below(std::min<u64>(bytes.size() - ofs, 3000) + 1));
        ASSERT_TRUE(disk.read(ofs, len, buffer.data())) << ofs << "+" << len;
        ASSERT_EQ(0, memcmp(buffer.data(), bytes.data() + ofs, len)) << ofs << "+" << len;
    }
}

TEST(DiskRead, FailsExactlyWhenItTouchesABadBlockAndHandsOutNoStaleBytes) {
    const auto bytes = patternBytes(16 * 512, 8);
    FailingDisk disk(bytes);
    disk.failBlock(5);
    ASSERT_TRUE(disk.open(false));
    std::vector<u8> buffer(2048, 0xCC);
    EXPECT_TRUE(disk.read(4 * 512, 512, buffer.data()));
    EXPECT_TRUE(disk.read(6 * 512, 1024, buffer.data()));
    EXPECT_FALSE(disk.read(5 * 512 + 511, 1, buffer.data()));

    std::fill(buffer.begin(), buffer.end(), 0xCC);
    EXPECT_FALSE(disk.read(3 * 512 + 100, 2048, buffer.data()));
    // What precedes the bad block is the medium's; nothing else is stale.
    EXPECT_EQ(0, memcmp(buffer.data(), bytes.data() + 3 * 512 + 100, 412));
    EXPECT_TRUE(std::all_of(buffer.begin() + 412, buffer.end(), [](u8 b) { return b == 0; }));
    EXPECT_GE(disk.getReadErrors(), 2u);
}

TEST(DiskRawSectors, BlockSize2352ReadsTheDataPartOfEachSector) {
    const auto raw = rawSectors(40, 9);
    FailingDisk disk(raw, 2352);
    EXPECT_EQ(disk.getBlockSize(), 2048u);
    EXPECT_EQ(disk.getRawBlockSize(), 2352u);
    EXPECT_EQ(disk.getDataOffset(), 16u);
    EXPECT_EQ(disk.getBlockCount(), 40u);
    ASSERT_TRUE(disk.open(false));

    std::vector<u8> block(2048);
    ASSERT_TRUE(disk.readBlocks(7, 1, block.data()));
    EXPECT_EQ(0, memcmp(block.data(), raw.data() + 7 * 2352 + 16, 2048));

    std::vector<u8> three(3 * 2048);
    ASSERT_TRUE(disk.readBlocks(38, 2, three.data()));
    EXPECT_EQ(0, memcmp(three.data() + 2048, raw.data() + 39 * 2352 + 16, 2048));

    // Byte reads see the logical stream: sector data back to back.
    std::vector<u8> bytes(3000);
    ASSERT_TRUE(disk.read(2048 * 3 - 1000, 3000, bytes.data()));
    EXPECT_EQ(0, memcmp(bytes.data(), raw.data() + 2 * 2352 + 16 + 1048, 1000));
    EXPECT_EQ(0, memcmp(bytes.data() + 1000, raw.data() + 3 * 2352 + 16, 2000));
}

TEST(DiskRawSectors, MoreThan16384SectorsAreRefused) {
    FailingDisk disk(rawSectors(4, 10), 2352);
    disk.setBlockCount(20000);
    ASSERT_TRUE(disk.open(false));
    std::vector<u8> buffer(size_t(16385) * 2048);
    LogCapture logs;
    EXPECT_FALSE(disk.readBlocks(0, 16385, buffer.data()));
    EXPECT_TRUE(logs.has("ERROR: Disk::readBlocks - paramter mismatch!\n"));
    EXPECT_EQ(disk.requestCount(), 0u);
}

TEST(DiskRawSectors, AFailedReadCopiesNothingFromTheSectorBuffer) {
    FailingDisk disk(rawSectors(4, 11), 2352);
    disk.failBlock(2);
    ASSERT_TRUE(disk.open(false));
    std::vector<u8> buffer(4 * 2048, 0xCC);
    EXPECT_FALSE(disk.readBlocks(0, 4, buffer.data()));
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0), static_cast<long>(buffer.size()));
}

TEST(DiskRawSectors, WritesAreRefusedWhenRawAndLogicalSizesDiffer) {
    FailingDisk disk(rawSectors(4, 12), 2352);
    std::vector<u8> buffer(2048);
    LogCapture logs;
    EXPECT_FALSE(disk.writeBlocks(0, 1, buffer.data()));
    EXPECT_TRUE(logs.has("ERROR: Disk::writeBlocks - feature not yet supported!\n"));
}

TEST(DiskBlockSize, DefaultsTo512WithNothingElseSet) {
    Wrapper bare(nullptr);
    EXPECT_EQ(bare.getBlockSize(), 512u);
    EXPECT_EQ(bare.getRawBlockSize(), 512u);
    EXPECT_EQ(bare.getDataOffset(), 0u);
    EXPECT_EQ(bare.getBlockCount(), 0u);
    EXPECT_EQ(bare.getType(), DISK_TYPE_UNKNOWN);
    EXPECT_TRUE(bare.isWhole());
    EXPECT_FALSE(bare.isLostVolume());
}

TEST(DiskBlockSize, SettingItOnAWrapperChangesTheInnerDisk) {
    FailingDisk inner(patternBytes(8192, 13), 2048);
    Wrapper wrapper(&inner);
    wrapper.setBlockSize(512);
    EXPECT_EQ(inner.getBlockSize(), 512u);
    EXPECT_EQ(inner.getRawBlockSize(), 512u);
    EXPECT_EQ(wrapper.getBlockSize(), 512u);
}

TEST(DiskOpen, OpensAreCountedAndOnlyTheLastCloseClosesTheMedium) {
    FailingDisk disk(patternBytes(1024, 14));
    ASSERT_TRUE(disk.open(false));
    ASSERT_TRUE(disk.open(true));
    EXPECT_EQ(disk.getOpenCount(), 2u);
    EXPECT_EQ(disk.implOpenCount(), 1u);
    disk.close();
    EXPECT_EQ(disk.implOpenCount(), 1u);
    u8 buffer[512];
    EXPECT_TRUE(disk.readBlocks(0, 1, buffer));
    disk.close();
    EXPECT_EQ(disk.getOpenCount(), 0u);
    EXPECT_EQ(disk.implOpenCount(), 0u);
    disk.close();
    EXPECT_EQ(disk.getOpenCount(), 0u);
    EXPECT_FALSE(disk.readBlocks(0, 1, buffer));
}

TEST(DiskOpen, AFailedOpenLeavesTheCountAtZero) {
    FailingDisk source(patternBytes(1024, 15));
    Wrapper failingOpen(nullptr);  // its openImpl fails
    EXPECT_FALSE(failingOpen.open(false));
    EXPECT_EQ(failingOpen.getOpenCount(), 0u);
}

TEST(DiskOpen, AWrapperOpensAndClosesTheInnerDisk) {
    FailingDisk inner(patternBytes(1024, 16));
    Wrapper wrapper(&inner);
    ASSERT_TRUE(wrapper.open(false));
    EXPECT_EQ(inner.getOpenCount(), 1u);
    EXPECT_EQ(wrapper.getOpenCount(), 1u);
    wrapper.close();
    EXPECT_EQ(inner.getOpenCount(), 0u);
}

TEST(DiskPartitions, AnEqualIdentifierIsRefusedAndTheFirstKept) {
    FailingDisk disk(patternBytes(1024, 17));
    auto* first = new NamedDisk("P1");
    NamedDisk second("P1");
    LogCapture logs;
    EXPECT_TRUE(disk.addPartition(first));
    EXPECT_FALSE(disk.addPartition(&second));
    EXPECT_EQ(disk.getPartitionCount(), 1u);
    EXPECT_EQ(disk.getPartition(0), first);
    EXPECT_FALSE(first->isWhole());
    EXPECT_FALSE(second.isWhole());
    EXPECT_EQ(logs.count("DiskManager::addPartition P1\n"), 2);
    EXPECT_TRUE(logs.has("DiskManager::addPartition - partition already in list: P1\n"));
    EXPECT_EQ(disk.findPartition("P1"), first);
    EXPECT_EQ(disk.findPartition("P2"), nullptr);
    EXPECT_EQ(disk.getPartition(1), nullptr);
}

TEST(DiskPartitions, TheDiskDeletesItsPartitions) {
    bool deleted = false;
    {
        FailingDisk disk(patternBytes(1024, 18));
        ASSERT_TRUE(disk.addPartition(new NamedDisk("P", &deleted)));
        disk.deletePartitions();
        EXPECT_TRUE(deleted);
        EXPECT_EQ(disk.getPartitionCount(), 0u);
    }
    deleted = false;
    {
        Wrapper bare(nullptr);
        ASSERT_TRUE(bare.addPartition(new NamedDisk("P", &deleted)));
    }
    EXPECT_TRUE(deleted);
}

TEST(DiskPartitions, CleanupClosesAndDeletesButNotThroughAWrapper) {
    bool deleted = false;
    FailingDisk disk(patternBytes(1024, 19));
    ASSERT_TRUE(disk.open(false));
    ASSERT_TRUE(disk.addPartition(new NamedDisk("P", &deleted)));
    Wrapper wrapper(&disk);
    wrapper.cleanup();
    EXPECT_FALSE(deleted);
    EXPECT_EQ(disk.getOpenCount(), 1u);
    disk.cleanup();
    EXPECT_TRUE(deleted);
    EXPECT_EQ(disk.getOpenCount(), 0u);
}

TEST(DiskIdentity, IdentifierJoinsPathNameAndSizes) {
    FailingDisk disk(patternBytes(2048 * 512, 20));
    EXPECT_EQ(disk.getId(), "Disk__FailingDisk_2048_512_512");
    FailingDisk cd(rawSectors(3, 21), 2352);
    cd.setName("cd");
    EXPECT_EQ(cd.getId(), "Disk__cd_3_2048_2352");
}

TEST(DiskIdentity, InnermostDiskFollowsWrappersToTheMedium) {
    FailingDisk medium(patternBytes(1024, 22));
    Wrapper inner(&medium);
    Wrapper outer(&inner);
    EXPECT_EQ(getInnermostDisk(&outer), &medium);
    EXPECT_EQ(getInnermostDisk(&medium), &medium);
    EXPECT_EQ(getInnermostDisk(nullptr), nullptr);
    EXPECT_EQ(outer.getInnerDisk(), &inner);
    EXPECT_EQ(medium.getInnerDisk(), &medium);
}

TEST(DiskForwarding, AWrapperAnswersAndActsAsTheDiskItWraps) {
    FailingDisk medium(patternBytes(4096, 23));
    Wrapper wrapper(&medium);
    wrapper.setName("renamed");
    wrapper.setInterface("USB");
    wrapper.setType(DISK_TYPE_FIXED);
    wrapper.setLastSessionOfs(1234);
    wrapper.setBlockCount(6);
    wrapper.setWhole(false);
    wrapper.setLostVolume(true);
    wrapper.addReadErrors(3);
    EXPECT_EQ(medium.getName(), "renamed");
    EXPECT_EQ(medium.getInterface(), "USB");
    EXPECT_EQ(medium.getType(), DISK_TYPE_FIXED);
    EXPECT_EQ(medium.getLastSessionOfs(), 1234u);
    EXPECT_EQ(medium.getBlockCount(), 6u);
    EXPECT_FALSE(medium.isWhole());
    EXPECT_TRUE(medium.isLostVolume());
    EXPECT_EQ(medium.getReadErrors(), 3u);
    EXPECT_EQ(wrapper.getId(), medium.getId());
    EXPECT_EQ(wrapper.getSizeString(), medium.getSizeString());

    ASSERT_TRUE(wrapper.open(false));
    std::vector<u8> viaWrapper(1000), direct(1000);
    ASSERT_TRUE(wrapper.read(1000, 1000, viaWrapper.data()));
    ASSERT_TRUE(medium.read(1000, 1000, direct.data()));
    EXPECT_EQ(viaWrapper, direct);
    EXPECT_TRUE(wrapper.addPartition(new NamedDisk("X")));
    EXPECT_EQ(medium.getPartitionCount(), 1u);
    EXPECT_EQ(wrapper.getPartitionCount(), 1u);
}

TEST(DiskDump, DescribesTheDiskThenEachPartition) {
    FailingDisk disk(patternBytes(2048 * 512, 24));
    disk.setType(DISK_TYPE_FIXED);
    disk.setInterface("SATA");
    auto* part = new FailingDisk(patternBytes(1536, 25));
    part->setName("p0");
    ASSERT_TRUE(disk.addPartition(part));
    LogCapture logs(LOG_INFO);
    disk.dump();
    ASSERT_EQ(logs.lines.size(), 3u);
    EXPECT_EQ(logs.lines[0],
              "disk name=FailingDisk, path=, size=1.00 M, type=Fixed, whole=1, interface=SATA, "
              "id=Disk__FailingDisk_2048_512_512\n");
    EXPECT_EQ(logs.lines[1], "     partition 0: ");
    EXPECT_EQ(logs.lines[2], "disk name=p0, path=, size=1.50 K, type=Unknown, whole=0, interface=, id=Disk__p0_3_512_512\n");
}

}  // namespace
}  // namespace vorn::test
