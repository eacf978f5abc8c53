#include "recovery/VolumeFactory.h"

#include "fs/ScanContext.h"
#include "fs/UnmountedVolume.h"
#include "fs/fat/FATVolume.h"
#include "fs/iso/ISOVolume.h"

namespace vorn {

namespace {

template <class V>
Volume* make(Disk* disk) {
    return new V(disk);
}

// One line per reader, in the order of trial.
// Order of trial: template, ISO 9660, NTFS, FAT, HFS Plus.
const ReaderRegistration kReaders[] = {
    {"ISO 9660", ADD_VOLUME_ISO, make<ISOVolume>},
    {"FAT", ADD_VOLUME_FAT, make<FATVolume>},
    // Until the HFS Plus reader exists: the volume that is kept when nothing mounts.
    {"HFS", ADD_VOLUME_HFS, make<UnmountedVolume>},
};

}  // namespace

std::span<const ReaderRegistration> readers() { return kReaders; }

Volume* createVolumeForAddType(int addType, Disk* disk) {
    for (const ReaderRegistration& reader : kReaders)
        if (reader.addType == addType) return reader.create(disk);
    return nullptr;
}

}  // namespace vorn
