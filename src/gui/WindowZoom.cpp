#include "gui/WindowZoom.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPropertyAnimation>
#include <QWidget>
#include <algorithm>
#include <cstdlib>

namespace vorn::gui {

WindowZoom::WindowZoom(QObject* parent)
    : QObject(parent), modifiers([] { return QGuiApplication::queryKeyboardModifiers(); }) {}

WindowZoom::~WindowZoom() { delete copy; }

double WindowZoom::animationResizeTime(const QRect& from, const QRect& to) const {
    const int change = std::max(std::abs(to.width() - from.width()), std::abs(to.height() - from.height()));
    const double seconds = std::max(0.05, 0.2 * change / 150.0);
    return modifiers && (modifiers() & Qt::ShiftModifier) ? seconds * 5 : seconds;
}

void WindowZoom::zoomOnFromRect(QWidget* window, const QRect& startRect) {
    if (!window || window->isVisible()) return;
    // The window's picture: laid out at its size without being shown.
    window->ensurePolished();
    window->adjustSize();
    start(window, startRect, window->frameGeometry(), true);
}

void WindowZoom::zoomOffToRect(QWidget* window, const QRect& endRect) {
    if (!window || !window->isVisible()) return;
    const QRect frame = window->frameGeometry();
    start(window, frame, endRect, false);
    window->hide();
}

void WindowZoom::start(QWidget* window, const QRect& from, const QRect& to, bool showAtEnd) {
    end();
    target = window;
    showTarget = showAtEnd;
    copy = new QLabel(nullptr, Qt::FramelessWindowHint | Qt::Tool | Qt::WindowStaysOnTopHint);
    copy->setAttribute(Qt::WA_TransparentForMouseEvents);
    copy->setScaledContents(true);
    copy->setPixmap(window->grab());
    copy->setGeometry(from);
    copy->show();
    running = new QPropertyAnimation(copy, "geometry", this);
    running->setStartValue(from);
    running->setEndValue(to);
    running->setDuration(int(animationResizeTime(from, to) * 1000));
    connect(running, &QPropertyAnimation::finished, this, &WindowZoom::end);
    running->start();
}

void WindowZoom::end() {
    if (running) {
        running->disconnect(this);
        running->stop();
        running->deleteLater();
    }
    running = nullptr;
    if (copy) copy->deleteLater();
    copy = nullptr;
    if (target && showTarget) {
        target->show();
        target->raise();
    }
    const bool had = target != nullptr;
    target = nullptr;
    showTarget = false;
    if (had) emit finished();
}

}  // namespace vorn::gui
