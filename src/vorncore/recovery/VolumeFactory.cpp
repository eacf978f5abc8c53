#include "recovery/VolumeFactory.h"

#include "fs/UnmountedVolume.h"
#include "fs/fat/FATVolume.h"

namespace vorn {

Volume* createVolume(VolumeKind kind, Disk* disk) {
    switch (kind) {
        // Each reader adds its line here.
        case VolumeKind::FAT: return new FATVolume(disk);
        case VolumeKind::HFS:
            // Until the HFS Plus reader exists: the volume that is kept when nothing mounts.
            return new UnmountedVolume(disk);
        default:
            return nullptr;
    }
}

}  // namespace vorn
