// Reads one FAT directory into items: the fixed root region of FAT12/16
// (cluster 0 at the region's offset) or a cluster chain.
//
// The whole directory is parsed by the constructor; takeRecords hands the
// items (in directory order) to the caller. The walk is bounded: it reads at
// most the volume's cluster count of clusters and 65,536 entries, ends at the
// first entry that starts with 0, at a chain link outside the volume, at a
// cluster it has read before (a loop) or that another directory holds, or at
// a piece that cannot be read. Directory bytes are read in pieces of at most
// 64 KiB, whatever the cluster size says.
//
// Items not taken are freed with the parser.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "misc/Types.h"

namespace vorn {

class FATVolume;
class FATVolumeItem;

class FATDirParser {
public:
    static constexpr u32 kMaxEntries = 65536;

    FATDirParser(FATVolume* volume, u64 cluster, u64 ofs, bool includeDeleted);
    FATDirParser(const FATDirParser&) = delete;
    FATDirParser& operator=(const FATDirParser&) = delete;

    // Reads the first piece of a cluster (cluster 0: of the fixed root region
    // at ofs) into the buffer; a failed read leaves zeros, which end the directory.
    bool readCluster(u64 cluster, u64 ofs);
    // Parses the whole directory into the records.
    bool getRecords();

    const std::map<u32, std::unique_ptr<FATVolumeItem>>& records() const { return m_records; }
    std::map<u32, std::unique_ptr<FATVolumeItem>> takeRecords();

    // Short-name checksum of the 11 name bytes, as long-name entries store it.
    static u8 shortNameChecksum(const u8* name);

private:
    bool readPiece(u64 cluster, u64 ofs, u64 within, u32 len);
    // Parses len bytes of the buffer; false when the directory ends there.
    bool parseEntries(u32 len);
    void parseShortEntry(const u8* e);

    bool m_includeDeleted;
    FATVolume* m_volume;
    u64 m_cluster = 0;
    u64 m_ofs = 0;
    std::vector<u8> m_buffer;
    std::map<u32, std::unique_ptr<FATVolumeItem>> m_records;

    // Parse state.
    u32 m_nextIndex = 0;
    u32 m_entriesSeen = 0;
    std::vector<u16> m_longName;
    u8 m_longChecksum = 0;
    bool m_longTooLong = false;
};

}  // namespace vorn
