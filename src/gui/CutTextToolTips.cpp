#include "gui/CutTextToolTips.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QScreen>
#include <QStyle>
#include <QToolTip>

#include "gui/ToolTipWrapping.h"

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
        // A name wider than most of the screen (255 characters fit on no
        // screen in one line) is broken into lines, anywhere if need be, so
        // that all of it is seen.
        QString text = item.text;
        const QScreen* screen = view->screen();
        const int room = screen ? screen->availableGeometry().width() * 2 / 3 : 800;
        if (QFontMetrics(QToolTip::font()).horizontalAdvance(text) > room)
            text = stringWrappedForToolTipToPixelWidth(text, unsigned(room));
        QToolTip::showText(event->globalPos(), plainToolTip(text), view->viewport(), option.rect);
    } else {
        QToolTip::hideText();
        event->ignore();
    }
    return true;
}

}  // namespace vorn::gui
