// The deleted-files scan over crafted free space against the same scan over
// random bytes of the same size, in the same run, at 16, 64 and 128 MiB.
// The crafted content comes from tests/fixtures/carve_chains.py: walks of
// linked structures (MPEG frames, ZIP local headers and central
// directories, TIFF directories, tar members, compound-document FAT
// sectors) that run past the disk's end, so that no find there gets an end
// the scan could jump to, and tags or headers whose walks start far ahead
// and back again (mp3-far, zip-far). Each shape is scanned as a raw image
// (512-byte blocks); "fat-zip-local" and "fat-zip-far" are the ZIP shapes in
// the free clusters (512 bytes) of a FAT volume, beside a FAT volume made
// over random bytes.
//
// The closing table gives per size each shape's time and its ratio to the
// random image of that size, and the growth from 16 to 128 MiB (8 when the
// cost is linear). The scan's cost per block must not depend on what the
// medium holds: every ratio should stay below 10 and the growth near 8.
//
// Environment: VORN_BENCH_DIR (default /tmp/vorn_bench_crafted) holds the
// images, made once and kept while their size matches; VORN_BENCH_SIZES the
// sizes in MiB (default "16,64,128"); VORN_BENCH_SHAPES the shapes (default
// all).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "BenchFiles.h"
#include "BenchRecovery.h"
#include "misc/Log.h"
#include "recovery/Recovery.h"
#include "storage/ImageDisk.h"

namespace {

using vorn::u64;

const char* const kShapes[] = {"mp3",  "mp3-join", "zip-local", "zip-central", "zip-descriptor", "tiff",
                               "tar",  "ole2",     "mp3-far",   "zip-far",     "fat-zip-local",  "fat-zip-far"};

std::string g_dir;
std::vector<u64> g_sizes;  // MiB
std::vector<std::string> g_shapes;

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        if (!item.empty()) out.push_back(item);
    return out;
}

bool isFat(const std::string& shape) { return shape.rfind("fat-", 0) == 0; }

std::string imagePath(const std::string& content, u64 mib) {
    return g_dir + "/" + content + "-" + std::to_string(mib) + "m.img";
}

std::string quoted(const std::string& path) { return "'" + path + "'"; }

// A FAT volume over the whole file: FAT16 holds 16 MiB of 512-byte clusters, FAT32 the larger sizes.
bool makeFat(const std::string& path, u64 mib) {
    return vorn::bench::run("mkfs.fat -F " + std::string(mib <= 16 ? "16" : "32") +
                            " -S 512 -s 1 --invariant -i C4A1BE4C " + quoted(path) + " >/dev/null 2>&1");
}

bool makeImage(const std::string& content, u64 mib) {
    const std::string path = imagePath(content, mib);
    const u64 size = mib << 20;
    if (vorn::bench::fileSize(path) == size) return true;
    const std::string generator = std::string(VORN_SOURCE_DIR) + "/tests/fixtures/carve_chains.py";
    if (content == "random" || content == "fat-random") {
        if (!vorn::bench::writeRandomFile(path, size, 0xC4A1 + mib)) return false;
        return content == "random" || makeFat(path, mib);
    }
    if (isFat(content)) {
        return vorn::bench::writeRandomFile(path, size, 0xFA7 + mib) && makeFat(path, mib) &&
               vorn::bench::run("python3 " + quoted(generator) + " " + content.substr(4) + " --fat " + quoted(path) +
                                " 2");
    }
    return vorn::bench::run("python3 " + quoted(generator) + " " + content + " " + quoted(path) + " " +
                            std::to_string(size));
}

std::string baselineOf(const std::string& shape) { return isFat(shape) ? "fat-random" : "random"; }

std::string runName(const std::string& content, u64 mib) { return content + " " + std::to_string(mib) + " MiB"; }

void BM_DeletedFilesScan(benchmark::State& state, const std::string& content, u64 mib) {
    vorn::ImageDisk disk(imagePath(content, mib));
    for (auto _ : state) {
        vorn::Recovery recovery;
        if (!vorn::bench::selectForScan(state, recovery, disk, vorn::SCAN_DELETED_FILES)) return;
        vorn::bench::timeRun(state, runName(content, mib), [&] {
            recovery.scan();
            return true;
        });
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (mib << 20)));
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    vorn::setLogLevel(-1);  // a crafted find's dropped end is logged as an error, once a block
    g_dir = vorn::bench::envOr("VORN_BENCH_DIR", "/tmp/vorn_bench_crafted");
    for (const std::string& mib : split(vorn::bench::envOr("VORN_BENCH_SIZES", "16,64,128")))
        g_sizes.push_back(std::stoull(mib));
    g_shapes = split(vorn::bench::envOr("VORN_BENCH_SHAPES", ""));
    if (g_shapes.empty()) g_shapes.assign(std::begin(kShapes), std::end(kShapes));
    vorn::bench::run("mkdir -p " + quoted(g_dir));

    std::vector<std::string> contents;
    for (const std::string& shape : g_shapes) {
        if (std::find(contents.begin(), contents.end(), baselineOf(shape)) == contents.end())
            contents.push_back(baselineOf(shape));
    }
    contents.insert(contents.end(), g_shapes.begin(), g_shapes.end());
    for (u64 mib : g_sizes) {
        for (const std::string& content : contents) {
            if (!makeImage(content, mib)) {
                fprintf(stderr, "cannot make %s\n", imagePath(content, mib).c_str());
                return 1;
            }
            vorn::bench::warm(imagePath(content, mib));
            benchmark::RegisterBenchmark(runName(content, mib).c_str(), BM_DeletedFilesScan, content, mib)
                ->Unit(benchmark::kMillisecond)
                ->UseManualTime()
                ->Iterations(1)
                ->Repetitions(3);
        }
    }
    benchmark::RunSpecifiedBenchmarks();

    const vorn::bench::RunTimes& times = vorn::bench::runTimes();
    printf("\n%-16s", "median seconds");
    for (u64 mib : g_sizes) printf(" %9llu MiB (x random)", static_cast<unsigned long long>(mib));
    printf("   growth %llu -> %llu MiB\n", static_cast<unsigned long long>(g_sizes.front()),
           static_cast<unsigned long long>(g_sizes.back()));
    for (const std::string& content : contents) {
        printf("%-16s", content.c_str());
        for (u64 mib : g_sizes) {
            const double t = times.median(runName(content, mib)), base = times.median(runName(baselineOf(content), mib));
            if (content == baselineOf(content) || base <= 0) {
                printf(" %9.3f              ", t);
            } else {
                printf(" %9.3f     (x %6.1f)", t, t / base);
            }
        }
        const double first = times.median(runName(content, g_sizes.front()));
        const double last = times.median(runName(content, g_sizes.back()));
        if (first > 0) printf("   x %.1f (size x %.0f)", last / first, double(g_sizes.back()) / double(g_sizes.front()));
        printf("\n");
    }
    benchmark::Shutdown();
    return 0;
}
