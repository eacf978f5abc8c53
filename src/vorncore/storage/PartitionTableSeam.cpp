// Temporary stand-in: replaced by the partition-table parser.
#include "storage/Disk.h"

namespace vorn {

bool parsePartitionTableOf(Disk* disk) {
    (void)disk;
    return false;
}

}  // namespace vorn
