// RAID layout detection (RAIDDisk::probeLayout) on sets of three and of six
// member image files of 64 MiB each. The source of each set is a FAT32
// volume (mkfs.fat + mcopy) filled to about two thirds with files of mixed
// content (text-like runs, zeros and random runs), striped "backwarddyn"
// with 64-block stripes from block 63. The set of two is a mirrored pair:
// two copies of one 32 MiB FAT16 volume (mkfs.fat + mcopy) holding a few
// text files and 8,192 files along one 12,000-cluster chain (added by
// tests/fixtures/fat_chain.py), which any layout with parity reads as the
// volume. Measured in the same run:
//   - PreadProbeArea: plain pread of the probe area of every member, the
//     least any detection must read (the baseline);
//   - EntropyOfProbeArea: the entropy of every block of that area, the least
//     the entropy measures must compute;
//   - ProbeLayout: the entropy stage alone;
//   - ProbeLayoutVerified: entropy and verification (RAIDLayoutVerifier
//     mounting the volume under every candidate), as "raid N auto" runs it;
//   - ProbeLayoutFullAssembly (three members): the entropy stage assembling
//     all 100,000 blocks of each of the 210 candidates, for comparison.
// The argument is the member count (2: the mirrored pair).
//
// Environment: VORN_BENCH_DIR overrides the folder of the member files
// (default /tmp); the files are made once and reused.
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "misc/Log.h"
#include "misc/Utils.h"
#include "recovery/RAIDLayoutVerifier.h"
#include "storage/ImageDisk.h"
#include "storage/RAIDDisk.h"

