// The file allocation table of a mounted FATVolume: entry lookup through a
// two-block cache and chain walking.
//
// The table is read through the volume (Volume::read), never written. Only
// links into the volume's cluster range (2 .. cluster count + 1) count as
// links, so a walk never leaves the data area. A per-table cursor keeps the
// last position reached in a chain: a sequential read of a file follows each
// link once, and the answers are the same as a walk from the chain's start.
// Chains are measured once: every cluster a measuring walk passes keeps its
// chain's length, last cluster and how it ends, so many files along one
// chain (chains that merge, share a tail or loop) cost one walk in all.
// They are kept only for clusters whose entry lies on the medium, in pages
// made as walks reach them, so their memory stays below a few times the
// table's bytes on the medium.
//
// Owned by its FATVolume; holds a non-owning pointer back to it.
#pragma once

#include <memory>
#include <vector>

#include "misc/Types.h"

namespace vorn {

class FATVolume;

enum FatType : int { FAT_TYPE_NONE = 0, FAT_TYPE_12 = 1, FAT_TYPE_16 = 2, FAT_TYPE_32 = 3 };

// Classes of a FAT entry.
enum FatEntryClass : int { FAT_ENTRY_FREE = 0, FAT_ENTRY_NEXT = 1, FAT_ENTRY_BAD = 2, FAT_ENTRY_EOF = 3 };

class FAT {
public:
    FAT(FATVolume* volume, int fatType, u64 fatOfs, u64 fatSize, int fatCount);

    // The entry of a cluster; 0 when it cannot be read or lies outside the table.
    u64 getEntry(u64 cluster);
    // Follows ofs / cluster size links from startCluster; false when a link
    // is not a next-cluster link inside the volume.
    bool getClusterAtOffset(u64 startCluster, u64 ofs, u64* cluster);
    // The link after `cluster`, which is link number `index` of the chain
    // that starts at startCluster; false at the chain's end or on a bad link.
    bool nextCluster(u64 startCluster, u64 index, u64 cluster, u64* next);
    // Clusters of the chain that starts at startCluster, counted up to max:
    // the start (when it is a cluster of the volume) and each link after it,
    // up to the chain's end or the first cluster it reaches a second time.
    u64 chainLength(u64 startCluster, u64 max);
    // The whole chain from startCluster as chainLength counts it: its
    // cluster count and its last cluster. True when it ends with an
    // end-of-chain entry; false when it loops (last is then 0), ends in a
    // free, bad or outside link, or does not start in the volume.
    bool chainEnd(u64 startCluster, u64* length, u64* last);
    // True when an entry is a next-cluster link to a cluster of the volume.
    bool isLink(u64 entry) const;
    int classify(u64 entry) const;
    void dump();

    int getFatType() const { return m_fatType; }
    u64 getFatOfs() const { return m_fatOfs; }
    u64 getFatSize() const { return m_fatSize; }
    int getFatCount() const { return m_fatCount; }
    int getUseFat() const { return m_useFat; }
    // 1-based copy of the table to read; 0 follows every cluster by the next.
    void setUseFat(int useFat);

    static const char* typeName(int fatType);
    static const char* classWord(int entryClass);

private:
    // A measured cluster: state 0 not measured, kOnWalk | i the i-th cluster
    // of the walk running, else the chain's length, with kEndMark when it
    // ends with an end-of-chain entry; last is its last cluster.
    struct ChainSlot {
        u32 state = 0;
        u32 last = 0;
    };
    struct ChainEnd {
        u64 length = 0;
        bool marked = false;
        u64 last = 0;
    };
    static constexpr u32 kPageBits = 12;
    static constexpr u32 kOnWalk = 0x80000000u;
    static constexpr u32 kEndMark = 0x40000000u;
    static constexpr u32 kCountBits = 0x3FFFFFFFu;
    ChainSlot* chainSlot(u64 cluster);
    ChainEnd measureChain(u64 startCluster);
    u64 lengthLimit();

    struct Cursor {
        bool valid = false;
        u64 start = 0;
        u64 index = 0;
        u64 cluster = 0;
    };

    u64 m_cachedSector = ~0ULL;
    std::vector<u8> m_buffer;
    u32 m_cachedBytes = 0;
    FATVolume* m_volume;
    int m_fatType;
    u64 m_fatOfs;
    u64 m_fatSize;
    int m_fatCount;
    int m_useFat = 1;
    Cursor m_cursor;
    std::vector<std::unique_ptr<ChainSlot[]>> m_chainPages;
    u64 m_lengthLimit = ~0ULL;  // clusters below it may keep a length; ~0: not worked out yet
};

}  // namespace vorn
