// Test rigs of the carver's tests.
//
// StreamRig: a disk of given bytes (512-byte blocks) behind a small block
// cache (16 lines of 2 KiB), with a disk stream and a comfort stream.
//
// CarveRig: a Recovery over a disk, with a volume whose used blocks the test
// chooses (or the volume Recovery opens on the disk), and a loop that feeds
// a RawAnalyser exactly as the block scan does: each free block read as the
// scan's view, used blocks skipped unread, seekToOffset followed. After
// every block the scan's view must still hold the disk's bytes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fs/Volume.h"
#include "fs/VolumeItem.h"
#include "misc/Data.h"
#include "raw/ComfortDataStream.h"
#include "raw/DiskDataStream.h"
#include "raw/RawAnalyser.h"
#include "raw/RawVolumeItem.h"
#include "raw/StreamAnalyser.h"
#include "raw/StreamInfo.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryEventListener.h"
#include "recovery/RecoveryTestAccess.h"
#include "storage/CachedDisk.h"
#include "storage/FailingDisk.h"

namespace vorn::test {

inline void put(std::vector<u8>& bytes, size_t ofs, const std::string& text) {
    std::copy(text.begin(), text.end(), bytes.begin() + static_cast<std::ptrdiff_t>(ofs));
}

struct StreamRig {
    explicit StreamRig(std::vector<u8> content, bool cached = true) : bytes(content), disk(std::move(content)) {
        disk.open(false);
        cache = std::make_unique<CachedDisk>(&disk, 16 * 2048, 2048);
        diskStream = std::make_unique<DiskDataStream>(cached ? static_cast<Disk*>(cache.get()) : &disk);
        stream = std::make_unique<ComfortDataStream>(diskStream.get());
    }
    ~StreamRig() { disk.close(); }
    // The stream placed at ofs, as the driver places it for each analyser.
    ComfortDataStream* at(u64 ofs) {
        stream->seek(static_cast<i64>(ofs), SEEK_FROM_START);
        return stream.get();
    }
    std::vector<u8> bytes;
    FailingDisk disk;
    std::unique_ptr<CachedDisk> cache;
    std::unique_ptr<DiskDataStream> diskStream;
    std::unique_ptr<ComfortDataStream> stream;
};

class UsedBlocksVolume : public Volume {
public:
    UsedBlocksVolume(Disk* disk, u32 allocBlockSize) : Volume(disk) { setAllocBlockSize(allocBlockSize); }
    bool mount(bool) override { return true; }
    bool isAllocationBlockUsed(u64 block) override { return used.count(block) != 0; }
    std::set<u64> used;
};

class CarveListener : public RecoveryEventListener {
public:
    void progressEvent(double, bool*) override {}
    void fileSaving(const std::string&) override {}
    void askOverwrite(const std::string&, bool*, bool*, bool*) override {}
    void diskListChangedEvent() override {}
    void itemChangedEvent(VolumeItem* item) override { changed.push_back(item); }
    std::string localizedString(const std::string& key) override { return texts.count(key) ? texts[key] : key; }
    std::map<std::string, std::string> texts;
    std::vector<VolumeItem*> changed;
};

// Reports a find wherever a block begins with its marker: the mime type it
// was told, an end at start + length - 1 (none for length 0).
class ScriptedAnalyser : public StreamAnalyser {
public:
    ScriptedAnalyser(RawAnalyser* owner, std::string marker, std::string registered, std::string reported,
                     u64 length = 0, bool minimum = false, bool cap = true)
        : StreamAnalyser(owner), marker(std::move(marker)), reported(std::move(reported)), length(length),
          minimum(minimum), cap(cap) {
        name = "ScriptedAnalyser";
        addMimeType(registered, "bin", "ico.png");
    }
    bool analyse(ComfortDataStream* stream, StreamInfo* info) override {
        const u64 start = stream->getPos();
        const u8* p = stream->readPtr(static_cast<u32>(marker.size()));
        if (!p || memcmp(p, marker.data(), marker.size()) != 0) return false;
        info->mimeType = reported;
        info->start = start;
        info->end = length ? start + length - 1 : 0;
        info->endIsMinimum = minimum;
        info->analyser = this;
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
    // With a block size the volume is a UsedBlocksVolume at volumeOffset of
    // the disk, its allocation block 0 at dataOffset of the volume; with 0
    // it is the volume Recovery opens on the disk, scanned in its own
    // allocation blocks.
    CarveRig(std::unique_ptr<Disk> d, u32 blockSize, u64 volumeOffset = 0, u64 dataOffset = 0)
        : disk(std::move(d)), allocBlockSize(blockSize) {
        EXPECT_TRUE(recovery.selectDisk(disk.get()));
        recovery.setListener(&listener);
        if (blockSize != 0) {
            blocks = new UsedBlocksVolume(recovery.getDisk(), blockSize);
            blocks->setDiskOffset(volumeOffset);
            blocks->setDataOffset(dataOffset);
            RecoveryTestAccess::setVolume(recovery, blocks);
            volume = blocks;
        } else {
            recovery.openExistingVolume();
            recovery.deleteRootItem();  // as the scan does: the folder tree goes
            volume = recovery.getVolume();
            allocBlockSize = std::max(volume->getAllocBlockSize(), recovery.getDisk()->getBlockSize());
        }
        volume->createRootItem("Deleted");
        root = volume->getRootItem();
        RecoveryTestAccess::setRootItem(recovery, root);
        startOffset = volume->getDiskOffset() + volume->getDataOffset();
    }

    u64 diskBytes() { return recovery.getDisk()->getBlockCount() * recovery.getDisk()->getBlockSize(); }

    // As the scan asks: the volume in its own allocation blocks.
    bool isUsed(u64 index) {
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
        const u64 count = (diskBytes() - startOffset) / allocBlockSize;
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
            if (!used) {
                ASSERT_EQ(0, memcmp(recovery.getData()->getPtr(), expected.data(), allocBlockSize)) << ofs;
            }
            RecoveryTestAccess::setPosition(recovery, recovery.getCurrentAllocBlock() + 1,
                                            recovery.getCurrentBlock() + perAlloc,
                                            recovery.getCurrentOffset() + allocBlockSize);
        }
        raw.scanEnd();
        callCounts = raw.getCallCounts();
        callTimes = raw.getCallTimes();
    }

    // Every carved item by its path under the root ("image/jpeg/8.jpg").
    std::map<std::string, RawVolumeItem*> items() {
        std::map<std::string, RawVolumeItem*> found;
        std::function<void(VolumeItem*, const std::string&)> walk = [&](VolumeItem* folder, const std::string& path) {
            for (VolumeItem* child : folder->children()) {
                if (child->isContainer()) {
                    walk(child, path + child->getName() + "/");
                } else {
                    found[path + child->getName()] = dynamic_cast<RawVolumeItem*>(child);
                }
            }
        };
        walk(root, "");
        return found;
    }

    std::unique_ptr<Disk> disk;
    u32 allocBlockSize;
    u64 startOffset = 0;
    CarveListener listener;
    Recovery recovery;
    Volume* volume = nullptr;            // owned by the Recovery
    UsedBlocksVolume* blocks = nullptr;  // the volume, when the test chose its used blocks
    VolumeItem* root = nullptr;          // owned by the Recovery
    std::vector<u64> callCounts, callTimes;
};

}  // namespace vorn::test