namespace {

using namespace vorn;

constexpr u32 kBlock = 512;
constexpr u64 kMemberBytes = 64ull << 20;
constexpr u32 kStripe = 64;
constexpr u64 kFirst = 63;
constexpr u64 kMirrorBytes = 32ull << 20;

std::string benchDir() {
    const char* dir = getenv("VORN_BENCH_DIR");
    return dir && *dir ? dir : "/tmp";
}

RAIDParameters truth(u32 members) { return RAIDParameters(u8(members), kFirst, kStripe, PARITY_BACKWARD_DYN); }

u32 probeBlocks(u32 members) { return (members + RAIDDisk::kProbeBlockCount - 2) / (members - 1) + 256 + 1088; }

// Deterministic mixed content: runs of 4 KiB to 400 KiB.
std::vector<u8> makeContent(u64 size, u64 seed) {
    std::vector<u8> bytes(size, 0);
    u64 state = 0x9E3779B97F4A7C15ULL ^ seed;
    auto next = [&]() { return state = state * 6364136223846793005ULL + 1442695040888963407ULL; };
    const char words[] = "the quick brown fox jumps over a lazy dog and recovers every lost file ";
    u64 pos = 0;
    while (pos < size) {
        const u64 len = std::min<u64>(size - pos, 4096 * (1 + (next() >> 33) % 100));
        const u32 kind = (next() >> 40) % 3;
        for (u64 i = 0; i < len; i++) {
            if (kind == 0) bytes[pos + i] = static_cast<u8>(words[(pos + i + (i / 97)) % (sizeof words - 1)]);
            if (kind == 1) bytes[pos + i] = static_cast<u8>(next() >> 56);
        }
        pos += len;
    }
    return bytes;
}

bool writeFile(const std::string& path, const u8* data, u64 size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

u64 fileBytes(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return 0;
    fseek(f, 0, SEEK_END);
    const long size = ftell(f);
    fclose(f);
    return size > 0 ? u64(size) : 0;
}

// A FAT32 volume (512-byte clusters) of `bytes` filled with files of 1 to 8 MiB in a few folders.
bool makeVolume(const std::string& path, u64 bytes) {
    const std::string dir = path + ".files";
    setenv("MTOOLS_SKIP_CHECK", "1", 1);
    if (std::system(("rm -rf '" + dir + "' '" + path + "' && mkdir -p '" + dir + "'").c_str()) != 0) return false;
    if (std::system(("mkfs.fat -C -F 32 -s 1 -i 0BE4C402 --invariant '" + path + "' " + std::to_string(bytes >> 10) +
                     " >/dev/null").c_str()) != 0) {
        return false;
    }
    u64 filled = 0;
    for (u32 k = 0; filled < bytes / 3 * 2; k++) {
        const u64 size = (1 + k % 8) << 20;
        const std::vector<u8> content = makeContent(size, k);
        const std::string name = format("F%03u.BIN", k);
        if (!writeFile(dir + "/" + name, content.data(), size)) return false;
        const std::string target = format("::/D%u", k / 8);
        if (k % 8 == 0 && std::system(("mmd -i '" + path + "' " + target).c_str()) != 0) return false;
        if (std::system(("mcopy -i '" + path + "' '" + dir + "/" + name + "' " + target + "/").c_str()) != 0) return false;
        filled += size;
    }
    return std::system(("rm -rf '" + dir + "'").c_str()) == 0;
}

// The two identical members of the mirrored pair; made when missing.
std::vector<std::string> mirrorPaths() {
    const std::string dir = benchDir() + "/vorn_bench_raid2";
    const std::vector<std::string> paths = {dir + ".m0.img", dir + ".m1.img"};
    if (fileBytes(paths[0]) == kMirrorBytes && fileBytes(paths[1]) == kMirrorBytes) return paths;
    setenv("MTOOLS_SKIP_CHECK", "1", 1);
    const std::string text = dir + ".txt", image = "'" + paths[0] + "'";
    std::string words;
    for (u32 k = 0; words.size() < 12000 * 2048; k++) words += format("line %u of a text that fills the chain\n", k);
    const bool made = writeFile(text, reinterpret_cast<const u8*>(words.data()), 12000 * 2048) &&
                      writeFile(text + ".doc", reinterpret_cast<const u8*>(words.data()), 30000) &&
                      std::system(("mkfs.fat -C -F 16 -i 0BE4C404 --invariant -n MIRROR " + image + " 32768 >/dev/null").c_str()) == 0 &&
                      std::system(("mmd -i " + image + " ::DOCS ::BIG && for k in 1 2 3; do mcopy -i " + image + " '" + text +
                                   ".doc' ::DOCS/DOC$k.TXT; done && mcopy -i " + image + " '" + text + "' ::BIG/LONG.BIN").c_str()) == 0 &&
                      std::system(("python3 '" VORN_SOURCE_DIR "/tests/fixtures/fat_chain.py' " + image +
                                   " spread /BIG 8192 /BIG/LONG.BIN 24576000").c_str()) == 0 &&
                      std::system(("cp " + image + " '" + paths[1] + "'").c_str()) == 0;
    remove(text.c_str());
    remove((text + ".doc").c_str());
    return made ? paths : std::vector<std::string>();
}

// The member files of the set of `members`; made when missing.
std::vector<std::string> memberPaths(u32 members) {
    static std::map<u32, std::vector<std::string>> made;
    if (made.count(members)) return made[members];
    if (members == 2) return made[members] = mirrorPaths();
    std::vector<std::string> paths;
    bool present = true;
    for (u32 i = 0; i < members; i++) {
        paths.push_back(format("%s/vorn_bench_raid%u.m%u.img", benchDir().c_str(), members, i));
        present = present && fileBytes(paths.back()) == kMemberBytes;
    }
    if (!present) {
        const RAIDParameters p = truth(members);
        const u64 rows = (kMemberBytes / kBlock - kFirst) / kStripe;
        const u64 stripeBytes = u64(kStripe) * kBlock;
        const std::string volume = format("%s/vorn_bench_raid%u.fat", benchDir().c_str(), members);
        if (!makeVolume(volume, rows * (members - 1) * stripeBytes)) return {};
        std::vector<u8> source(rows * (members - 1) * stripeBytes, 0);
        FILE* f = fopen(volume.c_str(), "rb");
        const bool read = f && fread(source.data(), 1, source.size(), f) == source.size();
        if (f) fclose(f);
        remove(volume.c_str());
        if (!read) return {};
        std::vector<std::vector<u8>> data(members, std::vector<u8>(kMemberBytes, 0));
        for (u64 row = 0; row < rows; row++) {
            for (u32 m = 0; m < members; m++) {
                u64 stripe = 0;
                if (!p.computeStripeBlock(m, row, stripe)) continue;
                const u8* src = source.data() + stripe * stripeBytes;
                std::copy(src, src + stripeBytes, data[m].data() + (kFirst + row * kStripe) * kBlock);
                u8* parity = data[p.parityDisk(row)].data() + (kFirst + row * kStripe) * kBlock;
                for (u64 b = 0; b < stripeBytes; b++) parity[b] ^= src[b];
            }
        }
        for (u32 i = 0; i < members; i++)
            if (!writeFile(paths[i], data[i].data(), kMemberBytes)) return {};
    }
    return made[members] = paths;
}

void BM_PreadProbeArea(benchmark::State& state) {
    const u32 members = u32(state.range(0));
    const std::vector<std::string> paths = memberPaths(members);
    if (paths.empty()) return state.SkipWithError("cannot make the members");
    std::vector<u8> buffer(1 << 20);
    for (auto _ : state) {
        for (const std::string& path : paths) {
            const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            const u64 total = std::min(u64(probeBlocks(members)) * kBlock, fileBytes(path));
            for (u64 done = 0; done < total; done += buffer.size()) {
                const size_t n = std::min<u64>(buffer.size(), total - done);
                if (pread(fd, buffer.data(), n, static_cast<off_t>(done)) != static_cast<ssize_t>(n)) {
                    state.SkipWithError("pread failed");
                }
            }
            close(fd);
        }
        benchmark::DoNotOptimize(buffer.data());
    }
}

void BM_EntropyOfProbeArea(benchmark::State& state) {
    const u32 members = u32(state.range(0));
    std::vector<std::vector<u8>> areas;
    for (const std::string& path : memberPaths(members)) {
        std::vector<u8> area(std::min(u64(probeBlocks(members)) * kBlock, fileBytes(path)));
        FILE* f = fopen(path.c_str(), "rb");
        if (!f || fread(area.data(), 1, area.size(), f) != area.size()) state.SkipWithError("read failed");
        if (f) fclose(f);
        areas.push_back(std::move(area));
    }
    for (auto _ : state) {
        float sum = 0.0f;
        for (const auto& area : areas) {
            for (u64 b = 0; b < area.size() / kBlock; b++) sum += entropy(area.data() + b * kBlock, kBlock);
        }
        benchmark::DoNotOptimize(sum);
    }
}

void probe(benchmark::State& state, bool fullAssembly, bool verified) {
    const u32 members = u32(state.range(0));
    std::vector<std::unique_ptr<ImageDisk>> disks;
    for (const std::string& path : memberPaths(members)) disks.push_back(std::make_unique<ImageDisk>(path));
    if (disks.empty()) return state.SkipWithError("cannot make the members");
    for (auto _ : state) {
        RAIDDisk raid;
        raid.setParameters(RAIDParameters(u8(members), 0, 16, PARITY_NONE));
        for (u32 i = 0; i < members; i++) raid.setMember(i, disks[i].get());
        raid.setProbeFullAssembly(fullAssembly);
        RAIDLayoutVerifier verifier;
        raid.probeLayout(verified ? &verifier : nullptr);
        const RAIDParameters found = raid.getParameters();
        const bool right = members == 2 ? found.hasParity() && found.getFirstSector(0) == 0
                                        : found.getStripeSectors() == kStripe && found.getFirstSector(0) == kFirst &&
                                              found.getParityRotation() == PARITY_BACKWARD_DYN;
        if (verified && !right) {
            state.SkipWithError("the detection missed the layout");
        }
    }
}

void BM_ProbeLayout(benchmark::State& state) { probe(state, false, false); }
void BM_ProbeLayoutVerified(benchmark::State& state) { probe(state, false, true); }
void BM_ProbeLayoutFullAssembly(benchmark::State& state) { probe(state, true, false); }

}  // namespace

BENCHMARK(BM_PreadProbeArea)->Arg(2)->Arg(3)->Arg(6)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EntropyOfProbeArea)->Arg(2)->Arg(3)->Arg(6)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProbeLayout)->Arg(2)->Arg(3)->Arg(6)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ProbeLayoutVerified)->Arg(2)->Arg(3)->Arg(6)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ProbeLayoutFullAssembly)->Arg(3)->Unit(benchmark::kMillisecond)->Iterations(2);

int main(int argc, char** argv) {
    vorn::setLogLevel(vorn::LOG_ERROR);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
