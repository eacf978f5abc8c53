#include "gui/CutTextToolTips.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QStyle>
#include <QToolTip>

namespace vorn::gui {

QString CutTextToolTips::plainToolTip(const QString& text) {
    return QStringLiteral("<p style='white-space:pre'>") + text.toHtmlEscaped() + QStringLiteral("</p>");
}

bool CutTextToolTips::helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                                const QModelIndex& index) {
    if (!event || !view || event->type() != QEvent::ToolTip || !index.isValid())
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    QStyleOptionViewItem item = option;
    initStyleOption(&item, index);
    const QStyle* style = view->style() ? view->style() : QApplication::style();
    // The width the style draws the text in: its rectangle less a margin on
    // either side; a wider text is drawn cut (with an ellipsis).
    const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &item, view);
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
    const bool cut = !item.text.isEmpty() && item.fontMetrics.horizontalAdvance(item.text) > textRect.width() - 2 * margin;
    if (cut) {
        QToolTip::showText(event->globalPos(), plainToolTip(item.text), view->viewport(), option.rect);
    } else {
        QToolTip::hideText();
        event->ignore();
    }
    return true;
}

}  // namespace vorn::gui
