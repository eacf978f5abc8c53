// The facade's own operations: construction, disk selection, opening the
// volume, attaching found volumes, the scan position and the small setters.
// The scan, saving, search, report and image file live in their own files.
#include "recovery/Recovery.h"

#include <algorithm>
#include <cstdio>

#include "fs/Volume.h"
#include "misc/Data.h"
#include "misc/Log.h"
#include "fs/RecoveryEventListener.h"
#include "recovery/VolumeFactory.h"
#include "storage/CachedDisk.h"

namespace vorn {

namespace {

constexpr u32 kCacheSize = 4194304;      // 4 MiB
constexpr u32 kReadAheadSize = 262144;   // 256 KiB lines

}  // namespace

Recovery::Recovery() : data(new Data()) {}

Recovery::~Recovery() {
    log(3, "Recovery::~Recovery\n");
    selectDisk(nullptr);
    freeAddedVolumes();
    data->free();
    delete data;
    data = nullptr;
}

void Recovery::setListener(RecoveryEventListener* l) { listener = l; }

RecoveryEventListener* Recovery::getListener() { return listener; }

void Recovery::setEnableSearchText(bool enable) {
    log(3, "Recovery::setEnableSearchText = %d\n", enable);
    enableSearchText = enable;
}

void Recovery::setEnableSearchKeywords(bool enable) {
    log(3, "Recovery::setEnableSearchKeywords = %d\n", enable);
    enableSearchKeywords = enable;
}

void Recovery::setKeywords(const std::vector<std::string>& words) { keywords = words; }

void Recovery::setScanType(int type) {
    log(3, "Recovery::setScanType  ");
    switch (type) {
        case SCAN_DELETED_FILES: log(3, "Deleted Files\n"); break;
        case SCAN_LOST_FILES: log(3, "Lost Files\n"); break;
        case SCAN_LOST_VOLUMES: log(3, "Lost Volumes\n"); break;
        default: break;
    }
    scanType = type;
}

int Recovery::getScanType() { return scanType; }

VolumeItem* Recovery::getRootItem() { return rootItem; }

VolumeItem* Recovery::getSearchResultsItem() { return searchResultsItem; }

Disk* Recovery::getDisk() { return disk; }

std::string Recovery::localizedString(const std::string& key) {
    return listener ? listener->localizedString(key) : key;
}

void Recovery::deleteRootItem() {
    log(3, "deleteRootItem\n");
    // The "SearchResults" folder only lists its hits; each is freed once, by
    // its own folder, with the tree.
    if (searchResultsItem) searchResultsItem->clearChildren();
    delete rootItem;
    rootItem = nullptr;
    searchResultsItem = nullptr;
    // The volumes found by the last scan go with the tree that showed them.
    freeAddedVolumes();
}

void Recovery::freeAddedVolumes() { addedVolumes.clear(); }

bool Recovery::selectDisk(Disk* newDisk) {
    if (newDisk == static_cast<Disk*>(disk)) return true;
    if (newDisk) {
        log(2, "------- disk selected: -------\n");
        newDisk->dump();
        log(2, "------------------------------\n");
    }
    deleteRootItem();
    delete volume;
    volume = nullptr;
    if (disk) {
        // Balance the open of selectDisk, so the selected medium is released.
        if (diskOpened) disk->close();
        delete disk;
        disk = nullptr;
        diskOpened = false;
    }
    if (!newDisk) return true;

    disk = new CachedDisk(newDisk, kCacheSize, kReadAheadSize);
    diskOpened = disk->open(false);
    if (!diskOpened) log(0, "error opening disk!\n");
    return diskOpened;
}

void Recovery::openExistingVolume() {
    log(3, "openExistingVolume\n");
    if (!disk) {
        log(0, "error: no disk selected\n");
        return;
    }
    deleteRootItem();
    delete volume;
    volume = nullptr;

    const std::span<const ReaderRegistration> all = readers();
    for (size_t i = 0; i < all.size(); ++i) {
        Volume* candidate = all[i].create(disk);
        if (!candidate) continue;
        if (candidate->mount(true)) {
            volume = candidate;
            break;
        }
        if (i + 1 == all.size()) {
            // The last reader's volume stays although it did not mount, so
            // that a scan has a volume to ask about allocation blocks.
            volume = candidate;
            break;
        }
        // A failed candidate goes with any root it made.
        delete candidate->getRootItem();
        delete candidate;
    }
    rootItem = volume ? volume->getRootItem() : nullptr;
}

Volume* Recovery::addVolume(int type, Volume* found) {
    if (!rootItem) return nullptr;
    char label[64];
    snprintf(label, sizeof label, "Volume %d", (int)(volumeCounter + 1));

    Volume* added = found;
    if (!added) {
        added = createVolumeForAddType(type, disk);
        if (!added) return nullptr;
    }
    bool known = std::any_of(addedVolumes.begin(), addedVolumes.end(),
                             [&](const std::unique_ptr<Volume>& v) { return v.get() == added; });
    if (!known && added != volume) addedVolumes.emplace_back(added);

    // A volume whose root hangs under the result root already (or is the
    // result root) is not attached again: a root listed twice would be
    // freed twice.
    VolumeItem* addedRoot = added->getRootItem();
    if (addedRoot == rootItem) return added;
    if (addedRoot) {
        for (VolumeItem* child : rootItem->children())
            if (child == addedRoot) return added;
    }

    ++volumeCounter;
    if (!added->getRootItem()) added->createRootItem(label);
    rootItem->addChild(added->getRootItem());
    log(3, "Recovery::addVolume (%d): %s\n", (int)volumeCounter, added->getName().c_str());
    return added;
}

void Recovery::seekToOffset(u64 offset) {
    if (allocBlockSize == 0) return;
    if (offset < scanStartOffset) {
        log(3, "Recovery::seekToOffset - offset %llu lies before the scan start, ignored\n",
            (unsigned long long)offset);
        return;
    }
    // Allocation blocks count from the scan's start offset (allocation block 0).
    u64 index = (offset - scanStartOffset) / allocBlockSize;
    if (index < currentAllocBlock) {
        log(3, "Recovery::seekToOffset - offset %llu lies behind the scan position, ignored\n",
            (unsigned long long)offset);
        return;
    }
    u64 d = index - currentAllocBlock;
    currentAllocBlock = index;
    currentBlock += d * blocksPerAllocBlock;
    currentOffset += d * allocBlockSize;
}

}  // namespace vorn
