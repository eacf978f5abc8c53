// The media list of a Linux system, read from sysfs without opening any
// device.
//
// Whole disks come from <sys>/block; their partitions are the folders below
// each disk that hold a "partition" file. Sizes come from sysfs ("size" is
// in 512-byte units whatever the sector size; the block size is the logical
// block size of the disk's queue). Labels, partition types and bus names
// come from the udev database when it is there; mounted volumes from the
// mountinfo file; labels also from <dev>/disk/by-label.
//
// Left out as no medium a user would choose: ram disks (ram*, zram*), loop
// devices without a backing file, hidden devices and devices whose size is 0
// (a drive without a medium). Partitions are all reported, with the flags
// that tell the disk manager which to leave out (extended-partition
// containers, EFI system partitions).
//
// Every path is injectable so that tests can run against a made-up tree.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "misc/Types.h"

namespace vorn {

struct SysfsRoots {
    std::string sys = "/sys";
    std::string dev = "/dev";
    std::string mountInfo = "/proc/self/mountinfo";
    std::string udevData = "/run/udev/data";
    std::string proc = "/proc";  // the processes (the write guard's look for FUSE servers)
};

// One whole disk or partition as the system describes it.
struct MediaInfo {
    std::string name;        // kernel name ("sda", "nvme0n1p2")
    std::string devicePath;  // <dev>/ + the node's name ("/dev/sda")
    std::string parent;      // kernel name of the whole disk; empty for a whole disk
    std::string parentDevicePath;  // the whole disk's node; empty for a whole disk
    bool whole = true;
    u32 major = 0;
    u32 minor = 0;
    u32 blockSize = 512;     // logical block size
    u64 blockCount = 0;      // size in bytes / block size
    u64 sizeBytes = 0;
    int type = 0;            // DiskType code
    std::string interfaceText;  // "USB", "ATA", "NVME", "SCSI", "VIRTIO", ...
    std::string displayName;    // label, or vendor and model (see displayNameFor)
    bool removable = false;
    std::string vendor;
    std::string model;
    std::string label;       // file-system label, empty when unknown
    bool mounted = false;
    std::string mountPoint;  // first mount point when mounted
    std::string backingFile; // loop devices
    int partitionNumber = 0;
    std::string partitionScheme;  // udev ID_PART_ENTRY_SCHEME ("dos", "gpt")
    std::string partitionType;    // udev ID_PART_ENTRY_TYPE, lower case
    std::string partitionName;    // the GPT partition name (PARTNAME)
    bool extendedContainer = false;
    bool efiSystemPartition = false;
};

class SysfsMediaScanner {
public:
    explicit SysfsMediaScanner(SysfsRoots roots = SysfsRoots());

    // Whole disks in natural name order (sda, sdb, ..., sdaa; nvme0n1 before
    // nvme1n1). False (with an empty list) when <sys>/block cannot be read.
    bool scanDisks(std::vector<MediaInfo>& disks);

    // The partitions of every listed whole disk, disk by disk, in partition
    // number order. False when <sys>/block cannot be read.
    bool scanPartitions(std::vector<MediaInfo>& partitions);

    const SysfsRoots& roots() const { return sysfsRoots; }

private:
    struct Context;
    void loadContext(Context& ctx);
    bool listDiskNames(std::vector<std::string>& names);
    bool describeDisk(const std::string& name, Context& ctx, MediaInfo& info);
    void describePartition(const MediaInfo& disk, const std::string& name, Context& ctx, MediaInfo& info);
    void addVolumeFacts(MediaInfo& info, const std::map<std::string, std::string>& udev, Context& ctx);

    SysfsRoots sysfsRoots;
};

// The name shown for a medium: the label of the volume mounted from it; else,
// for a partition, its file-system label; else, for a whole disk, vendor and
// model joined by a blank. May be empty.
std::string displayNameFor(const MediaInfo& info);

// Natural order of kernel names: digit runs compare by value, and letter runs
// that share two or more leading letters sort shorter first, so sdz comes
// before sdaa, sda before sr0, and nvme2n1 before nvme10n1.
bool naturalLess(const std::string& a, const std::string& b);

}  // namespace vorn
