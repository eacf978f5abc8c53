// The hint area's fade: a new text fades the old one out in steps of 0.2 of
// opacity per 0.1-second tick, is swapped in (and spoken) once the opacity is
// down to 0.2, and fades in again. The sum is formed in double and stored as
// a float, so from full opacity the swap comes on the fifth tick and the
// fade ends on the tenth.
#pragma once

#include <QString>

namespace vorn::gui {

struct HintFade {
    enum State { Still = 0, FadingIn = 1, FadingOut = 2 };

    float alpha = 1.0f;
    State state = Still;
    QString pending;  // the text to show next
    QString shown;    // the text on show

    // False when onlyIfNew and text is the pending text already.
    bool set(const QString& text, bool onlyIfNew);
    // One tick; true when the pending text was swapped in on this tick.
    bool tick();
};

}  // namespace vorn::gui
