// The second stage of the RAID layout detection: a judge of what lies on the
// set under one candidate layout.
//
// RAIDDisk::probeLayout scores every candidate by entropy first; then it sets
// each of the best-scoring candidates in turn and asks the check how much
// file-system structure reads back consistently from the set. The storage
// layer knows no file system, so the check is handed in from above (the
// recovery layer's RAIDLayoutVerifier mounts the readers' volumes).
#pragma once

#include "misc/Types.h"

namespace vorn {

class Disk;

class RAIDLayoutCheck {
public:
    virtual ~RAIDLayoutCheck() = default;
    // How many structures of the file systems found on disk (the set under
    // the candidate layout being tried, whose stripes are stripeBytes long)
    // read back consistently, less those that do not; 0 when no volume is
    // found. Reads only, through disk.
    virtual double structureScore(Disk* disk, u64 stripeBytes) = 0;
};

}  // namespace vorn
