#include "misc/Log.h"
#include "storage/DiskManager.h"

#if __has_include("storage/RAIDDisk.h")
#include "storage/RAIDDisk.h"

namespace vorn {

RAIDDisk* DiskManager::addRAIDDisk() {
    RAIDDisk* raid = new RAIDDisk();
    if (addDisk(raid)) return raid;
    // Every RAID set has the same identifier: hand out the listed one rather
    // than a set that nobody owns.
    Disk* listed = findDiskById(raid->getId());
    delete raid;
    return listed && listed->isKindOf(KIND_RAID_DISK) ? static_cast<RAIDDisk*>(listed) : nullptr;
}

}  // namespace vorn

#else

namespace vorn {

RAIDDisk* DiskManager::addRAIDDisk() {
    log(LOG_ERROR, "DiskManager::addRAIDDisk - RAID sets are not available\n");
    return nullptr;
}

}  // namespace vorn

#endif
