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

}  // namespace
}  // namespace vorn::test
