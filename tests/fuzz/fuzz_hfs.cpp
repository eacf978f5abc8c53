// Fuzzes the HFS Plus reader (tree, both forks, bitmap) and the analyser's leaf-node test
// at every 512-byte position of the first 64 KiB; the last byte picks the block size.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzWalk.h"
#include "fs/MemoryTestDisk.h"
#include "fs/hfs/HFSAnalyser.h"
#include "fs/hfs/HFSVolume.h"
#include "fs/hfs/HFSVolumeItem.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vorn::fuzz::quiet();
    if (size < 1) return 0;
    static const vorn::u32 kBlockSizes[] = {512, 2048, 4096, 512};
    const vorn::u32 blockSize = kBlockSizes[data[size - 1] & 3];

    vorn::test::MemoryTestDisk disk(std::vector<vorn::u8>(data, data + size), blockSize);
    disk.open(false);
    {
        vorn::HFSVolume volume(&disk);
        if (volume.mount(true)) {
            vorn::fuzz::Budget budget;
            std::vector<vorn::u8> buf(2048);
            vorn::fuzz::walk(volume.getRootItem(), 0, budget, [&](vorn::VolumeItem* file) {
                auto* item = static_cast<vorn::HFSVolumeItem*>(file);
                vorn::fuzz::readRange(item->getSize(), budget, buf,
                                      [&](vorn::u64 o, void* b, vorn::u32 n) { return item->read(o, b, n); });
                vorn::fuzz::readRange(item->getResourceForkSize(), budget, buf,
                                      [&](vorn::u64 o, void* b, vorn::u32 n) { return item->readResourceFork(o, b, n); });
                item->read(item->getSize() / 2, buf.data(), 1);
                item->getDate();
            });
            for (vorn::u64 b = 0; b < 64; ++b) volume.isAllocationBlockUsed(b * 37);
        }
    }
    vorn::HFSAnalyser analyser(nullptr);
    std::vector<vorn::HFSBTreeRecord> records;
    for (size_t ofs = 0; ofs + 512 <= size && ofs < 65536; ofs += 512) {
        vorn::u32 blocks = 0;
        const vorn::u32 len = static_cast<vorn::u32>(std::min<size_t>(size - ofs, 32768));
        if (vorn::HFSAnalyser::isCatalogLeafNode(data + ofs, len, &blocks) &&
            vorn::HFSAnalyser::getLeafRecords(data + ofs, blocks * 512, records))
            analyser.addCatalogRecords(records);
    }
    disk.close();
    return 0;
}
