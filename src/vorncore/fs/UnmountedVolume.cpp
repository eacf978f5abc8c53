#include "fs/UnmountedVolume.h"

#include "misc/Log.h"

namespace vorn {

UnmountedVolume::UnmountedVolume(Disk* disk) : Volume(disk) { log(LOG_DEBUG, "UnmountedVolume::UnmountedVolume\n"); }

UnmountedVolume::~UnmountedVolume() { log(LOG_DEBUG, "UnmountedVolume::~UnmountedVolume\n"); }

bool UnmountedVolume::mount(bool) {
    log(LOG_DEBUG, "UnmountedVolume::mount - no file system recognised\n");
    return false;
}

bool UnmountedVolume::isAllocationBlockUsed(u64) { return false; }

}  // namespace vorn
