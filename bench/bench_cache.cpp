// Sequential read throughput of the block cache against plain pread, in the
// same run: a 1 GiB image (made once, then brought into the page cache) is
// read through CachedDisk::getOfsData in 4 KiB pieces with the engine's cache
// (4 MiB, 256 KiB lines), and with 256 KiB pread calls. The closing line gives
// the cache's median throughput as a share of pread's.
//
// Environment: VORN_BENCH_FILE overrides the image path (default
// /tmp/vorn_bench_cache.img); VORN_BENCH_MIB its size in MiB (default 1024).
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "misc/Data.h"
#include "storage/CachedDisk.h"
#include "storage/ImageDisk.h"

namespace {

using vorn::u64;
using vorn::u8;

std::string g_path;
u64 g_size = 0;

bool makeImage() {
    const char* env = getenv("VORN_BENCH_FILE");
    g_path = env && *env ? env : "/tmp/vorn_bench_cache.img";
    const char* mib = getenv("VORN_BENCH_MIB");
    g_size = u64(mib && *mib ? atoi(mib) : 1024) << 20;

    int fd = open(g_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && u64(lseek(fd, 0, SEEK_END)) != g_size) {
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        const int out = open(g_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0) return false;
        std::vector<u64> chunk((8u << 20) / 8);
        u64 state = 0x1234567;
        for (u64 done = 0; done < g_size; done += chunk.size() * 8) {
            for (auto& w : chunk) w = (state = state * 6364136223846793005ULL + 1442695040888963407ULL);
            const size_t n = std::min<u64>(chunk.size() * 8, g_size - done);
            if (pwrite(out, chunk.data(), n, static_cast<off_t>(done)) != static_cast<ssize_t>(n)) {
                close(out);
                return false;
            }
        }
        close(out);
        fd = open(g_path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
    }
    // Bring it into the page cache, so both sides read memory.
    std::vector<u8> buffer(1 << 20);
    for (u64 ofs = 0; ofs < g_size; ofs += buffer.size()) {
        if (pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(ofs)) <= 0) break;
    }
    close(fd);
    return true;
}

void BM_PlainPread256K(benchmark::State& state) {
    const int fd = open(g_path.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<u8> buffer(256 << 10);
    for (auto _ : state) {
        for (u64 ofs = 0; ofs < g_size; ofs += buffer.size()) {
            ssize_t n = pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(ofs));
            benchmark::DoNotOptimize(n);
        }
        benchmark::ClobberMemory();
    }
    close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_size));
}

void BM_CachedGetOfsData4K(benchmark::State& state) {
    vorn::ImageDisk image(g_path);
    vorn::CachedDisk cache(&image, 4194304, 262144);
    if (!cache.open(false)) {
        state.SkipWithError("cannot open the image");
        return;
    }
    vorn::Data data;
    for (auto _ : state) {
        for (u64 ofs = 0; ofs < g_size; ofs += 4096) {
            if (!cache.getOfsData(ofs, 4096, data)) {
                state.SkipWithError("read failed");
                break;
            }
            benchmark::DoNotOptimize(data.getPtr());
        }
        benchmark::ClobberMemory();
    }
    cache.close();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_size));
}

// For information: the copying byte read, 4 KiB at a time.
void BM_CachedRead4K(benchmark::State& state) {
    vorn::ImageDisk image(g_path);
    vorn::CachedDisk cache(&image, 4194304, 262144);
    if (!cache.open(false)) {
        state.SkipWithError("cannot open the image");
        return;
    }
    std::vector<u8> buffer(4096);
    for (auto _ : state) {
        for (u64 ofs = 0; ofs < g_size; ofs += 4096) {
            if (!cache.read(ofs, 4096, buffer.data())) {
                state.SkipWithError("read failed");
                break;
            }
        }
        benchmark::ClobberMemory();
    }
    cache.close();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_size));
}

BENCHMARK(BM_PlainPread256K)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_CachedGetOfsData4K)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_CachedRead4K)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);

// Keeps the median throughput of each benchmark for the closing comparison.
class Reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.aggregate_name == "median") {
                auto it = run.counters.find("bytes_per_second");
                if (it != run.counters.end()) medians[run.run_name.function_name] = it->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> medians;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (!makeImage()) {
        fprintf(stderr, "cannot make the benchmark image\n");
        return 1;
    }
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double base = reporter.medians["BM_PlainPread256K"];
    const double cached = reporter.medians["BM_CachedGetOfsData4K"];
    if (base > 0 && cached > 0) {
        printf("getOfsData 4 KiB through the cache: %.0f MiB/s, pread 256 KiB: %.0f MiB/s => %.1f%% of pread\n",
               cached / 1048576, base / 1048576, 100.0 * cached / base);
    }
    benchmark::Shutdown();
    return 0;
}
