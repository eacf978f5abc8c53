// Item trees of 250k to 1M items: built, sorted by each sort type, walked
// (visit, with and without loading) and freed. Baselines in the same run:
// std::sort over the same names as plain strings, and new/delete of as
// many plain nodes with a name. The "ns/item" counters and the fitted
// complexity show how the time per item grows with the tree size.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "fs/Volume.h"
#include "fs/VolumeItem.h"
#include "misc/Log.h"

namespace vorn {
namespace {

constexpr int kFolderSize = 1000;  // entries per folder of the walked trees

// A file or folder like a reader's: the id is a number written as text on demand.
class BenchItem : public VolumeItem {
public:
    BenchItem(std::string name, bool folder, u64 size, u32 date, u64 id) : VolumeItem(folder), m_size(size), m_date(date), m_idNumber(id) {
        setName(std::move(name));
    }
    std::string getId() override { return std::to_string(m_idNumber); }
    u32 getDate() override { return m_date; }
    u64 getSize() override { return m_size; }
    u32 read(u64, void*, u32) override { return 0; }
    bool addChildren() override {
        if (m_loadCount == 0) return true;
        for (int i = 0; i < m_loadCount; ++i) {
            auto* child = new BenchItem("entry" + std::to_string(i), false, u64(i) * 100, u32(i), m_idNumber * 1000 + i);
            addChild(child);
            child->setParent(this);
            child->setVolume(getVolume());
        }
        return true;
    }

    // The folder reads this many files each time it is loaded.
    int m_loadCount = 0;

