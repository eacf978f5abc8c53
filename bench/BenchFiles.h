// Files for the recovery benchmarks: large pseudo-random images made once in
// /tmp (kept between runs when their size matches), brought into the page
// cache before they are measured, and small process helpers.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "misc/Types.h"

namespace vorn::bench {

inline u64 fileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<u64>(st.st_size) : 0;
}

// Writes `size` pseudo-random bytes (every byte written, nothing sparse).
inline bool writeRandomFile(const std::string& path, u64 size, u64 seed) {
    const int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) return false;
    std::vector<u64> chunk((8u << 20) / 8);
    u64 state = seed;
    for (u64 done = 0; done < size; done += chunk.size() * 8) {
        for (auto& w : chunk) w = (state = state * 6364136223846793005ULL + 1442695040888963407ULL);
        const size_t n = static_cast<size_t>(std::min<u64>(chunk.size() * 8, size - done));
        if (pwrite(out, chunk.data(), n, static_cast<off_t>(done)) != static_cast<ssize_t>(n)) {
            close(out);
            return false;
        }
    }
    return close(out) == 0;
}

// Reads the whole file once, so that the measured runs read memory.
inline void warm(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    std::vector<u8> buffer(1 << 20);
    while (read(fd, buffer.data(), buffer.size()) > 0) {
    }
    close(fd);
}

inline bool run(const std::string& command) {
    const int rc = std::system(command.c_str());
    return rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
}

// The path from the environment variable, or the default.
inline std::string envOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

inline u64 envMiB(const char* name, u64 fallback) {
    const char* value = std::getenv(name);
    return u64(value && *value ? std::atoll(value) : static_cast<long long>(fallback)) << 20;
}

// Wall time of every measured run, by benchmark name, for the closing
// comparison: the median and the best run of each side. The best run is the
// fairest figure where other work on the machine (page-cache writeback, other
// processes) slows some runs down at random.
class RunTimes {
public:
    void add(const std::string& name, double seconds) { m_runs[name].push_back(seconds); }

    double median(const std::string& name) const {
        std::vector<double> runs = get(name);
        if (runs.empty()) return 0;
        std::sort(runs.begin(), runs.end());
        return runs[runs.size() / 2];
    }
    double best(const std::string& name) const {
        std::vector<double> runs = get(name);
        return runs.empty() ? 0 : *std::min_element(runs.begin(), runs.end());
    }

    // "name: X MiB/s (best Y MiB/s), baseline: ... => share" for one side.
    void printRatio(const std::string& name, const std::string& baseline, u64 bytes, const char* what) const {
        const double m = median(name), mb = median(baseline), b = best(name), bb = best(baseline);
        if (m <= 0 || mb <= 0) return;
        const double mib = static_cast<double>(bytes) / 1048576.0;
        printf("%s: median %.0f MiB/s vs %.0f MiB/s => %.2f; best %.0f MiB/s vs %.0f MiB/s => %.2f (%s)\n",
               name.c_str(), mib / m, mib / mb, mb / m, mib / b, mib / bb, bb / b, what);
    }

private:
    std::vector<double> get(const std::string& name) const {
        auto it = m_runs.find(name);
        return it == m_runs.end() ? std::vector<double>{} : it->second;
    }
    std::map<std::string, std::vector<double>> m_runs;
};

inline RunTimes& runTimes() {
    static RunTimes times;
    return times;
}

// Times one run of fn, hands the time to the benchmark (manual time) and
// records it under name.
template <typename State, typename Fn>
bool timeRun(State& state, const std::string& name, Fn&& fn) {
    const auto start = std::chrono::steady_clock::now();
    const bool ok = fn();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    if (ok) runTimes().add(name, seconds);
    return ok;
}

}  // namespace vorn::bench
