// A disk assembled from up to 14 member disks by a RAIDParameters layout.
//
// It presents the striped data of the set as one run of logical blocks, so
// the cache, partition tables, file systems and scans read a RAID set like
// any other disk. One member may be missing: with parity its stripes are
// computed by XOR of the other members' blocks at the same position; without
// parity they read as zeros. The disk never writes.
//
// Ownership: members are not owned (they belong to the disk manager's list)
// and must outlive the disk's reads; destroying the RAID disk leaves them
// alone. Members are opened and closed through their counted open and close
// while the RAID disk is open. Members at an index at or above the member
// count take part in nothing.
//
// Invariants: the block size is the members' common block size (raw and
// logical alike, data offset 0); the block count field holds the per-member
// data block count, recomputed after every setMember and setParameters. The
// set's block count is that count times the data members, but never more
// than the media behind its members hold (mediaBytesBehind): stripes of
// missing members and a disk named twice add no real data. A read with
// unusable parameters (see RAIDParameters::isValid) is refused.
//
// probeLayout (RAIDDiskProbe.cpp) detects first sector, stripe size and
// rotation from the members' data; its buffers live only while it runs.
//
// Not thread-safe; a read that re-enters the same RAID disk (a member that
// reads through the set itself) is refused instead of recursing.
#pragma once

#include <string>
#include <vector>

#include "storage/Disk.h"
#include "storage/ProbeCombination.h"
#include "storage/RAIDLayoutCheck.h"
#include "storage/RAIDParameters.h"

namespace vorn {

class RAIDDisk : public Disk {
public:
    // Logical blocks that the layout detection assembles per candidate.
    static constexpr u32 kProbeBlockCount = 100000;
    static constexpr u32 kMaxMembers = RAIDParameters::kMaxDisks;

    RAIDDisk();
    ~RAIDDisk() override;

    bool isKindOf(int typeId) const override;
    void cleanup() override;
    u32 getBlockSize() override;
    u64 getBlockCount() override;
    void dump() override;
    // "RAID" for a set without members; else the layout and, for every
    // member, its first sector and identifier ("missing" for none).
    std::string getId() override;
    bool openImpl(bool write) override;
    void closeImpl() override;
    bool readBlocksImpl(u64 block, u32 count, void* buffer) override;
    bool writeBlocksImpl(u64 block, u32 count, const void* buffer) override;

    void setParameters(const RAIDParameters& parameters);
    RAIDParameters getParameters() const { return parameters; }
    Disk* getMember(u32 index) const;
    // Index 0 to 13, a disk with the set's block size (the first member sets
    // it). False, logged, for anything else.
    bool setMember(u32 index, Disk* disk);

    // Layout detection: afterwards the parameters are those of the best of
    // 210 candidates, unless memory ran out or the set cannot be probed.
    // With a check, the best-scoring candidates (every one within a margin
    // of the best, at least kVerifiedCandidates) are then judged by the file
    // systems that read back under them: the one with the most consistent
    // structures wins; where none shows any, the entropy order stands.
    void probeLayout(RAIDLayoutCheck* check = nullptr);
    static constexpr u32 kVerifiedCandidates = 16;

    // ---- measures of the layout detection (entropy per block of width bytes)
    // Mean absolute entropy difference across the boundaries k * step,
    // k = 1 .. length / step - 1, of the width bytes before and after.
    static float meanStripeDelta(const u8* data, u32 length, u32 width, u32 step);
    static float sumStripeDelta(const u8* data, u32 length, u32 width);
    static u32 countRatioJumps(const u8* data, u32 length, u32 width);
    static u32 countRatioJumps(const u8* data, u32 length, u32 width, u32 step);
    // The next three work on the probe state and are meaningful only while
    // probeLayout runs (they answer 0 otherwise).
    float raidDelta();
    float rawDelta(const u8* assembled);
    void sortCombinations();
    void dumpCombination(const ProbeCombination& combination);
    void dumpProbeCombinations(u32 count);
    u32 getPerDiskProbeBlockCount() const { return perDiskProbeBlockCount; }

    // Reads count blocks of one member. With probe set, copies from the
    // member's probe buffer instead. A read that fails, or a probe piece out
    // of range, gives zeros and false.
    bool readSingleDiskBlocks(u32 member, u64 block, u32 count, u8* buffer, bool probe);

    // When set, the detection assembles all probe blocks of every candidate
    // and measures them as they lie in memory; by default it assembles only
    // the blocks the measures read. Both give the same scores.
    void setProbeFullAssembly(bool full) { probeFullAssembly = full; }

private:
    void recomputeMemberBlockCount();
    void syncOpenMembers();
    void readLayout(u64 block, u32 count, u8* out, bool probe);
    void readParityPiece(u32 missing, u64 rowBlock, u32 count, u8* out, bool probe);

    // ---- layout detection (RAIDDiskProbe.cpp)
    bool allocateProbe();
    void releaseProbe();
    void scoreCandidate(ProbeCombination& combination, std::vector<u8>& assembled);
    float probeBlockEntropy(u32 member, u64 block) const;
    float assembledBlockEntropy(u64 block, bool& parityShort);
    float raidDeltaFromCache();
    float meanAssembledDelta(std::vector<float>& boundaryDelta);
    float rawDeltaFromDeltas(const std::vector<float>& boundaryDelta);
    void verifyCandidates(RAIDLayoutCheck& check);
    // Two members whose probe areas agree, or one of two missing: every
    // parity layout reads the set alike.
    bool readsAsMirror() const;

    RAIDParameters parameters;
    Disk* members[kMaxMembers] = {};
    // What the media behind the members hold, in blocks of the set.
    u64 mediaBlockCount = 0;

    // Members this disk opened (counted) while it is open.
    Disk* openedMembers[kMaxMembers] = {};
    bool isOpen = false;
    bool busy = false;  // a read or open is running: re-entry is a cycle
    bool naming = false;  // getId is running: re-entry is a cycle

    std::vector<u8> parityWork;

    // Layout detection state.
    std::vector<std::vector<u8>> probeBuffers;
    std::vector<std::vector<float>> probeEntropy;
    std::vector<ProbeCombination> combinations;
    std::vector<u8> probeScratch;
    float zeroEntropy = 0.0f;
    u32 perDiskProbeBlockCount = 0;
    bool probing = false;
    // While candidates are verified: blocks outside the probe buffers are
    // read from the members.
    bool probeReadsMembers = false;
    bool probeFullAssembly = false;
};

}  // namespace vorn
