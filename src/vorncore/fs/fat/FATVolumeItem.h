// A folder or file of a FATVolume: its first cluster, its size and date.
//
// The size is the entry's, held on first use to the volume's data area and,
// for a live file, to its cluster chain. The FAT12/16 root has cluster 0 and
// the byte offset of the fixed root region; every other item has offset 0.
// Data is read through the volume by following the cluster chain. A folder
// loads its entries once (addChildren); an entry that would show one of its
// own ancestors, or a folder already shown by another entry, is left out, so
// every walk over the tree ends.
#pragma once

#include <string>

#include "fs/VolumeItem.h"
#include "misc/Types.h"

namespace vorn {

class FATVolumeItem : public VolumeItem {
public:
    FATVolumeItem() = default;
    explicit FATVolumeItem(bool container) : VolumeItem(container) {}

    std::string getId() override;
    u32 getDate() override { return m_date; }
    // The size of the entry, held to what the volume holds for the item
    // (FATVolume::boundFileSize: a live file ends with its cluster chain).
    u64 getSize() override;
    u32 read(u64 ofs, void* buf, u32 len) override;
    bool addChildren() override;
    void dump() override {}

    u64 getDataCluster() const { return m_dataCluster; }
    u64 getDataOfs() const { return m_dataOfs; }
    void setDataCluster(u64 cluster) { m_dataCluster = cluster; }
    void setDataOfs(u64 ofs) { m_dataOfs = ofs; }
    void setDate(u32 date) { m_date = date; }
    void setSize(u64 size) {
        m_size = size;
        m_sizeBounded = false;
    }

private:
    u64 m_dataCluster = 0;
    u64 m_dataOfs = 0;
    u32 m_date = 0;
    u64 m_size = 0;
    bool m_sizeBounded = false;
};

}  // namespace vorn
