// Data-model interfaces through which the front ends show outlines and
// tables without knowing the engine's classes. A model owns nothing that it
// points to; a front end owns the model it shows.
#pragma once

#include <string>

#include "misc/Base.h"
#include "misc/Types.h"

namespace vorn {

class VolumeItem;

// Icon numbers shared by all models and both front ends.
enum IconId : int {
    ICON_NONE = -1,
    ICON_FOLDER_CLOSED = 0,
    ICON_FOLDER_OPEN = 1,
    ICON_FILE = 2,
    ICON_DISK_ROOT = 3,
    ICON_DELETED_FILE = 4,
    ICON_DELETED_FOLDER_OPEN = 6,
    ICON_DELETED_FOLDER_CLOSED = 7,
    ICON_FIXED_DISK = 8,
    ICON_FIXED_DISK_LOST = 9,
    ICON_OTHER_DISK = 10,
    ICON_OTHER_DISK_LOST = 11,
    ICON_PARTITION = 12,
    ICON_PARTITION_LOST = 13,
    ICON_SEARCH_RESULTS = 14,
};

class TreeModelInterface {
public:
    virtual ~TreeModelInterface() = default;
    virtual Base* getRoot() = 0;
    virtual bool isLeaf(Base* node) = 0;
    virtual std::string getText(Base* node) = 0;
    virtual u32 getChildCount(Base* node) = 0;
    virtual Base* getChild(Base* node, u32 index) = 0;
    virtual int getTag(Base* node) = 0;
    virtual int getIcon(Base* node, bool expanded) = 0;
};

}  // namespace vorn
