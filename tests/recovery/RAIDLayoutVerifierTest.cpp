#include "recovery/RAIDLayoutVerifier.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include "TestMedia.h"
#include "misc/Utils.h"
#include "storage/ImageDisk.h"
#include "storage/RAIDDisk.h"
#include "storage/StorageTestUtil.h"
#include "fs/MemoryTestDisk.h"

namespace vorn::test {
namespace {

#ifdef __SANITIZE_ADDRESS__
constexpr u32 kEvery = 7;  // the detection runs some twenty times slower: sample the table
#else
constexpr u32 kEvery = 1;
#endif

// A line of raidfat/cases.txt.
struct FatRAIDCase {
    std::string name, source, rotation;
    u64 blocks = 0;
    u32 members = 0, stripe = 0;
    u64 first = 0;
    int missing = -1;
};

std::vector<FatRAIDCase> fatCases() {
    std::vector<FatRAIDCase> all;
    std::ifstream in(mediaPath("raidfat/cases.txt"));
    for (std::string line; std::getline(in, line);) {
        FatRAIDCase c;
        std::istringstream(line) >> c.name >> c.source >> c.blocks >> c.members >> c.rotation >> c.stripe >> c.first >>
            c.missing;
        if (!c.name.empty() && c.name[0] != '#') all.push_back(c);
    }
    return all;
}

// The first `blocks` blocks of the set, or empty when the set is shorter.
std::vector<u8> readBack(RAIDDisk& raid, u64 blocks) {
    std::vector<u8> out(blocks * 512);
    bool ok = raid.getBlockCount() >= blocks && raid.open(false);
    for (u64 b = 0; ok && b < blocks; b += 4096) ok = raid.readBlocks(b, u32(std::min<u64>(4096, blocks - b)), out.data() + b * 512);
    raid.close();
    return ok ? out : std::vector<u8>();
}

TEST(RAIDLayoutVerifier, DetectionFindsTheLayoutOfStripedFATVolumes) {
    const std::vector<FatRAIDCase> cases = fatCases();
    ASSERT_GE(cases.size(), 45u) << "run tests/fixtures/make_raid_fat.sh";
    std::map<std::string, std::vector<u8>> sources;
    u32 tried = 0, found = 0;
    std::string misses;
    for (u32 k = 0; k < cases.size(); k += kEvery) {
        const FatRAIDCase& c = cases[k];
        SCOPED_TRACE(c.name);
        std::vector<std::unique_ptr<ImageDisk>> members;
        RAIDDisk raid;
        raid.setParameters(RAIDParameters(u8(c.members), 0, 64, PARITY_NONE));
        for (u32 i = 0; i < c.members; i++) {
            members.push_back(std::make_unique<ImageDisk>(mediaPath(format("raidfat/%s.m%u.img", c.name.c_str(), i))));
            if (int(i) != c.missing) {
                ASSERT_TRUE(raid.setMember(i, members.back().get()));
            }
        }
        RAIDLayoutVerifier verifier;
        raid.probeLayout(&verifier);
        auto& source = sources[c.source];
        if (source.empty()) source = readFileBytes(mediaPath("raidfat/" + c.source));
        ASSERT_EQ(source.size(), c.blocks * 512);
        const RAIDParameters p = raid.getParameters();
        tried++;
        if (readBack(raid, c.blocks) == source) {
            found++;
        } else {
            misses += format("  %s (%u %s %u %llu): found %s %u %llu\n", c.name.c_str(), c.members, c.rotation.c_str(),
                          c.stripe, (unsigned long long)c.first, RAIDParameters::rotationName(p.getParityRotation()),
                          p.getStripeSectors(), (unsigned long long)p.getFirstSector(0));
        }
    }
    ASSERT_GT(tried, 0u);
    std::cout << "[ detect   ] found " << found << " of " << tried << "\n" << misses;
    EXPECT_GE(found * 100, tried * 95) << misses;
}

// The verifier, counting how often it is asked.
struct CountingCheck : RAIDLayoutCheck {
    RAIDLayoutVerifier verifier;
    u32 calls = 0;
    double structureScore(Disk* disk, u64 stripeBytes) override {
        ++calls;
        return verifier.structureScore(disk, stripeBytes);
    }
};

// Two copies of one FAT16 volume, as a mirrored pair gives it, holding 8,192 files along one chain: under every
// layout with parity either member reads as the volume, so each first sector is judged once (it was all 210
// candidates, each walking the chain for every file: minutes), and the layout found reads the volume back.
TEST(RAIDLayoutVerifier, IdenticalMembersAreJudgedOncePerFirstSectorAndReadAsTheVolume) {
    const std::vector<u8> source = readFileBytes(mediaPath("fatchain/mirror16.img"));
    ASSERT_EQ(source.size(), 32u << 20) << "run tests/fixtures/make_fat_chains.sh";
    ImageDisk m0(mediaPath("fatchain/mirror16.m0.img")), m1(mediaPath("fatchain/mirror16.m1.img"));
    RAIDDisk raid;
    raid.setParameters(RAIDParameters(2, 0, 64, PARITY_NONE));
    ASSERT_TRUE(raid.setMember(0, &m0) && raid.setMember(1, &m1));
    CountingCheck check;
    raid.probeLayout(&check);
    const RAIDParameters p = raid.getParameters();
    EXPECT_TRUE(p.hasParity());
    EXPECT_EQ(p.getFirstSector(0), 0u);
    EXPECT_TRUE(readBack(raid, source.size() / 512) == source);
    EXPECT_LE(check.calls, 5u + 5 * 6);  // once per first sector, and the 30 candidates without parity
}

// A volume of hundreds of files along shared chains (chains16.img), striped: the check of the right layout still
// judges every file (each chain is measured once for all files along it), so that layout wins.
TEST(RAIDLayoutVerifier, FilesAlongSharedChainsStillShowTheRightLayout) {
    const std::vector<u8> source = readFileBytes(mediaPath("fatchain/chains16.img"));
    ASSERT_EQ(source.size(), 8u << 20) << "run tests/fixtures/make_fat_chains.sh";
    for (auto [name, members] : {std::pair{"chainsraid_a", 3u}, {"chainsraid_b", 4u}}) {
        SCOPED_TRACE(name);
        std::vector<std::unique_ptr<ImageDisk>> disks;
        RAIDDisk raid;
        raid.setParameters(RAIDParameters(u8(members), 0, 64, PARITY_NONE));
        for (u32 i = 0; i < members; ++i) {
            disks.push_back(std::make_unique<ImageDisk>(mediaPath(format("fatchain/%s.m%u.img", name, i))));
            ASSERT_TRUE(raid.setMember(i, disks.back().get()));
        }
        RAIDLayoutVerifier verifier;
        raid.probeLayout(&verifier);
        EXPECT_TRUE(readBack(raid, source.size() / 512) == source);
    }
}

// Volumes of 20 MiB of folders (deleted entries, nothing listed), of chains that jump about the table (every link
// another table block) under hundreds of files, of thousands of files along one chain: one candidate reads no more
// than its share of the set, whatever it holds.
TEST(RAIDLayoutVerifier, ACandidatesReadsAreBoundedWhateverTheVolumeHolds) {
    for (const char* name : {"fatchain/dirs16.img", "fatchain/chains16.img", "fatchain/big32.img"}) {
        SCOPED_TRACE(name);
        MemoryTestDisk disk(readFileBytes(mediaPath(name)));
        ASSERT_GT(disk.getBlockCount(), 0u);
        ASSERT_TRUE(disk.open(false));
        RAIDLayoutVerifier verifier;
        verifier.structureScore(&disk, 64 * 512);  // the files' sizes disagree with their chains: a low score
        u64 bytes = 0;
        for (const FailingDisk::Request& r : disk.requests()) bytes += u64(r.count) * 512;
        EXPECT_LE(bytes, 16u << 20);
    }
}

}  // namespace
}  // namespace vorn::test
