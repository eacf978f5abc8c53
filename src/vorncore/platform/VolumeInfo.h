// Which device holds a folder: used before saving recovered files, so that
// the user is warned before writing onto the disk being recovered from.
//
// The folder's file system is found by its device number (stat's st_dev);
// sysfs (<sys>/dev/block/MAJOR:MINOR) names the device and, for a partition,
// its whole disk. A volume on a device-mapper or md device (LVM, encryption,
// RAID) lies on other devices: their whole disks are collected too, through
// the "slaves" folders. File systems without a block device of their own
// (btrfs subvolumes) are found through the source named in the mountinfo
// file. Nothing is opened but loop device nodes, read-only, to ask them
// for the file they read.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "misc/OutputFile.h"
#include "misc/Types.h"
#include "platform/SysfsMediaScanner.h"
#include "storage/DisksReadBy.h"

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

// Small helpers over sysfs (nothing is opened for writing):
// Devices a device is built on ("slaves") or that are built on it
// ("holders"), listed at most.
constexpr size_t kMaxUnderlying = 64;
// Block devices, or a device's attributes and partitions, listed at most.
constexpr size_t kMaxDeviceEntries = 4096;
// At most the first 64 KiB of a file (a sysfs attribute); empty when it
// cannot be read.
std::string readSmallFile(const std::string& path);
// The names in a folder other than "." and "..", sorted; at most most of them.
std::vector<std::string> folderEntries(const std::string& folder, size_t most = kMaxUnderlying);
// The device number in a device folder's "dev" attribute ("7:0").
bool deviceNumberOf(const std::string& folder, u64& device);
// The sysfs folder of a device number (its real path), empty when sysfs does
// not know it.
std::string deviceFolderOf(u64 device, const SysfsRoots& roots = SysfsRoots());

// What a loop device reads, as the kernel tells it (LOOP_GET_STATUS64: the
// device and inode of its file), never by a path: a path in sysfs is the
// one the file had where and when the loop was set up (another mount
// namespace, a folder unmounted since, a name holding a line break).
enum class LoopFile {
    NoLoop,    // the node is no loop device (or cannot be opened)
    Detached,  // a loop device without a file
    Found,
};
struct LoopBacking {
    FileIdentity file;  // the file it reads (for a block device: the device's node)
    u64 device = 0;     // the block device it reads (lo_rdevice); 0 for a regular file
    u64 offset = 0;     // where in it the loop device's first byte lies (lo_offset)
};
// Asks the open descriptor of a loop device or of a partition of one.
LoopFile loopFileOf(int fd, LoopBacking& backing);
// Opens the block device node read-only and asks it; when device is not 0
// the node must be that device (st_rdev).
LoopFile loopFileOfNode(const std::string& node, u64 device, LoopBacking& backing);
// True when sysfs shows the block device (its device number) as a loop
// device or a partition of one.
bool isLoopDevice(u64 device, const SysfsRoots& roots = SysfsRoots());
// The file behind a block device (its device number) that sysfs shows as a
// loop device or a partition of one; NoLoop for any other device.
LoopFile loopFileOfDevice(u64 device, LoopBacking& backing, const SysfsRoots& roots = SysfsRoots());

// How protectDevicesOverFiles asks a loop device's node (tests put a table
// in place of the kernel).
using LoopQuery = std::function<LoopFile(const std::string& node, u64 device, LoopBacking& backing)>;

// Adds to files what reading a block device (its device number) reads in
// the end: behind a loop device (or a partition of one) its file, and, when
// that is a block device (a loop over a partition of another loop), what
// lies behind that in turn; behind a device built on others (device mapper,
// md: <sys>/block/NAME/slaves) what lies behind each of them.
void protectFilesBehindDevice(u64 device, ProtectedFiles& files, const SysfsRoots& roots = SysfsRoots(),
                              const LoopQuery& query = loopFileOfNode);

// Adds to files the block devices whose blocks lie in one of its files or on
// one of its devices: every loop device of the machine over such a file (an
// image mounted to be looked at, or mounted by mistake while it is being
// recovered), its partitions and the mappings built on them
// (<sys>/block/loopN/holders), the loop devices over one of those (a loop
// over a partition of the loop over the image), and those over a file on a
// file system that files' mount rules refuse (an image inside an image
// mounted through FUSE, or in a union of folders holding one). Whatever is
// written onto a file system there lands in the protected file. Loop devices
// are known by their kernel name in <sys>/block and asked at <dev>/NAME.
void protectDevicesOverFiles(ProtectedFiles& files, const SysfsRoots& roots = SysfsRoots(),
                             const LoopQuery& query = loopFileOfNode);

// What a block device (its device number) shows of the medium beneath it:
// a partition the stretch of its whole disk that sysfs gives (start, size),
// a loop device (asked through query) the stretch of its file, or of the
// block device it reads, from its offset on. False for any other device.
bool mediumBeneathDevice(u64 device, MediumBeneath& beneath, const SysfsRoots& roots = SysfsRoots(),
                         const LoopQuery& query = loopFileOfNode);

// Adds to files a block device being read (its device number), its
// partitions and the devices built on them: a file system mounted from any
// of them lies on the medium.
void protectDeviceTree(u64 device, ProtectedFiles& files, const SysfsRoots& roots = SysfsRoots());

}  // namespace vorn
