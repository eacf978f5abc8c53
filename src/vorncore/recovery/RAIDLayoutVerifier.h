// Judges a candidate RAID layout by the file systems that read back under
// it: the second stage of RAIDDisk::probeLayout.
//
// On the set as the candidate assembles it, the verifier reads the partition
// table (PartitionTableParser) and tries every registered reader (readers()
// of VolumeFactory) on the set's start and on each partition, as browsing
// does. A volume that mounts is walked a bounded way from its root, and each
// structure met counts +1 when it agrees with the rest of the volume and -1
// when it does not: every item with a sane name and size; on FAT also each
// folder's "." and ".." entries, each file's cluster chain against its size,
// and each sector of the first FAT against the second copy. A wrong layout
// puts blocks of other stripes in the middle of these structures, so they
// stop agreeing across stripe boundaries.
//
// Stateless between calls; reads only. The readers' log lines about the
// candidates' trial mounts are held back while it runs.
#pragma once

#include "misc/Types.h"
#include "storage/RAIDLayoutCheck.h"

namespace vorn {

class FATVolume;
class FATVolumeItem;
class Volume;
class VolumeItem;

class RAIDLayoutVerifier : public RAIDLayoutCheck {
public:
    // Bounds of the walk over one volume.
    static constexpr u32 kMaxFolders = 256;
    static constexpr u32 kMaxItems = 8192;
    static constexpr u32 kMaxFatSectors = 2048;
    static constexpr u32 kMaxVolumes = 8;

    double structureScore(Disk* disk) override;

private:
    double volumeScore(Disk* disk);
    double treeScore(Volume* volume);
    double itemScore(Volume* volume, VolumeItem* item);
    static double fatCopiesScore(FATVolume* volume);
    static double fatItemScore(FATVolume* volume, FATVolumeItem* item);
};

}  // namespace vorn
