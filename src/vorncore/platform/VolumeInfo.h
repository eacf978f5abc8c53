// Which device holds a folder: used before saving recovered files, so that
// the user is warned before writing onto the disk being recovered from.
//
// The folder's file system is found by its device number (stat's st_dev);
// sysfs (<sys>/dev/block/MAJOR:MINOR) names the device and, for a partition,
// its whole disk. A volume on a device-mapper or md device (LVM, encryption,
// RAID) lies on other devices: their whole disks are collected too, through
// the "slaves" folders. File systems without a block device of their own
// (btrfs subvolumes) are found through the source named in the mountinfo
// file. Nothing is opened.
#pragma once

#include <string>
#include <vector>

#include "misc/OutputFile.h"
#include "misc/Types.h"
#include "platform/SysfsMediaScanner.h"

namespace vorn {

struct VolumeDevice {
    std::string device;        // "/dev/sda2": the node of the file system's device
    std::string wholeDisk;     // "/dev/sda": its whole disk (the device itself when whole)
    std::vector<std::string> underlyingDisks;  // every whole disk below, wholeDisk first
};

// The device behind a device number; false when sysfs does not know it.
bool findVolumeDeviceByNumber(u32 major, u32 minor, VolumeDevice& out, const SysfsRoots& roots = SysfsRoots());

// The device of the volume holding path; false when the path cannot be
// looked at or its volume has no block device (tmpfs, overlay, network).
bool findVolumeDevice(const std::string& path, VolumeDevice& out, const SysfsRoots& roots = SysfsRoots());

// The device node of the volume that holds path ("/dev/sda2"), empty when it
// cannot be found.
std::string getVolumeInfoForPath(const char* path);

// True when writing into folder would write onto devicePath: devicePath is
// the folder's own device, or one of the whole disks below it (saving into
// /media/x on sdb1 while recovering from sdb). Another partition of the same
// disk does not count.
bool isPathOnDevice(const std::string& folder, const std::string& devicePath,
                    const SysfsRoots& roots = SysfsRoots());

// Adds to files the block devices whose blocks lie in one of its files or on
// one of its devices: a loop device over such a file (an image mounted to be
// looked at, or mounted by mistake while it is being recovered), its
// partitions and the mappings built on them (<sys>/block/loopN/holders).
// Whatever is written onto a file system there lands in the protected file.
void protectDevicesOverFiles(ProtectedFiles& files, const SysfsRoots& roots = SysfsRoots());

}  // namespace vorn
