#include "gui/ToolTipWrapping.h"

#include <QAbstractTextDocumentLayout>
#include <QFontMetricsF>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <QToolTip>
#include <algorithm>

#include "gui/TextLines.h"

namespace vorn::gui {

namespace {

void spaceLines(QTextDocument* document, int spacing) {
    if (document->isEmpty()) return;
    QTextCursor cursor(document);
    cursor.select(QTextCursor::Document);
    QTextBlockFormat format;
    format.setLineHeight(spacing, QTextBlockFormat::LineDistanceHeight);
    cursor.mergeBlockFormat(format);
}

// The shared measuring text: plain, in the tool-tip font, no margin.
class Measure {
public:
    explicit Measure(const QString& text) {
        document.setDefaultFont(QToolTip::font());
        document.setDocumentMargin(0);
        document.setPlainText(text);
        spaceLines(&document, 1);
    }
    void setWidth(double width) {
        document.setTextWidth(width);
        document.documentLayout()->documentSize();
    }
    QString wrapped(double width) {
        setWidth(width);
        return lines(&document).join(QLatin1Char('\n'));
    }
    int lineCount(double width) {
        setWidth(width);
        return int(lines(&document).size());
    }
    // Width of the widest laid-out line over the text's height.
    double ratio(double width) {
        setWidth(width);
        double widest = 0;
        for (QTextBlock block = document.begin(); block.isValid(); block = block.next())
            for (int i = 0; block.layout() && i < block.layout()->lineCount(); ++i)
                widest = std::max(widest, block.layout()->lineAt(i).naturalTextWidth());
        const double height = document.size().height();
        return height > 0 ? widest / height : 0;
    }
    double oneLineWidth() const { return QFontMetricsF(document.defaultFont()).horizontalAdvance(document.toPlainText()); }

private:
    QTextDocument document;
};

}  // namespace

void setLineSpacingTo(QPlainTextEdit* edit, int spacing) { spaceLines(edit->document(), spacing); }

QString stringWrappedForToolTipToPixelWidth(const QString& text, unsigned width) { return Measure(text).wrapped(width); }

QString stringWrappedForToolTipToWidthToHeightRatio(const QString& text, float ratio) {
    Measure measure(text);
    int low = 10, high = 9999, best = 10000;
    while (low <= high) {
        const int trial = (low + high) / 2;
        if (measure.ratio(trial) < ratio) {
            low = trial + 1;
        } else {
            best = trial;
            high = trial - 1;
        }
    }
    return measure.wrapped(best);
}

QString stringWrappedForToolTipToLineCount(const QString& text, unsigned count) {
    Measure measure(text);
    const double wanted = std::max(1u, count);
    double low = 1, high = 9999, best = 10000;
    int lowLines = -1, bestLines = -1;
    while (low < high) {
        double trial;
        if (lowLines < 0 && bestLines < 0) {
            trial = measure.oneLineWidth() / wanted;
        } else if (lowLines < 0) {
            trial = best * (bestLines / wanted);
        } else if (bestLines < 0) {
            trial = low * (lowLines / wanted);
        } else {
            trial = (best * (bestLines / wanted) + low * (lowLines / wanted)) / 2;
        }
        trial = std::floor(trial);
        if (trial <= low) trial = low + 1;
        if (trial >= best) trial = high;
        const int linesAtTrial = measure.lineCount(trial);
        if (linesAtTrial <= int(wanted)) {
            best = trial;
            bestLines = linesAtTrial;
            high = trial - 1;
        } else {
            low = trial;
            lowLines = linesAtTrial;
        }
    }
    return measure.wrapped(best);
}

}  // namespace vorn::gui
