#include "gui/KvSystemInfo.h"

#include <unistd.h>

#include <QFile>
#include <QRegularExpression>
#include <QSysInfo>
#include <algorithm>
#include <utility>
#include <vector>

namespace vorn::gui {

namespace {

// Identifier -> readable name; where no readable name is known the
// identifier stands for itself.
const std::pair<const char*, const char*> kModels[] = {
    {"AAPL,8500", "AAPL,8500"},
    {"AAPL,9500", "AAPL,9500"},
    {"AAPL,7200", "AAPL,7200"},
    {"AAPL,7300", "AAPL,7300"},
    {"AAPL,7500", "AAPL,7500"},
    {"AAPL,ShinerESB", "AAPL,ShinerESB"},
    {"AAPL,e407", "Alchemy(Performa 6400 logic-board design)"},
    {"AAPL,e411", "AAPL,e411"},
    {"AAPL,3400/2400", "AAPL,3400/2400"},
    {"AAPL,3500", "AAPL,3500"},
    {"AAPL,Gossamer", "AAPL,Gossamer"},
    {"AAPL,PowerMac G3", "AAPL,PowerMac G3"},
    {"AAPL,PowerBook1998", "AAPL,PowerBook1998"},
    {"AAPL", "Yikes! Old machine"},
    {"iMac,1", "iMac (first generation)"},
    {"iMac", "iMac"},
    {"PowerBook1,1", "PowerBook1,1"},
    {"PowerBook2,1", "iBook (clamshell)"},
    {"PowerBook2,2", "PowerBook2,2"},
    {"PowerBook3,1", "PowerBook3,1"},
    {"PowerBook3,2", "PowerBook3,2"},
    {"PowerBook3,3", "PowerBook3,3"},
    {"PowerBook3,4", "PowerBook3,4"},
    {"PowerBook3,5", "PowerBook3,5"},
    {"PowerBook4,1", "PowerBook4,1"},
    {"PowerBook4,2", "PowerBook4,2"},
    {"PowerBook4,3", "PowerBook4,3"},
    {"PowerBook4,4", "PowerBook4,4"},
    {"PowerBook5,1", "PowerBook5,1"},
    {"PowerBook5,2", "PowerBook5,2"},
    {"PowerBook5,3", "PowerBook5,3"},
    {"PowerBook6,1", "PowerBook6,1"},
    {"PowerBook6,2", "PowerBook6,2"},
    {"PowerBook6,3", "iBook G4"},
    {"PowerBook", "PowerBook or iBook"},
    {"PowerMac1,1", "Blue & White G3"},
    {"PowerMac1,2", "PowerMac1,2"},
    {"PowerMac2,1", "PowerMac2,1"},
    {"PowerMac2,2", "PowerMac2,2"},
    {"PowerMac3,1", "PowerMac3,1"},
    {"PowerMac3,2", "PowerMac3,2"},
    {"PowerMac3,3", "PowerMac3,3"},
    {"PowerMac3,4", "PowerMac3,4"},
    {"PowerMac3,5", "PowerMac3,5"},
    {"PowerMac3,6", "PowerMac G4 (MDD/Windtunnel)"},
    {"PowerMac4,1", "PowerMac4,1"},
    {"PowerMac4,2", "PowerMac4,2"},
    {"PowerMac4,4", "PowerMac4,4"},
    {"PowerMac4,5", "PowerMac4,5"},
    {"PowerMac5,1", "PowerMac5,1"},
    {"PowerMac5,2", "PowerMac5,2"},
    {"PowerMac6,1", "PowerMac6,1"},
    {"PowerMac7,2", "PowerMac G5"},
    {"PowerMac7,3", "PowerMac G5"},
    {"PowerMac", "PowerMac"},
    {"RackMac1,1", "RackMac1,1"},
    {"RackMac1,2", "RackMac1,2"},
    {"RackMac3,1", "XServe G5"},
    {"RackMac", "XServe"},
    {"Macmini1,1", "Mac Mini"},
    {"Macmini", "Mac Mini"},
};

}  // namespace

KvSystemInfo::KvSystemInfo(const QString& root) : root(root.endsWith('/') ? root : root + '/') {}

KvSystemInfo& KvSystemInfo::shared() {
    static KvSystemInfo info;
    return info;
}

QString KvSystemInfo::readText(const QString& relative, qint64 limit) const {
    QFile file(root + relative);
    if (!file.open(QIODevice::ReadOnly)) return QString();
    return QString::fromUtf8(file.read(limit));
}

QString KvSystemInfo::cpuInfoValue(const QString& key) const {
    const QStringList lines = readText(QStringLiteral("proc/cpuinfo"), 1 << 20).split('\n');
    for (const QString& line : lines) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed() == key) return line.mid(colon + 1).trimmed();
    }
    return QString();
}

