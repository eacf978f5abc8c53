// The template of a file-system reader: shows how a reader is added (its
// folder, a Volume subclass, an item class, an analyser, one registration
// line). Its mount never succeeds, so the next reader is always tried.
//
// Ownership: a root item made by mount belongs to the caller, like every
// volume's root; the volume only detaches it.
#pragma once

#include "fs/Volume.h"

namespace vorn {

class FooVolume : public Volume {
public:
    explicit FooVolume(Disk* disk) : Volume(disk) {}

    // With buildTree, makes a folder named after the volume its root; answers false.
    bool mount(bool buildTree) override;
    bool isAllocationBlockUsed(u64) override { return true; }
};

}  // namespace vorn
