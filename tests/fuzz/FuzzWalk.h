// The budgeted tree walk of the file-system fuzz targets: loads every folder
// (at most 64 deep) and hands each file to a reader, until 4000 items or
// 2 MiB of file data are spent. readRange reads [0, min(size, 64 KiB)) of
// one stream in 2 KiB pieces, stopping at the first failed piece.
#pragma once

#include <algorithm>
#include <vector>

#include "fs/VolumeItem.h"
#include "misc/Log.h"

namespace vorn::fuzz {

struct Budget {
    int items = 4000;
    u64 bytes = 2 * 1024 * 1024;
};

// Silences the logger once per process.
inline void quiet() {
    static bool done = [] {
        setLogLevel(-1);
        return true;
    }();
    (void)done;
}

template <class Read>
void readRange(u64 size, Budget& budget, std::vector<u8>& buf, Read&& read) {
    size = std::min<u64>(size, 65536);
    for (u64 ofs = 0; ofs < size && budget.bytes > 0; ofs += 2048) {
        const u32 n = static_cast<u32>(std::min<u64>(2048, size - ofs));
        budget.bytes -= std::min<u64>(n, budget.bytes);
        if (read(ofs, buf.data(), n) != n) break;
    }
}

template <class OnFile>
void walk(VolumeItem* folder, int depth, Budget& budget, OnFile&& onFile) {
    if (depth > 64) return;
    folder->loadChildren();
    for (VolumeItem* child : folder->children()) {
        if (--budget.items < 0) return;
        if (child->isContainer()) {
            walk(child, depth + 1, budget, onFile);
            continue;
        }
        onFile(child);
    }
}

}  // namespace vorn::fuzz
