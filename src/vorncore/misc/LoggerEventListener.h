// Receiver of finished log lines. A front end registers at most one with
// `setLogListener`; the logger never owns it.
#pragma once

namespace vorn {

class LoggerEventListener {
public:
    virtual void logEvent(const char* text) = 0;

protected:
    ~LoggerEventListener() = default;
};

}  // namespace vorn
