// The one place where file-system readers are registered.
//
// openExistingVolume tries the kinds in the order of kReaderOrder; addVolume
// creates a volume of a kind for a found volume. A kind whose reader is not
// built answers null.
#pragma once

namespace vorn {

class Disk;
class Volume;

enum class VolumeKind { Foo, ISO, NTFS, FAT, HFS };

inline constexpr VolumeKind kReaderOrder[] = {VolumeKind::Foo, VolumeKind::ISO, VolumeKind::NTFS,
                                              VolumeKind::FAT, VolumeKind::HFS};

// A new, unmounted volume of the kind over the disk, or null.
Volume* createVolume(VolumeKind kind, Disk* disk);

}  // namespace vorn
