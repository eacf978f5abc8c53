#include "fs/iso/ISOVolumeItem.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "fs/iso/ISOAnalyser.h"
#include "fs/iso/ISOVolume.h"
#include "misc/Log.h"

namespace vorn {

namespace {

// Largest piece handed to one Volume::read (well below the disk's limit).
constexpr u64 kMaxReadPiece = 4 * 1024 * 1024;

u32 logicalBlockSize(Volume* volume) {
    const ISOVolume* iso = dynamic_cast<ISOVolume*>(volume);
    return iso ? iso->getLogicalBlockSize() : ISOVolume::kSectorSize;
}

}  // namespace

u32 ISOVolumeItem::read(u64 ofs, void* buf, u32 len) {
    if (!m_volume || !buf || ofs > m_size || len > m_size - ofs) return 0;
    const u64 start = m_extent * logicalBlockSize(m_volume) + ofs;
    u8* out = static_cast<u8*>(buf);
    for (u64 done = 0; done < len;) {
        const u64 n = std::min<u64>(len - done, kMaxReadPiece);
        if (!m_volume->read(start + done, static_cast<u32>(n), out + done)) return 0;
        done += n;
    }
    return len;
}

bool ISOVolumeItem::addChildren() {
    if (!m_container || !m_volume) return false;
    ISOVolume* iso = dynamic_cast<ISOVolume*>(m_volume);
    const u64 ofs = m_volume->getDiskOffset() + m_extent * logicalBlockSize(m_volume);
    std::vector<std::unique_ptr<ISOVolumeItem>> items;
    if (!ISOAnalyser::parseDir(m_volume->getDisk(), ofs, items, m_size, m_names, iso ? &iso->directories() : nullptr))
        return false;
    u32 index = 0;
    for (std::unique_ptr<ISOVolumeItem>& child : items) {
        ++index;
        if (child->isContainer()) {
            const u64 extent = child->getExtent();
            bool loops = false;
            for (VolumeItem* up = this; up && !loops; up = up->getParent()) {
                const ISOVolumeItem* folder = dynamic_cast<ISOVolumeItem*>(up);
                loops = folder && folder->getExtent() == extent;
            }
            if (loops) {
                log(LOG_WARNING, "ISOVolumeItem::addChildren - folder %s (extent=%lld) contains itself, skipped\n",
                    child->getName().c_str(), static_cast<long long>(extent));
                continue;
            }
            if (iso && !iso->claimFolder(extent, m_extent, index)) {
                log(LOG_WARNING, "ISOVolumeItem::addChildren - folder %s (extent=%lld) is shown elsewhere, skipped\n",
                    child->getName().c_str(), static_cast<long long>(extent));
                continue;
            }
        }
        VolumeItem* added = child.release();
        addChild(added);
        added->setVolume(m_volume);
        added->setParent(this);
    }
    return true;
}

}  // namespace vorn
