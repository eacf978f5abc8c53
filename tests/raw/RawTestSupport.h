// StreamRig: bytes behind a small block cache, read through a comfort stream.
// CarveRig: a RawAnalyser fed block by block as the scan feeds it, used blocks skipped unread.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>

#include "fs/Volume.h"
#include "raw/ComfortDataStream.h"
#include "raw/DiskDataStream.h"
#include "raw/RawAnalyser.h"
#include "raw/RawVolumeItem.h"
#include "raw/StreamAnalyser.h"
#include "raw/StreamInfo.h"
#include "recovery/RecoveryTestAccess.h"
#include "recovery/RecoveryTestSupport.h"
#include "storage/CachedDisk.h"
#include "storage/FailingDisk.h"

namespace vorn::test {

inline void put(std::vector<u8>& bytes, size_t ofs, const std::string& text) {
    std::copy(text.begin(), text.end(), bytes.begin() + static_cast<std::ptrdiff_t>(ofs));
}

struct StreamRig {
    explicit StreamRig(std::vector<u8> content) : bytes(content), disk(std::move(content)) { disk.open(false); }
    ~StreamRig() { disk.close(); }
    ComfortDataStream* at(u64 ofs) {  // placed as the driver places it for each analyser
        stream->seek(static_cast<i64>(ofs), SEEK_FROM_START);
        return stream.get();
    }
    std::vector<u8> bytes;
    FailingDisk disk;
    std::unique_ptr<CachedDisk> cache = std::make_unique<CachedDisk>(&disk, 16 * 2048, 2048);
    std::unique_ptr<DiskDataStream> diskStream = std::make_unique<DiskDataStream>(cache.get());
    std::unique_ptr<ComfortDataStream> stream = std::make_unique<ComfortDataStream>(diskStream.get());
};

class UsedBlocksVolume : public Volume {
public:
    UsedBlocksVolume(Disk* disk, u32 allocBlockSize) : Volume(disk) { setAllocBlockSize(allocBlockSize); }
    bool mount(bool) override { return true; }
    bool isAllocationBlockUsed(u64 block) override { return used.count(block) != 0; }
    std::set<u64> used;
};

// Finds where a block begins with its marker: the told mime type, end start + length - 1 (none for 0).
class ScriptedAnalyser : public StreamAnalyser {
public:
    ScriptedAnalyser(RawAnalyser* owner, std::string marker, std::string registered, std::string reported,
                     u64 length, bool minimum, bool cap)
        : StreamAnalyser(owner), marker(marker), reported(reported), length(length), minimum(minimum), cap(cap) {
        name = "ScriptedAnalyser";
        addMimeType(registered, "bin", "ico.png");
    }
    bool analyse(ComfortDataStream* stream, StreamInfo* info) override {
        const u64 start = stream->getPos();
        const u8* p = stream->readPtr(static_cast<u32>(marker.size()));
        if (!p || memcmp(p, marker.data(), marker.size()) != 0) return false;
        info->mimeType = reported, info->start = start, info->end = length ? start + length - 1 : 0;
        info->endIsMinimum = minimum, info->analyser = this;
        return true;
    }
    bool checkSize(ComfortDataStream* stream, StreamInfo* info) override {
        return cap ? StreamAnalyser::checkSize(stream, info) : true;
    }
    std::string marker, reported;
    u64 length;
    bool minimum, cap;
};

struct CarveRig {
    // blockSize 0: the volume Recovery opens; else a UsedBlocksVolume at volumeOffset, block 0 at dataOffset.
    CarveRig(std::unique_ptr<Disk> d, u32 blockSize, u64 volumeOffset = 0, u64 dataOffset = 0)
        : disk(std::move(d)), allocBlockSize(blockSize) {
        EXPECT_TRUE(recovery.selectDisk(disk.get()));
        recovery.setListener(&listener);
        if (blockSize != 0) {
            volume = blocks = new UsedBlocksVolume(recovery.getDisk(), blockSize);
            blocks->setDiskOffset(volumeOffset), blocks->setDataOffset(dataOffset);
            RecoveryTestAccess::setVolume(recovery, blocks);
        } else {
            recovery.openExistingVolume();
            recovery.deleteRootItem();  // as the scan does: the folder tree goes
            volume = recovery.getVolume();
            allocBlockSize = std::max(volume->getAllocBlockSize(), recovery.getDisk()->getBlockSize());
        }
        recovery.deleteRootItem();  // the tree a mount built
        volume->createRootItem("Deleted");
        root = volume->getRootItem();
        RecoveryTestAccess::setRootItem(recovery, root);
        startOffset = volume->getDiskOffset() + volume->getDataOffset();
    }

