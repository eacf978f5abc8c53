// Root class of the engine's disks, the disk manager and the volume items.
//
// `isKindOf` is a run-time kind test over fixed type ids; a subclass answers
// true for its own id and otherwise asks its base class.
#pragma once

namespace vorn {

enum KindId : int {
    KIND_DISK = 0,
    KIND_PARTITION_DISK = 1,
    KIND_RAID_DISK = 2,
    KIND_VOLUME = 3,
    KIND_VOLUME_ITEM = 4,
    KIND_HFS_VOLUME_ITEM = 5,
};

class Base {
public:
    virtual ~Base() = default;
    virtual bool isKindOf(int typeId) const { (void)typeId; return false; }
};

}  // namespace vorn
