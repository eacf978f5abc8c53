#include "fs/UnmountedVolume.h"

#include "misc/Log.h"

namespace vorn {

UnmountedVolume::UnmountedVolume(Disk* disk) : Volume(disk) { log(3, "UnmountedVolume::UnmountedVolume\n"); }

UnmountedVolume::~UnmountedVolume() { log(3, "UnmountedVolume::~UnmountedVolume\n"); }

bool UnmountedVolume::mount(bool) {
    log(3, "UnmountedVolume::mount - no file system recognised\n");
    return false;
}

bool UnmountedVolume::isAllocationBlockUsed(u64) { return false; }

}  // namespace vorn
