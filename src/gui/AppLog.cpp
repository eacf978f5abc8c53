#include "gui/AppLog.h"

#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <mutex>

#include "misc/Utils.h"

namespace vorn::gui {

namespace {

constexpr qint64 kKeptBytes = 1 << 20;

std::mutex g_mutex;
FILE* g_file = nullptr;
qint64 g_written = 0;
bool g_installed = false;  // the file is to be written (installAppLog)
bool g_held = false;

// Opens the file to append to; under the lock.
void openLogFile() {
    const QString path = logFilePath();
    g_file = fopen(QFile::encodeName(path).constData(), "a");
    g_written = QFileInfo(path).size();
}

void handler(QtMsgType, const QMessageLogContext&, const QString& message) { appendLogLine(message); }

}  // namespace

QString logFilePath() {
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty()) state = QDir::homePath() + "/.local/state";
    return state + "/vorn/vorn.log";
}

void trimLogFile(const QString& path, qint64 maxBytes) {
    QFile file(path);
    if (!file.exists() || file.size() <= maxBytes || !file.open(QIODevice::ReadOnly)) return;
    file.seek(file.size() - maxBytes);
    QByteArray tail = file.readAll();
    file.close();
    const qsizetype lineEnd = tail.indexOf('\n');
    if (lineEnd >= 0) tail.remove(0, lineEnd + 1);
    QFile out(path);
    if (out.open(QIODevice::WriteOnly | QIODevice::Truncate)) out.write(tail);
}

void installAppLog() {
    const QString path = logFilePath();
    QDir().mkpath(QFileInfo(path).path());
    trimLogFile(path, kKeptBytes);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_installed = true;
        if (!g_held) openLogFile();
    }
    qInstallMessageHandler(handler);
}

void uninstallAppLog() {
    qInstallMessageHandler(nullptr);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_file) fclose(g_file);
    g_file = nullptr;
    g_installed = false;
    g_held = false;
}

bool holdLogFile(bool hold) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (hold == g_held) return false;
    g_held = hold;
    if (hold && g_file) {
        fclose(g_file);
        g_file = nullptr;
    } else if (!hold && g_installed) {
        openLogFile();
    }
    return true;
}

void appendLogLine(const QString& text) {
    QByteArray line = QByteArray("vorn[") + QByteArray::number(getpid()) + "] " + text.toUtf8();
    if (!line.endsWith('\n')) line += '\n';
    std::lock_guard<std::mutex> lock(g_mutex);
    fwrite(line.constData(), 1, size_t(line.size()), stderr);
    if (!g_file) return;
    fwrite(line.constData(), 1, size_t(line.size()), g_file);
    fflush(g_file);
    g_written += line.size();
    // The file grows to twice the kept size, then keeps its last MiB.
    if (g_written > 2 * kKeptBytes) {
        fclose(g_file);
        trimLogFile(logFilePath(), kKeptBytes);
        openLogFile();
    }
}

void CoreLogListener::logEvent(const char* text) {
    if (!text) return;
    std::string line = escapeLogLine(text);
    while (!line.empty() && line.back() == '\n') line.pop_back();
    appendLogLine(QStringLiteral("[core] ") + QString::fromUtf8(line.data(), qsizetype(line.size())));
}

}  // namespace vorn::gui
