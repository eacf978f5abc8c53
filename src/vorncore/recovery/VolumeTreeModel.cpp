#include "recovery/VolumeTreeModel.h"

#include "fs/VolumeItem.h"
#include "misc/Utils.h"
#include "recovery/Recovery.h"

namespace vorn {

namespace {

VolumeItem* asItem(Base* node) {
    if (!node || !node->isKindOf(KIND_VOLUME_ITEM)) return nullptr;
    return static_cast<VolumeItem*>(node);
}

// A folder is read and sorted the first time the outline needs it; an
// empty folder that was read once is not read again.
void loadLazily(VolumeItem* item) {
    if (item->getChildCount(true) != 0 || item->childrenLoaded()) return;
    item->loadChildren();
    item->sortChildren();
}

}  // namespace

VolumeTreeModel::VolumeTreeModel(Recovery* recovery) : recovery(recovery) {}

Base* VolumeTreeModel::getRoot() { return recovery ? recovery->getRootItem() : nullptr; }

bool VolumeTreeModel::isLeaf(Base* node) {
    VolumeItem* item = asItem(node);
    if (!item) return true;
    loadLazily(item);
    return item->getChildCount(false) == 0;
}

std::string VolumeTreeModel::getText(Base* node) {
    VolumeItem* item = asItem(node);
    if (!item) return std::string();
    if (item->getChildCount(true) == 0) item->loadChildren();
    return item->getName() + format(" (%d)", (int)item->getChildCount(true));
}

u32 VolumeTreeModel::getChildCount(Base* node) {
    VolumeItem* item = asItem(node);
    if (!item) return 0;
    loadLazily(item);
    return item->getChildCount(false);
}

Base* VolumeTreeModel::getChild(Base* node, u32 index) {
    VolumeItem* item = asItem(node);
    if (!item) return nullptr;
    loadLazily(item);
    return item->getChild(index, false);
}

int VolumeTreeModel::getTag(Base*) { return 0; }

int VolumeTreeModel::getIcon(Base* node, bool expanded) {
    VolumeItem* item = asItem(node);
    if (!item) return ICON_FILE;
    if (recovery && item == recovery->getSearchResultsItem()) return ICON_SEARCH_RESULTS;
    if (!item->isContainer()) return ICON_FOLDER_CLOSED;
    if (item->isDeleted()) return expanded ? ICON_DELETED_FOLDER_OPEN : ICON_DELETED_FOLDER_CLOSED;
    return expanded ? ICON_FOLDER_OPEN : ICON_FOLDER_CLOSED;
}

}  // namespace vorn
