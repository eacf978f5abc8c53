#include "misc/Log.h"
#include "storage/DiskManager.h"

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