    // Puts the list in a fixed random order and forgets its sort.
    void shuffle(std::mt19937_64& random) {
        std::shuffle(m_children.begin(), m_children.end(), random);
        m_childrenSortType = 0;
        childListChanged();
    }

private:
    u64 m_size;
    u32 m_date;
    u64 m_idNumber;
};

class BenchVolume : public Volume {
public:
    BenchVolume() : Volume(nullptr) {}
    bool mount(bool) override { return true; }
    bool isAllocationBlockUsed(u64) override { return false; }
};

std::string randomName(std::mt19937_64& random) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789_";
    std::string name = "IMG_";
    int length = 4 + int(random() % 8);
    for (int i = 0; i < length; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
    name += ".jpg";
    return name;
}

void addItem(VolumeItem* parent, BenchItem* item) {
    parent->addChild(item);
    item->setParent(parent);
    item->setVolume(parent->getVolume());
}

// A flat folder of n random files under the volume's root.
BenchItem* buildFlat(BenchVolume& volume, u64 n, u64 seed) {
    std::mt19937_64 random(seed);
    auto* folder = new BenchItem("flat", true, 0, 0, 1);
    volume.setRootItem(folder);
    for (u64 i = 0; i < n; ++i) {
        addItem(folder, new BenchItem(randomName(random), false, random() % 100000000, u32(random()), random() % 100000000));
    }
    return folder;
}

// A tree of n items: folders of kFolderSize files each under the root.
BenchItem* buildTree(BenchVolume& volume, u64 n) {
    auto* root = new BenchItem("root", true, 0, 0, 1);
    volume.setRootItem(root);
    u64 made = 1;
    u64 folderNumber = 0;
    while (made < n) {
        auto* folder = new BenchItem("folder" + std::to_string(folderNumber), true, 0, 0, 2 + folderNumber);
        addItem(root, folder);
        ++made;
        ++folderNumber;
        for (int i = 0; i < kFolderSize && made < n; ++i, ++made) {
            addItem(folder, new BenchItem("file" + std::to_string(i), false, u64(i) * 512, u32(i), made));
        }
    }
    return root;
}

void setPerItem(benchmark::State& state, u64 n) {
    state.SetComplexityN(static_cast<int64_t>(n));
    // Seconds per item, and per item and log2 of the size (flat for n log n work).
    state.counters["per_item"] =
        benchmark::Counter(double(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["per_item_lg"] = benchmark::Counter(
        double(n) * std::log2(double(n)), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

struct QuietLog {
    QuietLog() : level(getLogLevel()) { setLogLevel(LOG_ERROR); }
    ~QuietLog() { setLogLevel(level); }
    int level;
};

// ---- build and free

void BM_BuildAndFreeTree(benchmark::State& state) {
    QuietLog quiet;
    const u64 n = u64(state.range(0));
    for (auto _ : state) {
        BenchVolume volume;
        BenchItem* root = buildTree(volume, n);
        delete root;
    }
    setPerItem(state, n);
}

void BM_FreeTree(benchmark::State& state) {
    QuietLog quiet;
    const u64 n = u64(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        BenchVolume volume;
        BenchItem* root = buildFlat(volume, n, 7);
        state.ResumeTiming();
        delete root;
    }
    setPerItem(state, n);
}

void BM_BaselineAllocFree(benchmark::State& state) {
    struct Node {
        std::string name;
        u64 size;
        Node* parent;
    };
    const u64 n = u64(state.range(0));
    for (auto _ : state) {
        std::vector<Node*> nodes;
        nodes.reserve(n);
        for (u64 i = 0; i < n; ++i) nodes.push_back(new Node{"file" + std::to_string(i % kFolderSize), i, nullptr});
        for (Node* node : nodes) delete node;
    }
    setPerItem(state, n);
}

// ---- sort

void BM_SortFlatFolder(benchmark::State& state) {
    QuietLog quiet;
    const int sortType = int(state.range(0));
    const u64 n = u64(state.range(1));
    BenchVolume volume;
    BenchItem* folder = buildFlat(volume, n, 11);
    volume.setSortType(sortType);
    std::mt19937_64 random(3);
    for (auto _ : state) {
        state.PauseTiming();
        folder->shuffle(random);
        state.ResumeTiming();
        folder->sortChildren();
    }
    setPerItem(state, n);
    state.SetLabel(sortType == SORT_NAME ? "name" : sortType == SORT_SIZE ? "size" : sortType == SORT_DATE ? "date" : "id");
    delete folder;
}

void BM_BaselineSortStrings(benchmark::State& state) {
    const u64 n = u64(state.range(0));
    std::mt19937_64 random(11);
    std::vector<std::string> names;
    names.reserve(n);
    for (u64 i = 0; i < n; ++i) {
        names.push_back(randomName(random));
        random();
        random();
        random();
    }
    std::mt19937_64 shuffler(3);
    for (auto _ : state) {
        state.PauseTiming();
        std::shuffle(names.begin(), names.end(), shuffler);
        state.ResumeTiming();
        std::sort(names.begin(), names.end());
        benchmark::DoNotOptimize(names.data());
    }
    setPerItem(state, n);
}

// ---- walks

struct CountingCallback : VolumeItemCallback {
    u64 count = 0;
    void onItem(VolumeItem*, bool*, bool*) override { ++count; }
};

void BM_VisitTreeInMemory(benchmark::State& state) {
    QuietLog quiet;
    const u64 n = u64(state.range(0));
    BenchVolume volume;
    BenchItem* root = buildTree(volume, n);
    for (auto _ : state) {
        CountingCallback callback;
        root->visit(&callback, true);
        benchmark::DoNotOptimize(callback.count);
        if (callback.count + 1 != n) state.SkipWithError("walk missed items");
    }
    setPerItem(state, n);
    delete root;
}

// Folders read their files during the walk, which frees them again.
void BM_VisitTreeLoading(benchmark::State& state) {
    QuietLog quiet;
    const u64 n = u64(state.range(0));
    BenchVolume volume;
    auto* root = new BenchItem("root", true, 0, 0, 1);
    volume.setRootItem(root);
    u64 folders = (n - 1) / (kFolderSize + 1);
    for (u64 f = 0; f < folders; ++f) {
        auto* folder = new BenchItem("folder" + std::to_string(f), true, 0, 0, 2 + f);
        folder->m_loadCount = kFolderSize;
        addItem(root, folder);
    }
    const u64 walked = folders * (kFolderSize + 1);
    for (auto _ : state) {
        CountingCallback callback;
        root->visit(&callback, true);
        benchmark::DoNotOptimize(callback.count);
        if (callback.count != walked) state.SkipWithError("walk missed items");
    }
    setPerItem(state, walked);
    delete root;
}

constexpr int64_t kSizes[] = {250000, 500000, 1000000};

void sizes(benchmark::internal::Benchmark* b) {
    for (int64_t n : kSizes) b->Arg(n);
}

void sortArgs(benchmark::internal::Benchmark* b) {
    for (int sortType = SORT_NAME; sortType <= SORT_ID; ++sortType) {
        for (int64_t n : kSizes) b->Args({sortType, n});
    }
}

BENCHMARK(BM_BaselineAllocFree)->Apply(sizes)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);
BENCHMARK(BM_BuildAndFreeTree)->Apply(sizes)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);
BENCHMARK(BM_FreeTree)->Apply(sizes)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);
BENCHMARK(BM_BaselineSortStrings)->Apply(sizes)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oNLogN);
BENCHMARK(BM_SortFlatFolder)->Apply(sortArgs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VisitTreeInMemory)->Apply(sizes)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);
BENCHMARK(BM_VisitTreeLoading)->Apply(sizes)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);

}  // namespace
}  // namespace vorn

BENCHMARK_MAIN();
