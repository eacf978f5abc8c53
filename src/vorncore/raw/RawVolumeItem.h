// The item of a file carved by the deleted-files scan: a run of bytes on
// the disk, from its first byte for size bytes.
//
// The start is kept as the absolute byte offset on the volume's disk, so a
// file that begins inside a disk block (a volume whose data area is not
// block-aligned) reads from its exact first byte; the identity text is the
// start's disk block number (start / disk block size). Reads go through the
// item's volume (not owned).
#pragma once

#include "fs/VolumeItem.h"

namespace vorn {

class RawVolumeItem : public VolumeItem {
public:
    RawVolumeItem();
    ~RawVolumeItem() override;

    std::string getId() override;
    u32 getDate() override;
    u64 getSize() override;
    // len bytes from byte ofs of the file; not bounded by the size.
    u32 read(u64 ofs, void* buf, u32 len) override;
    bool addChildren() override;

    void setStartBlock(u64 block) { startBlock = block; }
    u64 getStartBlock() const { return startBlock; }
    // Absolute byte offset of the file's first byte on the volume's disk.
    void setStartOffset(u64 offset) { startOffset = offset; }
    u64 getStartOffset() const { return startOffset; }
    void setSize(u64 bytes) { size = bytes; }

private:
    u64 startBlock = 0;
    u64 size = 0;
    u64 startOffset = 0;
};

}  // namespace vorn
