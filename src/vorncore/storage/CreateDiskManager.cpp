#include "storage/DiskManager.h"

namespace vorn {

// A manager without devices; the platform layer lists its devices by
// returning its own manager here.
DiskManager* createDiskManager() { return new DiskManager(); }

}  // namespace vorn
