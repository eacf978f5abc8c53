#include "fs/ntfs/NTFSVolumeItem.h"

#include "fs/Volume.h"

namespace vorn {

u32 NTFSVolumeItem::read(u64 ofs, void* buf, u32 len) {
    Volume* volume = getVolume();
    return volume && volume->read(ofs, len, buf) ? len : 0;
}

}  // namespace vorn
