// Saving a large file from a FAT32 image against mcopy copying the same file
// out of the same image, in the same run. The image (made once with mkfs.fat
// and mcopy, kept in /tmp) is in the page cache; both sides write a new file
// into the same folder, which is removed and the dirty data written back between runs, outside
// the timing.
// The closing line gives the save's throughput as a ratio to mcopy's, of
// the median and of the best runs.
//
// Environment: VORN_BENCH_DIR (default /tmp); VORN_BENCH_MIB, the file's
// size in MiB (default 512).
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "BenchFiles.h"
#include "fs/VolumeItem.h"
#include "misc/Log.h"
#include "recovery/Recovery.h"
#include "storage/ImageDisk.h"

namespace {

using vorn::u64;

std::string g_image;
std::string g_outDir;
u64 g_size = 0;
const char* kFileName = "BIG.BIN";

bool makeImage() {
    const std::string dir = vorn::bench::envOr("VORN_BENCH_DIR", "/tmp");
    g_size = vorn::bench::envMiB("VORN_BENCH_MIB", 512);
    g_image = dir + "/vorn_bench_save_fat.img";
    g_outDir = dir + "/vorn_bench_save_out";
    const std::string source = dir + "/vorn_bench_save_src.bin";
    const std::string stamp = g_image + "." + std::to_string(g_size >> 20);
    if (access(stamp.c_str(), F_OK) != 0) {
        const u64 volumeSize = g_size + g_size / 4 + (64ull << 20);
        if (!vorn::bench::writeRandomFile(source, g_size, 0x5A7E)) return false;
        unlink(g_image.c_str());
        if (!vorn::bench::run("mkfs.fat -C -F 32 -s 8 -i 5A7E5A7E '" + g_image + "' " +
                              std::to_string(volumeSize >> 10) + " >/dev/null 2>&1")) {
            return false;
        }
        if (!vorn::bench::run("MTOOLS_SKIP_CHECK=1 mcopy -i '" + g_image + "' '" + source + "' ::/" + kFileName)) {
            return false;
        }
        unlink(source.c_str());
        if (!vorn::bench::run("touch '" + stamp + "'")) return false;
    }
    if (!vorn::bench::run("mkdir -p '" + g_outDir + "'")) return false;
    vorn::bench::warm(g_image);
    return true;
}

std::string outFile() { return g_outDir + "/" + kFileName; }

void BM_Mcopy(benchmark::State& state) {
    const std::string command =
        "MTOOLS_SKIP_CHECK=1 mcopy -n -i '" + g_image + "' ::/" + kFileName + " '" + outFile() + "'";
    for (auto _ : state) {
        state.PauseTiming();
        sync();  // no writeback left over from an earlier run
        unlink(outFile().c_str());
        state.ResumeTiming();
        if (!vorn::bench::timeRun(state, "mcopy", [&] { return vorn::bench::run(command); })) {
            state.SkipWithError("mcopy failed");
            break;
        }
    }
    unlink(outFile().c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_size));
}

void BM_RecoverySave(benchmark::State& state) {
    vorn::ImageDisk image(g_image);
    vorn::Recovery recovery;
    if (!recovery.selectDisk(&image)) {
        state.SkipWithError("cannot open the image");
        return;
    }
    recovery.openExistingVolume();
    vorn::VolumeItem* root = recovery.getRootItem();
    vorn::VolumeItem* file = nullptr;
    if (root) {
        root->loadChildren();
        for (vorn::VolumeItem* child : root->children()) {
            if (child->getName() == kFileName) file = child;
        }
    }
    if (!file || file->getSize() != g_size) {
        state.SkipWithError("the file is not in the volume");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        sync();  // no writeback left over from an earlier run
        unlink(outFile().c_str());
        state.ResumeTiming();
        const bool ok = vorn::bench::timeRun(state, "save", [&] {
            recovery.save({file}, g_outDir);
            return recovery.getLastSaveOk() && recovery.getDamagedFileCount() == 0;
        });
        if (!ok) {
            state.SkipWithError("save failed");
            break;
        }
    }
    unlink(outFile().c_str());
    recovery.selectDisk(nullptr);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_size));
}

BENCHMARK(BM_Mcopy)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(9);
BENCHMARK(BM_RecoverySave)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(9);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    vorn::setLogLevel(vorn::LOG_ERROR);
    if (!makeImage()) {
        fprintf(stderr, "cannot make the benchmark image\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    vorn::bench::runTimes().printRatio("save", "mcopy", g_size, "ratio to mcopy, target >= 1.0");
    benchmark::Shutdown();
    return 0;
}
