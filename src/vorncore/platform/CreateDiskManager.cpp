#include "platform/CreateDiskManager.h"

#include "platform/LinuxDiskManager.h"

namespace vorn {

DiskManager* createDiskManager() { return new LinuxDiskManager(); }

}  // namespace vorn
