#include "storage/DiskManager.h"

#include <memory>

#include "storage/RAIDDisk.h"

namespace vorn {

RAIDDisk* DiskManager::addRAIDDisk() { return addRAIDDisk(std::make_unique<RAIDDisk>()); }

RAIDDisk* DiskManager::addRAIDDisk(std::unique_ptr<RAIDDisk> raid) {
    if (!raid) return nullptr;
    if (addDisk(raid.get())) return raid.release();
    // The same members read the same way: the listed set is that set.
    Disk* listed = findDiskById(raid->getId());
    return listed && listed->isKindOf(KIND_RAID_DISK) ? static_cast<RAIDDisk*>(listed) : nullptr;
}

}  // namespace vorn
