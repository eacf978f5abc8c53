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
        startTime = start;
        stopTime = stop;
    }

private:
    timeval startTime{};
    timeval stopTime{};
};

class Speedometer {
public:
    void start();
    void update(u64 bytes);
    // Same as update, with the piece's duration given instead of measured.
    void updateWithMicros(u64 bytes, u64 micros);
    void logResults() const;

    u64 getTotalBytes() const { return totalBytes; }
    u64 getTotalMicros() const { return totalMicros; }
    u64 getLowestRate() const { return lowestRate; }
    u64 getHighestRate() const { return highestRate; }

private:
    u64 totalBytes = 0;
    u64 totalMicros = 0;
    u64 intervalBytes = 0;
    u64 intervalMicros = 0;
    u32 snapshotInterval = 5;
    u64 lowestRate = 9223372036854775807ULL;
    u64 highestRate = 0;
    StopWatch watch;
};

}  // namespace vorn
