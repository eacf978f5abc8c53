// The windowed front end's log: every Qt message and every engine line goes
// to standard error and to ~/.local/state/vorn/vorn.log as "vorn[pid] text".
// The file keeps its last MiB. Safe from any thread (the engine thread logs).
#pragma once

#include <QString>

#include "misc/LoggerEventListener.h"

namespace vorn::gui {

// Where the log file lives: $XDG_STATE_HOME/vorn/vorn.log, else
// $HOME/.local/state/vorn/vorn.log.
QString logFilePath();

// Opens the file (trimming it to its last MiB) and installs the Qt message
// handler. Call once, before the QApplication.
void installAppLog();
void uninstallAppLog();

// One line, written whole under the log's lock.
void appendLogLine(const QString& text);

// While held, the file is closed and lines go to standard error only (the
// file lies on the disk being read: a home folder on the disk being
// recovered). True when this changed whether it is held.
bool holdLogFile(bool hold);

// Engine lines as "[core] text", escaped.
class CoreLogListener : public LoggerEventListener {
public:
    void logEvent(const char* text) override;
};

// Keeps only the last maxBytes of the file, starting after a line end.
void trimLogFile(const QString& path, qint64 maxBytes);

}  // namespace vorn::gui
