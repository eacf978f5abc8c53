#include "storage/DiskManager.h"

#include "misc/Log.h"
#include "storage/Disk.h"
#include "storage/ImageDisk.h"

namespace vorn {

DiskManager::DiskManager() { log(LOG_DEBUG, "DiskManager::DiskManager\n"); }

DiskManager::~DiskManager() {
    log(LOG_DEBUG, "DiskManager::~DiskManager\n");
    deleteDisks();
}

void DiskManager::scanForDisks() {}

void DiskManager::scanForPartitions() {
    log(LOG_DEBUG, "DiskManager::scanForPartitions\n");
    for (const auto& disk : disks)
        if (disk->isWhole()) disk->scanForPartitions();
}

u32 DiskManager::getDiskCount() { return u32(disks.size()); }

Disk* DiskManager::getDisk(u32 index) { return index < disks.size() ? disks[index].get() : nullptr; }

Disk* DiskManager::findDiskByPath(const std::string& path) {
    for (const auto& disk : disks)
        if (disk->getPath() == path) return disk.get();
    return nullptr;
}

Disk* DiskManager::findDiskById(const std::string& id) {
    for (const auto& disk : disks)
        if (disk->getId() == id) return disk.get();
    return nullptr;
}

void DiskManager::deleteDisks() {
    // Emptied first, so that nothing can reach a disk being deleted.
    std::vector<std::unique_ptr<Disk>> leaving;
    leaving.swap(disks);
    leaving.clear();
}

bool DiskManager::addDisk(Disk* disk) {
    if (!disk) return false;
    const std::string id = disk->getId();
    Disk* listed = findDiskById(id);
    log(LOG_DEBUG, "DiskManager::addDisk %s\n", id.c_str());
    if (listed) {
        log(LOG_DEBUG, "DiskManager::addDisk - disk already in list: %s\n", id.c_str());
        return false;
    }
    disks.emplace_back(disk);
    return true;
}

Disk* DiskManager::addImageDisk(const std::string& path) {
    ImageDisk* disk = new ImageDisk(path);
    if (!addDisk(disk)) {
        Disk* listed = findDiskById(disk->getId());
        delete disk;
        return listed;
    }
    disk->scanForPartitions();
    return disk;
}

void DiskManager::dump() {
    log(LOG_INFO, "---------DiskManager::dump-----------\n");
    for (size_t i = 0; i < disks.size(); ++i) {
        log(LOG_INFO, "%d: ", int(i));
        disks[i]->dump();
    }
    log(LOG_INFO, "---------------------------------------\n");
}

}  // namespace vorn
