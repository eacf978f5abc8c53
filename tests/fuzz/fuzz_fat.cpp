// Fuzzes the FAT reader: the input is the disk. Mounts it as a FAT volume,
// walks the whole tree and reads every file, and runs both analyser probes
// on it. The last byte picks the disk's block size (512, 2048 or 4096), so
// that the table cache meets blocks of every size. Work per input is bounded:
// inputs of at most 64 KiB (a small volume, or the start of a larger one),
// at most 4000 items, 64 KiB per file and 2 MiB of file data in all.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fs/fat/FATAnalyser.h"
#include "fs/fat/FATVolume.h"
#include "fs/fat/FATVolumeItem.h"
#include "fs/MemoryTestDisk.h"
#include "misc/Log.h"

namespace {

constexpr size_t kMaxInput = 1 << 16;

struct Budget {
    int items = 4000;
    vorn::u64 bytes = 2 * 1024 * 1024;
};

void walk(vorn::VolumeItem* folder, int depth, Budget& budget, std::vector<vorn::u8>& buf) {
    if (depth > 64) return;
    folder->loadChildren();
    for (vorn::VolumeItem* child : folder->children()) {
        if (--budget.items < 0) return;
        if (child->isContainer()) {
            walk(child, depth + 1, budget, buf);
            continue;
        }
        vorn::u64 size = std::min<vorn::u64>(child->getSize(), 65536);
        for (vorn::u64 ofs = 0; ofs < size && budget.bytes > 0; ofs += 2048) {
            vorn::u32 n = static_cast<vorn::u32>(std::min<vorn::u64>(2048, size - ofs));
            budget.bytes -= std::min<vorn::u64>(n, budget.bytes);
            if (child->read(ofs, buf.data(), n) != n) break;
        }
        child->read(size / 2, buf.data(), 1);
        child->getDate();
        child->getId();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        vorn::setLogLevel(-1);
        return true;
    }();
    (void)quiet;
    if (size < 1 || size > kMaxInput) return 0;
    static const vorn::u32 kBlockSizes[] = {512, 2048, 4096, 512};
    const vorn::u32 blockSize = kBlockSizes[data[size - 1] & 3];

    vorn::test::MemoryTestDisk disk(std::vector<vorn::u8>(data, data + size), blockSize);
    disk.open(false);
    {
        vorn::FATVolume volume(&disk);
        if (volume.mount(true)) {
            Budget budget;
            std::vector<vorn::u8> buf(2048);
            walk(volume.getRootItem(), 0, budget, buf);
            for (vorn::u64 b = 0; b < 64; ++b) volume.isAllocationBlockUsed(b);
        }
    }
    vorn::FATAnalyser::probeDirectoryBlock(data, static_cast<vorn::u32>(std::min<size_t>(size, 1u << 20)));
    for (size_t ofs = 0; ofs + 512 <= size && ofs < 16 * 512; ofs += 512) {
        vorn::FATAnalyser::probeDirectoryBlock(data + ofs, 512);
    }
    if (size >= 512) vorn::FATAnalyser::probeBootSector(&disk, 0, data, static_cast<vorn::u32>(size));
    disk.close();
    return 0;
}
