// The HFS Plus reader and analyser against baselines in the same run:
// - listing an HFS Plus volume of 20,000 files (20 folders of 1,000), made
//   by xorriso -hfsplus; baseline: The Sleuth Kit's `fls -r` of the same
//   volume into /dev/null;
// - reading a 128 MiB file in 64 KiB requests through VolumeItem::read
//   (behind the 4 MiB block cache, as the engine reads); baseline: `icat`;
// - the lost-volumes scan (HFS analyser alone) over 64 MiB in which every
//   512-byte sector starts like a volume header (signature, power-of-two
//   block size) but is none; baseline: pread of the same file;
// - listing 16,000 and 20,000 file hard links (two per inode, made by
//   tests/fixtures/hfs_gen.py) with every size, as the window's table shows
//   them; baseline: `fls -r` of the same volume;
// - listing every folder of a volume whose catalog index root is its own
//   forward link and whose catalog claims 2^50 bytes (hfs_gen.py selfloop);
//   baseline: the same listing of the volume without that damage.
// The images are made once per run in a fresh temporary folder.
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "BenchFiles.h"
#include "fs/hfs/HFSAnalyser.h"
#include "fs/hfs/HFSVolume.h"
#include "misc/Log.h"
#include "recovery/AnalyserFactory.h"
#include "recovery/Recovery.h"
#include "storage/CachedDisk.h"
#include "storage/ImageDisk.h"
#include "storage/PartitionDisk.h"

using namespace vorn;
namespace fs = std::filesystem;

