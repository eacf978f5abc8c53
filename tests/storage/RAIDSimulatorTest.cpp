#include "storage/RAIDSimulator.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "storage/DiskManager.h"
#include "storage/LogCapture.h"
#include "storage/MemoryDisk.h"
#include "storage/RAIDDisk.h"
#include "storage/RAIDSimulatorDisk.h"

namespace vorn {
namespace {

using test::LogCapture;
using test::MemoryDisk;

constexpr u32 kBlock = 512;

std::vector<u8> numberedBlocks(u64 blocks) {
    std::vector<u8> bytes(blocks * kBlock);
    for (u64 b = 0; b < blocks; b++) {
        for (u32 i = 0; i < kBlock; i += 8) {
            const u64 v = b * 0x10001u + i;
            for (u32 k = 0; k < 8; k++) bytes[b * kBlock + i + k] = static_cast<u8>(v >> (8 * k));
        }
    }
    return bytes;
}

class RAIDSimulatorTest : public ::testing::Test {
protected:
    void simulate(u64 sourceBlocks, const RAIDParameters& p) {
        source = std::make_unique<MemoryDisk>(numberedBlocks(sourceBlocks), kBlock, "source");
        source->setRequireOpen(true);
        simulator = std::make_unique<RAIDSimulator>(&manager, source.get(), p);
    }
    Disk* member(u32 i) { return manager.findDiskById(fmtId(i)); }
    static std::string fmtId(u32 i) { return (i < 10 ? "SimDisk0" : "SimDisk") + std::to_string(i); }
    std::vector<u8> readMember(u32 i, u64 block, u32 count) {
        Disk* d = member(i);
        std::vector<u8> out(static_cast<u64>(count) * kBlock, 0xAA);
        EXPECT_TRUE(d->open(false));
        EXPECT_TRUE(d->readBlocks(block, count, out.data()));
        d->close();
        return out;
    }
    std::vector<u8> sourceBlocks(u64 block, u32 count) {
        const auto& b = source->bytes();
        return std::vector<u8>(b.begin() + block * kBlock, b.begin() + (block + count) * kBlock);
    }

