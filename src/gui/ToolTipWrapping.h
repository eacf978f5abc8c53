// Line spacing of a text editor, and texts wrapped for tool tips: at a
// width, at a width-to-height ratio, or into a number of lines, measured in
// the tool-tip font with a line spacing of 1. UI thread only.
#pragma once

#include <QString>

class QPlainTextEdit;

namespace vorn::gui {

// Sets the spacing between the lines of the whole text; an empty text
// stays as it is.
void setLineSpacingTo(QPlainTextEdit* edit, int spacing);

QString stringWrappedForToolTipToPixelWidth(const QString& text, unsigned width);
// The narrowest width from 10 to 9,999 at which width / height reaches the
// ratio (10,000 when none does).
QString stringWrappedForToolTipToWidthToHeightRatio(const QString& text, float ratio);
// The narrowest width from 1 to 9,999 at which the text takes at most that
// many lines.
QString stringWrappedForToolTipToLineCount(const QString& text, unsigned count);

}  // namespace vorn::gui
