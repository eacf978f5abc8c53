// The FAT reader against mtools on the same image in the same run:
// - reading one large file sequentially in 2 KiB requests through
//   VolumeItem::read (behind the 4 MiB block cache, as the engine reads),
//   for two file sizes, so that the time per byte shows the cost is linear;
//   baseline: `mcopy -i IMG ::FILE -` into /dev/null;
// - listing a volume of 100,000 files (100 folders of 1,000); baseline:
//   `mdir -/ -b -i IMG ::` into /dev/null;
// - listing a folder of 4,096, 16,384 and 65,000 files whose first clusters
//   lie along one chain of 120,000 clusters, each claiming 4 GiB (every size
//   is held to the rest of the chain), on a 64 MiB FAT32 volume (made by
//   mkfs.fat and mcopy, the entries added by tests/fixtures/fat_chain.py);
//   baseline: `mdir -b -i IMG ::/BIG` into /dev/null.
// The images are made once per run by mkfs.fat and mcopy in a fresh
// temporary folder, which is removed at the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fs/VolumeItem.h"
#include "fs/fat/FATVolume.h"
#include "misc/Log.h"
#include "storage/CachedDisk.h"
#include "storage/ImageDisk.h"

using namespace vorn;
namespace fs = std::filesystem;

namespace {

constexpr u64 kSmallFile = 32ull << 20;
constexpr u64 kLargeFile = 128ull << 20;
constexpr int kFolders = 100;
constexpr int kFilesPerFolder = 1000;
constexpr u64 kChainClusters = 120000;
constexpr int kChainFiles[] = {4096, 16384, 65000};  // a folder holds 65,536 entries at most

int run(const std::string& cmd) { return std::system(cmd.c_str()); }

// The temporary folder with both images; made on first use.
struct Images {
    std::string dir;
    std::string bigImage;
    std::string manyImage;
    bool ok = false;

    Images() {
        char tmpl[] = "/tmp/vorn_bench_fat_XXXXXX";
        if (!mkdtemp(tmpl)) return;
        dir = tmpl;
        bigImage = dir + "/big.img";
        manyImage = dir + "/many.img";
        setenv("MTOOLS_SKIP_CHECK", "1", 1);
        // Two files of pseudo-random bytes on a FAT32 volume with 4 KiB clusters.
        std::mt19937_64 rng(99);
        for (u64 size : {kSmallFile, kLargeFile}) {
            std::ofstream out(dir + "/F" + std::to_string(size >> 20) + "M.BIN", std::ios::binary);
            std::vector<u64> chunk(1 << 16);
            for (u64 done = 0; done < size; done += chunk.size() * 8) {
                for (u64& v : chunk) v = rng();
                out.write(reinterpret_cast<const char*>(chunk.data()), chunk.size() * 8);
            }
        }
        ok = run("mkfs.fat -C -F 32 -s 8 -i 0BE4C400 --invariant '" + bigImage + "' 400000 >/dev/null") == 0 &&
             run("mcopy -i '" + bigImage + "' '" + dir + "/F32M.BIN' '" + dir + "/F128M.BIN' :: ") == 0;
        fs::remove(dir + "/F32M.BIN");
        fs::remove(dir + "/F128M.BIN");
        // 100 folders of 1,000 small files each.
        fs::create_directory(dir + "/tree");
        for (int d = 0; d < kFolders; ++d) {
            std::string folder = dir + "/tree/D" + std::to_string(d);
            fs::create_directory(folder);
            for (int f = 0; f < kFilesPerFolder; ++f) std::ofstream(folder + "/F" + std::to_string(f) + ".TXT") << f;
        }
        ok = ok && run("mkfs.fat -C -F 32 -s 1 -i 0BE4C401 --invariant '" + manyImage + "' 200000 >/dev/null") == 0 &&
             run("cd '" + dir + "/tree' && mcopy -s -i '" + manyImage + "' ./* ::") == 0;
        fs::remove_all(dir + "/tree");
        // One chain under many files: LONG.BIN, then the entries along it.
        std::ofstream(dir + "/LONG.BIN", std::ios::binary).write(std::string(kChainClusters * 512, 'x').data(),
                                                                 kChainClusters * 512);
        for (int files : kChainFiles) {
            const std::string image = chainImage(files);
            ok = ok && run("mkfs.fat -C -F 32 -s 1 -i 0BE4C403 --invariant -n CHAIN '" + image + "' 65536 >/dev/null") == 0 &&
                 run("mmd -i '" + image + "' ::BIG && mcopy -i '" + image + "' '" + dir + "/LONG.BIN' ::BIG/") == 0 &&
                 run("python3 '" VORN_SOURCE_DIR "/tests/fixtures/fat_chain.py' '" + image + "' spread /BIG " +
                     std::to_string(files) + " /BIG/LONG.BIN") == 0;
        }
        fs::remove(dir + "/LONG.BIN");
    }
    std::string chainImage(int files) const { return dir + "/chain" + std::to_string(files) + ".img"; }
    ~Images() {
        if (!dir.empty()) fs::remove_all(dir);
    }
};

Images& images() {
    static Images i;
    return i;
}

// The engine's way in: an image disk behind a 4 MiB cache of 256 KiB lines.
struct Mounted {
    std::unique_ptr<ImageDisk> image;
    std::unique_ptr<CachedDisk> cache;
    std::unique_ptr<FATVolume> volume;

