// The item delegate of the outline and the table: where a cell's text is
// cut to fit its column, the cell's tool tip shows the whole text. The text
// is shown as written, never read as markup: names come from disks.
#pragma once

#include <QStyledItemDelegate>

namespace vorn::gui {

class CutTextToolTips : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

    // A tool tip that shows text literally (a tool tip guesses at markup).
    static QString plainToolTip(const QString& text);
};

}  // namespace vorn::gui
