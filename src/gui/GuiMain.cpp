#include "gui/GuiMain.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gui/AppController.h"
#include "gui/AppLog.h"
#include "gui/CrashHandler.h"
#include "gui/CrashLogCheck.h"
#include "gui/SingleInstance.h"
#include "gui/SplashController.h"

namespace vorn::gui {

namespace {

bool connects(int family, const sockaddr* address, socklen_t length) {
    const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool ok = connect(fd, address, length) == 0;
    close(fd);
    return ok;
}

bool unixSocketAccepts(const std::string& path, bool abstract) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof address.sun_path) return false;
    memcpy(address.sun_path + offset, path.data(), path.size());
    const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
    return connects(AF_UNIX, reinterpret_cast<sockaddr*>(&address), length);
}

// DISPLAY is [host]:number[.screen]; a local display listens on the X
// socket (abstract or in /tmp/.X11-unix), a remote one on TCP 6000+number.
bool x11DisplayAccepts(const std::string& display) {
    const size_t colon = display.rfind(':');
    if (colon == std::string::npos) return false;
    const std::string host = display.substr(0, colon);
    const int number = atoi(display.c_str() + colon + 1);
    if (host.empty() || host == "unix") {
        const std::string socketPath = "/tmp/.X11-unix/X" + std::to_string(number);
        return unixSocketAccepts(socketPath, true) || unixSocketAccepts(socketPath, false);
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(6000 + number).c_str(), &hints, &found) != 0) return false;
    bool ok = false;
    for (addrinfo* a = found; a && !ok; a = a->ai_next) ok = connects(a->ai_family, a->ai_addr, a->ai_addrlen);
    freeaddrinfo(found);
    return ok;
}

bool waylandDisplayAccepts(const std::string& name) {
    if (name.empty()) return false;
    if (name[0] == '/') return unixSocketAccepts(name, false);
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    return runtime && unixSocketAccepts(std::string(runtime) + "/" + name, false);
}

}  // namespace

bool displayAvailable() {
    const char* platform = getenv("QT_QPA_PLATFORM");
    const std::string wanted = platform ? platform : "";
    const char* display = getenv("DISPLAY");
    const char* wayland = getenv("WAYLAND_DISPLAY");
    if (!wanted.empty() && wanted.rfind("xcb", 0) != 0 && wanted.rfind("wayland", 0) != 0) return true;
    if (wanted.rfind("xcb", 0) != 0 && wayland && waylandDisplayAccepts(wayland)) return true;
    if (wanted.rfind("wayland", 0) != 0 && display && x11DisplayAccepts(display)) return true;
    return false;
}

void showAlreadyRunningAlert() {
    // Nothing else of this copy is on screen; the alert stays above other
    // windows, a vorn window among them, until it is answered.
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), QStringLiteral("Application is already running!"),
                    QMessageBox::Ok);
    box.setObjectName(QStringLiteral("alreadyRunningAlert"));
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.exec();
}

int runWindowed(int argc, char** argv) {
    if (!displayAvailable()) {
        fprintf(stderr, "vorn: no display to show the window on; use the command line instead: vorn -cli (vorn -h for help)\n");
        return 1;
    }
    installAppLog();
    int status = 0;
    {
        QApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral("vorn"));
        // The display is there, so from here a fatal signal is a crash.
        if (!installCrashHandler()) qInfo("could not install the crash handler");
        // The name is claimed before the splash shows: a second copy shows
        // its alert alone, never under its own splash.
        qInfo("checking singleton application...");
        SingleInstance instance;
        if (!instance.claim()) {
            qInfo("failed");
            // The literal alert; a test may ask for the log line only.
            if (qEnvironmentVariableIsEmpty("VORN_NO_ALERTS")) {
                showAlreadyRunningAlert();
            } else {
                qInfo("alert: Application is already running!");
            }
        } else {
            SplashController splash;
            splash.show();
            AppController controller;
            // The application ends with its window, whatever else is open.
            QObject::connect(&controller, &AppController::windowClosed, &app, &QApplication::quit);
            controller.show();
            QTimer::singleShot(0, &controller, [] { checkForNewCrashLog(); });
            // Launching has finished: the splash goes after its 5 seconds.
            QTimer::singleShot(0, &splash, &SplashController::close);
            qInfo("window shown");
            status = app.exec();
        }
    }
    uninstallAppLog();
    return status;
}

}  // namespace vorn::gui
