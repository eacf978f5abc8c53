// A description of the machine for crash and feedback reports: memory,
// processors, clock, kernel version, processor name and model. Facts come
// from sysconf, /proc and /sys; the root those two live under is a seam, so
// tests read fixture files. Values are read on first use and kept.
#pragma once

#include <QString>

namespace vorn::gui {

class KvSystemInfo {
public:
    // root holds proc/ and sys/ ("/" on a running system).
    explicit KvSystemInfo(const QString& root = QStringLiteral("/"));

    // The process-wide instance for the running system.
    static KvSystemInfo& shared();

    qint64 physicalRAMSize() const;
    int cpuCount() const;
    // cpufreq's maximum of cpu0, else "cpu MHz" of /proc/cpuinfo; 0 when neither.
    int cpuClockSpeedMHz() const;
    QString machineModelName();
    QString cpuTypeName();
    // The kernel's release, as three numbers (missing ones are 0).
    void systemVersionComponents(long& major, long& minor, long& revision) const;
    QString systemVersionString() const;
    // "2x " with two processors or more, empty with one.
    QString processorPrefix() const;

    // The readable model text for a model code, by the model table: an exact
    // identifier wins, else the last identifier (in ascending order) that
    // occurs in the code; a family identifier is named in parentheses.
    static QString modelNameForCode(const QString& code);

private:
    QString readText(const QString& relative, qint64 limit = 64 * 1024) const;
    QString cpuInfoValue(const QString& key) const;

    QString root;
    QString model, cpuType;
};

}  // namespace vorn::gui