    explicit Mounted(const std::string& path) {
        image = std::make_unique<ImageDisk>(path);
        cache = std::make_unique<CachedDisk>(image.get(), 4 * 1024 * 1024, 256 * 1024);
        cache->open(false);
        volume = std::make_unique<FATVolume>(cache.get());
        if (!volume->mount(true)) volume.reset();
    }
    ~Mounted() {
        volume.reset();
        if (cache) cache->close();
    }
};

VolumeItem* findFile(VolumeItem* root, const std::string& name) {
    root->loadChildren();
    for (VolumeItem* c : root->children())
        if (c->getName() == name) return c;
    return nullptr;
}

void BM_FatReadSequential2K(benchmark::State& state) {
    if (!images().ok) return state.SkipWithError("images not made");
    const u64 size = static_cast<u64>(state.range(0)) << 20;
    Mounted m(images().bigImage);
    if (!m.volume) return state.SkipWithError("mount failed");
    VolumeItem* file = findFile(m.volume->getRootItem(), "F" + std::to_string(state.range(0)) + "M.BIN");
    if (!file || file->getSize() != size) return state.SkipWithError("file missing");
    std::vector<u8> buf(2048);
    for (auto _ : state) {
        for (u64 ofs = 0; ofs < size; ofs += buf.size()) {
            if (file->read(ofs, buf.data(), static_cast<u32>(buf.size())) != buf.size()) {
                return state.SkipWithError("read failed");
            }
        }
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_McopyBaseline(benchmark::State& state) {
    if (!images().ok) return state.SkipWithError("images not made");
    const u64 size = static_cast<u64>(state.range(0)) << 20;
    std::string cmd = "mcopy -i '" + images().bigImage + "' ::/F" + std::to_string(state.range(0)) + "M.BIN - >/dev/null";
    for (auto _ : state) {
        if (run(cmd) != 0) return state.SkipWithError("mcopy failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

u64 countTree(VolumeItem* folder) {
    folder->loadChildren();
    u64 n = 0;
    for (VolumeItem* c : folder->children()) n += 1 + (c->isContainer() ? countTree(c) : 0);
    return n;
}

void BM_FatList100kFiles(benchmark::State& state) {
    if (!images().ok) return state.SkipWithError("images not made");
    u64 items = 0;
    for (auto _ : state) {
        Mounted m(images().manyImage);
        if (!m.volume) return state.SkipWithError("mount failed");
        items = countTree(m.volume->getRootItem());
        if (items != u64(kFolders) * (kFilesPerFolder + 1)) return state.SkipWithError("wrong item count");
    }
    state.counters["items"] = static_cast<double>(items);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * items));
}

void BM_MdirList100kBaseline(benchmark::State& state) {
    if (!images().ok) return state.SkipWithError("images not made");
    std::string cmd = "mdir -/ -b -i '" + images().manyImage + "' :: >/dev/null";
    for (auto _ : state) {
        if (run(cmd) != 0) return state.SkipWithError("mdir failed");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * u64(kFolders) * (kFilesPerFolder + 1)));
}

void BM_FatListOneChain(benchmark::State& state) {
    if (!images().ok) return state.SkipWithError("images not made");
    const int files = static_cast<int>(state.range(0));
    const int level = getLogLevel();
    setLogLevel(-1);  // each file's cut is a log line
    for (auto _ : state) {
        Mounted m(images().chainImage(files));
        if (!m.volume) return state.SkipWithError("mount failed");
        VolumeItem* folder = findFile(m.volume->getRootItem(), "BIG");
        if (!folder) return state.SkipWithError("no /BIG");
        folder->loadChildren();
        u64 total = 0;
        for (VolumeItem* c : folder->children()) total += c->getSize();
        if (folder->children().size() != size_t(files) + 1 || total == 0) return state.SkipWithError("wrong listing");
    }
    setLogLevel(level);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * files));
}

void BM_MdirListOneChainBaseline(benchmark::State& state) {
    if (!images().ok) return state.SkipWithError("images not made");
    const int files = static_cast<int>(state.range(0));
    std::string cmd = "mdir -b -i '" + images().chainImage(files) + "' ::/BIG >/dev/null";
    for (auto _ : state) {
        if (run(cmd) != 0) return state.SkipWithError("mdir failed");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * files));
}

}  // namespace

BENCHMARK(BM_FatReadSequential2K)->Arg(kSmallFile >> 20)->Arg(kLargeFile >> 20)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_McopyBaseline)->Arg(kSmallFile >> 20)->Arg(kLargeFile >> 20)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FatList100kFiles)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MdirList100kBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FatListOneChain)->Arg(4096)->Arg(16384)->Arg(65000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MdirListOneChainBaseline)->Arg(4096)->Arg(16384)->Arg(65000)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    setLogLevel(LOG_ERROR);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
