// The process-wide logger.
//
// A line is written when its level is at most the current level (0 errors,
// 1 warnings, 2 information, 3 debug). It goes to the registered
// LoggerEventListener, or to standard output when none is registered, and
// also to "log.txt" while file output is on. Nothing is added to the text.
//
// Texts from a disk are untrusted: a text that is already formatted is never
// used as a format again. `log(level, fmt(...))` writes the `fmt` result
// verbatim (the logger recognises its own buffer), and `log(level, text)`
// with a std::string or a writable char buffer writes the text verbatim.
// Any other `log` call takes a literal printf format. Lines longer than 8191
// characters are cut.
//
// On hot paths, test `logEnabled(level)` before computing arguments, or use
// VORN_LOG, which evaluates its arguments only when the line is written.
//
// The logger takes no lock; the engine runs on one thread.
#pragma once

#include <map>
#include <ostream>
#include <string>

#include "misc/LoggerEventListener.h"

namespace vorn {

enum LogLevel : int { LOG_ERROR = 0, LOG_WARNING = 1, LOG_INFO = 2, LOG_DEBUG = 3 };

namespace detail {
extern int g_logLevel;
}

inline bool logEnabled(int level) { return level <= detail::g_logLevel; }

void log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Text that was formatted already (a `fmt` result or any writable buffer):
// written verbatim, never read as a format.
void log(int level, char* text);
void log(int level, const std::string& text);

// Formats into the one shared buffer and returns it; the next call overwrites
// it. Longer results are cut at 8191 characters. Never null.
char* fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));

void logWrite(int level, const char* text);
void setLogListener(LoggerEventListener* listener);
LoggerEventListener* getLogListener();
void setLogLevel(int level);
int getLogLevel();
void setLogToFile(bool on);
void closeLogFile();
void hexdumpIfVerbose(const char* title, const void* data, int length);

// The set of names kept by the logger; nothing consults it.
void addLogName(const std::string& name);
void removeLogName(const std::string& name);
bool hasLogName(const std::string& name);

// Holds back the repeats of one operation's lines (a save of one file, the
// load of one folder) while it lives on the calling thread: of the lines at
// levels 0 to 2, the first of each format (of each text, for text that was
// formatted already) is written, later ones are counted; past maxLines
// written, every line is counted. When the scope ends it writes, for each
// format that came again, the first line with the count of the others
// ("12 more like: ...") and the number of lines cut by the limit. Debug lines
// (level 3) pass untouched. Scopes nest: the closing lines of an inner scope
// pass the outer one.
class LogLimit {
public:
    explicit LogLimit(unsigned maxLines);
    ~LogLimit();
    LogLimit(const LogLimit&) = delete;
    LogLimit& operator=(const LogLimit&) = delete;

    // Whether the innermost scope of this thread lets a line through; key
    // names its kind (the format, or the text itself).
    static bool admit(int level, const char* key, const char* text);

private:
    struct Kind {
        int level;
        std::string first;
        unsigned long long repeats = 0;
    };
    bool take(int level, const char* key, const char* text);

    LogLimit* outer;
    unsigned maxLines;
    unsigned written = 0;
    unsigned long long cut = 0;
    int cutLevel = 0;
    std::map<std::string, Kind> kinds;
};

// `logStream << text` writes the text as one level-2 line, unchanged.
struct LogStream {};
extern LogStream logStream;
LogStream& operator<<(LogStream& s, const std::string& text);
LogStream& operator<<(LogStream& s, const std::wstring& text);

}  // namespace vorn

#define VORN_LOG(level, ...)                         \
    do {                                             \
        if (::vorn::logEnabled(level)) {             \
            ::vorn::log((level), __VA_ARGS__);       \
        }                                            \
    } while (0)
