// A FAT12, FAT16 or FAT32 volume, read-only.
//
// mount reads the boot sector, works out the layout (FATs, fixed root region
// of FAT12/16, data area, cluster count and type) and, when asked, makes the
// root folder item; folders load their entries lazily (FATVolumeItem).
// Allocation block n is cluster n + 2. Valid cluster numbers run from 2 to
// cluster count + 1; every chain and every directory entry is held to that
// range, so file content never comes from the boot sector or the FATs.
//
// Ownership: owns its FAT; deletes its root item (when still set) in the
// destructor. Keeps a record of which directory entry first showed each
// folder cluster, and which directory each directory cluster belongs to, so
// that cross-linked folders and chains are shown only once: the entries of
// all folders together never outnumber what the volume's clusters can hold.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

#include "fs/Volume.h"
#include "misc/Types.h"

namespace vorn {

class FAT;

class FATVolume : public Volume {
public:
    explicit FATVolume(Disk* disk);
    ~FATVolume() override;

    bool mount(bool buildTree) override;
    bool isAllocationBlockUsed(u64 block) override;

    // Copies len bytes of the chain that starts at startCluster, from byte
    // ofs of the chain, into buf.
    bool readFileAt(u64 startCluster, void* buf, u64 ofs, u64 len);
    void dump();

    FAT* getFat() const { return m_fat.get(); }
    u64 getRootDirCluster() const { return m_rootDirCluster; }
    u64 getRootDirSize() const { return m_rootDirSize; }
    u64 getRootDirOfs() const { return m_rootDirOfs; }
    u64 getDataOfs() const { return m_dataOfs; }
    u64 getClusterCount() const { return m_countOfClusters; }
    int getFatType() const;
    bool isValidCluster(u64 cluster) const { return cluster >= 2 && cluster - 2 < m_countOfClusters; }
    // Volume byte offset of a cluster's first byte (cluster must be valid).
    u64 clusterOffset(u64 cluster) const { return m_dataOfs + (cluster - 2) * u64(m_allocBlockSize); }

    // A file's size held to what the volume can hold for it: the data area
    // (nothing without a first cluster in it) and, with followChain (live files), its
    // cluster chain, so that the file ends where its chain ends. A cut is
    // logged once, at level 1, with the item's name.
    u64 boundFileSize(u64 firstCluster, u64 size, bool followChain, const std::string& name);

    // Records that the entry `index` of the folder at parentCluster shows the
    // folder at cluster; false when another entry showed it first.
    bool claimFolder(u64 cluster, u64 parentCluster, u32 index);
    // Records that a cluster belongs to the directory whose chain starts at
    // owner; false when another directory's chain holds it (cross-linked).
    bool claimDirectoryCluster(u64 cluster, u64 owner);

    // A directory entry's DOS date and time as Unix seconds (local time);
    // 0 when the date is 0. Remembers the start of each hour it converted,
    // as the conversion asks the system's time zone every time.
    u32 dosTimeToUnix(u16 date, u16 time);

    // "NAME    EXT" as text: spaces left out, a '.' before a non-blank extension when withDot.
    static std::string shortNameToString(const u8* name, bool withDot);

private:
    u64 m_rootDirCluster = 0;
    u64 m_rootDirSize = 0;
    u64 m_rootDirOfs = 0;
    u64 m_dataOfs = 0;
    std::unique_ptr<FAT> m_fat;
    u64 m_countOfClusters = 0;
    std::map<u64, std::pair<u64, u32>> m_folderClaims;
    std::unordered_map<u64, u64> m_dirClusterOwners;
    std::unordered_map<u32, i64> m_hourStarts;
};

}  // namespace vorn
