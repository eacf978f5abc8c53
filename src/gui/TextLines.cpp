#include "gui/TextLines.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextLayout>

namespace vorn::gui {

QStringList lines(const QPlainTextEdit* edit) { return lines(edit->document()); }

QStringList lines(const QTextDocument* document) {
    QStringList out;
    if (document->isEmpty()) return out;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        const QString text = block.text();
        const QTextLayout* layout = block.layout();
        const int count = layout ? layout->lineCount() : 0;
        const bool lastBlock = !block.next().isValid();
        if (count == 0) {
            out << (lastBlock ? text : text + QLatin1Char('\n'));
            continue;
        }
        for (int i = 0; i < count; ++i) {
            const QTextLine line = layout->lineAt(i);
            QString part = text.mid(line.textStart(), line.textLength());
            if (i == count - 1 && !lastBlock) part += QLatin1Char('\n');
            out << part;
        }
    }
    return out;
}

int numberOfLines(const QPlainTextEdit* edit) { return int(lines(edit).size()); }

QStringList keywordsOf(const QPlainTextEdit* edit) {
    QStringList out;
    for (const QString& line : lines(edit)) {
        const QString word = line.trimmed();
        if (!word.isEmpty()) out << word;
    }
    return out;
}

}  // namespace vorn::gui
