// Fuzzes the FAT reader and analyser probes; the input is the disk, its last byte the
// block size (512, 2048, 4096). Walks and reads the whole tree within FuzzWalk's budget.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fs/fat/FATAnalyser.h"
#include "fs/fat/FATVolume.h"
#include "fs/fat/FATVolumeItem.h"
#include "FuzzWalk.h"
#include "fs/MemoryTestDisk.h"

// Larger inputs add nothing a 64 KiB volume cannot show and slow every run.
constexpr size_t kMaxInput = 1 << 16;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vorn::fuzz::quiet();
    if (size < 1 || size > kMaxInput) return 0;
    static const vorn::u32 kBlockSizes[] = {512, 2048, 4096, 512};
    const vorn::u32 blockSize = kBlockSizes[data[size - 1] & 3];

    vorn::test::MemoryTestDisk disk(std::vector<vorn::u8>(data, data + size), blockSize);
    disk.open(false);
    {
        vorn::FATVolume volume(&disk);
        if (volume.mount(true)) {
            vorn::fuzz::Budget budget;
            std::vector<vorn::u8> buf(2048);
            vorn::fuzz::walk(volume.getRootItem(), 0, budget, [&](vorn::VolumeItem* child) {
                vorn::fuzz::readRange(child->getSize(), budget, buf,
                                      [&](vorn::u64 o, void* b, vorn::u32 n) { return child->read(o, b, n); });
                child->read(std::min<vorn::u64>(child->getSize(), 65536) / 2, buf.data(), 1);
                child->getDate();
                child->getId();
            });
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
