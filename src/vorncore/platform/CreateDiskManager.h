// The disk manager of this platform. The front ends create theirs through it
// and hand it to the engine; storage itself never creates one.
#pragma once

#include <memory>

namespace vorn {

class DiskManager;

// A new manager of the Linux block devices, owned by the caller.
std::unique_ptr<DiskManager> createDiskManager();

}  // namespace vorn