namespace {

constexpr int kFolders = 20;
constexpr int kFilesPerFolder = 1000;
constexpr u64 kBigFile = 128ull << 20;
constexpr u64 kFalseHeaders = 64ull << 20;

std::string capture(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[256];
        while (fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    return out;
}

constexpr int kLinkCounts[] = {16000, 20000};

std::string linksImage(const std::string& dir, int links) { return dir + "/links" + std::to_string(links) + ".img"; }
std::string loopImage(const std::string& dir, bool intact) { return dir + (intact ? "/intact.img" : "/selfloop.img"); }

bool generate(const std::string& args) {
    return std::system(("python3 '" VORN_SOURCE_DIR "/tests/fixtures/hfs_gen.py' " + args).c_str()) == 0;
}

struct Images {
    std::string dir, iso, falseHeaders, bigInode;
    u64 sector = 0;  // the HFS Plus partition's first 512-byte sector
    bool ok = false;

    Images() {
        char tmpl[] = "/tmp/vorn_bench_hfs_XXXXXX";
        if (!mkdtemp(tmpl)) return;
        dir = tmpl;
        iso = dir + "/many.iso";
        falseHeaders = dir + "/false.img";
        fs::create_directory(dir + "/tree");
        for (int d = 0; d < kFolders; ++d) {
            const std::string folder = dir + "/tree/D" + std::to_string(d);
            fs::create_directory(folder);
            for (int f = 0; f < kFilesPerFolder; ++f) std::ofstream(folder + "/F" + std::to_string(f) + ".txt") << f;
        }
        if (!bench::writeRandomFile(dir + "/tree/big.bin", kBigFile, 15)) return;
        if (std::system(("xorriso -no_rc -outdev '" + iso + "' -hfsplus on -boot_image any apm_block_size=512 -map '" +
                         dir + "/tree' / -commit >/dev/null 2>&1").c_str()) != 0)
            return;
        fs::remove_all(dir + "/tree");
        sector = std::strtoull(capture("mmls -t mac '" + iso + "' | awk '/HFS/ {print $3 + 0; exit}'").c_str(), nullptr, 10);
        bigInode = capture("fls -o " + std::to_string(sector) + " '" + iso + "' | awk -F'[ :\\t]+' '/big.bin/ {print $2}'");
        while (!bigInode.empty() && bigInode.back() == '\n') bigInode.pop_back();
        // Every sector: "H+", version 4, a block size of 4096, the rest noise.
        std::vector<u8> bytes(kFalseHeaders);
        u64 x = 7;
        for (u8& b : bytes) b = u8((x = x * 6364136223846793005ULL + 1442695040888963407ULL) >> 56);
        for (u64 s = 0; s < kFalseHeaders; s += 512) {
            const u8 head[] = {'H', '+', 0, 4};
            std::copy(head, head + 4, &bytes[s]);
            bytes[s + 40] = 0, bytes[s + 41] = 0, bytes[s + 42] = 0x10, bytes[s + 43] = 0;
        }
        std::ofstream(falseHeaders, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        for (int links : kLinkCounts)
            if (!generate("links '" + linksImage(dir, links) + "' " + std::to_string(links))) return;
        if (!generate("selfloop '" + loopImage(dir, false) + "'") ||
            !generate("selfloop '" + loopImage(dir, true) + "' intact"))
            return;
        ok = sector > 0 && !bigInode.empty();
    }
    ~Images() {
        if (!dir.empty()) fs::remove_all(dir);
    }
};

Images& images() {
    static Images i;
    return i;
}

// A volume behind the engine's 4 MiB block cache: the hybrid's HFS Plus
// partition, or a whole image.
struct Mounted {
    std::unique_ptr<ImageDisk> image;
    std::unique_ptr<PartitionDisk> part;
    std::unique_ptr<CachedDisk> cache;
    std::unique_ptr<HFSVolume> volume;

    explicit Mounted(const std::string& whole = "") {
        image = std::make_unique<ImageDisk>(whole.empty() ? images().iso : whole);
        image->open(false);
        Disk* disk = image.get();
        if (whole.empty()) {
            part = std::make_unique<PartitionDisk>(image.get(), images().sector * 512 / image->getBlockSize(),
                                                   image->getBlockCount() - 1);
            disk = part.get();
        }
        cache = std::make_unique<CachedDisk>(disk, 4 * 1024 * 1024, 256 * 1024);
        cache->open(false);
        volume = std::make_unique<HFSVolume>(cache.get());
        if (!volume->mount(true)) volume.reset();
    }
    ~Mounted() {
        volume.reset();
        if (cache) cache->close();
        if (image) image->close();
    }
};

u64 countTree(VolumeItem* folder) {
    folder->loadChildren();
    u64 n = 0;
    for (VolumeItem* c : folder->children()) n += 1 + (c->isContainer() ? countTree(c) : 0);
    return n;
}

// Items below folder, each file's size asked as a listing shows it.
u64 listTree(VolumeItem* folder, u64* bytes) {
    folder->loadChildren();
    u64 n = 0;
    for (VolumeItem* c : folder->children()) {
        ++n;
        if (c->isContainer()) n += listTree(c, bytes);
        else *bytes += c->getSize();
    }
    return n;
}

void BM_HfsListHardLinks(benchmark::State& state) {
    if (!images().ok) return state.SkipWithError("images not made");
    const int links = static_cast<int>(state.range(0));
    u64 items = 0, bytes = 0;
    for (auto _ : state) {
        Mounted m(linksImage(images().dir, links));
        if (!m.volume) return state.SkipWithError("mount failed");
        bytes = 0;
        items = listTree(m.volume->getRootItem(), &bytes);
    }
    // Each link reads its inode's "inode NNNNN\n" three times (36 bytes); plain.txt 18.
    if (bytes != u64(links) * 36 + 18) return state.SkipWithError("a link did not resolve");
    state.counters["items"] = static_cast<double>(items);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * items));
}

void BM_FlsListHardLinksBaseline(benchmark::State& state) {
    if (!images().ok) return state.SkipWithError("images not made");
    const int links = static_cast<int>(state.range(0));
    const std::string cmd = "fls -r '" + linksImage(images().dir, links) + "' >/dev/null";
    for (auto _ : state)
        if (std::system(cmd.c_str()) != 0) return state.SkipWithError("fls failed");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * (links + 3)));
}

void listLoopVolume(benchmark::State& state, bool intact) {
    if (!images().ok) return state.SkipWithError("images not made");
    u64 items = 0, bytes = 0;
    for (auto _ : state) {
        Mounted m(loopImage(images().dir, intact));
        if (!m.volume) return state.SkipWithError("mount failed");
        items = listTree(m.volume->getRootItem(), &bytes);
    }
    if (items != 1 + 9 * 7) return state.SkipWithError("not every item listed");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * items));
}

