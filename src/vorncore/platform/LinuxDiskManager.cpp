#include "platform/LinuxDiskManager.h"

#include <cstdio>

#include "misc/Log.h"
#include "platform/LinuxDisk.h"

namespace vorn {

LinuxDiskManager::LinuxDiskManager(SysfsRoots roots) : DiskManager(), scanner(std::move(roots)) {
    log(LOG_DEBUG, "LinuxDiskManager::LinuxDiskManager\n");
}

LinuxDiskManager::~LinuxDiskManager() { log(LOG_DEBUG, "LinuxDiskManager::~LinuxDiskManager\n"); }

void LinuxDiskManager::scanForDisks() {
    log(LOG_DEBUG, "LinuxDiskManager::scanForDisks\n");
    std::vector<MediaInfo> media;
    if (!scanner.scanDisks(media)) {
        printf("LinuxDiskManager::scanForDisks - cannot read %s/block\n", scanner.roots().sys.c_str());
        return;
    }
    for (const MediaInfo& m : media) {
        LinuxDisk* disk = new LinuxDisk(m.devicePath);
        disk->setType(m.type);
        disk->setName(m.displayName);
        disk->setInterface(m.interfaceText);
        disk->setBlockSize(m.blockSize);
        disk->setBlockCount(m.blockCount);
        // The last session of a CD/DVD is found when the disc is first
        // opened, so that listing opens no device.
        if (!addDisk(disk)) delete disk;
    }
}

void LinuxDiskManager::scanForPartitions() {
    log(LOG_DEBUG, "LinuxDiskManager::scanForPartitions\n");
    std::vector<MediaInfo> media;
    if (!scanner.scanPartitions(media)) {
        printf("LinuxDiskManager::scanForPartitions - cannot read %s/block\n", scanner.roots().sys.c_str());
        return;
    }
    for (const MediaInfo& m : media) {
        if (!m.partitionType.empty()) log(LOG_DEBUG, "partition type: %s\n", m.partitionType.c_str());
        if (m.extendedContainer || m.efiSystemPartition) {
            log(LOG_DEBUG, "LinuxDiskManager::scanForPartitions - leaving out %s (%s)\n", m.devicePath.c_str(),
                m.extendedContainer ? "extended-partition container" : "EFI system partition");
            continue;
        }
        Disk* whole = findDiskByPath(m.parentDevicePath);
        LinuxDisk* partition = new LinuxDisk(m.devicePath);
        partition->setName(m.displayName);
        partition->setInterface(m.interfaceText);
        partition->setBlockCount(m.blockCount);
        partition->setBlockSize(m.blockSize);
        partition->setWhole(false);
        partition->setType(whole ? whole->getType() : m.type);
        if (whole) {
            if (!whole->addPartition(partition)) delete partition;
        } else if (!addDisk(partition)) {
            // Listed on its own; a repeated scan must not add it twice.
            delete partition;
        }
    }
}

}  // namespace vorn
