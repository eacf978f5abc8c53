// Fuzzes the partition-table parser; the input is the disk, its last byte the block size.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "misc/Log.h"
#include "fs/MemoryTestDisk.h"
#include "storage/PartitionDisk.h"
#include "storage/PartitionTableParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        vorn::setLogLevel(-1);
        return true;
    }();
    (void)quiet;
    if (size < 1) return 0;
    static const vorn::u32 kBlockSizes[] = {512, 2048, 4096, 512};
    const vorn::u32 blockSize = kBlockSizes[data[size - 1] & 3];
    std::vector<vorn::u8> bytes(data, data + size);
    vorn::test::MemoryTestDisk disk(std::move(bytes), blockSize, vorn::DISK_TYPE_IMAGEFILE, "fuzz");
    vorn::PartitionTableParser::parserPartitionTable(&disk);
    // Every partition found must lie inside the disk and read back.
    for (vorn::u32 i = 0; i < disk.getPartitionCount(); ++i) {
        auto* part = static_cast<vorn::PartitionDisk*>(disk.getPartition(i));
        if (part->getBlockCount() == 0 || part->getLastBlock() >= disk.getBlockCount()) __builtin_trap();
        if (!part->open(false)) __builtin_trap();
        std::vector<vorn::u8> block(blockSize);
        if (!part->readBlocks(part->getBlockCount() - 1, 1, block.data())) __builtin_trap();
        part->close();
    }
    return 0;
}
