#include "raw/RawVolumeItem.h"

#include <sstream>

#include "fs/Volume.h"
#include "misc/Log.h"
#include "storage/Disk.h"

namespace vorn {

RawVolumeItem::RawVolumeItem() = default;

RawVolumeItem::~RawVolumeItem() = default;

std::string RawVolumeItem::getId() {
    std::ostringstream text;
    text << startBlock;
    return text.str();
}

u32 RawVolumeItem::getDate() { return 0; }

u64 RawVolumeItem::getSize() { return size; }

bool RawVolumeItem::addChildren() { return false; }

u32 RawVolumeItem::read(u64 ofs, void* buf, u32 len) {
    bool ok = false;
    Volume* volume = getVolume();
    if (volume && ofs <= ~u64(0) - startOffset) {
        const u64 absolute = startOffset + ofs;
        const u64 volumeStart = volume->getDiskOffset();
        if (absolute >= volumeStart) {
            ok = volume->read(absolute - volumeStart, len, buf);
        } else if (Disk* disk = volume->getDisk()) {
            ok = disk->read(absolute, len, buf);
        }
    }
    if (!ok) {
        log(LOG_ERROR, "RawVolumeItem - read error\n");
        return 0;
    }
    return len;
}

}  // namespace vorn
