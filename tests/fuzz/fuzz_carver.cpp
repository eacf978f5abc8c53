// Fuzzes the deleted-files carver; the input is the disk, its last byte the mode:
//   bits 0-1  disk block size 512, 1024, 2048 or 4096;   bit 2  plain-text scanning on;
//   bit 3     feed a RawAnalyser directly (blocks starting 0xEE are in use; "VEND" + 32-bit
//             length + flag byte reports an end, a minimum end when odd) instead of Recovery::scan;
//   bits 4-5  allocation block of the direct mode: 1, 2, 4 or 8 disk blocks.
// Every carved item lies inside the disk, has a size and reads back the disk's bytes.
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "fs/Volume.h"
#include "fs/VolumeItem.h"
#include "misc/Bytes.h"
#include "misc/Data.h"
#include "misc/Log.h"
#include "raw/ComfortDataStream.h"
#include "raw/RawAnalyser.h"
#include "raw/RawVolumeItem.h"
#include "raw/StreamAnalyser.h"
#include "raw/StreamInfo.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryTestAccess.h"
#include "storage/CachedDisk.h"
#include "storage/FailingDisk.h"

using namespace vorn;

namespace {

#define CHECK(cond)                    \
    do {                               \
        if (!(cond)) __builtin_trap(); \
    } while (0)

// A few files' signatures and ends fit; longer inputs only make each run slower.
constexpr size_t kMaxInput = 1 << 16;

class MarkedVolume : public Volume {
public:
    MarkedVolume(Disk* disk, u32 allocBlockSize) : Volume(disk) { setAllocBlockSize(allocBlockSize); }
    bool mount(bool) override { return true; }
    bool isAllocationBlockUsed(u64 block) override {
        u8 first = 0;
        const u64 ofs = getDataOffset() + block * getAllocBlockSize();
        return getDisk()->read(ofs, 1, &first) && first == 0xEE;
    }
};

class EndReporter : public StreamAnalyser {
public:
    explicit EndReporter(RawAnalyser* owner) : StreamAnalyser(owner) {
        name = "EndReporter";
        addMimeType("x/ends", "end", "");
    }
    bool analyse(ComfortDataStream* stream, StreamInfo* info) override {
        const u64 start = stream->getPos();
        const u8* p = stream->readPtr(4);
        if (!p || memcmp(p, "VEND", 4) != 0) return false;
        const u32 length = stream->readU32();
        const u8 flags = stream->readU8();
        info->mimeType = "x/ends";
        info->start = start;
        info->end = length ? start + length - 1 : 0;
        info->endIsMinimum = flags & 1;
        info->analyser = this;
        return true;
    }
};

void checkItems(VolumeItem* folder, u64 diskBytes, const std::vector<u8>& bytes, int depth) {
    CHECK(depth < 8);
    for (VolumeItem* child : folder->children()) {
        if (child->isContainer()) {
            checkItems(child, diskBytes, bytes, depth + 1);
            continue;
        }
        auto* item = dynamic_cast<RawVolumeItem*>(child);
        CHECK(item);
        const u64 start = item->getStartOffset();
        const u64 size = item->getSize();
        CHECK(size >= 1);
        CHECK(start < diskBytes && size <= diskBytes - start);
        const u32 n = static_cast<u32>(std::min<u64>(size, 4096));
        std::vector<u8> head(n);
        CHECK(item->read(0, head.data(), n) == n);
        CHECK(memcmp(head.data(), bytes.data() + start, n) == 0);
    }
}

// Feeds the driver as the block scan does.
void driveDirectly(Recovery& recovery, u32 blockSize, u32 perAlloc) {
    Disk* cache = recovery.getDisk();
    const u32 alloc = blockSize * perAlloc;
    auto* volume = new MarkedVolume(cache, alloc);
    RecoveryTestAccess::setVolume(recovery, volume);
    volume->createRootItem("Deleted");
    RecoveryTestAccess::setRootItem(recovery, volume->getRootItem());
    const u64 count = cache->getBlockCount() / perAlloc;
    RecoveryTestAccess::setScanGeometry(recovery, 0, alloc, perAlloc, count);
    RecoveryTestAccess::setPosition(recovery, 0, 0, 0);
    RawAnalyser raw(&recovery);
    raw.addAnalyser(new EndReporter(&raw));
    raw.buildMimeMap();
    raw.scanBegin();
    u64 steps = 0;
    while (recovery.getCurrentAllocBlock() < count) {
        CHECK(++steps <= count);
        if (!volume->isAllocationBlockUsed(recovery.getCurrentAllocBlock())) {
            static_cast<CachedDisk*>(cache)->getOfsData(recovery.getCurrentOffset(), alloc, *recovery.getData());
        }
        raw.scanBlock();
        RecoveryTestAccess::setPosition(recovery, recovery.getCurrentAllocBlock() + 1,
                                        recovery.getCurrentBlock() + perAlloc,
                                        recovery.getCurrentOffset() + alloc);
    }
    raw.scanEnd();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    setLogLevel(-1);
    if (size < 2 || size > kMaxInput) return 0;
    const u8 mode = data[size - 1];
    const u32 blockSize = 512u << (mode & 3);
    const bool text = mode & 4;
    const bool direct = mode & 8;
    const u32 perAlloc = 1u << ((mode >> 4) & 3);
    std::vector<u8> bytes(data, data + size - 1);
    bytes.resize(bytes.size() / blockSize * blockSize);
    if (bytes.empty()) return 0;

    test::FailingDisk disk(bytes, blockSize);
    {
        Recovery recovery;
        if (!recovery.selectDisk(&disk)) return 0;
        recovery.setEnableSearchText(text);
        if (direct) {
            driveDirectly(recovery, blockSize, perAlloc);
        } else {
            recovery.setScanType(0);
            recovery.scan();
        }
        if (VolumeItem* root = recovery.getRootItem()) checkItems(root, bytes.size(), bytes, 0);
    }
    return 0;
}
