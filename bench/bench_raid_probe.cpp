// RAID layout detection (RAIDDisk::probeLayout) on three member image files
// of 64 MiB each (a 128 MiB source of mixed content: text-like runs, zeros
// and random runs, striped "backwarddyn" with 64-block stripes from block 63),
// against two baselines measured in the same run:
//   - PreadProbeArea: plain pread of the probe area of the three members
//     (51,344 blocks each), the least any detection must read;
//   - EntropyOfProbeArea: the entropy of every block of that area, the least
//     the entropy measures must compute.
// ProbeLayoutFullAssembly runs the detection assembling all 100,000 blocks of
// each of the 210 candidates, as the layout read would, for comparison.
//
// Environment: VORN_BENCH_DIR overrides the folder of the member files
// (default /tmp); the files are made once and reused.
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "misc/Log.h"
#include "misc/Utils.h"
#include "storage/ImageDisk.h"
#include "storage/RAIDDisk.h"

namespace {

using namespace vorn;

constexpr u32 kBlock = 512;
constexpr u32 kMembers = 3;
constexpr u64 kMemberBytes = 64ull << 20;
constexpr u32 kStripe = 64;
constexpr u64 kFirst = 63;
constexpr u32 kProbeBlocks = 51344;  // per member, for three members

std::vector<std::string> g_paths;

RAIDParameters truth() { return RAIDParameters(kMembers, kFirst, kStripe, PARITY_BACKWARD_DYN); }

// Deterministic mixed content: runs of 4 KiB to 400 KiB.
std::vector<u8> makeSource(u64 size) {
    std::vector<u8> bytes(size, 0);
    u64 state = 0x9E3779B97F4A7C15ULL;
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

bool makeMembers() {
    const char* dir = getenv("VORN_BENCH_DIR");
    const std::string base = std::string(dir && *dir ? dir : "/tmp") + "/vorn_bench_raid.m";
    g_paths.clear();
    bool present = true;
    for (u32 i = 0; i < kMembers; i++) {
        g_paths.push_back(base + std::to_string(i) + ".img");
        FILE* f = fopen(g_paths.back().c_str(), "rb");
        if (!f) {
            present = false;
            continue;
        }
        fseek(f, 0, SEEK_END);
        present = present && static_cast<u64>(ftell(f)) == kMemberBytes;
        fclose(f);
    }
    if (present) return true;
    const RAIDParameters p = truth();
    const u64 rows = (kMemberBytes / kBlock - kFirst) / kStripe;
    const std::vector<u8> source = makeSource(rows * (kMembers - 1) * kStripe * kBlock);
    const u64 stripeBytes = u64(kStripe) * kBlock;
    std::vector<std::vector<u8>> members(kMembers, std::vector<u8>(kMemberBytes, 0));
    for (u64 row = 0; row < rows; row++) {
        for (u32 m = 0; m < kMembers; m++) {
            u64 stripe = 0;
            if (!p.computeStripeBlock(m, row, stripe)) continue;
            const u8* src = source.data() + stripe * stripeBytes;
            std::copy(src, src + stripeBytes, members[m].data() + (kFirst + row * kStripe) * kBlock);
            u8* parity = members[p.parityDisk(row)].data() + (kFirst + row * kStripe) * kBlock;
            for (u64 b = 0; b < stripeBytes; b++) parity[b] ^= src[b];
        }
    }
    for (u32 i = 0; i < kMembers; i++) {
        FILE* f = fopen(g_paths[i].c_str(), "wb");
        if (!f) return false;
        const bool ok = fwrite(members[i].data(), 1, members[i].size(), f) == members[i].size();
        fclose(f);
        if (!ok) return false;
    }
    return true;
}

void BM_PreadProbeArea(benchmark::State& state) {
    std::vector<u8> buffer(1 << 20);
    for (auto _ : state) {
        for (const std::string& path : g_paths) {
            const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            const u64 total = u64(kProbeBlocks) * kBlock;
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
    std::vector<std::vector<u8>> areas;
    for (const std::string& path : g_paths) {
        std::vector<u8> area(u64(kProbeBlocks) * kBlock);
        FILE* f = fopen(path.c_str(), "rb");
        if (!f || fread(area.data(), 1, area.size(), f) != area.size()) state.SkipWithError("read failed");
        if (f) fclose(f);
        areas.push_back(std::move(area));
    }
    for (auto _ : state) {
        float sum = 0.0f;
        for (const auto& area : areas) {
            for (u64 b = 0; b < kProbeBlocks; b++) sum += entropy(area.data() + b * kBlock, kBlock);
        }
        benchmark::DoNotOptimize(sum);
    }
}

void probe(benchmark::State& state, bool fullAssembly) {
    std::vector<std::unique_ptr<ImageDisk>> disks;
    for (const std::string& path : g_paths) disks.push_back(std::make_unique<ImageDisk>(path));
    for (auto _ : state) {
        RAIDDisk raid;
        RAIDParameters start;
        start.setDiskCount(kMembers);
        start.setStripeSectors(16);
        raid.setParameters(start);
        for (u32 i = 0; i < kMembers; i++) raid.setMember(i, disks[i].get());
        raid.setProbeFullAssembly(fullAssembly);
        raid.probeLayout();
        const RAIDParameters found = raid.getParameters();
        if (found.getStripeSectors() != kStripe || found.getFirstSector(0) != kFirst ||
            found.getParityRotation() != PARITY_BACKWARD_DYN) {
            state.SkipWithError("the detection missed the layout");
        }
    }
}

void BM_ProbeLayout(benchmark::State& state) { probe(state, false); }
void BM_ProbeLayoutFullAssembly(benchmark::State& state) { probe(state, true); }

}  // namespace

BENCHMARK(BM_PreadProbeArea)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EntropyOfProbeArea)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProbeLayout)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ProbeLayoutFullAssembly)->Unit(benchmark::kMillisecond)->Iterations(2);

int main(int argc, char** argv) {
    vorn::setLogLevel(vorn::LOG_ERROR);
    if (!makeMembers()) {
        fprintf(stderr, "cannot write the member files\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
