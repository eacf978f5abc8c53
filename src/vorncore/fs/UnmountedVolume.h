// Stand-in for a reader that is not built yet: a volume that never mounts.
// It answers every allocation block as free, so a scan over it reads the
// whole disk; its allocation block is the disk block and its data offset 0.
// openExistingVolume keeps it when no reader mounted, so that a scan always
// has a volume.
#pragma once

#include "fs/Volume.h"

namespace vorn {

class UnmountedVolume : public Volume {
public:
    explicit UnmountedVolume(Disk* disk);
    ~UnmountedVolume() override;

    bool mount(bool buildTree) override;
    bool isAllocationBlockUsed(u64 block) override;
};

}  // namespace vorn
