// A window growing out of a rectangle on the screen, or shrinking into one:
// a frameless copy of the window's picture is animated between the two
// rectangles, then the window itself is shown (or was hidden before). The
// animation runs on Qt's animation timer; nothing waits for it.
//
// The duration follows the size change (0.2 seconds per 150 pixels), five
// times as long while Shift is held. Tests hand in the modifiers and drive
// the animation's time themselves.
#pragma once

#include <QLabel>
#include <QObject>
#include <QPointer>
#include <QPropertyAnimation>
#include <QRect>
#include <functional>

namespace vorn::gui {

class WindowZoom : public QObject {
    Q_OBJECT
public:
    explicit WindowZoom(QObject* parent = nullptr);
    ~WindowZoom() override;

    // Where the keyboard modifiers come from (the application's by default).
    void setModifiers(std::function<Qt::KeyboardModifiers()> modifiers) { this->modifiers = std::move(modifiers); }
    // Seconds for a resize from one rectangle to another.
    double animationResizeTime(const QRect& from, const QRect& to) const;

    // Nothing when the window is visible already.
    void zoomOnFromRect(QWidget* window, const QRect& startRect);
    // Nothing when the window is hidden.
    void zoomOffToRect(QWidget* window, const QRect& endRect);

    // The running animation (none between zooms) and its copy window.
    QPropertyAnimation* animation() const { return running; }
    QLabel* zoomWindow() const { return copy; }

signals:
    void finished();

private:
    void start(QWidget* window, const QRect& from, const QRect& to, bool showAtEnd);
    void end();

    std::function<Qt::KeyboardModifiers()> modifiers;
    QPointer<QLabel> copy;
    QPointer<QPropertyAnimation> running;
    QPointer<QWidget> target;
    bool showTarget = false;
};

}  // namespace vorn::gui
