#include "platform/CreateDiskManager.h"

#include "platform/LinuxDiskManager.h"

namespace vorn {

std::unique_ptr<DiskManager> createDiskManager() { return std::make_unique<LinuxDiskManager>(); }

}  // namespace vorn
