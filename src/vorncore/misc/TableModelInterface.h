// Data-model interface for the item list of one folder: rows and columns of
// text, an icon per row (see IconId). A model owns nothing it points to.
#pragma once

#include <string>

#include "misc/TreeModelInterface.h"
#include "misc/Types.h"

namespace vorn {

class VolumeItem;

class TableModelInterface {
public:
    virtual ~TableModelInterface() = default;
    virtual u32 getRowCount() = 0;
    virtual u32 getColumnCount() = 0;
    virtual std::string getText(u32 row, u32 column) = 0;
    virtual std::string getColumnName(u32 column) = 0;
    virtual int getIcon(u32 row) = 0;
    virtual VolumeItem* getItem(u32 row) = 0;
};

}  // namespace vorn
