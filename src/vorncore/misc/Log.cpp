#include "misc/Log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>

#include "misc/Utils.h"

namespace vorn {

namespace detail {
int g_logLevel = 1;
}

namespace {

constexpr size_t kLineSize = 8192;

LoggerEventListener* g_listener = nullptr;
bool g_toFile = false;

// Start-up state: created before main by the static initialiser below, so
// that `fmt` has its buffer from the start; the file is closed when the
// program ends.
struct LoggerState {
    char fmtBuffer[kLineSize] = {0};
    std::ofstream file;
    std::set<std::string> names;
    ~LoggerState() {
        if (file.is_open()) file.close();
    }
};

LoggerState* state() {
    static LoggerState s;
    return &s;
}

// Forces creation during static initialisation.
[[maybe_unused]] LoggerState* const g_stateAtStart = state();

bool isFmtBuffer(const char* p) {
    const char* b = state()->fmtBuffer;
    return p >= b && p < b + kLineSize;
}

}  // namespace

LogStream logStream;

void logWrite(int level, const char* text) {
    (void)level;
    if (!text) return;
    if (g_listener) {
        g_listener->logEvent(text);
    } else {
        fputs(text, stdout);
    }
    if (g_toFile && state()->file.is_open()) {
        state()->file << text;
        state()->file.flush();
    }
}

void log(int level, const char* format, ...) {
    if (level > detail::g_logLevel || !format) return;
    if (isFmtBuffer(format)) {
        // Already formatted by fmt: never a format again.
        char line[kLineSize];
        snprintf(line, sizeof line, "%s", format);
        logWrite(level, line);
        return;
    }
    char line[kLineSize];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    logWrite(level, line);
}

void log(int level, const std::string& text) {
    if (level > detail::g_logLevel) return;
    if (text.size() < kLineSize) {
        logWrite(level, text.c_str());
    } else {
        logWrite(level, text.substr(0, kLineSize - 1).c_str());
    }
}

char* fmt(const char* format, ...) {
    char local[kLineSize];
    local[0] = 0;
    if (format) {
        va_list ap;
        va_start(ap, format);
        vsnprintf(local, sizeof local, format, ap);
        va_end(ap);
    }
    char* shared = state()->fmtBuffer;
    memcpy(shared, local, strlen(local) + 1);
    return shared;
}

void setLogListener(LoggerEventListener* listener) { g_listener = listener; }
LoggerEventListener* getLogListener() { return g_listener; }
void setLogLevel(int level) { detail::g_logLevel = level; }
int getLogLevel() { return detail::g_logLevel; }

void setLogToFile(bool on) {
    g_toFile = on;
    if (on && !state()->file.is_open()) {
        state()->file.open("log.txt", std::ios::out | std::ios::trunc | std::ios::binary);
    }
}

void closeLogFile() {
    if (state()->file.is_open()) state()->file.close();
}

void hexdumpIfVerbose(const char* title, const void* data, int length) {
    if (getLogLevel() >= 3) hexdump(title, data, length);
}

void addLogName(const std::string& name) { state()->names.insert(name); }
void removeLogName(const std::string& name) { state()->names.erase(name); }
bool hasLogName(const std::string& name) { return state()->names.count(name) != 0; }

LogStream& operator<<(LogStream& s, const std::string& text) {
    log(2, text);
    return s;
}

LogStream& operator<<(LogStream& s, const std::wstring& text) {
    log(2, wideToUtf8(text));
    return s;
}

}  // namespace vorn
