// Writing an image file of a disk against dd with 256 KiB blocks copying the
// same image, in the same run. The source image (made once in /tmp) is in
// the page cache; both sides write a new file into the same folder, removed
// and the page cache's dirty data written back between runs, outside the
// timing. The closing line gives the image file's
// median throughput as a share of dd's.
//
// Environment: VORN_BENCH_DIR (default /tmp); VORN_BENCH_MIB, the image's
// size in MiB (default 1024).
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "BenchFiles.h"
#include "misc/Log.h"
#include "recovery/Recovery.h"
#include "storage/ImageDisk.h"

namespace {

using vorn::u64;

std::string g_source;
std::string g_target;
u64 g_size = 0;

bool makeImage() {
    const std::string dir = vorn::bench::envOr("VORN_BENCH_DIR", "/tmp");
    g_size = vorn::bench::envMiB("VORN_BENCH_MIB", 1024);
    g_source = dir + "/vorn_bench_imagefile_src.img";
    g_target = dir + "/vorn_bench_imagefile_out.img";
    if (vorn::bench::fileSize(g_source) != g_size && !vorn::bench::writeRandomFile(g_source, g_size, 0x1A6E)) {
        return false;
    }
    vorn::bench::warm(g_source);
    return true;
}

void BM_Dd256K(benchmark::State& state) {
    const std::string command = "dd if='" + g_source + "' of='" + g_target + "' bs=256K status=none";
    for (auto _ : state) {
        state.PauseTiming();
        sync();  // no writeback left over from an earlier run
        unlink(g_target.c_str());
        state.ResumeTiming();
        if (!vorn::bench::timeRun(state, "dd", [&] { return vorn::bench::run(command); })) {
            state.SkipWithError("dd failed");
            break;
        }
    }
    unlink(g_target.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_size));
}

void BM_CreateImageFile(benchmark::State& state) {
    vorn::ImageDisk disk(g_source);
    vorn::Recovery recovery;
    for (auto _ : state) {
        state.PauseTiming();
        sync();  // no writeback left over from an earlier run
        unlink(g_target.c_str());
        state.ResumeTiming();
        if (!vorn::bench::timeRun(state, "createImageFile", [&] { return recovery.createImageFile(&disk, g_target); })) {
            state.SkipWithError("image file failed");
            break;
        }
    }
    if (vorn::bench::fileSize(g_target) != g_size) state.SkipWithError("image file has the wrong size");
    unlink(g_target.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_size));
}

BENCHMARK(BM_Dd256K)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(9);
BENCHMARK(BM_CreateImageFile)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(9);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    vorn::setLogLevel(vorn::LOG_ERROR);
    if (!makeImage()) {
        fprintf(stderr, "cannot make the benchmark image\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    vorn::bench::runTimes().printRatio("createImageFile", "dd", g_size, "share of dd bs=256K, target >= 0.80");
    benchmark::Shutdown();
    return 0;
}
