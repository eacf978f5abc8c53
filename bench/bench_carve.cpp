// Throughput of the deleted-files scan (Recovery::scan with the raw carver)
// over a page-cached multi-GiB image, against plain sequential pread of the
// same image and against PhotoRec carving the same image, in one run.
//
// The image (made once, then kept): random bytes with real files (made by
// ImageMagick, sox, lame, ghostscript and zip, and a text) written at 4 KiB
// boundaries, one per 8 MiB. The scan runs with 4 KiB allocation blocks (the
// image seen as a disk of 4 KiB sectors, every block free) and with 512-byte
// blocks (the image as it is: no file system, so every 512-byte block is
// free), each with plain-text scanning off and on. PhotoRec ("photorec",
// Debian package testdisk) carves the whole image with every file type
// enabled, writing its finds into a scratch folder; it is skipped when not
// installed. The image is made again when its size changes (delete it after
// changing the files).
//
// Environment: VORN_BENCH_DIR (default /tmp/vorn_bench_carve) holds the
// image, the files and PhotoRec's output; VORN_BENCH_MIB the image size in
// MiB (default 2048).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "BenchRecovery.h"
#include "fs/VolumeItem.h"
#include "misc/Log.h"
#include "recovery/Recovery.h"
#include "storage/ImageDisk.h"

namespace {

using vorn::u32;
using vorn::u64;
using vorn::u8;

std::string g_dir;
std::string g_image;
u64 g_size = 0;
u64 g_placed = 0;

// The image file as a disk of 4 KiB sectors (a "4Kn" drive).
class SectorDisk : public vorn::Disk {
public:
    explicit SectorDisk(const std::string& path) : m_image(path) {
        blockSize = rawBlockSize = 4096;
        blockCount = m_image.getBlockCount() * m_image.getBlockSize() / 4096;
        name = "4Kn image";
    }
    bool openImpl(bool write) override { return !write && m_image.open(false); }
    void closeImpl() override { m_image.close(); }
    bool readBlocksImpl(u64 block, u32 count, void* buffer) override {
        return m_image.read(block * 4096, count * 4096, buffer);
    }
    bool writeBlocksImpl(u64, u32, const void*) override { return false; }

private:
    vorn::ImageDisk m_image;
};

bool run(const std::string& command) { return system(command.c_str()) == 0; }

// Real files made by real tools, once.
std::vector<std::vector<u8>> makeFiles() {
    const std::string files = g_dir + "/files";
    const std::string stamp = files + "/.done-3";
    if (access(stamp.c_str(), F_OK) != 0) {
        const std::string cd = "cd '" + files + "' && ";
        run("mkdir -p '" + files + "'");
        run(cd + "convert -seed 1 -size 200x150 plasma:fractal -resize '1024x768!' -quality 88 photo.jpg");
        run(cd + "convert -seed 2 -size 160x120 plasma:fractal -resize '640x480!' -quality 80 small.jpg");
        run(cd + "convert -seed 3 -size 200x150 plasma:fractal picture.png");
        run(cd + "convert -seed 4 -size 200x150 plasma:fractal picture.gif");
        run(cd + "convert -seed 5 -size 160x120 plasma:fractal -type TrueColor picture.bmp");
        run(cd + "sox -R -n -r 22050 -c 1 -b 16 tone.wav synth 2 sine 440");
        run(cd + "gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -o paper.pdf -c "
                 "'/Helvetica findfont 20 scalefont setfont 72 720 moveto (Benchmark page) show showpage'");
        run(cd + "zip -X -q bundle.zip picture.bmp paper.pdf");
        run(cd + "convert -seed 6 -size 160x120 plasma:fractal -compress none picture.tif");
        run(cd + "lame --quiet -b 64 --add-id3v2 --tt Tone tone.wav tone.mp3");
        run(cd + "for i in $(seq 1 100); do echo \"Line $i of a note that the benchmark carves.\"; done > note.txt");
        run("touch '" + stamp + "'");
    }
    std::vector<std::vector<u8>> out;
    for (const char* name : {"photo.jpg", "small.jpg", "picture.png", "picture.gif", "picture.bmp", "tone.wav",
                             "paper.pdf", "bundle.zip", "picture.tif", "tone.mp3", "note.txt"}) {
        FILE* f = fopen((files + "/" + name).c_str(), "rb");
        if (!f) continue;
        std::vector<u8> bytes;
        u8 chunk[65536];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
        fclose(f);
        if (!bytes.empty()) out.push_back(std::move(bytes));
    }
    return out;
}

bool makeImage() {
    const char* dir = getenv("VORN_BENCH_DIR");
    g_dir = dir && *dir ? dir : "/tmp/vorn_bench_carve";
    const char* mib = getenv("VORN_BENCH_MIB");
    g_size = u64(mib && *mib ? atoi(mib) : 2048) << 20;
    g_image = g_dir + "/carve.img";
    run("mkdir -p '" + g_dir + "'");
    const auto files = makeFiles();
    if (files.empty()) return false;

    constexpr u64 kSpacing = 8u << 20;
    g_placed = g_size / kSpacing;
    struct stat st {};
    if (stat(g_image.c_str(), &st) != 0 || u64(st.st_size) != g_size) {
        const int out = open(g_image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0) return false;
        std::vector<u64> chunk(kSpacing / 8);
        u64 state = 0x9E3779B97F4A7C15ULL;
        for (u64 at = 0, n = 0; at < g_size; at += kSpacing, ++n) {
            for (auto& w : chunk) {
                state ^= state << 13, state ^= state >> 7, state ^= state << 17;
                w = state;
            }
            // One real file per 8 MiB, at a 4 KiB boundary in the first half.
            const auto& file = files[n % files.size()];
            const u64 where = (state % 1024) * 4096;
            memcpy(reinterpret_cast<u8*>(chunk.data()) + where, file.data(), file.size());
            if (pwrite(out, chunk.data(), kSpacing, static_cast<off_t>(at)) != static_cast<ssize_t>(kSpacing)) {
                close(out);
                return false;
            }
        }
        close(out);
    }
    // Into the page cache, so that every contender reads memory.
    const int fd = open(g_image.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::vector<u8> buffer(1 << 20);
    for (u64 ofs = 0; ofs < g_size; ofs += buffer.size()) {
        if (pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(ofs)) <= 0) break;
    }
    close(fd);
    return true;
}

void BM_PlainPread(benchmark::State& state) {
    const int fd = open(g_image.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<u8> buffer(256 << 10);
    for (auto _ : state) {
        for (u64 ofs = 0; ofs < g_size; ofs += buffer.size()) {
            const ssize_t n = pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(ofs));
            benchmark::DoNotOptimize(n);
        }
        benchmark::ClobberMemory();
    }
    close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_size));
}

