// The disk list of a Linux system: the block devices that sysfs reports,
// whole disks as disks and their partitions as partitions of those disks,
// each a LinuxDisk over its /dev node, with type, interface, size and name
// from sysfs, udev and the mounted volumes. Listing opens no device.
//
// Left out: ram disks, loop devices without a backing file, drives without a
// medium, extended-partition containers and EFI system partitions. A
// partition whose whole disk is not listed is added as a disk of its own,
// through addDisk, so that a second scan does not list it twice.
//
// Ownership as DiskManager: the manager owns its disks, a disk its
// partitions.
#pragma once

#include "platform/SysfsMediaScanner.h"
#include "storage/DiskManager.h"

namespace vorn {

class LinuxDisk;

class LinuxDiskManager : public DiskManager {
public:
    explicit LinuxDiskManager(SysfsRoots roots = SysfsRoots());
    ~LinuxDiskManager() override;

    void scanForDisks() override;
    void scanForPartitions() override;

private:
    SysfsMediaScanner scanner;
};

}  // namespace vorn
