// The item of an NTFS volume: only the root folder exists, named after the
// root record's file name. It has no identity, date, size or children; its
// read reads volume bytes.
#pragma once

#include <string>

#include "fs/VolumeItem.h"
#include "misc/Types.h"

namespace vorn {

class NTFSVolumeItem : public VolumeItem {
public:
    NTFSVolumeItem() = default;
    explicit NTFSVolumeItem(bool container) : VolumeItem(container) {}

    std::string getId() override { return std::string(); }
    u32 getDate() override { return 0; }
    u64 getSize() override { return 0; }
    // Reads len bytes at volume offset ofs; len on success, 0 on failure.
    u32 read(u64 ofs, void* buf, u32 len) override;
    bool addChildren() override { return false; }
};

}  // namespace vorn