u64 countItems(vorn::VolumeItem* folder) {
    u64 n = 0;
    for (vorn::VolumeItem* child : folder->children()) n += child->isContainer() ? countItems(child) : 1;
    return n;
}

void scanWith(benchmark::State& state, vorn::Disk& disk, bool text) {
    vorn::setLogLevel(vorn::LOG_WARNING);
    u64 items = 0;
    for (auto _ : state) {
        vorn::Recovery recovery;
        if (!vorn::bench::selectForScan(state, recovery, disk, vorn::SCAN_DELETED_FILES)) return;
        recovery.setEnableSearchText(text);
        recovery.scan();
        items = recovery.getRootItem() ? countItems(recovery.getRootItem()) : 0;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_size));
    state.counters["files_placed"] = static_cast<double>(g_placed);
    state.counters["items"] = static_cast<double>(items);
}

void BM_DeletedFilesScan4KiB(benchmark::State& state) {
    SectorDisk disk(g_image);
    scanWith(state, disk, false);
}

void BM_DeletedFilesScan512(benchmark::State& state) {
    vorn::ImageDisk disk(g_image);
    scanWith(state, disk, false);
}

void BM_DeletedFilesScan4KiBText(benchmark::State& state) {
    SectorDisk disk(g_image);
    scanWith(state, disk, true);
}

void BM_DeletedFilesScan512Text(benchmark::State& state) {
    vorn::ImageDisk disk(g_image);
    scanWith(state, disk, true);
}

void BM_PhotoRec(benchmark::State& state) {
    if (!run("command -v photorec >/dev/null 2>&1")) {
        state.SkipWithError("photorec not installed (Debian package testdisk)");
        return;
    }
    const std::string out = g_dir + "/photorec";
    for (auto _ : state) {
        state.PauseTiming();
        run("rm -rf '" + out + "' && mkdir -p '" + out + "'");
        state.ResumeTiming();
        const bool ok = run("cd '" + out + "' && photorec /log /d '" + out + "/recup' /cmd '" + g_image +
                            "' partition_none,options,paranoid_no,fileopt,everything,enable,search >/dev/null 2>&1");
        if (!ok) {
            state.SkipWithError("photorec failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_size));
}

BENCHMARK(BM_PlainPread)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);
BENCHMARK(BM_DeletedFilesScan4KiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);
BENCHMARK(BM_DeletedFilesScan512)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);
BENCHMARK(BM_DeletedFilesScan4KiBText)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);
BENCHMARK(BM_DeletedFilesScan512Text)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);
BENCHMARK(BM_PhotoRec)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(1);

// Keeps the median (or only) throughput of each benchmark for the closing lines.
class Reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            auto it = run.counters.find("bytes_per_second");
            if (it == run.counters.end() || run.error_occurred) continue;
            const std::string name = run.run_name.function_name;
            if (run.aggregate_name == "median" || (run.aggregate_name.empty() && !medians.count(name))) {
                medians[name] = it->second.value;
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
        fprintf(stderr, "cannot make the benchmark image in %s\n", g_dir.c_str());
        return 1;
    }
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double base = reporter.medians["BM_PlainPread"];
    const double photorec = reporter.medians["BM_PhotoRec"];
    auto line = [&](const char* what, const char* name) {
        const double rate = reporter.medians[name];
        if (rate <= 0 || base <= 0) return;
        printf("%-34s %7.0f MiB/s = %5.1f%% of pread", what, rate / 1048576, 100.0 * rate / base);
        if (photorec > 0) printf(", %.1fx PhotoRec", rate / photorec);
        printf("\n");
    };
    if (base > 0) printf("%-34s %7.0f MiB/s\n", "pread 256 KiB, sequential:", base / 1048576);
    line("deleted-files scan, 4 KiB blocks:", "BM_DeletedFilesScan4KiB");
    line("deleted-files scan, 512-byte blocks:", "BM_DeletedFilesScan512");
    line("with text, 4 KiB blocks:", "BM_DeletedFilesScan4KiBText");
    line("with text, 512-byte blocks:", "BM_DeletedFilesScan512Text");
    if (photorec > 0) printf("%-34s %7.0f MiB/s\n", "PhotoRec, every file type:", photorec / 1048576);
    benchmark::Shutdown();
    return 0;
}
