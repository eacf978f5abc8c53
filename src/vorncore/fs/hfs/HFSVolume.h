// An HFS Plus or HFSX volume, read-only, also one embedded in an HFS
// wrapper; a plain HFS volume mounts with its bitmap and an empty root.
//
// mount reads the volume header, builds the extents overflow and catalog
// B-trees, loads the allocation bitmap and names the volume after the root
// folder's catalog record. Allocation block 0 starts at the volume start
// (HFS Plus) or at drAlBlSt x 512 (plain HFS). Fork reads go through the
// fork's extents and, past them, the extents overflow tree.
//
// A volume may be longer than its medium (a copy that stopped short, a disk
// smaller than the volume claims): it mounts all the same, its bitmap holds
// no more blocks than the medium does, and the blocks whose part of the
// allocation file cannot be read (past the medium's end, a read error)
// count as in use.
//
// Every B-tree walk is bounded by the volume (HFSBTree::nodeCount,
// HFSBTreeNode). Keeps a record of which catalog record first showed each
// folder, so that a folder listed by several records is shown once and every
// walk over the tree ends.
//
// Ownership: owns both trees, the allocation fork and the bitmap; deletes
// its root item (when still set) in the destructor. Not thread-safe: reads
// count their nesting in readDepth.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fs/Volume.h"
#include "misc/Types.h"

namespace vorn {

class HFSBTree;
class HFSForkData;

class HFSVolume : public Volume {
public:
    static constexpr u32 kPlusSignature = 0x482B;  // "H+"
    static constexpr u32 kXSignature = 0x4858;     // "HX"
    static constexpr u32 kWrapperSignature = 0x4244;  // "BD"
    // Largest piece of one volume read.
    static constexpr u64 kMaxReadPiece = 8 * 1024 * 1024;

    explicit HFSVolume(Disk* disk);
    ~HFSVolume() override;

    bool mount(bool buildTree) override;
    bool isAllocationBlockUsed(u64 block) override;
    virtual void dump();

    // Reads len bytes of a fork from byte ofs; forkType 0 data, 0xFF resource.
    bool readFileAt(u64 fileID, u8 forkType, void* buf, u64 ofs, u64 len, HFSForkData* fork);
    void markForkDataBlocks(HFSForkData* fork);

    // The forks of the file "iNode<n>" in the private-data folder, which a
    // file hard link stands for; false when it is not found. The folder's
    // records are read once per volume, on the first question, into a list
    // sorted by inode: N links cost one walk and N lookups.
    bool findHardLinkTarget(u32 inode, std::unique_ptr<HFSForkData>* data, std::unique_ptr<HFSForkData>* rsrc);

    // Records that record `index` of the folder parentCNID shows the folder
    // cnid; false when another record showed it first (a folder is shown
    // once per volume; the same record may show it again, as when a walk
    // loads a folder it freed).
    bool claimFolder(u64 cnid, u64 parentCNID, u32 index);

    // Allocation blocks of the volume that lie on the medium.
    u64 blocksOnMedium() const;
    // Allocation blocks of a fork inside the volume, up to fork block
    // `blocks`: the fork's own extents and, past them, those in the extents
    // overflow file, each cut to the volume's blocks; never more than the
    // volume holds.
    u64 forkBlocksOnVolume(u64 fileID, u8 forkType, HFSForkData* fork, u64 blocks);

    HFSBTree* getCatalog() const { return m_catalog.get(); }
    HFSBTree* getExtentsOverflow() const { return m_extentsOverflow.get(); }
    bool isNameFound() const { return m_nameFound; }
    u64 getTotalBlocks() const { return m_totalBlocks; }
    u64 getVolumeHeaderOfs() const { return m_volumeHeaderOfs; }
    void setVolumeHeaderOfs(u64 ofs) { m_volumeHeaderOfs = ofs; }
    bool isPlainHFS() const { return m_plainHFS; }
    // With deferral, mount leaves the bitmap unread; the first question
    // about a block (or loadBitmap) reads it. loadBitmap fails only when the
    // bitmap cannot be allocated; an unreadable allocation file gives one
    // log line and a bitmap whose unread part marks its blocks in use.
    void setDeferBitmap(bool defer) { m_deferBitmap = defer; }
    bool loadBitmap();
    bool hasBitmap() const { return m_bitmapLoaded; }

private:
    static constexpr u64 kRootFolderID = 2;

    // An inode of the private-data folder: its data and resource fork
    // records (80 bytes each), as the catalog holds them.
    struct LinkTarget {
        u32 inode = 0;
        u8 forks[2 * 80] = {};
    };

    bool mountWrapper(const u8* mdb, u8* header);
    bool setupPlus(const u8* header);
    // The extents overflow record of a fork that holds fork block `block`,
    // and (start) the fork block where its extents begin; null when none.
    std::unique_ptr<HFSForkData> findOverflowExtents(u64 fileID, u8 forkType, u64 block, u64* start);
    u64 findPrivateFolder();
    void readLinkTargets();

    bool m_nameFound = false;
    bool m_mounted = false;
    u64 m_totalBlocks = 0;
    u32 m_readDepth = 0;
    std::unique_ptr<HFSBTree> m_catalog;
    std::unique_ptr<HFSBTree> m_extentsOverflow;
    std::unique_ptr<HFSForkData> m_allocationFork;
    std::vector<u8> m_bitmap;
    u64 m_volumeHeaderOfs = 1024;
    bool m_plainHFS = false;
    bool m_deferBitmap = false;
    bool m_bitmapLoaded = false;
    bool m_bitmapTried = false;
    bool m_rangeLogged = false;
    // Plain HFS: where the bitmap lies.
    u64 m_bitmapOfs = 0;
    // Hard links: the inodes of the private-data folder, read once.
    bool m_linkTargetsRead = false;
    std::vector<LinkTarget> m_linkTargets;
    // Folder CNID -> (parent CNID, record index) of the record that showed it.
    std::map<u64, std::pair<u64, u32>> m_folderClaims;
};

}  // namespace vorn
