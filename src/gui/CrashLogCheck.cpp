#include "gui/CrashLogCheck.h"

#include <QDateTime>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <algorithm>
#include <cstdlib>
#include <cxxabi.h>

#include "gui/AppLog.h"
#include "gui/CrashHandler.h"
#include "gui/KvCrashReporter.h"
#include "gui/KvSystemInfo.h"

namespace vorn::gui {

namespace {

constexpr qint64 kMaxRead = 4 << 20;
const char kDateKey[] = "KvCrashReporterLastCrashReportDate";

// The first (or, with tail, the last) kMaxRead bytes of a file.
QByteArray readBounded(const QString& path, bool tail, bool* ok = nullptr) {
    QFile file(path);
    const bool opened = file.open(QIODevice::ReadOnly);
    if (ok) *ok = opened;
    if (!opened) return QByteArray();
    if (tail && file.size() > kMaxRead) file.seek(file.size() - kMaxRead);
    return file.read(kMaxRead);
}

// The backtrace names C++ functions by their linker names; the report shows
// them as written ("(_ZN4vorn3fooEv+0x12)" becomes "(vorn::foo()+0x12)").
QString demangleFrames(const QString& text) {
    static const QRegularExpression mangled(QStringLiteral("\\((_Z[A-Za-z0-9_.$]+)\\+"));
    QString out;
    qsizetype done = 0;
    for (auto it = mangled.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        int status = -1;
        char* plain = abi::__cxa_demangle(m.captured(1).toLatin1().constData(), nullptr, nullptr, &status);
        out += text.mid(done, m.capturedStart(1) - done);
        out += status == 0 && plain ? QString::fromUtf8(plain) : m.captured(1);
        free(plain);
        done = m.capturedEnd(1);
    }
    return out + text.mid(done);
}

}  // namespace

QString findNewestCrashLog(const QString& appName, const QString& folder) {
    QStringList candidates;
    QDirIterator it(folder, {appName + QStringLiteral("_*.crash")}, QDir::Files | QDir::CaseSensitive,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) candidates << it.next();
    std::sort(candidates.begin(), candidates.end());
    QString newest;
    QDateTime newestDate;
    for (const QString& path : candidates) {
        const QDateTime modified = QFileInfo(path).lastModified();
        if (newest.isEmpty() || modified > newestDate) {
            newest = path;
            newestDate = modified;
        }
    }
    return newest;
}

double lastCrashReportDate() { return QSettings().value(QString::fromLatin1(kDateKey), 0.0).toDouble(); }

void storeLastCrashReportDate(double seconds) {
    QSettings settings;
    settings.setValue(QString::fromLatin1(kDateKey), seconds);
    settings.sync();
}

QString crashLogToOffer(const QString& folder) {
    const QString file = findNewestCrashLog(QStringLiteral("vorn"), folder);
    if (file.isEmpty()) return QString();
    const double modified = double(QFileInfo(file).lastModified().toMSecsSinceEpoch()) / 1000.0;
    return modified > lastCrashReportDate() ? file : QString();
}

QString preferencesText() {
    QSettings settings;
    QStringList lines;
    for (const QString& key : settings.allKeys()) {
        // The reporter's draft and address are the report's own fields.
        if (KvCrashReporter::isOwnSettingsKey(key)) continue;
        lines << key + QStringLiteral(" = ") + settings.value(key).toString();
    }
    return lines.join('\n');
}

QString consoleLog() {
    const QList<QByteArray> lines = readBounded(logFilePath(), true).split('\n');
    QStringList kept;
    for (const QByteArray& line : lines)
        if (line.contains("vorn[")) kept << QString::fromUtf8(line);
    return kept.join('\n');
}

QString composeCrashText(const QString& crashFile) {
    bool ok = false;
    const QString content = QString::fromUtf8(readBounded(crashFile, false, &ok));
    QString report = demangleFrames(content.split(QStringLiteral("\n\n**********\n\n")).last());
    if (!ok || content.isEmpty()) report = QStringLiteral("*** Couldn't read Report ***");
    KvSystemInfo& info = KvSystemInfo::shared();
    return QStringLiteral("Model: %1\nCPU Speed: %2%3 GHz\n%4\n\nPreferences:\n%5\n%6")
        .arg(info.machineModelName(), info.processorPrefix(), QString::number(info.cpuClockSpeedMHz() / 1000.0, 'f', 2),
             report, preferencesText(), consoleLog());
}

void checkForNewCrashLog(Desktop* desktop, const QString& folder) {
    const QString file = crashLogToOffer(folder.isEmpty() ? crashFolder() : folder);
    if (file.isEmpty()) return;
    qInfo("offering crash report %s", qUtf8Printable(file));
    KvCrashReporter::open(composeCrashText(file), desktop);
}

}  // namespace vorn::gui
