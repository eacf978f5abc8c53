#include "platform/LinuxDiskManager.h"
#include "storage/DiskManager.h"

namespace vorn {

// The manager of this platform: the block devices of the Linux system.
DiskManager* createDiskManager() { return new LinuxDiskManager(); }

}  // namespace vorn
