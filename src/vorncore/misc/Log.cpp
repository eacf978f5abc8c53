#include "misc/Log.h"

#include <cstdarg>
#include <cstdint>
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
thread_local LogLimit* t_limit = nullptr;

// The logger's lasting state. It is created on first use (at the latest by
// the static initialiser below) and never freed, so that code logging during
// program shutdown still finds it; only the file is closed at the end.
struct LoggerState {
    char fmtBuffer[kLineSize] = {0};
    std::ofstream file;
    std::set<std::string> names;
};

LoggerState* state() {
    static LoggerState* s = new LoggerState;
    return s;
}

// Creates the state during start-up initialisation and closes the log file
// when the program ends.
struct LoggerLifetime {
    LoggerLifetime() { state(); }
    ~LoggerLifetime() { closeLogFile(); }
} g_loggerLifetime;

bool isFmtBuffer(const char* p) {
    const uintptr_t b = reinterpret_cast<uintptr_t>(state()->fmtBuffer);
    const uintptr_t q = reinterpret_cast<uintptr_t>(p);
    return q >= b && q < b + kLineSize;
}

// Writes text verbatim, cut to one line buffer. The text is copied first,
// because it may be the shared fmt buffer, which a listener may reuse while
// it handles the line.
void writeVerbatim(int level, const char* text) {
    char line[kLineSize];
    size_t n = strnlen(text, kLineSize - 1);
    memcpy(line, text, n);
    line[n] = 0;
    if (t_limit && !LogLimit::admit(level, line, line)) return;
    logWrite(level, line);
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
    if (g_toFile) {
        std::ofstream& file = state()->file;
        if (file.is_open()) {
            file << text;
            file.flush();
        }
    }
}

void log(int level, const char* format, ...) {
    if (level > detail::g_logLevel || !format) return;
    if (isFmtBuffer(format)) {
        // Already formatted by fmt: never a format again.
        writeVerbatim(level, format);
        return;
    }
    char line[kLineSize];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    if (n < 0) return;
    if (t_limit && !LogLimit::admit(level, format, line)) return;
    logWrite(level, line);
}

void log(int level, char* text) {
    if (level > detail::g_logLevel || !text) return;
    writeVerbatim(level, text);
}

void log(int level, const std::string& text) {
    if (level > detail::g_logLevel) return;
    writeVerbatim(level, text.c_str());
}

LogLimit::LogLimit(unsigned maxLines) : outer(t_limit), maxLines(maxLines) { t_limit = this; }

LogLimit::~LogLimit() {
    t_limit = outer;
    for (auto& [key, kind] : kinds) {
        if (kind.repeats == 0) continue;
        std::string line = std::to_string(kind.repeats) + " more like: " + kind.first;
        if (line.back() != '\n') line += '\n';
        log(kind.level, line);
    }
    if (cut) log(cutLevel, std::to_string(cut) + " more lines not logged\n");
}

bool LogLimit::admit(int level, const char* key, const char* text) {
    return !t_limit || level > LOG_INFO || t_limit->take(level, key, text);
}

bool LogLimit::take(int level, const char* key, const char* text) {
    auto it = kinds.find(key);
    if (it != kinds.end()) {
        ++it->second.repeats;
        return false;
    }
    if (written >= maxLines) {
        if (cut++ == 0 || level < cutLevel) cutLevel = level;
        return false;
    }
    ++written;
    kinds.emplace(key, Kind{level, text});
    // The outer scope counts what this one lets through.
    return !outer || outer->take(level, key, text);
}

char* fmt(const char* format, ...) {
    char local[kLineSize];
    local[0] = 0;
    if (format) {
        va_list ap;
        va_start(ap, format);
        if (vsnprintf(local, sizeof local, format, ap) < 0) local[0] = 0;
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
        state()->file.clear();
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
    log(LOG_INFO, text);
    return s;
}

LogStream& operator<<(LogStream& s, const std::wstring& text) {
    log(LOG_INFO, wideToUtf8(text));
    return s;
}

}  // namespace vorn
