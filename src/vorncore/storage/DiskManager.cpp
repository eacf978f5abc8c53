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
    for (Disk* disk : m_disks)
        if (disk->isWhole()) disk->scanForPartitions();
}

u32 DiskManager::getDiskCount() { return u32(m_disks.size()); }

Disk* DiskManager::getDisk(u32 index) { return index < m_disks.size() ? m_disks[index] : nullptr; }

Disk* DiskManager::findDiskByPath(const std::string& path) {
    for (Disk* disk : m_disks)
        if (disk->getPath() == path) return disk;
    return nullptr;
}

Disk* DiskManager::findDiskById(const std::string& id) {
    for (Disk* disk : m_disks)
        if (disk->getId() == id) return disk;
    return nullptr;
}

void DiskManager::deleteDisks() {
    // Emptied first, so that nothing can reach a disk being deleted.
    std::vector<Disk*> disks;
    disks.swap(m_disks);
    for (Disk* disk : disks) delete disk;
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
    m_disks.push_back(disk);
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
    for (size_t i = 0; i < m_disks.size(); ++i) {
        log(LOG_INFO, "%d: ", int(i));
        m_disks[i]->dump();
    }
    log(LOG_INFO, "---------------------------------------\n");
}

}  // namespace vorn
