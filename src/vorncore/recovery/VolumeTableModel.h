// Item list of one folder as a table of five columns: name, size in KB,
// type, date modified and id. Rows follow the folder's volume sort type; the
// folder is sorted again before a cell is read when that sort type changed.
// The table never loads a folder: an unread folder shows no rows.
//
// Ownership: owns nothing; the folder and the Recovery (used to translate
// texts) outlive the model. The folder may be null (an empty table).
#pragma once

#include "misc/TableModelInterface.h"

namespace vorn {

class Recovery;

class VolumeTableModel : public TableModelInterface {
public:
    VolumeTableModel(Recovery* recovery, VolumeItem* folder);

    u32 getRowCount() override;
    u32 getColumnCount() override;
    std::string getText(u32 row, u32 column) override;
    std::string getColumnName(u32 column) override;
    int getIcon(u32 row) override;
    VolumeItem* getItem(u32 row) override;

    VolumeItem* getFolder() const { return folder; }

private:
    std::string translate(const std::string& key);

    VolumeItem* folder;
    Recovery* recovery;
};

}  // namespace vorn
