// A folder or file of an ISO 9660 volume: the logical block where its data
// starts (its extent), its size and its recording date.
//
// Data is read through the volume, extent x the volume's logical block size
// from the volume's start, and never past the item's size. A folder loads
// its records once (addChildren); a record that would show the folder itself
// or one of its ancestors, or a folder already shown by another entry, is
// left out, so every walk over the tree ends; its directory is read within
// the bounds the volume keeps (ISODirectoryMap). `names` says how the names
// of the item's tree are written; its folders pass it on to their children.
#pragma once

#include <string>

#include "fs/VolumeItem.h"
#include "fs/iso/ISOVolume.h"
#include "misc/Types.h"

namespace vorn {

class ISOVolumeItem : public VolumeItem {
public:
    // Made-up folders: extent 0, size 0, date 0.
    ISOVolumeItem() = default;
    ISOVolumeItem(u64 extent, u64 size, ISONames names = ISONames::Guess)
        : m_extent(extent), m_size(size), m_names(names) {}
    ~ISOVolumeItem() override = default;

    std::string getId() override { return std::to_string(m_extent); }
    u32 getDate() override { return m_date; }
    u64 getSize() override { return m_size; }
    u32 read(u64 ofs, void* buf, u32 len) override;
    bool addChildren() override;

    u64 getExtent() const { return m_extent; }
    void setDate(u32 date) { m_date = date; }
    ISONames getNames() const { return m_names; }

private:
    u64 m_extent = 0;
    u64 m_size = 0;
    u32 m_date = 0;
    ISONames m_names = ISONames::Guess;
};

}  // namespace vorn
