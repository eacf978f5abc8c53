// The block scan loop against plain sequential pread, in the same run, over
// 2 GiB images in the page cache: an analyser that does nothing is fed every
// block, so what is measured is the loop, the cache and the position
// bookkeeping. Three scans:
//   - a disk with no known file system, stepped in its 512-byte blocks;
//   - a FAT32 volume with 4 KiB clusters in a lost-volumes scan (whole disk);
//   - the same volume in a deleted-files scan (every cluster asked whether
//     it is in use; the fresh volume's clusters are all free, so all are read).
// The closing lines give each scan's throughput as a share of pread's, of
// the median and of the best runs. A scan includes opening the volume.
//
// Environment: VORN_BENCH_DIR (default /tmp) holds the images; VORN_BENCH_MIB
// sets their size in MiB (default 2048).
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "BenchFiles.h"
#include "BenchRecovery.h"
#include "misc/Data.h"
#include "misc/Log.h"
#include "fs/AbstractAnalyser.h"
#include "recovery/AnalyserFactory.h"
#include "recovery/Recovery.h"
#include "storage/ImageDisk.h"

namespace {

using vorn::u32;
using vorn::u64;
using vorn::u8;

std::string g_rawPath;
std::string g_fatPath;
u64 g_size = 0;

bool makeImages() {
    const std::string dir = vorn::bench::envOr("VORN_BENCH_DIR", "/tmp");
    g_size = vorn::bench::envMiB("VORN_BENCH_MIB", 2048);
    g_rawPath = dir + "/vorn_bench_scan_raw.img";
    g_fatPath = dir + "/vorn_bench_scan_fat.img";
    if (vorn::bench::fileSize(g_rawPath) != g_size && !vorn::bench::writeRandomFile(g_rawPath, g_size, 0x5CA1)) {
        return false;
    }
    if (vorn::bench::fileSize(g_fatPath) != g_size) {
        // Random bytes everywhere, then a FAT32 file system over them.
        if (!vorn::bench::writeRandomFile(g_fatPath, g_size, 0xFA7)) return false;
        if (!vorn::bench::run("mkfs.fat -F 32 -s 8 -i 5CA25CA2 '" + g_fatPath + "' >/dev/null 2>&1")) return false;
    }
    vorn::bench::warm(g_rawPath);
    vorn::bench::warm(g_fatPath);
    return true;
}

class NullAnalyser : public vorn::AbstractAnalyser {
public:
    using AbstractAnalyser::AbstractAnalyser;
    void scanBegin() override {}
    void scanBlock() override { benchmark::DoNotOptimize(owner->getData()->getPtr()); }
    void scanEnd() override {}
};

void BM_PlainPread256K(benchmark::State& state) {
    const int fd = open(g_fatPath.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<u8> buffer(256 << 10);
    for (auto _ : state) {
        vorn::bench::timeRun(state, "pread", [&] {
            for (u64 ofs = 0; ofs < g_size; ofs += buffer.size()) {
                ssize_t n = pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(ofs));
                benchmark::DoNotOptimize(n);
            }
            benchmark::ClobberMemory();
            return true;
        });
    }
    close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_size));
}

void scanImage(benchmark::State& state, const std::string& name, const std::string& path, int scanType,
               u32 expectedBlockSize) {
    vorn::ImageDisk image(path);
    vorn::Recovery recovery;
    if (!vorn::bench::selectForScan(state, recovery, image, scanType)) return;
    vorn::setAnalyserFactoryForTesting([](vorn::ScanContext* owner, int, int) {
        std::vector<std::unique_ptr<vorn::AbstractAnalyser>> list;
        list.push_back(std::make_unique<NullAnalyser>(owner));
        return list;
    });
    u64 bytes = 0;
    for (auto _ : state) {
        vorn::bench::timeRun(state, name, [&] {
            recovery.scan();
            return true;
        });
        bytes += g_size;
    }
    if (recovery.getAllocBlockSize() != expectedBlockSize) state.SkipWithError("unexpected scan block size");
    vorn::setAnalyserFactoryForTesting({});
    recovery.selectDisk(nullptr);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_ScanUnknownFileSystem512(benchmark::State& state) {
    scanImage(state, "scan unknown file system, 512-byte steps", g_rawPath, vorn::SCAN_LOST_VOLUMES, 512);
}
void BM_ScanFat32LostVolumes4K(benchmark::State& state) {
    scanImage(state, "scan FAT32 lost volumes, 4 KiB steps", g_fatPath, vorn::SCAN_LOST_VOLUMES, 4096);
}
void BM_ScanFat32DeletedFiles4K(benchmark::State& state) {
    scanImage(state, "scan FAT32 deleted files, 4 KiB steps", g_fatPath, vorn::SCAN_DELETED_FILES, 4096);
}

BENCHMARK(BM_PlainPread256K)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2)->Repetitions(5);
BENCHMARK(BM_ScanUnknownFileSystem512)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2)->Repetitions(5);
BENCHMARK(BM_ScanFat32LostVolumes4K)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2)->Repetitions(5);
BENCHMARK(BM_ScanFat32DeletedFiles4K)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2)->Repetitions(5);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    vorn::setLogLevel(vorn::LOG_ERROR);
    if (!makeImages()) {
        fprintf(stderr, "cannot make the benchmark images\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    for (const char* name : {"scan unknown file system, 512-byte steps", "scan FAT32 lost volumes, 4 KiB steps",
                             "scan FAT32 deleted files, 4 KiB steps"}) {
        vorn::bench::runTimes().printRatio(name, "pread", g_size, "share of pread 256 KiB, target >= 0.80");
    }
    benchmark::Shutdown();
    return 0;
}
