// Records the engine's log lines during a platform test and restores the
// logger after.
#pragma once

#include <string>
#include <vector>

#include "misc/Log.h"

namespace vorn::test {

class PlatformLog : public LoggerEventListener {
public:
    explicit PlatformLog(int level = LOG_DEBUG) : m_level(getLogLevel()), m_previous(getLogListener()) {
        setLogLevel(level);
        setLogListener(this);
    }
    ~PlatformLog() {
        setLogListener(m_previous);
        setLogLevel(m_level);
    }
    PlatformLog(const PlatformLog&) = delete;
    PlatformLog& operator=(const PlatformLog&) = delete;

    void logEvent(const char* text) override { lines.emplace_back(text); }

    bool has(const std::string& line) const {
        for (const std::string& l : lines) {
            if (l == line) return true;
        }
        return false;
    }
    // The recorded lines that contain the text, in order.
    std::vector<std::string> containing(const std::string& text) const {
        std::vector<std::string> out;
        for (const std::string& l : lines) {
            if (l.find(text) != std::string::npos) out.push_back(l);
        }
        return out;
    }

    std::vector<std::string> lines;

private:
    int m_level;
    LoggerEventListener* m_previous;
};

}  // namespace vorn::test
