// The FAT analyser of the lost-files and lost-volumes scans, with two probes
// that recognise FAT structures in raw blocks: a boot sector that mounts, and
// a block that looks like a directory. The scan calls do nothing yet; the
// probes are stateless and may be used without a scan.
//
// The scan context is not owned.
#pragma once

#include <map>

#include "misc/Types.h"
#include "fs/AbstractAnalyser.h"

namespace vorn {

class Disk;

class FATAnalyser : public AbstractAnalyser {
public:
    explicit FATAnalyser(ScanContext* owner);
    ~FATAnalyser() override = default;

    void scanBegin() override {}
    void scanBlock() override {}
    void scanEnd() override;

    // True when block (len bytes read at diskOfs of the scan's disk) is a FAT
    // boot sector whose volume mounts.
    bool probeBootSector(u64 diskOfs, const u8* block, u32 len);
    static bool probeBootSector(Disk* disk, u64 diskOfs, const u8* block, u32 len);
    // True when block looks like a FAT directory block.
    static bool probeDirectoryBlock(const u8* block, u32 len);

private:
    std::map<u64, u64> dirEntryMap;
};

}  // namespace vorn
