// The facade's own operations: construction, disk selection, opening the
// volume, attaching found volumes, the scan position and the small setters.
// The scan, saving, search, report and image file live in their own files.
#include "recovery/Recovery.h"

#include <algorithm>
#include <cstdio>

#include "fs/Volume.h"
#include "misc/Data.h"
#include "misc/Log.h"
#include "platform/MountGuard.h"
#include "platform/VolumeInfo.h"
#include "fs/RecoveryEventListener.h"
#include "recovery/RecoveryUtils.h"
#include "recovery/VolumeFactory.h"
#include "storage/CachedDisk.h"
#include "storage/DiskManager.h"

namespace vorn {

namespace {

constexpr u32 kCacheSize = 4194304;      // 4 MiB
constexpr u32 kReadAheadSize = 262144;   // 256 KiB lines

}  // namespace

Recovery::Recovery() : data(std::make_unique<Data>()) {}

Recovery::~Recovery() {
    log(LOG_DEBUG, "Recovery::~Recovery\n");
    selectDisk(nullptr);
    freeAddedVolumes();
    data->free();
}

void Recovery::setListener(RecoveryEventListener* l) { listener = l; }

RecoveryEventListener* Recovery::getListener() { return listener; }

void Recovery::setEnableSearchText(bool enable) {
    log(LOG_DEBUG, "Recovery::setEnableSearchText = %d\n", enable);
    enableSearchText = enable;
}

void Recovery::setEnableSearchKeywords(bool enable) {
    log(LOG_DEBUG, "Recovery::setEnableSearchKeywords = %d\n", enable);
    enableSearchKeywords = enable;
}

void Recovery::setKeywords(const std::vector<std::string>& words) { keywords = words; }

void Recovery::setScanType(int type) {
    log(LOG_DEBUG, "Recovery::setScanType  ");
    switch (type) {
        case SCAN_DELETED_FILES: log(LOG_DEBUG, "Deleted Files\n"); break;
        case SCAN_LOST_FILES: log(LOG_DEBUG, "Lost Files\n"); break;
        case SCAN_LOST_VOLUMES: log(LOG_DEBUG, "Lost Volumes\n"); break;
        default: break;
    }
    scanType = type;
}

int Recovery::getScanType() { return scanType; }

VolumeItem* Recovery::getRootItem() { return rootItem.get(); }

VolumeItem* Recovery::getSearchResultsItem() { return searchResultsItem; }

Disk* Recovery::getDisk() { return disk.get(); }

std::string Recovery::localizedString(const std::string& key) {
    return listener ? listener->localizedString(key) : key;
}

void Recovery::deleteRootItem() {
    log(LOG_DEBUG, "deleteRootItem\n");
    // The "SearchResults" folder only lists its hits; each is freed once, by
    // its own folder, with the tree.
    if (searchResultsItem) searchResultsItem->clearChildren();
    rootItem.reset();
    searchResultsItem = nullptr;
    // The volumes found by the last scan go with the tree that showed them.
    freeAddedVolumes();
}

void Recovery::freeAddedVolumes() { addedVolumes.clear(); }

bool Recovery::selectDisk(Disk* newDisk) {
    if (newDisk == static_cast<Disk*>(disk.get())) return true;
    if (newDisk) {
        log(LOG_INFO, "------- disk selected: -------\n");
        newDisk->dump();
        log(LOG_INFO, "------------------------------\n");
    }
    deleteRootItem();
    volume.reset();
    if (disk) {
        // Balance the open of selectDisk, so the selected medium is released.
        if (diskOpened) disk->close();
        disk.reset();
        diskOpened = false;
    }
    if (!newDisk) return true;

    disk = std::make_unique<CachedDisk>(newDisk, kCacheSize, kReadAheadSize);
    diskOpened = disk->open(false);
    if (!diskOpened) log(LOG_ERROR, "error opening disk!\n");
    return diskOpened;
}

void Recovery::openExistingVolume() {
    log(LOG_DEBUG, "openExistingVolume\n");
    if (!disk) {
        log(LOG_ERROR, "error: no disk selected\n");
        return;
    }
    deleteRootItem();
    volume.reset();

    const std::span<const ReaderRegistration> all = readers();
    for (size_t i = 0; i < all.size(); ++i) {
        std::unique_ptr<Volume> candidate = all[i].create(disk.get());
        if (!candidate) continue;
        // The last reader's volume stays although it did not mount, so that
        // a scan has a volume to ask about allocation blocks.
        if (candidate->mount(true) || i + 1 == all.size()) {
            volume = std::move(candidate);
            break;
        }
        // A failed candidate goes with any root it made.
        delete candidate->getRootItem();
    }
    rootItem.reset(volume ? volume->getRootItem() : nullptr);
}

Volume* Recovery::addVolume(int type, Volume* found) {
    if (!rootItem) return nullptr;
    char label[64];
    snprintf(label, sizeof label, "Volume %d", (int)(volumeCounter + 1));

    Volume* added = found;
    if (!added) {
        added = createVolumeForAddType(type, disk.get()).release();
        if (!added) return nullptr;
    }
    bool known = std::any_of(addedVolumes.begin(), addedVolumes.end(),
                             [&](const std::unique_ptr<Volume>& v) { return v.get() == added; });
    if (!known && added != volume.get()) addedVolumes.emplace_back(added);

    // A volume whose root hangs under the result root already (or is the
    // result root) is not attached again: a root listed twice would be
    // freed twice.
    VolumeItem* addedRoot = added->getRootItem();
    if (addedRoot == rootItem.get()) return added;
    if (addedRoot) {
        for (VolumeItem* child : rootItem->children())
            if (child == addedRoot) return added;
    }

    ++volumeCounter;
    if (!added->getRootItem()) added->createRootItem(label);
    rootItem->addChild(added->getRootItem());
    log(LOG_DEBUG, "Recovery::addVolume (%d): %s\n", (int)volumeCounter, added->getName().c_str());
    return added;
}

ProtectedFiles Recovery::protectedFiles(Disk* alsoReading) {
    ProtectedFiles files;
    std::vector<Disk*> reading = {disk.get(), alsoReading};
    if (volume) reading.push_back(volume->getDisk());
    for (const std::unique_ptr<Volume>& added : addedVolumes) reading.push_back(added->getDisk());
    for (Disk* read : reading) {
        protectFilesReadBy(read, files);
        protectDevicesReadBy(read, files);
    }
    if (diskManager) {
        const u32 count = diskManager->getDiskCount();
        for (u32 i = 0; i < count; ++i) protectFilesReadBy(diskManager->getDisk(i), files);
    }
    // The files below the protected ones' overlay or FUSE views first: a
    // loop device may read one of them.
    guardMounts(files);
    protectDevicesOverFiles(files);
    return files;
}

int Recovery::openOutputFile(const std::string& path, bool followLinks, OutputOpen& result, Disk* alsoReading) {
    const int fd = vorn::openOutputFile(path, protectedFiles(alsoReading), OutputTarget{followLinks, false}, result);
    if (result == OutputOpen::Refused) logRefusedTarget(path);
    return fd;
}

FolderMade Recovery::makeFolders(const std::string& path) {
    const FolderMade made = vorn::makeFolders(path, protectedFiles());
    if (made == FolderMade::Refused) logRefusedTarget(path);
    return made;
}

bool Recovery::mayWrite(const std::string& path, Disk* alsoReading) {
    const ProtectedFiles files = protectedFiles(alsoReading);
    return !isProtectedTarget(path, files, true) && !isProtectedFolder(folderOf(path), files);
}

void Recovery::seekToOffset(u64 offset) {
    if (allocBlockSize == 0) return;
    if (offset < scanStartOffset) {
        log(LOG_DEBUG, "Recovery::seekToOffset - offset %llu lies before the scan start, ignored\n",
            (unsigned long long)offset);
        return;
    }
    // Allocation blocks count from the scan's start offset (allocation block 0).
    u64 index = (offset - scanStartOffset) / allocBlockSize;
    if (index < currentAllocBlock) {
        log(LOG_DEBUG, "Recovery::seekToOffset - offset %llu lies behind the scan position, ignored\n",
            (unsigned long long)offset);
        return;
    }
    u64 d = index - currentAllocBlock;
    currentAllocBlock = index;
    currentBlock += d * blocksPerAllocBlock;
    currentOffset += d * allocBlockSize;
}

}  // namespace vorn
