// Fuzzes the ISO 9660 reader and analyser: the input is the disk. Mounts it
// (at its start and with the last session 64 KiB in), walks the whole tree
// and reads every file; runs the directory probe and reader over every
// 2,048-byte block; and runs the lost-volumes and lost-files scans with the
// ISO analyser alone. The last byte picks the disk's block size (512 or
// 2048). Work per input is bounded: at most 4000 items, 64 KiB per file and
// 2 MiB of file data in all.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fs/MemoryTestDisk.h"
#include "fs/iso/ISOAnalyser.h"
#include "fs/iso/ISOVolume.h"
#include "fs/iso/ISOVolumeItem.h"
#include "misc/Log.h"
#include "recovery/AnalyserFactory.h"
#include "recovery/Recovery.h"

namespace {

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
        const vorn::u64 size = std::min<vorn::u64>(child->getSize(), 65536);
        for (vorn::u64 ofs = 0; ofs < size && budget.bytes > 0; ofs += 2048) {
            const vorn::u32 n = static_cast<vorn::u32>(std::min<vorn::u64>(2048, size - ofs));
            budget.bytes -= std::min<vorn::u64>(n, budget.bytes);
            if (child->read(ofs, buf.data(), n) != n) break;
        }
        child->read(child->getSize(), buf.data(), 1);
        child->getDate();
        child->getId();
    }
}

bool setUp() {
    vorn::setLogLevel(-1);
    vorn::setAnalyserFactoryForTesting([](vorn::ScanContext* owner, int, int) {
        std::vector<std::unique_ptr<vorn::AbstractAnalyser>> analysers;
        analysers.push_back(std::make_unique<vorn::ISOAnalyser>(owner));
        return analysers;
    });
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = setUp();
    (void)ready;
    if (size < 1) return 0;
    const vorn::u32 blockSize = (data[size - 1] & 1) ? 2048 : 512;
    vorn::test::MemoryTestDisk disk(std::vector<vorn::u8>(data, data + size), blockSize);
    disk.open(false);
    Budget budget;
    std::vector<vorn::u8> buf(2048);
    for (vorn::u64 session : {vorn::u64(0), vorn::u64(65536)}) {
        disk.setLastSessionOfs(session);
        vorn::ISOVolume volume(&disk);
        if (!volume.mount(true)) continue;
        std::unique_ptr<vorn::VolumeItem> root(volume.getRootItem());
        walk(root.get(), 0, budget, buf);
    }
    disk.setLastSessionOfs(0);
    for (size_t ofs = 0; ofs < size; ofs += 2048) {
        const vorn::u32 len = static_cast<vorn::u32>(std::min<size_t>(2048, size - ofs));
        vorn::u64 own = 0, parent = 0;
        const bool start = vorn::ISOAnalyser::isDirectoryStart(data + ofs, len, &own, &parent);
        std::vector<std::unique_ptr<vorn::ISOVolumeItem>> items;
        vorn::ISOAnalyser::parseDir(&disk, ofs, items, start ? 0 : size - ofs, data[ofs] & 1);
    }
    disk.close();
    {
        vorn::Recovery recovery;
        if (recovery.selectDisk(&disk)) {
            for (int type : {vorn::SCAN_LOST_VOLUMES, vorn::SCAN_LOST_FILES}) {
                recovery.setScanType(type);
                recovery.scan();
            }
            recovery.selectDisk(nullptr);
        }
    }
    return 0;
}
