// Recovery set up for the scan benchmarks.
#pragma once

#include <benchmark/benchmark.h>

#include "recovery/Recovery.h"
#include "storage/Disk.h"

namespace vorn::bench {

// Selects disk in recovery for a scan of type; false, the benchmark skipped,
// when the disk cannot be opened.
inline bool selectForScan(benchmark::State& state, Recovery& recovery, Disk& disk, int type) {
    if (!recovery.selectDisk(&disk)) {
        state.SkipWithError("cannot open the image");
        return false;
    }
    recovery.setScanType(type);
    return true;
}

}  // namespace vorn::bench
