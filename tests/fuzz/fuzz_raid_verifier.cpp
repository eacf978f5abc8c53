// Fuzzes the RAID layout verifier on one candidate assembly (the input); the last byte picks
// the stripe size (8 to 256 blocks).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fs/MemoryTestDisk.h"
#include "misc/Log.h"
#include "recovery/RAIDLayoutVerifier.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        vorn::setLogLevel(-1);
        return true;
    }();
    (void)quiet;
    if (size < 2) return 0;
    const vorn::u64 stripe = (vorn::u64(8) << (data[size - 1] % 6)) * 512;
    std::vector<vorn::u8> bytes(data, data + size - 1);
    bytes.resize((bytes.size() + 511) / 512 * 512, 0);
    vorn::test::MemoryTestDisk disk(std::move(bytes));
    vorn::RAIDLayoutVerifier verifier;
    verifier.structureScore(&disk, stripe);
    return 0;
}
