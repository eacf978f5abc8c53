// Wall-clock measurement: StopWatch takes time stamps, Speedometer turns
// measured pieces of work into throughput figures (mean, and the lowest and
// highest rate over 5-second snapshot intervals).
#pragma once

#include <sys/time.h>

#include "misc/Types.h"

namespace vorn {

class StopWatch {
public:
    void start();
    void stop();
    i64 elapsedMicros() const;
    u32 elapsedSeconds() const;

    // For tests: set the stamps directly.
    void setStamps(const timeval& start, const timeval& stop) {
        m_start = start;
        m_stop = stop;
    }

private:
    timeval m_start{};
    timeval m_stop{};
};

class Speedometer {
public:
    void start();
    void update(u64 bytes);
    // Same as update, with the piece's duration given instead of measured.
    void updateWithMicros(u64 bytes, u64 micros);
    void logResults() const;

    u64 getTotalBytes() const { return m_totalBytes; }
    u64 getTotalMicros() const { return m_totalMicros; }
    u64 getLowestRate() const { return m_lowestRate; }
    u64 getHighestRate() const { return m_highestRate; }

private:
    u64 m_totalBytes = 0;
    u64 m_totalMicros = 0;
    u64 m_intervalBytes = 0;
    u64 m_intervalMicros = 0;
    u32 m_snapshotInterval = 5;
    u64 m_lowestRate = 9223372036854775807ULL;
    u64 m_highestRate = 0;
    StopWatch m_watch;
};

}  // namespace vorn
