// Records the engine's log lines during a test and restores the logger after.
#pragma once

#include <string>
#include <vector>

#include "misc/Log.h"

namespace vorn::test {

class LogCapture : public LoggerEventListener {
public:
    explicit LogCapture(int level = LOG_DEBUG) : m_level(getLogLevel()), m_previous(getLogListener()) {
        setLogLevel(level);
        setLogListener(this);
    }
    ~LogCapture() {
        setLogListener(m_previous);
        setLogLevel(m_level);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

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
