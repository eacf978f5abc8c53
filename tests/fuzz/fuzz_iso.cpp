// Fuzzes the ISO 9660 reader and analyser; the input is the disk (last byte: 512 or 2048-byte
// blocks). Mounts at 0 and 64 KiB in, reads the directories of every 2048-byte block as the
// lost-files scan and its result tree do, runs both scans. Every walk reads directories
// through a volume's directory map, as the product does: an input costs time in proportion
// to its size.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "fs/MemoryTestDisk.h"
#include "fs/iso/ISOAnalyser.h"
#include "fs/iso/ISOVolume.h"
#include "fs/iso/ISOVolumeItem.h"
#include "misc/Log.h"
#include "recovery/AnalyserFactory.h"
#include "recovery/Recovery.h"

using namespace vorn;

namespace {

void walk(VolumeItem* folder, int depth, int& items, u64& bytes, std::vector<u8>& buf) {
    folder->loadChildren();
    for (VolumeItem* child : folder->children()) {
        if (--items < 0 || depth > 64) return;
        if (child->isContainer()) walk(child, depth + 1, items, bytes, buf);
        for (u64 ofs = 0; !child->isContainer() && ofs < std::min<u64>(child->getSize(), 65536) && bytes; ofs += 2048) {
            const u32 n = static_cast<u32>(std::min<u64>(2048, child->getSize() - ofs));
            bytes -= std::min<u64>(n, bytes);
            if (child->read(ofs, buf.data(), n) != n) break;
        }
    }
}

bool setUp() {
    setLogLevel(-1);
    setAnalyserFactoryForTesting([](ScanContext* owner, int, int) {
        std::vector<std::unique_ptr<AbstractAnalyser>> analysers;
        analysers.push_back(std::make_unique<ISOAnalyser>(owner));
        return analysers;
    });
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = setUp();
    if (!ready || size < 1) return 0;
    test::MemoryTestDisk disk(std::vector<u8>(data, data + size), (data[size - 1] & 1) ? 2048 : 512);
    disk.open(false);
    int items = 4000;
    u64 bytes = 2 << 20;
    std::vector<u8> buf(2048);
    for (u64 session : {u64(0), u64(65536)}) {
        disk.setLastSessionOfs(session);
        ISOVolume volume(&disk);
        if (!volume.mount(true)) continue;
        std::unique_ptr<VolumeItem> root(volume.getRootItem());
        walk(root.get(), 0, items, bytes, buf);
    }
    disk.setLastSessionOfs(0);
    // A block that starts with the "." and ".." records is a directory of unknown size in
    // the lost volume whose extents count from where its own extent puts the disc's start;
    // the folders it lists are opened as the result tree opens them, with their recorded
    // sizes, each once.
    std::unique_ptr<ISOVolume> lost;
    u64 origin = ~u64(0);
    std::set<u64> opened;
    for (size_t ofs = 0; ofs + 2048 <= size; ofs += 2048) {
        u64 own = 0, parent = 0;
        if (!ISOAnalyser::isDirectoryStart(data + ofs, 2048, &own, &parent) || own > ofs / 2048) continue;
        if (ofs - own * 2048 != origin) {
            origin = ofs - own * 2048;
            lost = std::make_unique<ISOVolume>(&disk);
            lost->setDiskOffset(origin);
            lost->mount(false);
            opened.clear();
        }
        std::vector<std::unique_ptr<ISOVolumeItem>> found;
        const auto names = static_cast<ISONames>(data[ofs + 2047] % 3);
        ISOAnalyser::parseDir(&disk, ofs, found, 0, names, &lost->directories());
        for (std::unique_ptr<ISOVolumeItem>& item : found) {
            if (!item->isContainer() || !opened.insert(item->getExtent()).second) continue;
            item->setVolume(lost.get());
            item->loadChildren();
        }
    }
    disk.close();
    Recovery recovery;
    if (recovery.selectDisk(&disk)) {
        for (int type : {SCAN_LOST_VOLUMES, SCAN_LOST_FILES}) {
            recovery.setScanType(type);
            recovery.scan();
        }
        recovery.selectDisk(nullptr);
    }
    return 0;
}
