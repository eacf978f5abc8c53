#include "recovery/VolumeTableModel.h"

#include <ctime>

#include "fs/VolumeItem.h"
#include "misc/Utils.h"
#include "recovery/Recovery.h"

namespace vorn {

namespace {

enum Column : u32 { COL_NAME = 0, COL_SIZE = 1, COL_TYPE = 2, COL_DATE = 3, COL_ID = 4, COLUMN_COUNT = 5 };

}  // namespace

VolumeTableModel::VolumeTableModel(Recovery* recovery, VolumeItem* folder) : folder(folder), recovery(recovery) {}

std::string VolumeTableModel::translate(const std::string& key) {
    return recovery ? recovery->localizedString(key) : key;
}

u32 VolumeTableModel::getRowCount() { return folder ? folder->getChildCount(true) : 0; }

u32 VolumeTableModel::getColumnCount() { return COLUMN_COUNT; }

std::string VolumeTableModel::getText(u32 row, u32 column) {
    if (!folder) return std::string();
    folder->sortChildren();
    if (row >= folder->getChildCount(true)) return std::string();
    VolumeItem* item = folder->getChild(row, true);
    if (!item) return std::string();
    switch (column) {
        case COL_NAME: return item->getName();
        case COL_SIZE: {
            if (item->isContainer()) return std::string();
            u64 size = item->boundedSize();
            u64 kb = size / 1024 + (size % 1024 != 0 ? 1 : 0);  // rounded up, without overflow
            return format("%lld KB", (long long)kb);
        }
        case COL_TYPE: return translate(item->isContainer() ? "Folder" : "File");
        case COL_DATE: {
            u32 date = item->getDate();
            if (date == 0) return translate("n/a");
            return timeToString(static_cast<time_t>(date));
        }
        case COL_ID: return item->getId();
        default: return std::string();
    }
}

std::string VolumeTableModel::getColumnName(u32 column) {
    switch (column) {
        case COL_NAME: return "Name";
        case COL_SIZE: return "Size";
        case COL_TYPE: return "Type";
        case COL_DATE: return "Date modified";
        case COL_ID: return "ID";
        default: return std::string();
    }
}

int VolumeTableModel::getIcon(u32 row) {
    VolumeItem* item = getItem(row);
    if (!item) return ICON_NONE;
    if (item->isContainer()) return item->isDeleted() ? ICON_DELETED_FOLDER_CLOSED : ICON_FOLDER_CLOSED;
    return item->isDeleted() ? ICON_DELETED_FILE : ICON_FILE;
}

VolumeItem* VolumeTableModel::getItem(u32 row) {
    if (!folder || row >= folder->getChildCount(true)) return nullptr;
    return folder->getChild(row, true);
}

}  // namespace vorn
