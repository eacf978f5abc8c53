// Test helper: collects every log line while it lives, at the level given,
// and restores the previous listener and level afterwards. One capture is
// shared by every test that looks at log lines.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "misc/Log.h"

namespace vorn::test {

class LogCapture final : public LoggerEventListener {
public:
    explicit LogCapture(int level = LOG_DEBUG) : m_previous(getLogListener()), m_previousLevel(getLogLevel()) {
        setLogListener(this);
        setLogLevel(level);
    }
    ~LogCapture() {
        setLogListener(m_previous);
        setLogLevel(m_previousLevel);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    void logEvent(const char* text) override { lines.emplace_back(text); }

    int count(const std::string& line) const { return static_cast<int>(std::count(lines.begin(), lines.end(), line)); }
    bool has(const std::string& line) const { return count(line) > 0; }
    int countPrefix(const std::string& prefix) const {
        return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                              [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
    }
    bool hasPrefix(const std::string& prefix) const { return countPrefix(prefix) > 0; }
    void clear() { lines.clear(); }

    std::vector<std::string> lines;

private:
    LoggerEventListener* m_previous;
    int m_previousLevel;
};

}  // namespace vorn::test
