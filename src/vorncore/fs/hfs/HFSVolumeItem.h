// A folder or file of an HFSVolume: its catalog node identifier (CNID), its
// date (HFS seconds since 1904) and, for files, its data and resource forks.
//
// A folder loads its children once from the catalog records whose parent is
// its CNID; a folder record that names the folder itself or one of its
// ancestors is left out, and so is one that names a folder another record
// showed first (HFSVolume::claimFolder), so every walk ends and shows each
// folder once. A file hard link reads the forks
// of the file it stands for. Owns its forks; the volume is not owned.
#pragma once

#include <memory>
#include <string>

#include "fs/ForkedItem.h"
#include "fs/VolumeItem.h"
#include "misc/Types.h"

namespace vorn {

class HFSForkData;
struct HFSBTreeRecord;

class HFSVolumeItem : public VolumeItem, public ForkedItem {
public:
    // Bytes of a catalog record that a folder (24) or file (248) needs.
    static constexpr u32 kFolderRecordSize = 24;
    static constexpr u32 kFileRecordSize = 248;

    HFSVolumeItem();
    ~HFSVolumeItem() override;

    bool isKindOf(int kind) const override;
    std::string getId() override;
    u32 getDate() override;
    u64 getSize() override;
    u32 read(u64 ofs, void* buf, u32 len) override;
    void dump() override;
    bool addChildren() override;
    u64 getResourceForkSize() override;
    u32 readResourceFork(u64 ofs, void* buf, u32 len) override;

    // A new item from a folder (type 1) or file (type 2) catalog record, with
    // its forks on volume; null for other records or ones too short or
    // nameless.
    static HFSVolumeItem* fromCatalogRecord(const HFSBTreeRecord& record, Volume* volume);

    u64 getCNID() const { return m_cnid; }
    void setCNID(u64 cnid) { m_cnid = cnid; }
    void setHFSDate(u32 date) { m_date = date; }
    HFSForkData* getDataFork() const { return m_dataFork.get(); }
    HFSForkData* getResourceFork() const { return m_resourceFork.get(); }
    // Gives both forks the volume (found items join their volume late).
    void setForkVolume(Volume* volume);

private:
    u64 m_cnid = 0;
    u32 m_date = 0;
    std::unique_ptr<HFSForkData> m_dataFork;
    std::unique_ptr<HFSForkData> m_resourceFork;
    // Hard links: the iNode number whose forks to read, resolved on first use.
    u32 m_linkInode = 0;
    bool m_linkResolved = true;
    void resolveLink();
};

}  // namespace vorn