void BM_HfsListSelfLinkedClaimedTree(benchmark::State& state) { listLoopVolume(state, false); }
void BM_HfsListIntactTreeBaseline(benchmark::State& state) { listLoopVolume(state, true); }

void BM_HfsList20kFiles(benchmark::State& state) {
    if (!images().ok) return state.SkipWithError("images not made");
    u64 items = 0;
    for (auto _ : state) {
        Mounted m;
        if (!m.volume) return state.SkipWithError("mount failed");
        items = countTree(m.volume->getRootItem());
    }
    state.counters["items"] = static_cast<double>(items);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * items));
}

void BM_FlsList20kBaseline(benchmark::State& state) {
    if (!images().ok) return state.SkipWithError("images not made");
    const std::string cmd = "fls -r -o " + std::to_string(images().sector) + " '" + images().iso + "' >/dev/null";
    for (auto _ : state)
        if (std::system(cmd.c_str()) != 0) return state.SkipWithError("fls failed");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * (kFolders * (kFilesPerFolder + 1) + 1)));
}

void BM_HfsRead128M(benchmark::State& state) {
    if (!images().ok) return state.SkipWithError("images not made");
    Mounted m;
    if (!m.volume) return state.SkipWithError("mount failed");
    VolumeItem* big = nullptr;
    m.volume->getRootItem()->loadChildren();
    for (VolumeItem* c : m.volume->getRootItem()->children())
        if (c->getName() == "big.bin") big = c;
    if (!big || big->getSize() != kBigFile) return state.SkipWithError("file missing");
    std::vector<u8> buf(64 * 1024);
    for (auto _ : state) {
        for (u64 ofs = 0; ofs < kBigFile; ofs += buf.size())
            if (big->read(ofs, buf.data(), u32(buf.size())) != buf.size()) return state.SkipWithError("read failed");
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigFile));
}

void BM_IcatRead128MBaseline(benchmark::State& state) {
    if (!images().ok) return state.SkipWithError("images not made");
    const std::string cmd =
        "icat -o " + std::to_string(images().sector) + " '" + images().iso + "' " + images().bigInode + " >/dev/null";
    for (auto _ : state)
        if (std::system(cmd.c_str()) != 0) return state.SkipWithError("icat failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigFile));
}

void BM_HfsLostVolumesOverFalseHeaders(benchmark::State& state) {
    if (!images().ok) return state.SkipWithError("images not made");
    setAnalyserFactoryForTesting([](ScanContext* owner, int, int) {
        std::vector<std::unique_ptr<AbstractAnalyser>> list;
        list.push_back(std::make_unique<HFSAnalyser>(owner));
        return list;
    });
    for (auto _ : state) {
        ImageDisk disk(images().falseHeaders);
        Recovery recovery;
        if (!recovery.selectDisk(&disk)) return state.SkipWithError("open failed");
        recovery.setScanType(SCAN_LOST_VOLUMES);
        recovery.scan();
        if (disk.getPartitionCount() != 0) return state.SkipWithError("a false header was taken");
    }
    setAnalyserFactoryForTesting(nullptr);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFalseHeaders));
}

void BM_PreadFalseHeadersBaseline(benchmark::State& state) {
    if (!images().ok) return state.SkipWithError("images not made");
    std::vector<u8> buf(512 * 1024);
    for (auto _ : state) {
        const int fd = open(images().falseHeaders.c_str(), O_RDONLY | O_CLOEXEC);
        for (u64 ofs = 0; ofs < kFalseHeaders; ofs += buf.size())
            if (pread(fd, buf.data(), buf.size(), off_t(ofs)) <= 0) break;
        close(fd);
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFalseHeaders));
}

}  // namespace

BENCHMARK(BM_HfsList20kFiles)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FlsList20kBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HfsRead128M)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IcatRead128MBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HfsListHardLinks)->Arg(16000)->Arg(20000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FlsListHardLinksBaseline)->Arg(16000)->Arg(20000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HfsListSelfLinkedClaimedTree)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_HfsListIntactTreeBaseline)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_HfsLostVolumesOverFalseHeaders)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PreadFalseHeadersBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    setLogLevel(LOG_ERROR);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
