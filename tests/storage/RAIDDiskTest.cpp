#include "storage/RAIDDisk.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "storage/LogCapture.h"
#include "storage/MemoryDisk.h"

namespace vorn {
namespace {

using test::LogCapture;
using test::MemoryDisk;

constexpr u32 kBlock = 512;

// Member bytes whose every block says which member and block it is.
std::vector<u8> labelledBlocks(u32 member, u64 blocks) {
    std::vector<u8> bytes(blocks * kBlock);
    for (u64 b = 0; b < blocks; b++) {
        for (u32 i = 0; i < kBlock; i++) bytes[b * kBlock + i] = static_cast<u8>(member * 37 + b * 11 + i);
    }
    return bytes;
}

// A member whose failing blocks leave the caller's buffer untouched, as a
// careless device read might.
class StaleFailDisk : public MemoryDisk {
public:
    StaleFailDisk(std::vector<u8> bytes, u64 failFrom, u64 failTo)
        : MemoryDisk(std::move(bytes)), m_failFrom(failFrom), m_failTo(failTo) {}
    bool readBlocksImpl(u64 block, u32 count, void* buffer) override {
        if (block < m_failTo && block + count > m_failFrom) {
            addReadErrors(1);
            return false;
        }
        return MemoryDisk::readBlocksImpl(block, count, buffer);
    }

private:
    u64 m_failFrom;
    u64 m_failTo;
};

class RAIDDiskTest : public ::testing::Test {
protected:
    // n members of `blocks` labelled blocks each.
    void makeMembers(u32 n, u64 blocks) {
        members.clear();
        for (u32 i = 0; i < n; i++) {
            members.push_back(std::make_unique<MemoryDisk>(labelledBlocks(i, blocks), kBlock, "member" + std::to_string(i)));
        }
    }
    void assemble(const RAIDParameters& p, int missing = -1) {
        raid = std::make_unique<RAIDDisk>();
        raid->setParameters(p);
        for (u32 i = 0; i < members.size(); i++) {
            if (static_cast<int>(i) != missing) {
                ASSERT_TRUE(raid->setMember(i, members[i].get()));
            }
        }
    }
    std::vector<u8> readRaid(u64 block, u32 count) {
        std::vector<u8> out(static_cast<u64>(count) * kBlock, 0xAA);
        EXPECT_TRUE(raid->readBlocks(block, count, out.data()));
        return out;
    }
    std::vector<u8> memberBlocks(u32 m, u64 block, u32 count) {
        const auto& b = members[m]->bytes();
        return std::vector<u8>(b.begin() + block * kBlock, b.begin() + (block + count) * kBlock);
    }

