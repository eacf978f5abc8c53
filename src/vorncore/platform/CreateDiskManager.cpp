#include "platform/CreateDiskManager.h"

#include "platform/LinuxDiskManager.h"
#include "platform/VolumeInfo.h"
#include "storage/DisksReadBy.h"

namespace vorn {

std::unique_ptr<DiskManager> createDiskManager() {
    // Sets of these devices count each medium once: the kernel tells what a
    // partition or a loop device shows part of.
    setMediumBeneathQuery([](u64 device, MediumBeneath& beneath) { return mediumBeneathDevice(device, beneath); });
    return std::make_unique<LinuxDiskManager>();
}

}  // namespace vorn
