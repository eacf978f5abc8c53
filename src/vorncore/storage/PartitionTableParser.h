// Reads a disk's partition table (GUID partition table, Apple partition
// map, or MBR with extended partitions) and adds a PartitionDisk for each
// partition that the system can use: HFS Plus, basic-data and EFI system
// entries of a GUID table, "Apple_HFS" entries of an Apple map, and every MBR entry that is not an
// extended partition.
//
// The parser keeps no state between calls. Partitions get the innermost
// disk behind the given disk as parent and are handed to that disk through
// `addPartition`; a refused partition is deleted.
//
// Every number read from a table is untrusted: offsets and counts are
// bounded by the disk, the Apple map's entry count and the MBR's extended
// chain are capped, and an extended partition table is never read twice in
// one walk, so a damaged or cyclic table ends with a log line and the
// partitions found so far.
#pragma once

#include <set>
#include <string>

#include "misc/Types.h"

namespace vorn {

class Disk;

class PartitionTableParser {
public:
    static constexpr u32 kMaxAppleMapEntries = 4096;
    static constexpr u32 kMaxMBRPartitions = 256;
    static constexpr u16 kMaxMBRLevel = 128;
    static constexpr u32 kMaxMBRTables = 1024;

    // The entry point: reads the tables through a small cache over disk;
    // false when the disk cannot be opened.
    static bool parserPartitionTable(Disk* disk);

    // The readers; true means the reader found its table and read it (also
    // when no partition was added).
    static bool parseGUIDPartitionTable(Disk* cache);
    static bool parseApplePartitionMap(Disk* cache);
    static bool parseMBRPartitionTable(Disk* cache, u64 sector, u64 extendedBase, u16 level);

private:
    // What one MBR walk has seen: the table sectors already read and the
    // partitions already created.
    struct MBRWalk {
        std::set<u64> tablesRead;
        u32 partitions = 0;
        bool partitionLimitLogged = false;
    };
    static bool parseMBR(Disk* cache, u64 sector, u64 extendedBase, u16 level, MBRWalk& walk);

    // Creates the partition [first, last] of the innermost disk behind cache
    // and adds it: 1 added, 0 refused as listed already (and deleted), -1 not
    // created because the blocks do not fit the disk.
    static int addPartition(Disk* cache, u64 first, u64 last, const std::string& name);
};

// Runs PartitionTableParser::parserPartitionTable; Disk::scanForPartitions
// calls it.
bool parsePartitionTableOf(Disk* disk);

}  // namespace vorn
