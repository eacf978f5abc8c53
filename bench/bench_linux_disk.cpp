// Sequential read throughput of LinuxDisk against plain pread, in the same
// run: a 256 MiB file (made once, then brought into the page cache) is read
// in 256 KiB requests through LinuxDisk::readBlocks (the road every device
// read takes) and with pread on the same descriptor kind. The two should be
// equal: the disk adds bounds checks and a loop, no copy.
//
// Environment: VORN_BENCH_FILE overrides the file (default
// /tmp/vorn_bench_linux_disk.img).
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/LinuxDisk.h"

namespace {

using vorn::u64;
using vorn::u8;

constexpr u64 kSize = 256ull << 20;
constexpr size_t kRequest = 256 * 1024;

std::string g_path;

bool makeFile() {
    const char* env = getenv("VORN_BENCH_FILE");
    g_path = env && *env ? env : "/tmp/vorn_bench_linux_disk.img";
    int fd = open(g_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && static_cast<u64>(lseek(fd, 0, SEEK_END)) == kSize) {
        close(fd);
    } else {
        if (fd >= 0) close(fd);
        const int out = open(g_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0) return false;
        std::vector<u64> chunk((8u << 20) / 8);
        u64 state = 0x5eed;
        for (u64 done = 0; done < kSize; done += chunk.size() * 8) {
            for (auto& w : chunk) w = (state = state * 6364136223846793005ULL + 1442695040888963407ULL);
            if (pwrite(out, chunk.data(), chunk.size() * 8, static_cast<off_t>(done)) !=
                static_cast<ssize_t>(chunk.size() * 8)) {
                close(out);
                return false;
            }
        }
        close(out);
    }
    // Bring the file into the page cache so that both sides read memory.
    fd = open(g_path.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<u8> buf(kRequest);
    for (u64 ofs = 0; ofs < kSize; ofs += kRequest) {
        if (pread(fd, buf.data(), kRequest, static_cast<off_t>(ofs)) <= 0) break;
    }
    close(fd);
    return true;
}

void BM_Pread(benchmark::State& state) {
    const int fd = open(g_path.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<u8> buf(kRequest);
    for (auto _ : state) {
        for (u64 ofs = 0; ofs < kSize; ofs += kRequest) {
            if (pread(fd, buf.data(), kRequest, static_cast<off_t>(ofs)) != static_cast<ssize_t>(kRequest)) {
                state.SkipWithError("pread failed");
                break;
            }
        }
        benchmark::DoNotOptimize(buf.data());
    }
    close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void BM_LinuxDiskReadBlocks(benchmark::State& state) {
    vorn::LinuxDisk disk(g_path);
    if (!disk.open(false)) {
        state.SkipWithError("open failed");
        return;
    }
    std::vector<u8> buf(kRequest);
    const vorn::u32 blocks = kRequest / disk.getBlockSize();
    for (auto _ : state) {
        for (u64 block = 0; block < disk.getBlockCount(); block += blocks) {
            if (!disk.readBlocks(block, blocks, buf.data())) {
                state.SkipWithError("readBlocks failed");
                break;
            }
        }
        benchmark::DoNotOptimize(buf.data());
    }
    disk.close();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

BENCHMARK(BM_Pread)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_LinuxDiskReadBlocks)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    if (!makeFile()) return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