qint64 KvSystemInfo::physicalRAMSize() const {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0 ? qint64(pages) * pageSize : 0;
}

int KvSystemInfo::cpuCount() const {
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? int(count) : 1;
}

int KvSystemInfo::cpuClockSpeedMHz() const {
    bool ok = false;
    const qint64 kHz =
        readText(QStringLiteral("sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq")).trimmed().toLongLong(&ok);
    if (ok && kHz > 0) return int(std::min<qint64>(kHz / 1000, INT_MAX));
    const double mhz = cpuInfoValue(QStringLiteral("cpu MHz")).toDouble(&ok);
    return ok && mhz > 0 && mhz < INT_MAX ? int(mhz) : 0;
}

QString KvSystemInfo::modelNameForCode(const QString& code) {
    std::vector<std::pair<QString, QString>> sorted;
    for (const auto& [id, name] : kModels) sorted.emplace_back(QString::fromLatin1(id), QString::fromUtf8(name));
    std::sort(sorted.begin(), sorted.end());
    const std::pair<QString, QString>* match = nullptr;
    for (const auto& row : sorted) {
        if (!code.contains(row.first)) continue;
        if (match && match->first.size() == code.size()) continue;  // an exact match stays
        match = &row;
    }
    if (!match) return QStringLiteral("Unknown (%1)").arg(code);
    if (!match->first.contains(',')) return QStringLiteral("%1 (%2)").arg(match->second, match->first);
    return match->second;
}

QString KvSystemInfo::machineModelName() {
    if (!model.isEmpty()) return model;
    const QString vendor = readText(QStringLiteral("sys/class/dmi/id/sys_vendor")).trimmed();
    const QString product = readText(QStringLiteral("sys/class/dmi/id/product_name")).trimmed();
    QString code = QStringList{vendor, product}.join(' ').trimmed();
    if (code.isEmpty()) code = readText(QStringLiteral("sys/firmware/devicetree/base/model")).remove(QChar(0)).trimmed();
    if (code.isEmpty()) code = QSysInfo::currentCpuArchitecture();
    model = modelNameForCode(code);
    return model;
}

QString KvSystemInfo::cpuTypeName() {
    if (!cpuType.isEmpty()) return cpuType;
    for (const char* key : {"model name", "cpu model", "Model", "cpu"}) {
        cpuType = cpuInfoValue(QString::fromLatin1(key));
        if (!cpuType.isEmpty()) return cpuType;
    }
    cpuType = QStringLiteral("Unknown (%1)").arg(QSysInfo::currentCpuArchitecture());
    return cpuType;
}

void KvSystemInfo::systemVersionComponents(long& major, long& minor, long& revision) const {
    QString release = readText(QStringLiteral("proc/sys/kernel/osrelease")).trimmed();
    if (release.isEmpty()) release = QSysInfo::kernelVersion();
    long parts[3] = {0, 0, 0};
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("^(\\d+)(?:\\.(\\d+))?(?:\\.(\\d+))?")).match(release);
    for (int i = 0; i < 3 && m.hasMatch(); ++i) parts[i] = m.captured(i + 1).left(9).toLong();
    major = parts[0];
    minor = parts[1];
    revision = parts[2];
}

QString KvSystemInfo::systemVersionString() const {
    long major, minor, revision;
    systemVersionComponents(major, minor, revision);
    return QStringLiteral("%1.%2.%3").arg(major).arg(minor).arg(revision);
}

QString KvSystemInfo::processorPrefix() const {
    const int count = cpuCount();
    return count != 1 ? QStringLiteral("%1x ").arg(count) : QString();
}

}  // namespace vorn::gui
