// RAIDDisk's layout detection: scores 210 candidate layouts by how the byte
// entropy of single blocks behaves at stripe boundaries and keeps the best.
//
// Under the right layout the assembled data flows on where one stripe ends
// and the next begins, while each member's own data jumps at its stripe
// boundaries (consecutive stripes of a member are not neighbours in the
// assembled data).
//
// Every member is read once into a probe buffer. The measures read only the
// two blocks on each side of a stripe boundary, so by default a candidate's
// assembled data is never built: the entropy of an assembled block is looked
// up in the member's per-block entropy table (or computed by parity for a
// missing member). setProbeFullAssembly(true) builds all 100,000 blocks per
// candidate instead, through the ordinary layout read; the scores are the
// same, which the tests check.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "misc/Log.h"
#include "misc/Utils.h"
#include "storage/RAIDDisk.h"

namespace vorn {

namespace {

const u64 kFirstSectorCandidates[] = {0, 10, 63, 1024, 1088};
const u32 kStripeCandidates[] = {8, 16, 32, 64, 128, 256};
constexpr u32 kLargestFirstSector = 1088;
constexpr u32 kLargestStripe = 256;
// Probe memory above this is treated as unavailable.
constexpr u64 kMaxProbeBytes = 2ull << 30;
// Block size up to which full assembly (for comparison) is possible.
constexpr u32 kMaxFullAssemblyBlockSize = 4096;

// Mean of absolute entropy differences; both the in-memory measures and the
// table-driven ones accumulate through this, in the same order, so they give
// bit-identical results.
struct DeltaMean {
    double sum = 0.0;
    u64 count = 0;
    float add(float before, float after) {
        const float d = std::fabs(before - after);
        sum += d;
        count++;
        return d;
    }
    float mean() const { return count ? static_cast<float>(sum / static_cast<double>(count)) : 0.0f; }
};

float meanStripeDelta64(const u8* data, u64 length, u64 width, u64 step) {
    DeltaMean m;
    if (!data || width == 0 || step == 0 || width > step) return 0.0f;
    const u64 boundaries = length / step;
    for (u64 k = 1; k < boundaries; k++) {
        const u64 at = k * step;
        m.add(entropy(data + at - width, width), entropy(data + at, width));
    }
    return m.mean();
}


float ratioDivisor(float e) { return e < 0.001f ? 0.001f : e; }

bool byScore(const ProbeCombination& a, const ProbeCombination& b) {
    // Scores that are not numbers go last; equal scores keep index order
    // (the sort is stable), so the choice is deterministic.
    const bool aNan = std::isnan(a.score);
    const bool bNan = std::isnan(b.score);
    if (aNan || bNan) return !aNan && bNan;
    return a.score > b.score;
}

}  // namespace

float RAIDDisk::meanStripeDelta(const u8* data, u32 length, u32 width, u32 step) {
    return meanStripeDelta64(data, length, width, step);
}

float RAIDDisk::sumStripeDelta(const u8* data, u32 length, u32 width) {
    if (!data || width == 0) return 0.0f;
    const u32 blocks = length / width;
    float sum = 0.0f;
    for (u32 k = 1; k < blocks; k++) {
        sum += std::fabs(entropy(data + static_cast<u64>(k) * width, width) -
                         entropy(data + static_cast<u64>(k - 1) * width, width));
    }
    return sum;
}

u32 RAIDDisk::countRatioJumps(const u8* data, u32 length, u32 width) {
    if (!data || width == 0) return 0;
    const u32 blocks = length / width;
    u32 jumps = 0;
    for (u32 k = 1; k < blocks; k++) {
        const float previous = entropy(data + static_cast<u64>(k - 1) * width, width);
        const float current = entropy(data + static_cast<u64>(k) * width, width);
        if (std::fabs(current / ratioDivisor(previous)) > 1.5f) jumps++;
    }
    return jumps;
}

u32 RAIDDisk::countRatioJumps(const u8* data, u32 length, u32 width, u32 step) {
    if (!data || width == 0 || step == 0 || static_cast<u64>(width) * 2 > step) return 0;
    const u32 pieces = length / step;
    u32 jumps = 0;
    for (u32 k = 0; k < pieces; k++) {
        const u8* piece = data + static_cast<u64>(k) * step;
        const float first = entropy(piece, width);
        const float second = entropy(piece + width, width);
        if (std::fabs(second / ratioDivisor(first)) > 1.5f) jumps++;
    }
    return jumps;
}

// ---- probe state

bool RAIDDisk::allocateProbe() {
    const u32 n = parameters.getDiskCount();
    const u64 perMember = static_cast<u64>(perDiskProbeBlockCount) * blockSize;
    u64 total = perMember * n + blockSize;
    if (probeFullAssembly) total += static_cast<u64>(kProbeBlockCount) * blockSize;
    if (total > kMaxProbeBytes) return false;
    try {
        probeBuffers.assign(n, std::vector<u8>());
        probeEntropy.assign(n, std::vector<float>());
        for (u32 i = 0; i < n; i++) probeBuffers[i].assign(perMember, 0);
        probeScratch.assign(blockSize, 0);
        zeroEntropy = entropy(probeScratch.data(), blockSize);
        combinations.reserve(std::size(kFirstSectorCandidates) * std::size(kStripeCandidates) *
                               RAIDParameters::kRotationCount);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void RAIDDisk::releaseProbe() {
    std::vector<std::vector<u8>>().swap(probeBuffers);
    std::vector<std::vector<float>>().swap(probeEntropy);
    std::vector<ProbeCombination>().swap(combinations);
    std::vector<u8>().swap(probeScratch);
    probing = false;
}

float RAIDDisk::probeBlockEntropy(u32 member, u64 block) const {
    if (member < probeEntropy.size() && block < probeEntropy[member].size()) return probeEntropy[member][block];
    // Outside the probe area the layout read gives zeros.
    return zeroEntropy;
}

float RAIDDisk::assembledBlockEntropy(u64 block, bool& parityShort) {
    const u64 stripeSize = parameters.getStripeSectors();
    u32 member = 0;
    u32 parity = 0;
    u64 row = 0;
    parameters.computeRowCol(block / stripeSize, member, row, parity);
    const u64 rowBlock = row * stripeSize + block % stripeSize;
    if (members[member]) return probeBlockEntropy(member, parameters.getFirstSector(member) + rowBlock);
    // A missing member: zeros without parity or without enough members,
    // else the XOR of the others, as the layout read gives it.
    if (!parameters.hasParity()) return zeroEntropy;
    const u32 n = parameters.getDiskCount();
    for (u32 i = 0; i < n; i++) {
        if (i != member && !members[i]) {
            parityShort = true;
            return zeroEntropy;
        }
    }
    u8* scratch = probeScratch.data();
    std::memset(scratch, 0, blockSize);
    for (u32 i = 0; i < n; i++) {
        if (i == member) continue;
        const u64 at = parameters.getFirstSector(i) + rowBlock;
        const std::vector<u8>& source = probeBuffers[i];
        if (at >= source.size() / blockSize) return zeroEntropy;
        xorInto(scratch, source.data() + at * blockSize, blockSize);
    }
    return entropy(scratch, blockSize);
}

float RAIDDisk::meanAssembledDelta(std::vector<float>& boundaryDelta) {
    // boundaryDelta[k]: entropy change from block k * S - 1 to k * S.
    const u64 stripeSize = parameters.getStripeSectors();
    const u64 stripes = kProbeBlockCount / stripeSize;
    boundaryDelta.assign(stripes, 0.0f);
    bool parityShort = false;
    DeltaMean m;
    for (u64 k = 1; k < stripes; k++) {
        const float before = assembledBlockEntropy(k * stripeSize - 1, parityShort);
        const float after = assembledBlockEntropy(k * stripeSize, parityShort);
        boundaryDelta[k] = m.add(before, after);
    }
    if (parityShort) log(LOG_DEBUG, "Error: not enough disks to compute data by parity\n");
    return m.mean();
}

float RAIDDisk::raidDeltaFromCache() {
    const u32 n = parameters.getDiskCount();
    const u64 stripeSize = parameters.getStripeSectors();
    const u64 probeBlocks = perDiskProbeBlockCount;
    double sum = 0.0;
    u32 memberCount = 0;
    for (u32 i = 0; i < n; i++) {
        if (!members[i]) continue;
        const u64 first = parameters.getFirstSector(i);
        const u64 stripes = first < probeBlocks ? (probeBlocks - first) / stripeSize : 0;
        DeltaMean m;
        for (u64 k = 1; k < stripes; k++) {
            m.add(probeBlockEntropy(i, first + k * stripeSize - 1), probeBlockEntropy(i, first + k * stripeSize));
        }
        sum += m.mean();
        memberCount++;
    }
    if (memberCount == 0) return std::numeric_limits<float>::quiet_NaN();
    return static_cast<float>(sum / memberCount);
}

float RAIDDisk::raidDelta() {
    if (!probing || blockSize == 0) return 0.0f;
    const u32 n = parameters.getDiskCount();
    const u64 stripeSize = parameters.getStripeSectors();
    const u64 probeBlocks = perDiskProbeBlockCount;
    double sum = 0.0;
    u32 memberCount = 0;
    for (u32 i = 0; i < n && i < probeBuffers.size(); i++) {
        if (!members[i]) continue;
        const u64 first = parameters.getFirstSector(i);
        const u64 stripes = first < probeBlocks ? (probeBlocks - first) / stripeSize : 0;
        const u8* data = probeBuffers[i].data() + (stripes ? first * blockSize : 0);
        sum += meanStripeDelta64(data, stripeSize * stripes * blockSize, blockSize, stripeSize * blockSize);
        memberCount++;
    }
    if (memberCount == 0) return std::numeric_limits<float>::quiet_NaN();
    return static_cast<float>(sum / memberCount);
}

float RAIDDisk::rawDeltaFromDeltas(const std::vector<float>& boundaryDelta) {
    const u64 stripeSize = parameters.getStripeSectors();
    const u64 stripes = kProbeBlockCount / stripeSize;
    u64 jumps = 0;
    u64 smoothed = 0;
    for (u64 k = 0; k + 2 <= stripes; k++) {
        const float assembledChange = boundaryDelta[k + 1];
        u32 member = 0;
        u32 parity = 0;
        u64 row = 0;
        parameters.computeRowCol(k, member, row, parity);
        if (!members[member]) continue;
        const u64 next = parameters.getFirstSector(member) + (row + 1) * stripeSize;
        const float memberChange = std::fabs(probeBlockEntropy(member, next - 1) - probeBlockEntropy(member, next));
        if (memberChange > 0.5f) {
            jumps++;
            if (assembledChange < 0.5f) smoothed++;
        }
    }
    return jumps ? static_cast<float>(static_cast<double>(smoothed) / static_cast<double>(jumps)) : 0.0f;
}

float RAIDDisk::rawDelta(const u8* assembled) {
    if (!probing || !assembled || blockSize == 0) return 0.0f;
    const u64 stripeSize = parameters.getStripeSectors();
    const u64 stripes = kProbeBlockCount / stripeSize;
    const u64 bytesPerBlock = blockSize;
    auto memberEntropy = [&](u32 member, u64 block) {
        const std::vector<u8>& data = probeBuffers[member];
        if (block >= data.size() / bytesPerBlock) return zeroEntropy;
        return entropy(data.data() + block * bytesPerBlock, bytesPerBlock);
    };
    u64 jumps = 0;
    u64 smoothed = 0;
    for (u64 k = 0; k + 2 <= stripes; k++) {
        const u64 boundary = (k + 1) * stripeSize;
        const float assembledChange = std::fabs(entropy(assembled + (boundary - 1) * bytesPerBlock, bytesPerBlock) -
                                                entropy(assembled + boundary * bytesPerBlock, bytesPerBlock));
        u32 member = 0;
        u32 parity = 0;
        u64 row = 0;
        parameters.computeRowCol(k, member, row, parity);
        if (!members[member] || member >= probeBuffers.size()) continue;
        const u64 next = parameters.getFirstSector(member) + (row + 1) * stripeSize;
        const float memberChange = std::fabs(memberEntropy(member, next - 1) - memberEntropy(member, next));
        if (memberChange > 0.5f) {
            jumps++;
            if (assembledChange < 0.5f) smoothed++;
        }
    }
    return jumps ? static_cast<float>(static_cast<double>(smoothed) / static_cast<double>(jumps)) : 0.0f;
}

void RAIDDisk::scoreCandidate(ProbeCombination& c, std::vector<u8>& assembled) {
    const u64 stripeBytes = static_cast<u64>(parameters.getStripeSectors()) * blockSize;
    if (!assembled.empty()) {
        readBlocksImpl(0, kProbeBlockCount, assembled.data());
        c.cmp = meanStripeDelta64(assembled.data(), assembled.size(), blockSize, stripeBytes);
        c.raiddelta = raidDelta();
        c.rawdelta = rawDelta(assembled.data());
    } else {
        std::vector<float> boundaryDelta;
        c.cmp = meanAssembledDelta(boundaryDelta);
        c.raiddelta = raidDeltaFromCache();
        c.rawdelta = rawDeltaFromDeltas(boundaryDelta);
    }
    c.score = (1.0f - c.cmp) * c.raiddelta * c.rawdelta;
}

void RAIDDisk::sortCombinations() { std::stable_sort(combinations.begin(), combinations.end(), byScore); }

void RAIDDisk::dumpCombination(const ProbeCombination& c) {
    log(LOG_DEBUG, "combi%04d:firstsec=%04lld,stripesecs=%04d,parity=%13s,cmp=%.3f,raiddelta=%.3f,rawdelta=%.3f,score=%.3f\n",
        static_cast<int>(c.index), static_cast<long long>(c.parameters.getFirstSector(0)),
        static_cast<int>(c.parameters.getStripeSectors()), RAIDParameters::rotationName(c.parameters.getParityRotation()),
        static_cast<double>(c.cmp), static_cast<double>(c.raiddelta), static_cast<double>(c.rawdelta),
        static_cast<double>(c.score));
}

void RAIDDisk::dumpProbeCombinations(u32 count) {
    log(LOG_DEBUG, "RAIDDisk::dumpProbeCombinations (first %d)\n", static_cast<int>(count));
    const size_t shown = count == 0 ? combinations.size() : std::min<size_t>(count, combinations.size());
    for (size_t i = 0; i < shown; i++) dumpCombination(combinations[i]);
}

bool RAIDDisk::readsAsMirror() const {
    if (parameters.getDiskCount() != 2 || probeBuffers.size() != 2) return false;
    // One member missing: parity gives the other's blocks.
    return !members[0] || !members[1] || probeBuffers[0] == probeBuffers[1];
}

void RAIDDisk::verifyCandidates(RAIDLayoutCheck& check) {
    // Every candidate, in entropy order: the entropy measures cannot tell the
    // rotations of a mirror apart, and on a volume that is mostly empty the
    // right layout may score far below the best (measured on the generator's
    // FAT sets). A candidate whose first sector shows no volume costs a
    // boot-sector read.
    const size_t count = combinations.size();
    log(LOG_DEBUG, "RAIDDisk::verifyCandidates (first %d)\n", static_cast<int>(count));

    // Under every parity layout of a mirror-like pair, logical block b is
    // block first sector + b of either member: such candidates show the
    // check the same set, so it judges each first sector once.
    const bool mirror = readsAsMirror();
    std::vector<std::pair<u64, double>> judged;
    open(false);
    probing = true;
    probeReadsMembers = true;
    size_t chosen = 0;
    double most = 0.0;
    for (size_t i = 0; i < count; i++) {
        ProbeCombination& c = combinations[i];
        const u64 first = c.parameters.getFirstSector(0);
        const bool alike = mirror && c.parameters.hasParity();
        auto seen = std::find_if(judged.begin(), judged.end(), [&](const auto& j) { return alike && j.first == first; });
        if (seen != judged.end()) {
            c.structure = seen->second;
        } else {
            setParameters(c.parameters);
            c.structure = check.structureScore(this, static_cast<u64>(c.parameters.getStripeSectors()) * blockSize);
            if (alike) judged.emplace_back(first, c.structure);
        }
        log(LOG_DEBUG, "combi%04d: structure=%.1f\n", static_cast<int>(c.index), c.structure);
        // Equal structures keep the entropy order.
        if (c.structure > most) {
            most = c.structure;
            chosen = i;
        }
    }
    probeReadsMembers = false;
    probing = false;
    close();
    std::rotate(combinations.begin(), combinations.begin() + static_cast<std::ptrdiff_t>(chosen),
                combinations.begin() + static_cast<std::ptrdiff_t>(chosen) + 1);
}

void RAIDDisk::probeLayout(RAIDLayoutCheck* check) {
    const u32 n = parameters.getDiskCount();
    if (n < RAIDParameters::kMinDisks || n > RAIDParameters::kMaxDisks) {
        log(LOG_ERROR, "error at RAIDDisk::probeLayout: invalid disk count (%d)\n", static_cast<int>(n));
        return;
    }
    if (blockSize == 0) {
        log(LOG_ERROR, "error at RAIDDisk::probeLayout: no member set\n");
        return;
    }
    perDiskProbeBlockCount = (n + kProbeBlockCount - 2) / (n - 1) + kLargestStripe + kLargestFirstSector;
    log(LOG_DEBUG, "ProbeBlockCount: %d\n", static_cast<int>(kProbeBlockCount));
    log(LOG_DEBUG, "perDiskProbeBlockCount: %d\n", static_cast<int>(perDiskProbeBlockCount));

    const bool full = probeFullAssembly && blockSize <= kMaxFullAssemblyBlockSize;
    std::vector<u8> assembled;
    bool allocated = allocateProbe();
    if (allocated && full) {
        try {
            assembled.assign(static_cast<u64>(kProbeBlockCount) * blockSize, 0);
        } catch (const std::bad_alloc&) {
            allocated = false;
        }
    }
    if (!allocated) {
        log(LOG_ERROR, "Error allocating probe memory!\n");
        releaseProbe();
        return;
    }

    // Each member is read once; a member shorter than the probe area, or a
    // failed read, leaves zeros.
    const RAIDParameters original = parameters;
    open(false);
    for (u32 i = 0; i < n; i++) {
        Disk* member = members[i];
        if (!member) continue;
        const u32 blocks = static_cast<u32>(std::min<u64>(perDiskProbeBlockCount, member->getBlockCount()));
        readSingleDiskBlocks(i, 0, blocks, probeBuffers[i].data(), false);
        std::vector<float>& table = probeEntropy[i];
        table.resize(perDiskProbeBlockCount);
        for (u32 b = 0; b < perDiskProbeBlockCount; b++) {
            table[b] = entropy(probeBuffers[i].data() + static_cast<u64>(b) * blockSize, blockSize);
        }
    }
    close();

    u32 index = 0;
    for (u64 first : kFirstSectorCandidates) {
        for (u32 stripe : kStripeCandidates) {
            for (u32 rotation = 0; rotation < RAIDParameters::kRotationCount; rotation++) {
                ProbeCombination c;
                c.index = index++;
                c.disk = this;
                c.parameters = original;
                c.parameters.setAllFirstSectors(first);
                c.parameters.setStripeSectors(stripe);
                c.parameters.setParityRotation(rotation);
                combinations.push_back(c);
            }
        }
    }

    probing = true;
    for (ProbeCombination& c : combinations) {
        setParameters(c.parameters);
        scoreCandidate(c, assembled);
        dumpCombination(c);
    }
    probing = false;

    sortCombinations();
    dumpProbeCombinations(8);
    if (check) verifyCandidates(*check);
    setParameters(combinations.front().parameters);
    dump();
    releaseProbe();
}

}  // namespace vorn
