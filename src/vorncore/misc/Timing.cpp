#include "misc/Timing.h"

#include <cstdio>

#include "misc/Log.h"

namespace vorn {

void StopWatch::start() {
    if (gettimeofday(&m_start, nullptr) != 0) printf("error StopWatch::start - gettimeofday failed\n");
}

void StopWatch::stop() {
    if (gettimeofday(&m_stop, nullptr) != 0) printf("error StopWatch::stop - gettimeofday failed\n");
}

i64 StopWatch::elapsedMicros() const {
    return (i64(m_stop.tv_sec) - i64(m_start.tv_sec)) * 1000000 + (i64(m_stop.tv_usec) - i64(m_start.tv_usec));
}

u32 StopWatch::elapsedSeconds() const { return static_cast<u32>(m_stop.tv_sec - m_start.tv_sec); }

void Speedometer::start() { m_watch.start(); }

void Speedometer::update(u64 bytes) {
    m_watch.stop();
    if (bytes == 0) return;
    const i64 micros = m_watch.elapsedMicros();
    // A clock stepped backwards counts as no time, not as ages.
    updateWithMicros(bytes, micros > 0 ? static_cast<u64>(micros) : 0);
}

void Speedometer::updateWithMicros(u64 bytes, u64 micros) {
    if (bytes == 0) return;
    m_totalBytes += bytes;
    m_totalMicros += micros;
    m_intervalBytes += bytes;
    m_intervalMicros += micros;
    if (m_intervalMicros / 1000000 >= m_snapshotInterval) {
        const double seconds = static_cast<double>(m_intervalMicros) / 1000000.0;
        const u64 rate = static_cast<u64>(static_cast<double>(m_intervalBytes) / seconds);
        if (rate < m_lowestRate) m_lowestRate = rate;
        if (rate > m_highestRate) m_highestRate = rate;
        m_intervalBytes = 0;
        m_intervalMicros = 0;
    }
}

void Speedometer::logResults() const {
    if (!logEnabled(LOG_DEBUG)) return;
    const float seconds = static_cast<float>(static_cast<double>(m_totalMicros) / 1000000.0);
    // With no measured time there is no mean; it shows as 0.
    const float mean = m_totalMicros ? static_cast<float>(static_cast<double>(m_totalBytes) / seconds) : 0.0f;
    log(LOG_DEBUG, "Speedometer results\n");
    log(LOG_DEBUG, "total bytes: %lld (%lld KB)\n", static_cast<long long>(m_totalBytes),
        static_cast<long long>(m_totalBytes >> 10));
    log(LOG_DEBUG, "total seconds: %.2f\n", static_cast<double>(seconds));
    log(LOG_DEBUG, "bytes per second (mean): %.0f (%.0f KB)\n", static_cast<double>(mean),
        static_cast<double>(mean / 1024.0f));
    log(LOG_DEBUG, "snapshot interval: %d seconds\n", static_cast<int>(m_snapshotInterval));
    if (m_totalMicros / 1000000 > m_snapshotInterval) {
        log(LOG_DEBUG, "bytes per second (min): %.0f (%.0f KB)\n", static_cast<double>(static_cast<float>(m_lowestRate)),
            static_cast<double>(static_cast<float>(m_lowestRate >> 10)));
        log(LOG_DEBUG, "bytes per second (max): %.0f (%.0f KB)\n", static_cast<double>(static_cast<float>(m_highestRate)),
            static_cast<double>(static_cast<float>(m_highestRate >> 10)));
    }
}

}  // namespace vorn
