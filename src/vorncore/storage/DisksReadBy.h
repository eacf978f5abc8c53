// Which disks, and which files behind them, a disk reads: a partition reads
// its parent, a RAID set its members, a simulated RAID member the simulator's
// source, a cache the disk it wraps. The writers use it so that nothing they
// write lands on what is being read.
#pragma once

#include <functional>
#include <vector>

#include "misc/OutputFile.h"
#include "misc/Types.h"

namespace vorn {

class Disk;
class ProtectedFiles;

// Every disk that reading disk may read: itself, its inner disks, partition
// parents, RAID members and the sources of simulated RAID members. Each once;
// bounded in depth, so a set-up that links back to itself ends.
std::vector<Disk*> disksReadBy(Disk* disk);

// True when reading disk may read target.
bool readsThrough(Disk* disk, Disk* target);

// A medium at the bottom of what disks read: a file, by its identity, or a
// block device, by its number.
struct Medium {
    bool device = false;
    FileIdentity identity;  // a block device: {0, its number}
    bool operator==(const Medium&) const = default;
};

// What a block device shows of the medium beneath it: a partition shows a
// stretch of its whole disk, a loop device one of its file (or of the block
// device it reads).
struct MediumBeneath {
    Medium medium;
    u64 end = 0;  // where that stretch ends, in bytes from the medium's start; 0 when unknown
};

// Tells what lies beneath a block device (its number); false when nothing
// does (a whole disk that is no loop device) or it cannot be told.
using MediumBeneathQuery = std::function<bool(u64 device, MediumBeneath& beneath)>;

// Installs the query that mediaBytesBehind follows (the platform installs
// the kernel's when it makes its disk manager; tests install tables) and
// returns the one it replaces. Without one, each device counts on its own.
MediumBeneathQuery setMediumBeneathQuery(MediumBeneathQuery query);

// Bytes of the media at the bottom of what reading disk may read: the disks
// it reaches that read no other (image files, devices), each medium counted
// once (one file listed under two names or through a hard link, one device
// under two nodes: at the largest size a disk over it gives). Devices that
// show part of another medium (a partition, a loop device over a file or a
// device, a loop over a partition of a loop) count, together with that
// medium and whatever else shows part of it, no more than the stretch of it
// they reach: a loop device and its image file count as the file, a disk
// and its partition as the disk, two partitions of one disk as the two.
// Everything reading disk yields comes from these, so no view built on them
// (a RAID set, a simulated member, one disk named twice) holds more real
// data than this. Saturates at the largest u64.
u64 mediaBytesBehind(Disk* disk);

// Adds to files the files that reading disk may read, as this layer knows
// them: the image files (the one opened and the one its path names now) and
// the paths of device nodes.
void addFilesReadBy(Disk* disk, ProtectedFiles& files);

}  // namespace vorn
