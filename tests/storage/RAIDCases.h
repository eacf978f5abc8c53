// Test helper: the RAID sets that tests/fixtures/make_raid.sh writes with the
// independent striping generator (raid_stripe.py), read from cases.txt.
//
// Each case names a source image (of which the first `blocks` blocks were
// striped), the layout, and member files NAME.mK.img in the same folder.
#pragma once

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "TestMedia.h"
#include "storage/MemoryDisk.h"
#include "storage/RAIDParameters.h"

namespace vorn::test {

struct RAIDCase {
    std::string name;
    std::string source;
    u64 blocks = 0;
    u32 members = 0;
    u32 rotation = 0;
    u32 stripe = 0;
    std::vector<u64> firsts;

    RAIDParameters parameters() const {
        RAIDParameters p(static_cast<u8>(members), 0, stripe, rotation);
        for (u32 i = 0; i < members; i++) p.setFirstSector(i, firsts[i]);
        return p;
    }
    std::string memberPath(u32 i) const { return mediaPath("raid/" + name + ".m" + std::to_string(i) + ".img"); }
    // The striped part of the source.
    std::vector<u8> sourceBytes() const {
        std::vector<u8> bytes = MemoryDisk::loadFile(mediaPath("raid/" + source));
        bytes.resize(blocks * 512);
        return bytes;
    }
    std::vector<std::unique_ptr<MemoryDisk>> loadMembers() const {
        std::vector<std::unique_ptr<MemoryDisk>> disks;
        for (u32 i = 0; i < members; i++) {
            disks.push_back(std::make_unique<MemoryDisk>(MemoryDisk::loadFile(memberPath(i)), 512, name + ".m" + std::to_string(i)));
        }
        return disks;
    }
};

inline u32 rotationCode(const std::string& word) {
    for (u32 r = 0; r < RAIDParameters::kRotationCount; r++) {
        if (word == RAIDParameters::rotationName(r)) return r;
    }
    return RAIDParameters::kRotationCount;
}

inline std::vector<RAIDCase> loadRAIDCases() {
    std::vector<RAIDCase> cases;
    std::ifstream in(mediaPath("raid/cases.txt"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        RAIDCase c;
        std::string rotation;
        std::string firsts;
        words >> c.name >> c.source >> c.blocks >> c.members >> rotation >> c.stripe >> firsts;
        c.rotation = rotationCode(rotation);
        std::istringstream list(firsts);
        for (std::string f; std::getline(list, f, ',');) c.firsts.push_back(std::stoull(f));
        if (c.firsts.size() == 1) c.firsts.assign(c.members, c.firsts[0]);
        cases.push_back(c);
    }
    return cases;
}

inline const RAIDCase* findRAIDCase(const std::vector<RAIDCase>& cases, const std::string& name) {
    for (const RAIDCase& c : cases) {
        if (c.name == name) return &c;
    }
    return nullptr;
}

}  // namespace vorn::test