    bool isUsed(u64 index) {  // as the scan asks: the volume in its own allocation blocks
        const u64 own = volume->getAllocBlockSize(), first = index * allocBlockSize;
        for (u64 b = first / own; b <= (first + allocBlockSize - 1) / own; ++b) {
            if (!volume->isAllocationBlockUsed(b)) return false;
        }
        return true;
    }

    // One deleted-files scan; setup may add analysers to the driver.
    void scan(const std::function<void(RawAnalyser&)>& setup = {}) {
        auto* cache = static_cast<CachedDisk*>(recovery.getDisk());
        const u32 perAlloc = allocBlockSize / cache->getBlockSize();
        const u64 count = (cache->getBlockCount() * cache->getBlockSize() - startOffset) / allocBlockSize;
        RecoveryTestAccess::setScanGeometry(recovery, startOffset, allocBlockSize, perAlloc, count);
        RecoveryTestAccess::setPosition(recovery, 0, startOffset / cache->getBlockSize(), startOffset);
        RawAnalyser raw(&recovery);
        if (setup) setup(raw);
        raw.scanBegin();
        std::vector<u8> expected(allocBlockSize);
        while (recovery.getCurrentAllocBlock() < count) {
            const u64 ofs = recovery.getCurrentOffset();
            const bool used = isUsed(recovery.getCurrentAllocBlock());
            if (!used) {
                ASSERT_TRUE(cache->getOfsData(ofs, allocBlockSize, *recovery.getData()));
                ASSERT_TRUE(cache->read(ofs, allocBlockSize, expected.data()));
            }
            raw.scanBlock();
            ASSERT_TRUE(used || !memcmp(recovery.getData()->getPtr(), expected.data(), allocBlockSize)) << ofs;
            RecoveryTestAccess::setPosition(recovery, recovery.getCurrentAllocBlock() + 1,
                                            recovery.getCurrentBlock() + perAlloc,
                                            recovery.getCurrentOffset() + allocBlockSize);
        }
        raw.scanEnd();
        callTimes = raw.getCallTimes();
        bytesAsked = raw.getStream()->getBytesAsked();
    }

    // Every carved item by its path under the root ("image/jpeg/8.jpg").
    std::map<std::string, RawVolumeItem*> items(VolumeItem* folder = nullptr, const std::string& path = "") {
        std::map<std::string, RawVolumeItem*> found;
        for (VolumeItem* child : (folder ? folder : root)->children()) {
            if (child->isContainer()) found.merge(items(child, path + child->getName() + "/"));
            if (!child->isContainer()) found[path + child->getName()] = dynamic_cast<RawVolumeItem*>(child);
        }
        return found;
    }

    std::unique_ptr<Disk> disk;
    u32 allocBlockSize;
    u64 startOffset = 0;
    TestListener listener;
    Recovery recovery;
    Volume* volume = nullptr;            // owned by the Recovery
    UsedBlocksVolume* blocks = nullptr;  // the volume, when the test chose its used blocks
    VolumeItem* root = nullptr;          // owned by the Recovery
    std::vector<u64> callTimes;
    u64 bytesAsked = 0;  // by the analysers of the last scan, of their stream
};

}  // namespace vorn::test
