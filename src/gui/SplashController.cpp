#include "gui/SplashController.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QTimer>
#include <cstdlib>

#ifdef VORN_HAVE_XCB
#include <xcb/xcb.h>
#endif

#include "gui/BackgroundView.h"
#include "gui/CTGradient.h"
#include "gui/StringTable.h"

namespace vorn::gui {

SplashController::SplashController(Clock clockFunction, Opacity opacity, QObject* parent)
    : QObject(parent),
      clock(std::move(clockFunction)),
      setOpacity(std::move(opacity)),
      timer(new QTimer(this)),
      compositing(compositingManagerRunning()) {
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

QPixmap SplashController::picture(bool roundedCorners) {
    QPixmap pixmap(420, 260);
    pixmap.fill(roundedCorners ? QColor(Qt::transparent) : QColor(Qt::white));
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    if (roundedCorners) {
        QPainterPath card;
        card.addRoundedRect(QRectF(pixmap.rect()).adjusted(1, 1, -1, -1), 18, 18);
        p.setClipPath(card);
    }
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
    if (!roundedCorners) {
        p.setClipping(false);
        p.setPen(QColor(120, 140, 170));
        p.drawRect(QRectF(pixmap.rect()).adjusted(0.5, 0.5, -0.5, -0.5));
    }
    return pixmap;
}

void SplashController::show() {
    if (splash) return;
    splash = new QLabel(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool);
    splash->setObjectName(QStringLiteral("splash"));
    splash->setAttribute(Qt::WA_TranslucentBackground, compositing);
    splash->setAttribute(Qt::WA_ShowWithoutActivating);
    const QPixmap image = picture(compositing);
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

bool compositingManagerRunning() {
    const QString platform = QGuiApplication::platformName();
    if (platform.startsWith(QLatin1String("wayland"))) return true;
#ifdef VORN_HAVE_XCB
    if (platform == QLatin1String("xcb")) {
        auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
        xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
        if (!connection) return false;
        // The screen of the display's name ("host:display.screen").
        int screen = 0;
        const QByteArray display = qgetenv("DISPLAY");
        const qsizetype dot = display.lastIndexOf('.');
        if (dot > display.lastIndexOf(':')) screen = display.mid(dot + 1).toInt();
        const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(screen);
        xcb_intern_atom_reply_t* atom =
            xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 1, uint16_t(name.size()), name.constData()), nullptr);
        if (!atom) return false;
        const xcb_atom_t selection = atom->atom;
        free(atom);
        if (selection == XCB_ATOM_NONE) return false;
        xcb_get_selection_owner_reply_t* owner =
            xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr);
        const bool owned = owner && owner->owner != XCB_WINDOW_NONE;
        free(owner);
        return owned;
    }
#endif
    return false;
}

}  // namespace vorn::gui