    std::vector<std::unique_ptr<MemoryDisk>> members;
    std::unique_ptr<RAIDDisk> raid;
};

TEST_F(RAIDDiskTest, NewDiskIsAnEmptyRAIDNotWhole) {
    RAIDDisk disk;
    EXPECT_EQ(disk.getBlockSize(), 0u);
    EXPECT_EQ(disk.getBlockCount(), 0u);
    EXPECT_EQ(disk.getName(), "RAID");
    EXPECT_EQ(disk.getId(), "RAID");
    EXPECT_FALSE(disk.isWhole());
    EXPECT_TRUE(disk.isKindOf(KIND_RAID_DISK));
    EXPECT_TRUE(disk.isKindOf(KIND_DISK));
    EXPECT_FALSE(disk.isKindOf(KIND_PARTITION_DISK));
    for (u32 i = 0; i < 14; i++) EXPECT_EQ(disk.getMember(i), nullptr);
    EXPECT_EQ(disk.getParameters().getParityRotation(), PARITY_BACKWARD_DYN);
}

TEST_F(RAIDDiskTest, ThreeMembersBackwardDynamicReadRowByRow) {
    makeMembers(3, 512);
    RAIDParameters p(3, 0, 128, PARITY_BACKWARD_DYN);
    p.setFirstSector(0, 10);
    p.setFirstSector(1, 20);
    p.setFirstSector(2, 30);
    assemble(p);
    EXPECT_EQ(readRaid(0, 128), memberBlocks(0, 10, 128));
    EXPECT_EQ(readRaid(128, 128), memberBlocks(1, 20, 128));
    EXPECT_EQ(readRaid(256, 128), memberBlocks(2, 30 + 128, 128));
    EXPECT_EQ(readRaid(384, 128), memberBlocks(0, 10 + 128, 128));
}

TEST_F(RAIDDiskTest, MissingMemberIsRebuiltFromTheOthersByParity) {
    makeMembers(3, 512);
    assemble(RAIDParameters(3, 0, 128, PARITY_BACKWARD_DYN), 1);
    std::vector<u8> expected = memberBlocks(0, 0, 128);
    const std::vector<u8> other = memberBlocks(2, 0, 128);
    for (size_t i = 0; i < expected.size(); i++) expected[i] ^= other[i];
    EXPECT_EQ(readRaid(128, 128), expected);
    // Stripes of present members still come straight from them.
    EXPECT_EQ(readRaid(0, 128), memberBlocks(0, 0, 128));
}

TEST_F(RAIDDiskTest, ParityReadsEachPresentMemberAtItsOwnFirstSector) {
    makeMembers(3, 600);
    RAIDParameters p(3, 0, 64, PARITY_BACKWARD_DYN);
    p.setFirstSector(0, 63);
    p.setFirstSector(1, 0);
    p.setFirstSector(2, 7);
    assemble(p, 0);
    // Stripe 0 lies on missing member 0, row 0.
    std::vector<u8> expected = memberBlocks(1, 0, 64);
    const std::vector<u8> other = memberBlocks(2, 7, 64);
    for (size_t i = 0; i < expected.size(); i++) expected[i] ^= other[i];
    EXPECT_EQ(readRaid(0, 64), expected);
}

TEST_F(RAIDDiskTest, MissingMemberWithoutParityReadsAsZeros) {
    makeMembers(3, 300);
    assemble(RAIDParameters(3, 0, 16, PARITY_NONE), 1);
    EXPECT_EQ(readRaid(16, 16), std::vector<u8>(16 * kBlock, 0));
    EXPECT_EQ(readRaid(0, 16), memberBlocks(0, 0, 16));
    EXPECT_EQ(readRaid(32, 16), memberBlocks(2, 0, 16));
    EXPECT_EQ(readRaid(48, 16), memberBlocks(0, 16, 16));
}

TEST_F(RAIDDiskTest, TwoMissingMembersWithParityReadAsZerosAndSaySo) {
    makeMembers(4, 300);
    members.erase(members.begin() + 2, members.end());
    RAIDParameters p(4, 0, 16, PARITY_FORWARD);
    assemble(p);
    LogCapture capture(LOG_DEBUG);
    // Stripe 4 lies on member 2 in row 1; member 3 is missing too.
    EXPECT_EQ(readRaid(4 * 16, 16), std::vector<u8>(16 * kBlock, 0));
    EXPECT_TRUE(capture.has("Error: not enough disks to compute data by parity\n"));
}

TEST_F(RAIDDiskTest, RequestAcrossStripeBoundariesIsSplitInOrder) {
    makeMembers(3, 512);
    assemble(RAIDParameters(3, 5, 8, PARITY_FORWARD));
    std::vector<u8> whole;
    for (u64 b = 0; b < 100; b++) {
        const std::vector<u8> one = readRaid(b, 1);
        whole.insert(whole.end(), one.begin(), one.end());
    }
    EXPECT_EQ(readRaid(0, 100), whole);
    EXPECT_EQ(readRaid(3, 37), std::vector<u8>(whole.begin() + 3 * kBlock, whole.begin() + 40 * kBlock));
}

TEST_F(RAIDDiskTest, BlockCountIsSmallestMemberTimesDataMembers) {
    members.clear();
    members.push_back(std::make_unique<MemoryDisk>(std::vector<u8>(1000 * kBlock)));
    members.push_back(std::make_unique<MemoryDisk>(std::vector<u8>(1200 * kBlock)));
    members.push_back(std::make_unique<MemoryDisk>(std::vector<u8>(1100 * kBlock)));
    assemble(RAIDParameters(3, 0, 16, PARITY_FORWARD));
    EXPECT_EQ(raid->getBlockCount(), 2000u);
    raid->setParameters(RAIDParameters(3, 0, 16, PARITY_NONE));
    EXPECT_EQ(raid->getBlockCount(), 3000u);
    RAIDParameters shifted(3, 0, 16, PARITY_NONE);
    shifted.setFirstSector(1, 300);
    raid->setParameters(shifted);
    EXPECT_EQ(raid->getBlockCount(), 3 * 900u);
}

TEST_F(RAIDDiskTest, FirstSectorPastAMembersEndLeavesNoData) {
    makeMembers(3, 100);
    RAIDParameters p(3, 0, 16, PARITY_FORWARD);
    p.setFirstSector(1, 150);
    assemble(p);
    EXPECT_EQ(raid->getBlockCount(), 0u);
    // The members after it do not bring the count back.
    p.setFirstSector(1, 0);
    p.setFirstSector(0, 100);
    raid->setParameters(p);
    EXPECT_EQ(raid->getBlockCount(), 0u);
}

TEST_F(RAIDDiskTest, MembersAtOrAboveTheCountTakePartInNothing) {
    makeMembers(4, 100);
    assemble(RAIDParameters(3, 0, 16, PARITY_NONE));
    EXPECT_EQ(raid->getBlockCount(), 300u);
    members[3] = std::make_unique<MemoryDisk>(std::vector<u8>(10 * kBlock));
    ASSERT_TRUE(raid->setMember(3, members[3].get()));
    EXPECT_EQ(raid->getBlockCount(), 300u);
}

TEST_F(RAIDDiskTest, MemberWithAnotherBlockSizeIsRefused) {
    makeMembers(2, 10);
    assemble(RAIDParameters(2, 0, 8, PARITY_NONE));
    MemoryDisk cd(std::vector<u8>(2048 * 10), 2048);
    LogCapture capture(LOG_ERROR);
    EXPECT_FALSE(raid->setMember(1, &cd));
    EXPECT_TRUE(capture.has("Error: disk must have same block size (512)!\n"));
    EXPECT_EQ(raid->getMember(1), members[1].get());
    EXPECT_EQ(raid->getBlockSize(), kBlock);
}

TEST_F(RAIDDiskTest, FirstMemberSetsTheBlockSize) {
    RAIDDisk disk;
    MemoryDisk big(std::vector<u8>(4096 * 4), 4096);
    ASSERT_TRUE(disk.setMember(5, &big));
    EXPECT_EQ(disk.getBlockSize(), 4096u);
    EXPECT_EQ(disk.getRawBlockSize(), 4096u);
    EXPECT_EQ(disk.getDataOffset(), 0u);
}

TEST_F(RAIDDiskTest, BadMemberArgumentsAreRefused) {
    RAIDDisk disk;
    MemoryDisk d(std::vector<u8>(kBlock * 4));
    LogCapture capture(LOG_ERROR);
    EXPECT_FALSE(disk.setMember(14, &d));
    EXPECT_FALSE(disk.setMember(0, nullptr));
    EXPECT_FALSE(disk.setMember(0, &disk));
    EXPECT_EQ(capture.lines.size(), 3u);
    EXPECT_EQ(disk.getMember(14), nullptr);
}

TEST_F(RAIDDiskTest, UnusableParametersRefuseTheReadWithZeros) {
    makeMembers(3, 64);
    for (const RAIDParameters& p : {RAIDParameters(3, 0, 0, PARITY_NONE), RAIDParameters(3, 0, 70000, PARITY_NONE),
                                    RAIDParameters(3, 0, 16, 7), RAIDParameters()}) {
        assemble(p);
        LogCapture capture(LOG_ERROR);
        std::vector<u8> out(4 * kBlock, 0xAA);
        EXPECT_FALSE(raid->readBlocks(0, 4, out.data()));
        EXPECT_EQ(out, std::vector<u8>(4 * kBlock, 0));
        EXPECT_TRUE(capture.hasPrefix("error at RAIDDisk::readBlocksImpl: invalid RAID parameters"));
        EXPECT_EQ(raid->getBlockCount(), 0u);
    }
}

TEST_F(RAIDDiskTest, FailedMemberReadGivesZerosNotStaleData) {
    members.clear();
    members.push_back(std::make_unique<MemoryDisk>(labelledBlocks(0, 64)));
    members.push_back(std::make_unique<StaleFailDisk>(labelledBlocks(1, 64), 0, 64));
    assemble(RAIDParameters(2, 0, 8, PARITY_NONE));
    const std::vector<u8> out = readRaid(0, 16);
    EXPECT_EQ(std::vector<u8>(out.begin(), out.begin() + 8 * kBlock), memberBlocks(0, 0, 8));
    EXPECT_EQ(std::vector<u8>(out.begin() + 8 * kBlock, out.end()), std::vector<u8>(8 * kBlock, 0));
    EXPECT_EQ(members[1]->getReadErrors(), 1u);
}

TEST_F(RAIDDiskTest, FailedReadWhileRebuildingParityGivesZeros) {
    members.clear();
    members.push_back(std::make_unique<MemoryDisk>(labelledBlocks(0, 64)));
    members.push_back(std::make_unique<StaleFailDisk>(labelledBlocks(1, 64), 0, 64));
    members.push_back(std::make_unique<MemoryDisk>(labelledBlocks(2, 64)));
    assemble(RAIDParameters(3, 0, 8, PARITY_FORWARD), 0);
    EXPECT_EQ(readRaid(0, 8), std::vector<u8>(8 * kBlock, 0));
}

TEST_F(RAIDDiskTest, MembersAreOpenedAndClosedThroughTheirCounts) {
    makeMembers(3, 64);
    for (auto& m : members) m->setRequireOpen(true);
    assemble(RAIDParameters(3, 0, 8, PARITY_BACKWARD), 2);
    ASSERT_TRUE(raid->open(false));
    EXPECT_EQ(members[0]->getOpenCount(), 1u);
    EXPECT_EQ(members[1]->getOpenCount(), 1u);
    EXPECT_EQ(members[2]->getOpenCount(), 0u);
    // A member set while the set is open is opened with it.
    ASSERT_TRUE(raid->setMember(2, members[2].get()));
    EXPECT_EQ(members[2]->getOpenCount(), 1u);
    EXPECT_EQ(readRaid(0, 8), memberBlocks(0, 0, 8));
    raid->close();
    for (auto& m : members) EXPECT_EQ(m->getOpenCount(), 0u);
    // Closed members cannot be read: the pieces read as zeros.
    std::vector<u8> out(8 * kBlock, 0xAA);
    raid->readBlocksImpl(0, 8, out.data());
    EXPECT_EQ(out, std::vector<u8>(8 * kBlock, 0));
}

TEST_F(RAIDDiskTest, ShrinkingTheMemberCountClosesTheMembersLeftOut) {
    makeMembers(4, 64);
    assemble(RAIDParameters(4, 0, 8, PARITY_NONE));
    ASSERT_TRUE(raid->open(false));
    raid->setParameters(RAIDParameters(2, 0, 8, PARITY_NONE));
    EXPECT_EQ(members[1]->getOpenCount(), 1u);
    EXPECT_EQ(members[2]->getOpenCount(), 0u);
    EXPECT_EQ(members[3]->getOpenCount(), 0u);
    raid->close();
    EXPECT_EQ(members[0]->getOpenCount(), 0u);
}

TEST_F(RAIDDiskTest, WritesAreRefused) {
    makeMembers(2, 16);
    assemble(RAIDParameters(2, 0, 8, PARITY_NONE));
    std::vector<u8> data(kBlock);
    EXPECT_FALSE(raid->writeBlocks(0, 1, data.data()));
    LogCapture capture(LOG_ERROR);
    EXPECT_FALSE(raid->open(true));
    EXPECT_TRUE(capture.hasPrefix("error at RAIDDisk::openImpl"));
    EXPECT_EQ(members[0]->getOpenCount(), 0u);
}

// A disk that reads through the RAID set it belongs to.
class LoopDisk : public MemoryDisk {
public:
    LoopDisk() : MemoryDisk(std::vector<u8>(kBlock * 64)) {}
    Disk* set = nullptr;
    bool openImpl(bool write) override { return set->open(write); }
    bool readBlocksImpl(u64 block, u32 count, void* buffer) override { return set->readBlocks(block, count, buffer); }
};

TEST_F(RAIDDiskTest, MemberThatReadsThroughTheSetIsRefusedNotRecursed) {
    LoopDisk loop;
    RAIDDisk disk;
    loop.set = &disk;
    disk.setParameters(RAIDParameters(2, 0, 8, PARITY_NONE));
    MemoryDisk other(std::vector<u8>(kBlock * 64));
    ASSERT_TRUE(disk.setMember(0, &loop));
    ASSERT_TRUE(disk.setMember(1, &other));
    LogCapture capture(LOG_ERROR);
    disk.open(false);
    std::vector<u8> out(8 * kBlock, 0xAA);
    EXPECT_TRUE(disk.readBlocks(0, 8, out.data()));
    EXPECT_EQ(out, std::vector<u8>(8 * kBlock, 0));
    EXPECT_TRUE(capture.hasPrefix("error at RAIDDisk::readBlocksImpl: a member reads through this RAID set"));
    disk.close();
}

TEST_F(RAIDDiskTest, DumpListsMembersAndLayout) {
    makeMembers(3, 100);
    assemble(RAIDParameters(3, 0, 16, PARITY_FORWARD), 1);
    LogCapture capture(LOG_DEBUG);
    raid->dump();
    ASSERT_GE(capture.lines.size(), 6u);
    EXPECT_EQ(capture.lines[0], "-------------RAIDDisk dump-----------\n");
    EXPECT_TRUE(capture.hasPrefix("blockCount: 200 ("));
    EXPECT_TRUE(capture.has("blockSize: 512\n"));
    EXPECT_TRUE(capture.has("  idx00: member0\n"));
    EXPECT_TRUE(capture.has("  idx01 - missing\n"));
    EXPECT_TRUE(capture.has("  idx02: member2\n"));
    EXPECT_TRUE(capture.has("parityRotation: forward\n"));
}

TEST_F(RAIDDiskTest, ByteReadsGoThroughTheLayout) {
    makeMembers(2, 64);
    assemble(RAIDParameters(2, 0, 8, PARITY_NONE));
    std::vector<u8> out(kBlock);
    ASSERT_TRUE(raid->read(8 * kBlock + 100, kBlock, out.data()));
    const std::vector<u8> m1 = memberBlocks(1, 0, 2);
    EXPECT_EQ(out, std::vector<u8>(m1.begin() + 100, m1.begin() + 100 + kBlock));
}

}  // namespace
}  // namespace vorn
