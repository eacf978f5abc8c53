// The resource fork of an item, as saving reads it.
//
// An item that has a resource fork (the HFS Plus item, kind 5) derives from
// this class besides VolumeItem, so that saving can reach the fork without
// knowing the file system: Recovery checks `item->isKindOf(KIND_HFS_VOLUME_ITEM)`
// and then `dynamic_cast<ForkedItem*>(item)`. An item of kind 5 that does not
// derive from it is saved without a fork.
//
// The fork is read like the data fork: through the item's volume and the
// cache. No ownership; the interface holds no data.
#pragma once

#include "misc/Types.h"

namespace vorn {

class ForkedItem {
public:
    virtual ~ForkedItem() = default;
    // Size of the resource fork in bytes; 0 when the item has none.
    virtual u64 getResourceForkSize() = 0;
    // Reads len bytes of the resource fork from byte ofs into buf; returns
    // the number of bytes read: len on success, 0 on failure.
    virtual u32 readResourceFork(u64 ofs, void* buf, u32 len) = 0;
};

}  // namespace vorn
