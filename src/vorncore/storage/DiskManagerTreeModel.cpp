#include "storage/DiskManagerTreeModel.h"

#include "misc/Utils.h"
#include "storage/Disk.h"
#include "storage/DiskManager.h"

namespace vorn {

DiskManagerTreeModel::DiskManagerTreeModel(DiskManager* diskManager) : manager(diskManager) {}

bool DiskManagerTreeModel::isRoot(Base* node) const { return node && node == manager; }

Disk* DiskManagerTreeModel::asDisk(Base* node) {
    return node && node->isKindOf(KIND_DISK) ? static_cast<Disk*>(node) : nullptr;
}

std::string DiskManagerTreeModel::label(Disk* disk) {
    std::string name = disk->getName();
    if (name.empty()) name = "Unknown";
    return name + ", " + disk->getSizeString();
}

Base* DiskManagerTreeModel::getRoot() { return manager; }

bool DiskManagerTreeModel::isLeaf(Base* node) { return getChildCount(node) == 0; }

std::string DiskManagerTreeModel::getText(Base* node) {
    if (isRoot(node)) return "Disks";
    if (Disk* disk = asDisk(node)) return label(disk);
    return std::string();
}

u32 DiskManagerTreeModel::getChildCount(Base* node) {
    if (isRoot(node)) return manager->getDiskCount();
    if (Disk* disk = asDisk(node)) return disk->getPartitionCount();
    return 0;
}

Base* DiskManagerTreeModel::getChild(Base* node, u32 index) {
    if (isRoot(node)) return manager->getDisk(index);
    if (Disk* disk = asDisk(node)) return index < disk->getPartitionCount() ? disk->getPartition(index) : nullptr;
    return nullptr;
}

int DiskManagerTreeModel::getTag(Base* node) {
    (void)node;
    return 0;
}

int DiskManagerTreeModel::getIcon(Base* node, bool expanded) {
    (void)expanded;
    if (isRoot(node)) return ICON_DISK_ROOT;
    Disk* disk = asDisk(node);
    if (!disk) return ICON_OTHER_DISK;
    const bool lost = disk->isLostVolume();
    if (disk->isKindOf(KIND_PARTITION_DISK) || !disk->isWhole()) return lost ? ICON_PARTITION_LOST : ICON_PARTITION;
    if (disk->getType() == DISK_TYPE_FIXED) return lost ? ICON_FIXED_DISK_LOST : ICON_FIXED_DISK;
    return lost ? ICON_OTHER_DISK_LOST : ICON_OTHER_DISK;
}

}  // namespace vorn
