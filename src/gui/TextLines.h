// A plain text editor's text as the lines its layout shows: a wrapped line
// gives one entry per shown line, and every line but the last keeps its
// line end.
#pragma once

#include <QStringList>

class QPlainTextEdit;
class QTextDocument;

namespace vorn::gui {

QStringList lines(const QPlainTextEdit* edit);
// The same for a laid-out document.
QStringList lines(const QTextDocument* document);
int numberOfLines(const QPlainTextEdit* edit);
// Keywords typed one per line: the lines trimmed, empty ones dropped.
QStringList keywordsOf(const QPlainTextEdit* edit);

}  // namespace vorn::gui
