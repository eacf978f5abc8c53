#include "misc/Timing.h"

#include <cstdio>

#include "misc/Log.h"

namespace vorn {

void StopWatch::start() {
    if (gettimeofday(&startTime, nullptr) != 0) printf("error StopWatch::start - gettimeofday failed\n");
}

void StopWatch::stop() {
    if (gettimeofday(&stopTime, nullptr) != 0) printf("error StopWatch::stop - gettimeofday failed\n");
}

i64 StopWatch::elapsedMicros() const {
    return (i64(stopTime.tv_sec) - i64(startTime.tv_sec)) * 1000000 + (i64(stopTime.tv_usec) - i64(startTime.tv_usec));
}

u32 StopWatch::elapsedSeconds() const { return static_cast<u32>(stopTime.tv_sec - startTime.tv_sec); }

void Speedometer::start() { watch.start(); }

void Speedometer::update(u64 bytes) {
    watch.stop();
    if (bytes == 0) return;
    const i64 micros = watch.elapsedMicros();
    // A clock stepped backwards counts as no time, not as ages.
    updateWithMicros(bytes, micros > 0 ? static_cast<u64>(micros) : 0);
}

void Speedometer::updateWithMicros(u64 bytes, u64 micros) {
    if (bytes == 0) return;
    totalBytes += bytes;
    totalMicros += micros;
    intervalBytes += bytes;
    intervalMicros += micros;
    if (intervalMicros / 1000000 >= snapshotInterval) {
        const double seconds = static_cast<double>(intervalMicros) / 1000000.0;
        const u64 rate = static_cast<u64>(static_cast<double>(intervalBytes) / seconds);
        if (rate < lowestRate) lowestRate = rate;
        if (rate > highestRate) highestRate = rate;
        intervalBytes = 0;
        intervalMicros = 0;
    }
}

void Speedometer::logResults() const {
    if (!logEnabled(LOG_DEBUG)) return;
    const float seconds = static_cast<float>(static_cast<double>(totalMicros) / 1000000.0);
    // With no measured time there is no mean; it shows as 0.
    const float mean = totalMicros ? static_cast<float>(static_cast<double>(totalBytes) / seconds) : 0.0f;
    log(LOG_DEBUG, "Speedometer results\n");
    log(LOG_DEBUG, "total bytes: %lld (%lld KB)\n", static_cast<long long>(totalBytes),
        static_cast<long long>(totalBytes >> 10));
    log(LOG_DEBUG, "total seconds: %.2f\n", static_cast<double>(seconds));
    log(LOG_DEBUG, "bytes per second (mean): %.0f (%.0f KB)\n", static_cast<double>(mean),
        static_cast<double>(mean / 1024.0f));
    log(LOG_DEBUG, "snapshot interval: %d seconds\n", static_cast<int>(snapshotInterval));
    if (totalMicros / 1000000 > snapshotInterval) {
        log(LOG_DEBUG, "bytes per second (min): %.0f (%.0f KB)\n", static_cast<double>(static_cast<float>(lowestRate)),
            static_cast<double>(static_cast<float>(lowestRate >> 10)));
        log(LOG_DEBUG, "bytes per second (max): %.0f (%.0f KB)\n", static_cast<double>(static_cast<float>(highestRate)),
            static_cast<double>(static_cast<float>(highestRate >> 10)));
    }
}

}  // namespace vorn
