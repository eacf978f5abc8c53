// Test rig of the raw scan driver: a Recovery over a disk, with a volume
// whose used allocation blocks the test chooses, and a loop that feeds a
// RawAnalyser block by block exactly as the block scan does (reading each
// free block as the scan's view, skipping used blocks unread, following
// seekToOffset). After every block the scan's view must still hold the
// disk's bytes, whatever the analysers read meanwhile.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
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
#include "raw/RawAnalyser.h"
#include "raw/RawVolumeItem.h"
#include "raw/StreamAnalyser.h"
#include "raw/StreamInfo.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryEventListener.h"
#include "recovery/RecoveryTestAccess.h"
#include "storage/CachedDisk.h"

namespace vorn::test {

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
    std::string localizedString(const std::string& key) override {
        auto it = texts.find(key);
        return it == texts.end() ? key : it->second;
    }
    std::map<std::string, std::string> texts;
    std::vector<VolumeItem*> changed;
};

// Reports a find wherever the block begins with its marker: the mime type
// it was told, and an end at start + length - 1 (no end for length 0).
class ScriptedAnalyser : public StreamAnalyser {
public:
    ScriptedAnalyser(RawAnalyser* owner, std::string marker, std::string registered, std::string reported,
                     u64 length = 0, bool minimum = false, bool cap = true)
        : StreamAnalyser(owner),
          marker(std::move(marker)),
          reported(std::move(reported)),
          length(length),
          minimum(minimum),
          cap(cap) {
        name = "ScriptedAnalyser";
        addMimeType(registered, "bin", "ico.png");
    }
    bool analyse(ComfortDataStream* stream, StreamInfo* info) override {
        const u64 start = stream->getPos();
        const u8* p = stream->readPtr(static_cast<u32>(marker.size()));
        if (!p || std::string(reinterpret_cast<const char*>(p), marker.size()) != marker) return false;
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
    // The disk is owned by the rig. With a block size the volume is a
    // UsedBlocksVolume at volumeOffset of the disk, its allocation block 0
    // at dataOffset of the volume; with 0 it is the volume that Recovery
    // opens on the disk (a file system, or the stand-in that leaves every
    // block free), scanned in its own allocation blocks.
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
            volume = recovery.getVolume();
            allocBlockSize = std::max(volume->getAllocBlockSize(), recovery.getDisk()->getBlockSize());
        }
        volume->createRootItem("Deleted");
        root = volume->getRootItem();
        root->setFlags(ITEM_DELETED);
        RecoveryTestAccess::setRootItem(recovery, root);
        startOffset = volume->getDiskOffset() + volume->getDataOffset();
    }

    u64 diskBytes() { return recovery.getDisk()->getBlockCount() * recovery.getDisk()->getBlockSize(); }

    // Runs one deleted-files scan; setup may add analysers to the driver.
    void scan(const std::function<void(RawAnalyser&)>& setup = {}) {
        auto* cache = static_cast<CachedDisk*>(recovery.getDisk());
        const u32 blockSize = cache->getBlockSize();
        const u32 perAlloc = allocBlockSize / blockSize;
        const u64 count = (diskBytes() - startOffset) / allocBlockSize;
        RecoveryTestAccess::setScanGeometry(recovery, startOffset, allocBlockSize, perAlloc, count);
        RecoveryTestAccess::setPosition(recovery, 0, startOffset / blockSize, startOffset);
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

    // As the scan asks: the volume in its own allocation blocks.
    bool isUsed(u64 index) {
        const u32 own = volume->getAllocBlockSize();
        if (own == allocBlockSize) return volume->isAllocationBlockUsed(index);
        for (u64 b = index * allocBlockSize / own; b <= (index * allocBlockSize + allocBlockSize - 1) / own; ++b) {
            if (!volume->isAllocationBlockUsed(b)) return false;
        }
        return true;
    }

    // Every carved item by its path under the root ("image/jpeg/8.jpg").
    std::map<std::string, RawVolumeItem*> items() {
        std::map<std::string, RawVolumeItem*> found;
        collect(root, "", found);
        return found;
    }
    void collect(VolumeItem* folder, const std::string& path, std::map<std::string, RawVolumeItem*>& found) {
        for (VolumeItem* child : folder->children()) {
            const std::string name = path + child->getName();
            if (child->isContainer()) {
                collect(child, name + "/", found);
            } else {
                found[name] = dynamic_cast<RawVolumeItem*>(child);
            }
        }
    }

    std::unique_ptr<Disk> disk;
    u32 allocBlockSize;
    u64 startOffset = 0;
    CarveListener listener;
    Recovery recovery;
    Volume* volume = nullptr;            // owned by the Recovery
    UsedBlocksVolume* blocks = nullptr;  // the volume, when the test chose the used blocks
    VolumeItem* root = nullptr;          // owned by the Recovery
    std::vector<u64> callCounts, callTimes;
};

}  // namespace vorn::test
