#include "gui/SplashController.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QTimer>

#include "gui/BackgroundView.h"
#include "gui/CTGradient.h"
#include "gui/StringTable.h"

namespace vorn::gui {

SplashController::SplashController(Clock clockFunction, Opacity opacity, QObject* parent)
    : QObject(parent), clock(std::move(clockFunction)), setOpacity(std::move(opacity)), timer(new QTimer(this)) {
    if (!clock) {
        auto started = std::make_shared<QElapsedTimer>();
        started->start();
        clock = [started] { return started->nsecsElapsed() / 1e9; };
    }
    if (!setOpacity) setOpacity = [](QWidget* window, double a) { window->setWindowOpacity(a); };
    timer->setInterval(kStepMs);
    connect(timer, &QTimer::timeout, this, &SplashController::tick);
}

SplashController::~SplashController() { delete splash; }

QWidget* SplashController::window() const { return splash; }

QPixmap SplashController::picture() {
    QPixmap pixmap(420, 260);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath card;
    card.addRoundedRect(QRectF(pixmap.rect()).adjusted(1, 1, -1, -1), 18, 18);
    p.setClipPath(card);
    fillRect(p, CTGradient::gradientWithBeginningColor({1, 1, 1, 1}, {0.7f, 0.8f, 1.0f, 1}), QRectF(pixmap.rect()), 270);
    p.drawImage(QPoint(24, 66), BackgroundView::namedImage(QStringLiteral("largegears")));
    p.setPen(QColor(40, 50, 70));
    QFont font = p.font();
    font.setPointSize(30);
    font.setBold(true);
    p.setFont(font);
    p.drawText(QRect(170, 70, 230, 60), Qt::AlignLeft | Qt::AlignVCenter, appInfo().text(QStringLiteral("AppNameShort")));
    font.setPointSize(12);
    font.setBold(false);
    p.setFont(font);
    p.drawText(QRect(170, 130, 230, 60), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
               appInfo().text(QStringLiteral("AppName")));
    return pixmap;
}

void SplashController::show() {
    if (splash) return;
    splash = new QLabel(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool);
    splash->setObjectName(QStringLiteral("splash"));
    splash->setAttribute(Qt::WA_TranslucentBackground);
    splash->setAttribute(Qt::WA_ShowWithoutActivating);
    const QPixmap image = picture();
    splash->setPixmap(image);
    splash->resize(image.size());
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        splash->move(screen->geometry().center() - splash->rect().center());
    alpha = 0.01;
    setOpacity(splash, 0);
    splash->show();
    qInfo("splash shown");
    current = State::FadingIn;
    tick();
    timer->start();
}

void SplashController::close() {
    if (!splash || current == State::Waiting || current == State::FadingOut) return;
    qInfo("splash close request");
    if (current == State::FadingIn) {
        closeRequested = true;
        return;
    }
    current = State::Waiting;
    tick();
}

void SplashController::tick() {
    switch (current) {
        case State::FadingIn:
            setOpacity(splash, alpha);
            alpha += alpha * 0.1;
            if (alpha > 1.0) {
                splashStartTime = clock();
                current = closeRequested ? State::Waiting : State::Shown;
                if (current == State::Shown) timer->stop();
            }
            return;
        case State::Waiting:
            if (!timer->isActive()) timer->start();
            if (clock() - splashStartTime < kMinimumSeconds) return;
            current = State::FadingOut;
            alpha = 1.0;
            [[fallthrough]];
        case State::FadingOut:
            if (alpha > 0.05) {
                setOpacity(splash, alpha);
                alpha -= 0.1 * (1.1 - alpha);
            } else {
                finish();
            }
            return;
        default: return;
    }
}

void SplashController::finish() {
    timer->stop();
    qInfo("splash closing");
    if (splash) {
        splash->close();
        splash->deleteLater();
    }
    splash = nullptr;
    current = State::Closed;
}

}  // namespace vorn::gui
