// One fork of an HFS Plus file: its logical size and the extents (runs of
// allocation blocks) that hold it, in file order.
//
// A fork record holds the first eight extents; further ones live in the
// extents overflow B-tree. The extents here cover `totalBlocks` allocation
// blocks from the fork's start. A fork also remembers the last overflow
// record a read needed (`overflow`, covering the fork from block
// `overflowStartBlock`), so that a long read does not search the tree again
// for every piece. The volume is not owned; the remembered record is.
#pragma once

#include <memory>
#include <vector>

#include "misc/Types.h"

namespace vorn {

class HFSVolume;

struct HFSExtent {
    u32 startBlock = 0;
    u32 blockCount = 0;
};

class HFSForkData {
public:
    static constexpr u32 kForkRecordSize = 80;
    static constexpr u32 kExtentRecordCount = 8;

    HFSForkData() = default;
    HFSForkData(HFSVolume* volume, const u8* forkRecord);
    HFSForkData(HFSVolume* volume, const u8* extentRecords, u32 count);
    HFSForkData(const HFSForkData& other);

    void parse(const u8* forkRecord);
    void parseExtents(const u8* extentRecords, u32 count);
    // Volume byte offset of fork byte fileOfs and the bytes that follow it
    // in the same extent (never 0 on success).
    bool getVolumeOfs(u64 fileOfs, u64* volOfs, u64* contiguous) const;
    void dump() const;

    HFSVolume* volume = nullptr;
    std::vector<HFSExtent> extents;
    u64 logicalSize = 0;
    u64 clumpSize = 0;
    u64 totalBlocks = 0;

    std::unique_ptr<HFSForkData> overflow;
    u64 overflowStartBlock = 0;
};

}  // namespace vorn
