// The splash window: our own picture in a frameless, see-through window in
// the middle of the screen while the window starts. It fades in, and once
// close() is asked for, stays until it has been on screen for 5 seconds
// and fades out. Every step runs on a 20 ms timer: nothing waits.
//
// Fade in: 0.01, then each step 10 % more, while not above 1.0 (49 steps).
// Fade out: 1.0, then each step less by a tenth of (1.1 - opacity), while
// above 0.05 (25 steps). Without a compositing window manager window
// opacity does nothing and the window simply appears and goes; a
// see-through window would show black where it is clear, so there the
// splash is an opaque picture with square corners.
//
// Tests hand in the clock (seconds) and what sets the opacity, and step
// the timer themselves.
#pragma once

#include <QObject>
#include <QPixmap>
#include <QPointer>
#include <functional>

class QLabel;
class QTimer;
class QWidget;

namespace vorn::gui {

class SplashController : public QObject {
    Q_OBJECT
public:
    using Clock = std::function<double()>;
    using Opacity = std::function<void(QWidget*, double)>;
    enum class State { NoWindow, FadingIn, Shown, Waiting, FadingOut, Closed };

    static constexpr double kMinimumSeconds = 5.0;
    static constexpr int kStepMs = 20;

    explicit SplashController(Clock clock = {}, Opacity opacity = {}, QObject* parent = nullptr);
    ~SplashController() override;

    void show();
    void close();
    QWidget* window() const;
    State state() const { return current; }
    // One step of the fades or the wait (what the timer runs).
    void tick();
    QTimer* stepTimer() const { return timer; }
    // The picture: with rounded, clear corners for a see-through window,
    // opaque to its corners otherwise.
    static QPixmap picture(bool roundedCorners = true);
    // Whether the splash may be see-through; compositingManagerRunning() by
    // default. Read by show().
    void setCompositing(bool on) { compositing = on; }

private:
    void finish();

    Clock clock;
    Opacity setOpacity;
    QTimer* timer;
    QPointer<QLabel> splash;
    State current = State::NoWindow;
    double alpha = 0;
    double splashStartTime = 0;
    bool closeRequested = false;
    bool compositing;
};

// True when a compositing manager draws the windows: Wayland always, X11
// when a compositor owns the screen's _NET_WM_CM_S selection; false for any
// other platform (offscreen included).
bool compositingManagerRunning();

}  // namespace vorn::gui
