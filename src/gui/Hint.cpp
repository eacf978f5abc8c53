#include "gui/Hint.h"

namespace vorn::gui {

bool HintFade::set(const QString& text, bool onlyIfNew) {
    if (onlyIfNew && text == pending) return false;
    pending = text;
    state = FadingOut;
    return true;
}

bool HintFade::tick() {
    if (state == Still) return false;
    alpha = float(double(alpha) + (state == FadingOut ? -0.2 : 0.2));
    if (alpha >= 1.0f) {
        state = Still;
        return false;
    }
    if (double(alpha) <= 0.2) {
        shown = pending;
        state = FadingIn;
        return true;
    }
    return false;
}

}  // namespace vorn::gui
