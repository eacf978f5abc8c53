// Icons of the engine's icon numbers, from the Adwaita theme; lost and
// deleted variants get a badge painted in code. Made on the UI thread only.
#pragma once

#include <QIcon>

namespace vorn::gui {

// Uses the Adwaita theme whatever the desktop says (offscreen and bare X
// sessions name none).
void useIconTheme();
// The icon of an engine icon number; a null icon for 3, 5 and unknown numbers.
QIcon iconForNumber(int number);
// A toolbar icon by theme name.
QIcon themeIcon(const char* name);

}  // namespace vorn::gui
