// RAID layout detection (RAIDDisk::probeLayout) and its measures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "misc/Utils.h"
#include "storage/LogCapture.h"
#include "storage/MemoryDisk.h"
#include "storage/RAIDCases.h"
#include "storage/RAIDDisk.h"
#include "storage/StorageTestUtil.h"

namespace vorn {
namespace {

using test::LogCapture;
using test::MemoryDisk;
using test::RAIDCase;

constexpr u32 kBlock = 512;

// Sanitizer builds run the detection some twenty times slower: there the
// heaviest tests take a sample of their work.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

std::vector<u8> randomBytes(u64 n, u64 seed) {
    test::TestRandom random(seed);
    std::vector<u8> bytes(n);
    for (u8& b : bytes) b = static_cast<u8>(random.next());
    return bytes;
}

std::vector<std::string> linesWithPrefix(const LogCapture& capture, const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& l : capture.lines) {
        if (l.rfind(prefix, 0) == 0) out.push_back(l);
    }
    return out;
}

// A member that counts which blocks the detection reads.
class CountingDisk : public MemoryDisk {
public:
    using MemoryDisk::MemoryDisk;
    bool readBlocksImpl(u64 block, u32 count, void* buffer) override {
        if (block != next) outOfOrder = true;
        next = block + count;
        blocksRead += count;
        return MemoryDisk::readBlocksImpl(block, count, buffer);
    }
    u64 next = 0;
    u64 blocksRead = 0;
    bool outOfOrder = false;
};

// ---- measures

TEST(RAIDProbeMeasures, MeanStripeDeltaAveragesEntropyJumpsAtStepBoundaries) {
    // Four 64-byte pieces: zeros, random, random, zeros.
    std::vector<u8> data(256, 0);
    const std::vector<u8> noise = randomBytes(128, 1);
    std::copy(noise.begin(), noise.end(), data.begin() + 64);
    const float e = entropy(data.data() + 64, 64);
    const float e2 = entropy(data.data() + 128, 64);
    // Boundaries at 64, 128 and 192, width 64.
    const float expected = (e + std::fabs(e - e2) + e2) / 3.0f;
    EXPECT_NEAR(RAIDDisk::meanStripeDelta(data.data(), 256, 64, 64), expected, 1e-6);
    // Width 16 looks only at the 16 bytes on each side.
    const float narrow = (entropy(data.data() + 64, 16) + std::fabs(entropy(data.data() + 112, 16) - entropy(data.data() + 128, 16)) +
                          entropy(data.data() + 176, 16)) / 3.0f;
    EXPECT_NEAR(RAIDDisk::meanStripeDelta(data.data(), 256, 16, 64), narrow, 1e-6);
}

TEST(RAIDProbeMeasures, MeanStripeDeltaWithoutBoundariesIsZero) {
    std::vector<u8> data = randomBytes(256, 2);
    EXPECT_EQ(RAIDDisk::meanStripeDelta(data.data(), 256, 64, 256), 0.0f);
    EXPECT_EQ(RAIDDisk::meanStripeDelta(data.data(), 256, 0, 64), 0.0f);
    EXPECT_EQ(RAIDDisk::meanStripeDelta(data.data(), 256, 64, 0), 0.0f);
    EXPECT_EQ(RAIDDisk::meanStripeDelta(data.data(), 256, 128, 64), 0.0f);  // wider than a step
    EXPECT_EQ(RAIDDisk::meanStripeDelta(nullptr, 256, 64, 64), 0.0f);
}

TEST(RAIDProbeMeasures, SumStripeDeltaAndRatioJumps) {
    // Blocks of 32 bytes: zeros, random, zeros, random.
    std::vector<u8> data(128, 0);
    const std::vector<u8> noise = randomBytes(64, 3);
    std::copy(noise.begin(), noise.begin() + 32, data.begin() + 32);
    std::copy(noise.begin() + 32, noise.end(), data.begin() + 96);
    const float a = entropy(data.data() + 32, 32);
    const float b = entropy(data.data() + 96, 32);
    EXPECT_NEAR(RAIDDisk::sumStripeDelta(data.data(), 128, 32), a + a + b, 1e-5);
    // Zeros to noise jumps (the zero divisor is raised to 0.001); noise to
    // zeros does not.
    EXPECT_EQ(RAIDDisk::countRatioJumps(data.data(), 128, 32), 2u);
    // Pieces of 64: (zeros, noise) jumps twice.
    EXPECT_EQ(RAIDDisk::countRatioJumps(data.data(), 128, 32, 64), 2u);
    EXPECT_EQ(RAIDDisk::countRatioJumps(data.data(), 128, 32, 32), 0u);  // no room for two widths
    EXPECT_EQ(RAIDDisk::countRatioJumps(data.data(), 128, 0), 0u);
}

// ---- the detection on synthetic sets

class RAIDProbeTest : public ::testing::Test {
protected:
    void makeMembers(u32 n, u64 blocks, u8 fill) {
        members.clear();
        for (u32 i = 0; i < n; i++) {
            members.push_back(std::make_unique<CountingDisk>(std::vector<u8>(blocks * kBlock, fill), kBlock, "m" + std::to_string(i)));
        }
    }
    void assemble(u32 n, int missing = -1) {
        raid = std::make_unique<RAIDDisk>();
        RAIDParameters p;
        p.setDiskCount(static_cast<u8>(n));
        p.setStripeSectors(64);
        raid->setParameters(p);
        for (u32 i = 0; i < members.size(); i++) {
            if (static_cast<int>(i) != missing) {
                ASSERT_TRUE(raid->setMember(i, members[i].get()));
            }
        }
    }
    std::vector<std::unique_ptr<CountingDisk>> members;
    std::unique_ptr<RAIDDisk> raid;
};

TEST_F(RAIDProbeTest, PerMemberProbeAreaCoversTheDataLargestStripeAndFirstSector) {
    makeMembers(2, 16, 0);
    assemble(2);
    raid->probeLayout();
    EXPECT_EQ(raid->getPerDiskProbeBlockCount(), 101344u);
    makeMembers(3, 16, 0);
    assemble(3);
    raid->probeLayout();
    EXPECT_EQ(raid->getPerDiskProbeBlockCount(), 51344u);
}

TEST_F(RAIDProbeTest, EveryMemberIsReadOnceFromBlockZero) {
    makeMembers(3, 60000, 7);
    assemble(3);
    raid->probeLayout();
    for (const auto& m : members) {
        EXPECT_EQ(m->blocksRead, 51344u);
        EXPECT_FALSE(m->outOfOrder);
        EXPECT_EQ(m->getOpenCount(), 0u);  // opened for the probe, closed after
    }
}

TEST_F(RAIDProbeTest, MembersShorterThanTheProbeAreaAreReadToTheirEnd) {
    makeMembers(3, 1000, 7);
    assemble(3);
    raid->probeLayout();
    for (const auto& m : members) {
        EXPECT_EQ(m->blocksRead, 1000u);
        EXPECT_EQ(m->getReadErrors(), 0u);
    }
}

TEST_F(RAIDProbeTest, LogShowsEveryCandidateInIndexOrderThenTheBestEight) {
    makeMembers(3, 100, 0);
    assemble(3);
    LogCapture capture(LOG_DEBUG);
    raid->probeLayout();
    EXPECT_TRUE(capture.has("ProbeBlockCount: 100000\n"));
    EXPECT_TRUE(capture.has("perDiskProbeBlockCount: 51344\n"));
    const std::vector<std::string> combis = linesWithPrefix(capture, "combi");
    ASSERT_EQ(combis.size(), 218u);
    for (u32 i = 0; i < 210; i++) EXPECT_EQ(combis[i].substr(0, 9), fmt("combi%04u", i)) << i;
    EXPECT_EQ(combis[7].substr(0, 65), "combi0007:firstsec=0000,stripesecs=0016,parity=      forward,cmp=");
    EXPECT_EQ(combis[42].substr(0, 65), "combi0042:firstsec=0010,stripesecs=0008,parity=      forward,cmp=");
    EXPECT_EQ(combis[209].substr(0, 65), "combi0209:firstsec=1088,stripesecs=0256,parity=backwarddelay,cmp=");
    EXPECT_EQ(combis[0], "combi0000:firstsec=0000,stripesecs=0008,parity=      forward,cmp=0.000,raiddelta=0.000,rawdelta=0.000,score=0.000\n");
    // The header comes after the 210th line, then the eight best.
    size_t header = 0;
    while (header < capture.lines.size() && capture.lines[header] != "RAIDDisk::dumpProbeCombinations (first 8)\n") header++;
    ASSERT_LT(header, capture.lines.size());
    EXPECT_EQ(capture.lines[header - 1].substr(0, 9), "combi0209");
    EXPECT_TRUE(capture.has("-------------RAIDDisk dump-----------\n"));
}

TEST_F(RAIDProbeTest, ConstantDataScoresZeroEverywhereAndKeepsTheFirstCandidate) {
    makeMembers(3, 3000, 0x41);
    assemble(3);
    LogCapture capture(LOG_DEBUG);
    raid->probeLayout();
    for (const std::string& l : linesWithPrefix(capture, "combi")) {
        EXPECT_NE(l.find("rawdelta=0.000,score=0.000"), std::string::npos) << l;
    }
    const RAIDParameters p = raid->getParameters();
    EXPECT_EQ(p.getFirstSector(0), 0u);
    EXPECT_EQ(p.getStripeSectors(), 8u);
    EXPECT_EQ(p.getParityRotation(), PARITY_FORWARD);
    EXPECT_EQ(p.getDiskCount(), 3);
}

TEST_F(RAIDProbeTest, AllMembersMissingScoresNaNAndStillChoosesDeterministically) {
    // The only member sits outside the count: it sets the block size but
    // takes part in nothing.
    makeMembers(4, 100, 0);
    raid = std::make_unique<RAIDDisk>();
    RAIDParameters p;
    p.setDiskCount(3);
    p.setStripeSectors(64);
    raid->setParameters(p);
    ASSERT_TRUE(raid->setMember(3, members[3].get()));
    LogCapture capture(LOG_DEBUG);
    raid->probeLayout();
    EXPECT_NE(linesWithPrefix(capture, "combi")[0].find("raiddelta=nan"), std::string::npos);
    EXPECT_EQ(raid->getParameters().getStripeSectors(), 8u);
    EXPECT_EQ(raid->getParameters().getParityRotation(), PARITY_FORWARD);
}

TEST_F(RAIDProbeTest, UnusableSetIsNotProbed) {
    raid = std::make_unique<RAIDDisk>();
    LogCapture capture(LOG_ERROR);
    raid->probeLayout();  // no member count
    EXPECT_TRUE(capture.hasPrefix("error at RAIDDisk::probeLayout: invalid disk count"));
    RAIDParameters p(3, 5, 32, PARITY_NONE);
    raid->setParameters(p);
    raid->probeLayout();  // no member, no block size
    EXPECT_TRUE(capture.hasPrefix("error at RAIDDisk::probeLayout: no member set"));
    EXPECT_EQ(raid->getParameters().getStripeSectors(), 32u);
    EXPECT_EQ(raid->getParameters().getFirstSector(0), 5u);
}

// ---- the detection on the generator's sets

const std::vector<RAIDCase>& cases() {
    static const std::vector<RAIDCase> all = test::loadRAIDCases();
    return all;
}

// True when the set assembled with the detected layout gives the source.
bool readsSourceBack(RAIDDisk& raid, const std::vector<u8>& source) {
    const u64 blocks = source.size() / kBlock;
    if (raid.getBlockCount() < blocks) return false;
    std::vector<u8> out(source.size());
    raid.open(false);
    bool ok = true;
    for (u64 b = 0; b < blocks && ok; b += 4096) {
        const u32 n = static_cast<u32>(std::min<u64>(4096, blocks - b));
        ok = raid.readBlocks(b, n, out.data() + b * kBlock);
    }
    raid.close();
    return ok && out == source;
}

struct Detection {
    RAIDParameters found;
    bool correct = false;
};

Detection detect(const RAIDCase& c, const std::vector<std::unique_ptr<MemoryDisk>>& members, int missing) {
    RAIDDisk raid;
    RAIDParameters start;
    start.setDiskCount(static_cast<u8>(c.members));
    start.setStripeSectors(64);
    raid.setParameters(start);
    for (u32 i = 0; i < c.members; i++) {
        if (static_cast<int>(i) != missing) raid.setMember(i, members[i].get());
    }
    raid.probeLayout();
    Detection d;
    d.found = raid.getParameters();
    d.correct = readsSourceBack(raid, c.sourceBytes());
    return d;
}

void expectExactLayout(const RAIDCase& c, const RAIDParameters& found) {
    EXPECT_EQ(found.getParityRotation(), c.rotation) << c.name;
    EXPECT_EQ(found.getStripeSectors(), c.stripe) << c.name;
    EXPECT_EQ(found.getFirstSector(0), c.firsts[0]) << c.name;
}

TEST(RAIDProbeMedia, FindsTheLayoutOfTheStripedFATVolume) {
    const RAIDCase* c = test::findRAIDCase(cases(), "fat");
    ASSERT_NE(c, nullptr);
    const auto members = c->loadMembers();
    const Detection d = detect(*c, members, -1);
    expectExactLayout(*c, d.found);
    EXPECT_TRUE(d.correct);
}

// With a member missing the FAT volume's few entropy contrasts get fewer
// still: the detection finds the layout without member 1 or 3 and picks a
// wrong rotation or stripe without member 0 or 2.
TEST(RAIDProbeMedia, FindsTheLayoutOfTheStripedFATVolumeWithSomeMembersMissing) {
    const RAIDCase* c = test::findRAIDCase(cases(), "fat");
    ASSERT_NE(c, nullptr);
    const auto members = c->loadMembers();
    u32 found = 0;
    for (u32 missing = 0; missing < c->members; missing++) {
        if (kSanitized && missing != 1) continue;
        const Detection d = detect(*c, members, static_cast<int>(missing));
        std::cout << "[ detect   ] fat without member " << missing << ": "
                  << RAIDParameters::rotationName(d.found.getParityRotation()) << " stripe=" << d.found.getStripeSectors()
                  << " first=" << d.found.getFirstSector(0) << (d.correct ? " correct" : " WRONG") << "\n";
        found += d.correct;
    }
    EXPECT_GE(found, kSanitized ? 1u : 2u);
    const Detection d = detect(*c, members, 3);
    expectExactLayout(*c, d.found);
    EXPECT_TRUE(d.correct);
}

TEST(RAIDProbeMedia, FindsTheLayoutOfTheMixedContentSet) {
    const RAIDCase* c = test::findRAIDCase(cases(), "mixed");
    ASSERT_NE(c, nullptr);
    const auto members = c->loadMembers();
    const Detection d = detect(*c, members, -1);
    expectExactLayout(*c, d.found);
    EXPECT_TRUE(d.correct);
}

TEST(RAIDProbeMedia, FindsTheLayoutOfTheMixedContentSetWithAnyMemberMissing) {
    const RAIDCase* c = test::findRAIDCase(cases(), "mixed");
    ASSERT_NE(c, nullptr);
    const auto members = c->loadMembers();
    for (u32 missing = 0; missing < c->members; missing++) {
        if (kSanitized && missing != 2) continue;
        const Detection d = detect(*c, members, static_cast<int>(missing));
        expectExactLayout(*c, d.found);
        EXPECT_TRUE(d.correct) << "without member " << missing;
    }
}

TEST(RAIDProbeMedia, AssemblingOnlyTheMeasuredBlocksGivesTheSameScores) {
    const RAIDCase* c = test::findRAIDCase(cases(), "fat");
    ASSERT_NE(c, nullptr);
    const auto members = c->loadMembers();
    std::vector<std::string> lines[2];
    RAIDParameters chosen[2];
    for (int full = 0; full < 2; full++) {
        RAIDDisk raid;
        RAIDParameters start;
        start.setDiskCount(static_cast<u8>(c->members));
        start.setStripeSectors(64);
        raid.setParameters(start);
        // A missing member brings in the parity path too (too slow for the
        // sanitizer build, which compares the plain path only).
        for (u32 i = kSanitized ? 0 : 1; i < c->members; i++) raid.setMember(i, members[i].get());
        raid.setProbeFullAssembly(full == 1);
        LogCapture capture(LOG_DEBUG);
        raid.probeLayout();
        lines[full] = linesWithPrefix(capture, "combi");
        chosen[full] = raid.getParameters();
    }
    ASSERT_EQ(lines[0].size(), 218u);
    EXPECT_EQ(lines[0], lines[1]);
    EXPECT_EQ(chosen[0].getParityRotation(), chosen[1].getParityRotation());
    EXPECT_EQ(chosen[0].getStripeSectors(), chosen[1].getStripeSectors());
    EXPECT_EQ(chosen[0].getFirstSector(0), chosen[1].getFirstSector(0));
}

// The detection matrix: the mixed-content source striped by the generator
// with every rotation and 2 to 6 members, stripe sizes and first sectors in
// turn. The members are written to a temporary folder one set at a time
// (35 sets of 16 MiB sources would take some 700 MiB of media).
TEST(RAIDProbeMedia, ShareOfCorrectDetectionsOverTheGeneratorsMatrix) {
    const RAIDCase* mixed = test::findRAIDCase(cases(), "mixed");
    ASSERT_NE(mixed, nullptr);
    char folder[] = "/tmp/vorn-raid-probe-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const u32 stripes[] = {8, 16, 32, 64, 128, 256};
    const u64 firsts[] = {0, 63, 1024};
    u32 total = 0;
    u32 correct = 0;
    u32 exact = 0;
    u32 index = 0;
    for (u32 rotation = 0; rotation < 7; rotation++) {
        for (u32 n = 2; n <= 6; n++, index++) {
            if (kSanitized && index % 7 != 3) continue;
            RAIDCase c = *mixed;
            c.name = "detect";
            c.members = n;
            c.rotation = rotation;
            c.stripe = stripes[index % 6];
            c.firsts.assign(n, firsts[(index / 6) % 3]);
            const std::string prefix = std::string(folder) + "/detect";
            const std::string command = "python3 '" + test::sourcePath("tests/fixtures/raid_stripe.py") + "' '" +
                                        test::mediaPath("raid/" + c.source) + "' '" + prefix + "' --members " +
                                        std::to_string(n) + " --rotation " + RAIDParameters::rotationName(rotation) +
                                        " --stripe " + std::to_string(c.stripe) + " --first " + std::to_string(c.firsts[0]);
            ASSERT_EQ(std::system(command.c_str()), 0) << command;
            std::vector<std::unique_ptr<MemoryDisk>> members;
            for (u32 i = 0; i < n; i++) {
                const std::string path = prefix + ".m" + std::to_string(i) + ".img";
                members.push_back(std::make_unique<MemoryDisk>(MemoryDisk::loadFile(path)));
                std::remove(path.c_str());
            }
            const Detection d = detect(c, members, -1);
            const bool isExact = d.found.getParityRotation() == rotation && d.found.getStripeSectors() == c.stripe &&
                                 d.found.getFirstSector(0) == c.firsts[0];
            total++;
            correct += d.correct;
            exact += isExact;
            std::cout << "[ detect   ] " << RAIDParameters::rotationName(rotation) << " n=" << n << " stripe=" << c.stripe
                      << " first=" << c.firsts[0] << " -> " << RAIDParameters::rotationName(d.found.getParityRotation())
                      << " stripe=" << d.found.getStripeSectors() << " first=" << d.found.getFirstSector(0)
                      << (d.correct ? " correct" : " WRONG") << "\n";
        }
    }
    rmdir(folder);
    std::cout << "[ detect   ] correct " << correct << "/" << total << ", exact parameters " << exact << "/" << total << "\n";
    RecordProperty("correct", static_cast<int>(correct));
    RecordProperty("total", static_cast<int>(total));
    // The measured share is 13 of 35. Two-member parity sets are mirrors,
    // which the entropy measures cannot tell from a plain two-member stripe,
    // and a first sector of 1024 in front of zeros looks the same as 0 or
    // 1088 whenever the rotation comes round in between.
    if (!kSanitized) {
        EXPECT_GE(correct * 100, total * 30);
    }
}

}  // namespace
}  // namespace vorn
