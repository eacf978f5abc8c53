// The ISO 9660 reader against isoinfo on the same image in the same run:
// - reading a 64 MiB file sequentially in 64 KiB requests through
//   VolumeItem::read behind the engine's 4 MiB cache; baseline:
//   `isoinfo -J -x /big.bin` into /dev/null;
// - listing the Joliet tree of 20,000 files (20 folders of 1,000: folders of
//   many sectors); baseline: `isoinfo -J -f` into /dev/null;
// - browsing the 4 MiB image of chained overlong directories
//   (tests/fixtures/iso_chain.py: 1,024 directory sectors of size 0xFFFFFFF0,
//   each naming the next), every folder loaded, whatever its depth;
//   baseline: `isoinfo -l` into /dev/null, which lists nothing of it (The
//   Sleuth Kit's `fls -r` does not end on it within a minute).
// The images are made once per run, by genisoimage and by the generator, in
// a fresh temporary folder, which is removed at the end.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "BenchFiles.h"
#include "fs/VolumeItem.h"
#include "fs/iso/ISOVolume.h"
#include "misc/Log.h"
#include "storage/CachedDisk.h"
#include "storage/ImageDisk.h"

using namespace vorn;
namespace fs = std::filesystem;

namespace {

constexpr u64 kBigFile = 64ull << 20;
constexpr int kFolders = 20;
constexpr int kFilesPerFolder = 1000;
constexpr u64 kItems = u64(kFolders) * (kFilesPerFolder + 1) + 1;

struct Image {
    std::string dir, path, chain;
    bool ok = false, chainOk = false;

    Image() {
        char tmpl[] = "/tmp/vorn_bench_iso_XXXXXX";
        if (!mkdtemp(tmpl)) return;
        dir = tmpl;
        path = dir + "/bench.iso";
        fs::create_directory(dir + "/tree");
        if (!bench::writeRandomFile(dir + "/tree/big.bin", kBigFile, 7)) return;
        for (int d = 0; d < kFolders; ++d) {
            const std::string folder = dir + "/tree/folder " + std::to_string(d);
            fs::create_directory(folder);
            for (int f = 0; f < kFilesPerFolder; ++f)
                std::ofstream(folder + "/file " + std::to_string(f) + ".txt") << f;
        }
        ok = bench::run("genisoimage -quiet -J -o '" + path + "' '" + dir + "/tree'");
        fs::remove_all(dir + "/tree");
        chain = dir + "/chain.iso";
        const fs::path generator = fs::path(__FILE__).parent_path().parent_path() / "tests/fixtures/iso_chain.py";
        chainOk = bench::run("python3 '" + generator.string() + "' '" + chain + "' 1024");
    }
    ~Image() {
        if (!dir.empty()) fs::remove_all(dir);
    }
};

Image& image() {
    static Image i;
    return i;
}

// The engine's way in: an image disk behind a 4 MiB cache of 256 KiB lines.
struct Mounted {
    explicit Mounted(const std::string& path) : disk(path) {
        cache.open(false);
        if (volume.mount(true)) root.reset(volume.getRootItem());
    }
    Mounted() : Mounted(image().path) {}
    ImageDisk disk;
    CachedDisk cache{&disk, 4 * 1024 * 1024, 256 * 1024};
    ISOVolume volume{&cache};
    std::unique_ptr<VolumeItem> root;

    ~Mounted() {
        root.reset();
        cache.close();
    }
};

u64 countTree(VolumeItem* folder) {
    folder->loadChildren();
    u64 n = 1;
    for (VolumeItem* c : folder->children()) n += c->isContainer() ? countTree(c) : 1;
    return n;
}

void BM_IsoReadSequential64K(benchmark::State& state) {
    if (!image().ok) return state.SkipWithError("image not made");
    Mounted m;
    if (!m.root) return state.SkipWithError("mount failed");
    m.root->loadChildren();
    VolumeItem* file = m.root->findChild("big.bin", false);
    if (!file || file->getSize() != kBigFile) return state.SkipWithError("file missing");
    std::vector<u8> buf(65536);
    for (auto _ : state) {
        for (u64 ofs = 0; ofs < kBigFile; ofs += buf.size())
            if (file->read(ofs, buf.data(), u32(buf.size())) != buf.size()) return state.SkipWithError("read failed");
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigFile));
}

void BM_IsoinfoExtractBaseline(benchmark::State& state) {
    if (!image().ok) return state.SkipWithError("image not made");
    for (auto _ : state)
        if (!bench::run("isoinfo -J -x /big.bin -i '" + image().path + "' >/dev/null"))
            return state.SkipWithError("isoinfo failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigFile));
}

void BM_IsoList20kFiles(benchmark::State& state) {
    if (!image().ok) return state.SkipWithError("image not made");
    for (auto _ : state) {
        Mounted m;
        if (!m.root || countTree(m.root.get()) != kItems + 1) return state.SkipWithError("wrong item count");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kItems));
}

void BM_IsoinfoListBaseline(benchmark::State& state) {
    if (!image().ok) return state.SkipWithError("image not made");
    for (auto _ : state)
        if (!bench::run("isoinfo -J -f -i '" + image().path + "' >/dev/null"))
            return state.SkipWithError("isoinfo failed");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kItems));
}

void BM_IsoBrowseChained(benchmark::State& state) {
    if (!image().chainOk) return state.SkipWithError("chained image not made");
    u64 items = 0;
    for (auto _ : state) {
        Mounted m(image().chain);
        if (!m.root) return state.SkipWithError("mount failed");
        items = countTree(m.root.get());
    }
    state.counters["items"] = static_cast<double>(items);
}

void BM_IsoinfoListChainedBaseline(benchmark::State& state) {
    if (!image().chainOk) return state.SkipWithError("chained image not made");
    for (auto _ : state)
        if (!bench::run("isoinfo -l -i '" + image().chain + "' >/dev/null"))
            return state.SkipWithError("isoinfo failed");
}

}  // namespace

BENCHMARK(BM_IsoReadSequential64K)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IsoinfoExtractBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IsoList20kFiles)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IsoinfoListBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IsoBrowseChained)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IsoinfoListChainedBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();

const bool kQuiet = (setLogLevel(LOG_ERROR), true);

BENCHMARK_MAIN();
