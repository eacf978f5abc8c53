// The RAID disk and the simulator against member images written by the
// independent striping generator (tests/fixtures/raid_stripe.py).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "storage/DiskManager.h"
#include "storage/MemoryDisk.h"
#include "storage/RAIDCases.h"
#include "storage/RAIDDisk.h"
#include "storage/RAIDSimulator.h"
#include "storage/StorageTestUtil.h"

namespace vorn {
namespace {

using test::MemoryDisk;
using test::RAIDCase;

constexpr u32 kBlock = 512;

const std::vector<RAIDCase>& cases() {
    static const std::vector<RAIDCase> all = test::loadRAIDCases();
    return all;
}

// Assembles the case's members (all but `missing`) and reads the source's
// blocks back in pieces of varied size.
std::vector<u8> assembleAndRead(const RAIDCase& c, const std::vector<std::unique_ptr<MemoryDisk>>& members,
                                int missing) {
    RAIDDisk raid;
    raid.setParameters(c.parameters());
    for (u32 i = 0; i < c.members; i++) {
        if (static_cast<int>(i) != missing) {
            EXPECT_TRUE(raid.setMember(i, members[i].get()));
        }
    }
    EXPECT_GE(raid.getBlockCount(), c.blocks) << c.name;
    std::vector<u8> out(c.blocks * kBlock, 0xAA);
    EXPECT_TRUE(raid.open(false));
    test::TestRandom random(c.blocks);
    for (u64 b = 0; b < c.blocks;) {
        const u32 n = static_cast<u32>(std::min<u64>(1 + random.below(3 * c.stripe), c.blocks - b));
        EXPECT_TRUE(raid.readBlocks(b, n, out.data() + b * kBlock));
        b += n;
    }
    raid.close();
    return out;
}

// The source with the stripes that lie on `missing` cleared, as a set
// without parity reads them.
std::vector<u8> withoutMember(const RAIDCase& c, std::vector<u8> bytes, u32 missing) {
    const RAIDParameters p = c.parameters();
    for (u64 b = 0; b < c.blocks; b += c.stripe) {
        u32 member = 0;
        u32 parity = 0;
        u64 row = 0;
        p.computeRowCol(b / c.stripe, member, row, parity);
        if (member != missing) continue;
        const u64 end = std::min<u64>(b + c.stripe, c.blocks);
        std::memset(bytes.data() + b * kBlock, 0, (end - b) * kBlock);
    }
    return bytes;
}

TEST(RAIDMedia, GeneratorMadeTheWholeMatrix) {
    ASSERT_GE(cases().size(), 130u) << "run tests/fixtures/make_raid.sh";
    bool rotation[7] = {};
    bool members[7] = {};
    bool stripe[257] = {};
    bool first[1025] = {};
    for (const RAIDCase& c : cases()) {
        ASSERT_LT(c.rotation, 7u) << c.name;
        rotation[c.rotation] = members[c.members] = stripe[c.stripe] = true;
        for (u64 f : c.firsts) first[f] = true;
    }
    for (u32 r = 0; r < 7; r++) EXPECT_TRUE(rotation[r]);
    for (u32 n = 2; n <= 6; n++) EXPECT_TRUE(members[n]);
    for (u32 s : {8, 16, 32, 64, 128, 256}) EXPECT_TRUE(stripe[s]);
    for (u32 f : {0, 63, 1024}) EXPECT_TRUE(first[f]);
}

TEST(RAIDMedia, AssembledSetReadsTheSourceBackForEveryCase) {
    for (const RAIDCase& c : cases()) {
        const auto members = c.loadMembers();
        const std::vector<u8> expected = c.sourceBytes();
        ASSERT_EQ(expected.size(), c.blocks * kBlock) << c.name;
        EXPECT_TRUE(assembleAndRead(c, members, -1) == expected) << c.name;
    }
}

TEST(RAIDMedia, OneMissingMemberIsRebuiltByParityOrReadsAsZeros) {
    u32 k = 0;
    for (const RAIDCase& c : cases()) {
        const auto members = c.loadMembers();
        const u32 missing = k++ % c.members;
        std::vector<u8> expected = c.sourceBytes();
        if (c.rotation == PARITY_NONE) expected = withoutMember(c, std::move(expected), missing);
        EXPECT_TRUE(assembleAndRead(c, members, static_cast<int>(missing)) == expected)
            << c.name << " without member " << missing;
    }
}

TEST(RAIDMedia, SimulatorWritesTheGeneratorsMembersByteForByte) {
    for (const RAIDCase& c : cases()) {
        MemoryDisk source(c.sourceBytes(), kBlock, "source");
        DiskManager manager;
        RAIDSimulator simulator(&manager, &source, c.parameters());
        ASSERT_EQ(manager.getDiskCount(), c.members) << c.name;
        for (u32 i = 0; i < c.members; i++) {
            const std::vector<u8> expected = MemoryDisk::loadFile(c.memberPath(i));
            Disk* d = manager.getDisk(i);
            ASSERT_EQ(d->getBlockCount() * kBlock, expected.size()) << c.name << " member " << i;
            std::vector<u8> got(expected.size(), 0xAA);
            ASSERT_TRUE(d->open(false));
            for (u64 b = 0; b < d->getBlockCount();) {
                const u32 n = static_cast<u32>(std::min<u64>(700, d->getBlockCount() - b));
                ASSERT_TRUE(d->readBlocks(b, n, got.data() + b * kBlock));
                b += n;
            }
            d->close();
            EXPECT_TRUE(got == expected) << c.name << " member " << i;
        }
        manager.deleteDisks();
    }
}

TEST(RAIDMedia, StripedFATVolumeReadsBackByteForByte) {
    const RAIDCase* c = test::findRAIDCase(cases(), "fat");
    ASSERT_NE(c, nullptr);
    const std::vector<u8> image = MemoryDisk::loadFile(test::mediaPath("raid/fat.img"));
    ASSERT_EQ(image.size(), c->blocks * kBlock);
    // The boot sector of a FAT16 volume made by mkfs.fat.
    ASSERT_EQ(std::string(image.begin() + 54, image.begin() + 59), "FAT16");
    const auto members = c->loadMembers();
    EXPECT_TRUE(assembleAndRead(*c, members, -1) == image);
    for (u32 missing = 0; missing < c->members; missing++) {
        EXPECT_TRUE(assembleAndRead(*c, members, static_cast<int>(missing)) == image) << "without member " << missing;
    }
}

TEST(RAIDMedia, StripedVolumeAnswersByteReadsThroughTheSet) {
    const RAIDCase* c = test::findRAIDCase(cases(), "fat");
    ASSERT_NE(c, nullptr);
    const auto members = c->loadMembers();
    RAIDDisk raid;
    raid.setParameters(c->parameters());
    for (u32 i = 0; i < c->members; i++) ASSERT_TRUE(raid.setMember(i, members[i].get()));
    ASSERT_TRUE(raid.open(false));
    u8 boot[512];
    ASSERT_TRUE(raid.read(0, sizeof boot, boot));
    EXPECT_EQ(boot[510], 0x55);
    EXPECT_EQ(boot[511], 0xAA);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(boot) + 43, 7), "RAIDFAT");
    raid.close();
}

}  // namespace
}  // namespace vorn
