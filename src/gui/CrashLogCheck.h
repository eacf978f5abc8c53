// The crash check at start: finds the newest crash file of the windowed
// application, and when it is newer than the last one handled (sent or
// discarded), composes the report text and opens a crash-mode reporter.
// Files are read in bounded pieces: a crash folder or log is no reason to
// take all memory.
#pragma once

#include <QString>

namespace vorn::gui {

class Desktop;

// The newest "<appName>_*.crash" under folder and its subfolders; among
// equally new files the first in name order. Empty when there is none.
QString findNewestCrashLog(const QString& appName, const QString& folder);

// Seconds since 1970 of the last crash report sent or discarded (0: none).
double lastCrashReportDate();
void storeLastCrashReportDate(double seconds);

// The crash file that should be offered now, or empty.
QString crashLogToOffer(const QString& folder);

// The text of a crash report from the crash file: model, speed, the last
// report of the file, the preferences and the application's log lines.
QString composeCrashText(const QString& crashFile);

// The settings as "key = value" lines.
QString preferencesText();

// The lines of the application's log file that hold "vorn[".
QString consoleLog();

// Runs the check once; desktop answers the reporter's alerts (not owned,
// null for the real one). Opens a reporter when a crash is to be offered.
void checkForNewCrashLog(Desktop* desktop = nullptr, const QString& folder = QString());

}  // namespace vorn::gui
