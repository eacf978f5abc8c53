// Which disks, and which files behind them, a disk reads: a partition reads
// its parent, a RAID set its members, a simulated RAID member the simulator's
// source, a cache the disk it wraps. The writers use it so that nothing they
// write lands on what is being read.
#pragma once

#include <vector>

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

// Bytes of the media at the bottom of what reading disk may read: the disks
// it reaches that read no other (image files, devices), each medium counted
// once (one file listed under two names or through a hard link, one device
// under two nodes: at the largest size a disk over it gives). Everything
// reading disk yields comes from these, so no view built on them (a RAID
// set, a simulated member, one disk named twice) holds more real data than
// this. Saturates at the largest u64.
u64 mediaBytesBehind(Disk* disk);

// Adds to files the files that reading disk may read, as this layer knows
// them: the image files (the one opened and the one its path names now) and
// the paths of device nodes.
void addFilesReadBy(Disk* disk, ProtectedFiles& files);

}  // namespace vorn
