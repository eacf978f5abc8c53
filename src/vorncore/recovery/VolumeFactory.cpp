#include "recovery/VolumeFactory.h"

#include "fs/ScanContext.h"
#include "fs/fat/FATVolume.h"
#include "fs/foo/FooVolume.h"
#include "fs/hfs/HFSVolume.h"
#include "fs/iso/ISOVolume.h"
#include "fs/ntfs/NTFSVolume.h"

namespace vorn {

namespace {

template <class V>
std::unique_ptr<Volume> make(Disk* disk) {
    return std::make_unique<V>(disk);
}

// One line per reader, in the order of trial.
// Order of trial: template, ISO 9660, NTFS, FAT, HFS Plus.
const ReaderRegistration kReaders[] = {
    {"Foo", -1, make<FooVolume>},
    {"ISO 9660", ADD_VOLUME_ISO, make<ISOVolume>},
    {"NTFS", -1, make<NTFSVolume>},
    {"FAT", ADD_VOLUME_FAT, make<FATVolume>},
    {"HFS", ADD_VOLUME_HFS, make<HFSVolume>},
};

}  // namespace

std::span<const ReaderRegistration> readers() { return kReaders; }

std::unique_ptr<Volume> createVolumeForAddType(int addType, Disk* disk) {
    for (const ReaderRegistration& reader : kReaders)
        if (reader.addType == addType) return reader.create(disk);
    return nullptr;
}

}  // namespace vorn
