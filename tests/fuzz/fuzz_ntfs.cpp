// Fuzzes the NTFS reader and its diagnostic readers (attributes, runs, records, free
// records, file dump to /dev/null); the input is the disk, its last byte the block size.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "fs/MemoryTestDisk.h"
#include "fs/VolumeItem.h"
#include "fs/ntfs/NTFSVolume.h"
#include "misc/Log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        vorn::setLogLevel(-1);
        return freopen("/dev/null", "w", stdout) != nullptr;
    }();
    (void)quiet;
    if (size < 1) return 0;
    vorn::test::MemoryTestDisk disk(std::vector<vorn::u8>(data, data + size), (data[size - 1] & 1) ? 4096 : 512);
    disk.open(false);
    vorn::NTFSVolume volume(&disk);
    if (volume.mount(true)) {
        const std::vector<vorn::u8>& record0 = volume.getMftRecord0();
        std::vector<vorn::u8> buf;
        for (vorn::u32 type : {0x20u, 0x30u, 0x80u, 0x90u, 0xB0u}) {
            const vorn::NTFSAttribute attribute = vorn::NTFSVolume::findAttribute(record0, type);
            volume.readAttributeData(attribute, buf);
            vorn::NTFSVolume::fileName(attribute);
            for (vorn::u64 vcn : {0ull, 1ull, 7ull, 100ull, ~0ull}) {
                vorn::u64 lcn, length;
                volume.decodeDataRun(attribute, vcn, &lcn, &length);
            }
        }
        std::vector<vorn::u8> clusters(4 * size_t(volume.getBytesPerCluster()));
        volume.readAttribute(record0, vorn::NTFSVolume::ATTR_DATA, 1, 4, clusters.data());
        for (vorn::u32 n : {0u, 5u, 64u, 1000u, ~0u}) volume.readMFTRecord(n, buf);
        volume.dumpFileRecord();
        volume.dumpFileToDisk(64, "/dev/null");
        delete volume.getRootItem();
    }
    disk.close();
    return 0;
}
