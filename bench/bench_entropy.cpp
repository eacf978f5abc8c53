// Byte entropy over one 64 KiB block, against the plainest way to read the
// same bytes (a byte sum) and against a one-table histogram, measured in the
// same run.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "misc/Utils.h"

using namespace vorn;

namespace {

std::vector<u8> makeBlock(bool random) {
    std::vector<u8> block(65536, 0);
    if (random) {
        std::mt19937 rng(1234);
        for (u8& b : block) b = static_cast<u8>(rng());
    }
    return block;
}

void BM_ByteSumBaseline(benchmark::State& state) {
    std::vector<u8> block = makeBlock(state.range(0) != 0);
    for (auto _ : state) {
        u64 sum = 0;
        for (u8 b : block) sum += b;
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(block.size()));
}

void BM_OneTableHistogram(benchmark::State& state) {
    std::vector<u8> block = makeBlock(state.range(0) != 0);
    for (auto _ : state) {
        u64 counts[256] = {};
        for (u8 b : block) ++counts[b];
        benchmark::DoNotOptimize(counts);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(block.size()));
}

void BM_Entropy(benchmark::State& state) {
    std::vector<u8> block = makeBlock(state.range(0) != 0);
    for (auto _ : state) benchmark::DoNotOptimize(entropy(block.data(), block.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(block.size()));
}

}  // namespace

// Argument 0: all-zero block (one value repeats), 1: random bytes.
BENCHMARK(BM_ByteSumBaseline)->Arg(0)->Arg(1);
BENCHMARK(BM_OneTableHistogram)->Arg(0)->Arg(1);
BENCHMARK(BM_Entropy)->Arg(0)->Arg(1);

BENCHMARK_MAIN();