    // The manager is declared last so that it deletes the members, which
    // read through the simulator and the source, before those go.
    std::unique_ptr<MemoryDisk> source;
    std::unique_ptr<RAIDSimulator> simulator;
    DiskManager manager;
};

TEST_F(RAIDSimulatorTest, MembersAreListedByNameWithTheSourceBlockSize) {
    simulate(1000, RAIDParameters(3, 0, 16, PARITY_NONE));
    ASSERT_EQ(manager.getDiskCount(), 3u);
    for (u32 i = 0; i < 3; i++) {
        Disk* d = manager.getDisk(i);
        EXPECT_EQ(d->getName(), fmtId(i));
        EXPECT_EQ(d->getId(), fmtId(i));
        EXPECT_EQ(d->getBlockSize(), kBlock);
    }
}

TEST_F(RAIDSimulatorTest, MembersHoldTheirShareOfTheWholeSource) {
    simulate(1000, RAIDParameters(3, 0, 16, PARITY_NONE));
    EXPECT_EQ(member(0)->getBlockCount(), 336u);  // 16 * ceil(334 / 16)
    manager.deleteDisks();
    simulate(1000, RAIDParameters(3, 0, 16, PARITY_FORWARD));
    EXPECT_EQ(member(0)->getBlockCount(), 512u);  // 16 * ceil(500 / 16)
    manager.deleteDisks();
    RAIDParameters shifted(3, 0, 16, PARITY_BACKWARD_DYN);
    shifted.setFirstSector(2, 63);
    simulate(1000, shifted);
    EXPECT_EQ(member(1)->getBlockCount(), 512u);
    EXPECT_EQ(member(2)->getBlockCount(), 63u + 512u);
}

TEST_F(RAIDSimulatorTest, NoParityMemberOneHoldsEveryOtherStripe) {
    simulate(200, RAIDParameters(2, 0, 16, PARITY_NONE));
    EXPECT_EQ(readMember(1, 0, 16), sourceBlocks(16, 16));
    EXPECT_EQ(readMember(1, 16, 16), sourceBlocks(48, 16));
    EXPECT_EQ(readMember(0, 16, 16), sourceBlocks(32, 16));
}

TEST_F(RAIDSimulatorTest, BlocksBelowTheFirstSectorAreZeros) {
    simulate(200, RAIDParameters(3, 63, 8, PARITY_FORWARD));
    EXPECT_EQ(readMember(0, 0, 63), std::vector<u8>(63 * kBlock, 0));
    // A read across the first sector: zeros, then stripe 0.
    const std::vector<u8> out = readMember(0, 60, 11);
    EXPECT_EQ(std::vector<u8>(out.begin(), out.begin() + 3 * kBlock), std::vector<u8>(3 * kBlock, 0));
    EXPECT_EQ(std::vector<u8>(out.begin() + 3 * kBlock, out.end()), sourceBlocks(0, 8));
}

TEST_F(RAIDSimulatorTest, ParityBlockIsTheXorOfTheRowsDataBlocks) {
    simulate(300, RAIDParameters(3, 0, 8, PARITY_FORWARD));
    // Row 0: parity on member 2, stripes 0 and 1 on members 0 and 1.
    std::vector<u8> expected = sourceBlocks(0, 8);
    const std::vector<u8> second = sourceBlocks(8, 8);
    for (size_t i = 0; i < expected.size(); i++) expected[i] ^= second[i];
    EXPECT_EQ(readMember(2, 0, 8), expected);
}

TEST_F(RAIDSimulatorTest, AssembledMembersGiveTheSourceBackForEveryRotation) {
    for (u32 rotation = 0; rotation < 7; rotation++) {
        for (u8 n : {2, 3, 5}) {
            manager.deleteDisks();
            RAIDParameters p(n, 0, 8, rotation);
            p.setFirstSector(1, 63);
            simulate(977, p);
            RAIDDisk raid;
            raid.setParameters(p);
            for (u32 i = 0; i < n; i++) ASSERT_TRUE(raid.setMember(i, member(i)));
            ASSERT_GE(raid.getBlockCount(), 977u);
            ASSERT_TRUE(raid.open(false));
            std::vector<u8> out(977 * kBlock);
            ASSERT_TRUE(raid.readBlocks(0, 977, out.data()));
            raid.close();
            EXPECT_EQ(out, source->bytes()) << RAIDParameters::rotationName(rotation) << " n=" << int(n);
        }
    }
}

TEST_F(RAIDSimulatorTest, BlocksBeyondTheSourceAreZeros) {
    simulate(20, RAIDParameters(2, 0, 16, PARITY_NONE));
    // Member 1 row 0 is source blocks 16-31, of which only 16-19 exist.
    const std::vector<u8> out = readMember(1, 0, 16);
    EXPECT_EQ(std::vector<u8>(out.begin(), out.begin() + 4 * kBlock), sourceBlocks(16, 4));
    EXPECT_EQ(std::vector<u8>(out.begin() + 4 * kBlock, out.end()), std::vector<u8>(12 * kBlock, 0));
}

TEST_F(RAIDSimulatorTest, OpeningAMemberOpensTheSourceThroughItsCount) {
    simulate(100, RAIDParameters(2, 0, 8, PARITY_NONE));
    Disk* a = member(0);
    Disk* b = member(1);
    ASSERT_TRUE(a->open(false));
    ASSERT_TRUE(b->open(false));
    EXPECT_EQ(source->getOpenCount(), 2u);
    EXPECT_EQ(source->getOpenImplCalls(), 1u);
    a->close();
    EXPECT_EQ(source->getOpenCount(), 1u);
    b->close();
    EXPECT_EQ(source->getOpenCount(), 0u);
}

TEST_F(RAIDSimulatorTest, WritingIsRefused) {
    simulate(100, RAIDParameters(2, 0, 8, PARITY_NONE));
    Disk* a = member(0);
    EXPECT_FALSE(a->open(true));
    EXPECT_EQ(source->getOpenCount(), 0u);
    std::vector<u8> data(kBlock);
    EXPECT_FALSE(a->writeBlocks(0, 1, data.data()));
}

TEST_F(RAIDSimulatorTest, MembersWhoseIdsAreListedAreNotListedAgain) {
    simulate(100, RAIDParameters(2, 0, 8, PARITY_NONE));
    Disk* first = member(0);
    // A second simulation over the same source: its SimDisk00/01 are
    // refused (and dropped, which the sanitizer build checks), SimDisk02 is
    // new.
    RAIDSimulator again(&manager, source.get(), RAIDParameters(3, 0, 8, PARITY_NONE));
    EXPECT_EQ(manager.getDiskCount(), 3u);
    EXPECT_EQ(member(0), first);
    ASSERT_NE(member(2), nullptr);
    manager.deleteDisks();  // before `again` goes
}

TEST_F(RAIDSimulatorTest, UnusableParametersMakeNoMembers) {
    LogCapture capture(LOG_ERROR);
    simulate(100, RAIDParameters(3, 0, 0, PARITY_NONE));
    simulate(100, RAIDParameters(3, 0, 16, 11));
    simulate(100, RAIDParameters());
    EXPECT_EQ(manager.getDiskCount(), 0u);
    EXPECT_EQ(capture.count("error at RAIDSimulator::RAIDSimulator: invalid RAID parameters (disks=3, stripe=0, rotation=2)\n"), 1);
    RAIDSimulator nothing(nullptr, nullptr, RAIDParameters(3, 0, 16, PARITY_NONE));
    EXPECT_EQ(nothing.getMemberBlockCount(0), 0u);
}

TEST_F(RAIDSimulatorTest, MemberOutsideTheLayoutRefusesToRead) {
    simulate(100, RAIDParameters(2, 0, 8, PARITY_NONE));
    RAIDSimulatorDisk stray(simulator.get(), 5);
    LogCapture capture(LOG_ERROR);
    std::vector<u8> out(kBlock, 0xAA);
    EXPECT_FALSE(stray.readBlocksImpl(0, 1, out.data()));
    EXPECT_EQ(out, std::vector<u8>(kBlock, 0));
    EXPECT_EQ(capture.lines.size(), 1u);
}

}  // namespace
}  // namespace vorn
