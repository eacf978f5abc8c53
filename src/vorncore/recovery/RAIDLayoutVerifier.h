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
// and each sector of the first FAT against the second copy; on HFS Plus
// each file's extents against the allocation bitmap; on NTFS the first MFT
// records and their mirror. A wrong layout puts blocks of other
// stripes in the middle of these structures, so they stop agreeing across
// stripe boundaries. Where layouts agree on every structure and differ only
// in where file data lies, the files' contents decide: a file loses the
// share of the stripe boundaries inside its cluster runs (extents on HFS
// Plus) at which its data jumps (in byte entropy or in the share of text
// bytes) from one block to the next, and, as one more such boundary, its
// last block when that holds anything but zeros after the file's end
// (tools write new files with zeros there; a block of another stripe
// rarely ends so).
//
// Each call reads at most kMaxReadBytes of the set (what is read again comes
// from a cache and counts once) and follows at most kMaxChainLinks FAT
// links; what lies beyond is left unjudged, so no content makes one
// candidate cost more. A FAT file's chain is judged from the volume's
// measure of its chains (one walk for all files along a chain); its data is
// walked run by run only while stripe boundaries are left to compare.
//
// Keeps no state from one call to the next; reads only. While it runs, log
// lines and the readers' own lines on standard output are held back: the
// trial mounts of wrong candidates are no news to the user.
#pragma once

#include "misc/Types.h"
#include "storage/RAIDLayoutCheck.h"

namespace vorn {

class FATVolume;
class FATVolumeItem;
class HFSForkData;
class NTFSVolume;
class Volume;
class VolumeItem;

class RAIDLayoutVerifier : public RAIDLayoutCheck {
public:
    // Bounds of the walk over one volume.
    static constexpr u32 kMaxFolders = 256;
    static constexpr u32 kMaxItems = 8192;
    static constexpr u32 kMaxFatSectors = 2048;
    static constexpr u32 kMaxVolumes = 8;
    // Stripe boundaries inside files whose data is compared, per volume and per file.
    static constexpr u32 kMaxBoundaries = 2048;
    static constexpr u32 kMaxFileBoundaries = 32;
    static constexpr u32 kMaxMftRecords = 256;
    // FAT links followed and bytes read from the set per call, over all
    // volumes; the runs of a file that compare no boundary before its walk
    // stops; memory for what is read again.
    static constexpr u32 kMaxChainLinks = 1u << 18;
    static constexpr u64 kMaxReadBytes = 16ull << 20;
    static constexpr u32 kMaxIdleRuns = 16;
    static constexpr u32 kCacheBytes = 4u << 20;
    // Blocks compared on either side of a stripe boundary.
    static constexpr u32 kCompareBlock = 512;

    double structureScore(Disk* disk, u64 stripeBytes) override;

private:
    double volumeScore(Disk* disk);
    double treeScore(Volume* volume);
    double itemScore(Volume* volume, VolumeItem* item);
    static double fatCopiesScore(FATVolume* volume);
    static double mftScore(NTFSVolume* volume);
    double forkScore(Volume* volume, const HFSForkData& fork);
    double fatItemScore(FATVolume* volume, FATVolumeItem* item);
    // Share of the stripe boundaries inside bytes [ofs, ofs + length) of the
    // volume at which the data jumps; -1 when none was compared.
    double jumpShare(Volume* volume, u64 ofs, u64 length, u32& compared);
    static bool slackHolds(Volume* volume, u64 last, u64 size);

    // Of the call running: the stripe size, where the volume being walked
    // starts on the set, and how many boundaries may still be compared, FAT
    // links followed and bytes read.
    u64 stripeBytes = 0;
    u64 volumeStart = 0;
    u32 boundariesLeft = 0;
    u32 linksLeft = 0;
    u64 bytesLeft = 0;
};

}  // namespace vorn
