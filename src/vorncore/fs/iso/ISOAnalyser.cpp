#include "fs/iso/ISOAnalyser.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "fs/RecoveryEventListener.h"
#include "fs/ScanContext.h"
#include "fs/iso/ISOVolume.h"
#include "fs/iso/ISOVolumeItem.h"
#include "misc/Bytes.h"
#include "misc/Data.h"
#include "misc/Log.h"
#include "misc/Timing.h"
#include "misc/Utils.h"
#include "storage/Disk.h"
#include "storage/PartitionDisk.h"

namespace vorn {

namespace {

constexpr u32 kSector = ISOVolume::kSectorSize;
// A volume's first descriptor lies 16 sectors past its start.
constexpr u64 kDescriptorLead = 16 * u64(kSector);
// Fixed bytes of a directory record before its name.
constexpr u32 kRecordHead = 33;

// Whether a name is that of the "." record (which = 0: the single byte 0) or
// of the ".." record (which = 1: the single byte 1), also written as two
// bytes 0, which.
bool isDotName(const u8* name, u8 length, u8 which) {
    return (length == 1 && name[0] == which) || (length == 2 && name[0] == 0 && name[1] == which);
}

// A directory record whose lengths fit it and the bytes it lies in, and
// whose both-endian halves agree.
struct Record {
    u32 length = 0;
    u64 extent = 0;
    u64 dataLength = 0;
    bool folder = false;
    u8 nameLength = 0;
    const u8* name = nullptr;
    const u8* date = nullptr;

    bool read(const u8* rec, u32 avail) {
        if (!rec || avail < kRecordHead + 1) return false;
        length = rec[0];
        nameLength = rec[32];
        if (length < kRecordHead + 1 || length > avail || kRecordHead + nameLength > length) return false;
        if (loadLE32(rec + 2) != loadBE32(rec + 6) || loadLE32(rec + 10) != loadBE32(rec + 14)) return false;
        extent = loadLE32(rec + 2);
        dataLength = loadLE32(rec + 10);
        date = rec + 18;
        folder = (rec[25] & 2) != 0;
        name = rec + kRecordHead;
        return true;
    }
    bool isDot(u8 which) const { return isDotName(name, nameLength, which); }
};

// Whether the names of a directory from a tree of unknown kind are UCS-2:
// one of them holds a zero byte (at its start, or anywhere in a name of even
// length), which no 8-bit name holds; or every one has an even length and a
// control byte, as UCS-2 names of scripts below U+2000 (Greek, Cyrillic,
// Hebrew, ...) without ASCII have. An 8-bit name may hold a control byte (a
// file name on Linux may), so one such name leaves its directory 8-bit.
bool namesLookLikeUcs2(const std::vector<std::string>& names) {
    bool allControl = true, any = false;
    for (const std::string& name : names) {
        const u8* bytes = reinterpret_cast<const u8*>(name.data());
        const u8 length = static_cast<u8>(name.size());
        if (isDotName(bytes, length, 0) || isDotName(bytes, length, 1)) continue;
        const bool even = name.size() % 2 == 0;
        if (!name.empty() && (name[0] == 0 || (even && name.find('\0') != std::string::npos))) return true;
        any = true;
        allControl = allControl && even &&
                     std::any_of(name.begin(), name.end(), [](char c) { return static_cast<u8>(c) < 0x20; });
    }
    return any && allControl;
}

// A sector that another directory listed first ends the walk, with a line.
bool sectorIsOurs(ISODirectoryMap* map, u64 sector, u64 dirStart) {
    u64 owner = 0;
    if (!map || map->claimSector(sector, dirStart, &owner)) return true;
    log(LOG_WARNING, "ISOAnalyser::parseDir - sector at %lld belongs to the directory at %lld, not listed again\n",
        static_cast<long long>(sector), static_cast<long long>(owner));
    return false;
}

// A record's name without its version suffix: 8-bit text, or UCS-2 big-
// endian up to a zero unit; the "." and ".." names are "" and "\x01".
std::string recordName(const u8* name, u8 length, bool ucs2) {
    if (isDotName(name, length, 0)) return "";
    if (isDotName(name, length, 1)) return "\x01";
    std::string text = ucs2 ? utf16ToUtf8(reinterpret_cast<const u16*>(name), length / 2, length, true)
                            : isoNameToString(name, length, length);
    text = substringBefore(text, ";");
    VORN_LOG(LOG_DEBUG, "name: %s\n", text.c_str());
    return text;
}

// Recording dates as isoDateToUnix gives them, the system's time zone asked
// once per hour of date met (it costs a file lookup per call when TZ is unset).
class DateConverter {
public:
    u32 toUnix(const u8* date) {
        const u32 key = (u32(date[0]) << 24) | (u32(date[1]) << 16) | (u32(date[2]) << 8) | date[3];
        auto it = hourStarts.find(key);
        if (it == hourStarts.end()) {
            if (hourStarts.size() >= 4096) hourStarts.clear();
            it = hourStarts.emplace(key, toTimeNoDst(date[2], date[1], 1900 + date[0], date[3], 0, 0)).first;
        }
        if (it->second == -1) return isoDateToUnix(date);
        const i64 t = i64(it->second) + date[4] * 60 + date[5];
        return t > 0 && t <= i64(0xFFFFFFFF) ? static_cast<u32>(t) : 0;
    }

private:
    std::unordered_map<u32, time_t> hourStarts;
};

}  // namespace

ISOAnalyser::ISOAnalyser(ScanContext* owner) : AbstractAnalyser(owner) {}

ISOAnalyser::~ISOAnalyser() = default;

void ISOAnalyser::scanBegin() {
    currentVolume = nullptr;
    currentFirstDiscOfs = ~u64(0);
    shortSteps = 0;
}

void ISOAnalyser::scanBlock() {
    const Data* data = owner->getData();
    const u8* bytes = data ? data->getPtr() : nullptr;
    const u32 len = bytes ? data->getSize() : 0;
    const int type = owner->getScanType();
    if (type == SCAN_LOST_VOLUMES) scanLostVolume(bytes, len);
    if (type == SCAN_LOST_FILES) scanLostFiles(bytes, len);
}

void ISOAnalyser::scanEnd() {
    if (owner->getScanType() == SCAN_LOST_FILES) mergeItems();
    if (shortSteps)
        log(LOG_ERROR, "ISOAnalyser: dunno, we need at least some data... (%lld steps)\n",
            static_cast<long long>(shortSteps));
}

void ISOAnalyser::scanLostVolume(const u8* data, u32 len) {
    if (len < 6) {
        ++shortSteps;
        return;
    }
    if (memcmp(data + 1, "CD001", 5) != 0) return;
    Disk* disk = owner->getDisk();
    const u64 at = owner->getCurrentOffset();
    if (!disk || at < kDescriptorLead) return;
    u8 block[kSector];
    if (len < kSector) {
        // Steps of 512-byte disks: the descriptor is read whole, apart from
        // the scan's own view of the cache.
        if (!disk->read(at, kSector, block)) {
            ++shortSteps;
            return;
        }
        data = block;
        len = kSector;
    }
    u64 firstDiscOfs = 0, spaceBytes = 0;
    std::string name;
    if (!checkLostVolume(at, data, len, &firstDiscOfs, &name, &spaceBytes)) return;

    const u32 bs = disk->getBlockSize();
    const u64 block16 = at / bs;
    log(LOG_DEBUG, "ISO volume found at block %lld\n", static_cast<long long>(block16));
    const u64 volumeStart = at - kDescriptorLead;
    const u64 end = volumeStart + spaceBytes;  // one past the volume's last byte
    if (volumeStart % bs || firstDiscOfs % bs || end <= firstDiscOfs) return;
    Disk* parent = getInnermostDisk(disk);
    const u64 first = firstDiscOfs / bs, last = (end + bs - 1) / bs - 1;
    if (!PartitionDisk::fitsParent(parent, first, last)) return;
    auto partition = std::make_unique<PartitionDisk>(parent, first, last);
    partition->setLastSessionOfs(volumeStart - firstDiscOfs);
    partition->setLostVolume(true);
    partition->setName(name);
    log(LOG_INFO, "adding lost volume at block: %lld\n", static_cast<long long>(block16));
    if (!disk->addPartition(partition.get())) return;  // listed already (another copy of its descriptors)
    partition.release();
    if (RecoveryEventListener* listener = owner->getListener()) listener->diskListChangedEvent();
}

bool ISOAnalyser::checkLostVolume(u64 descriptorOfs, const u8* data, u32 len, u64* firstDiscOfs, std::string* name,
                                  u64* spaceBytes) {
    if (!data || len < 6 || memcmp(data + 1, "CD001", 5) != 0 || descriptorOfs < kDescriptorLead) return false;
    Disk* disk = owner->getDisk();
    if (!disk || disk->getBlockCount() == 0 || disk->getBlockSize() == 0) return false;
    const u64 volumeStart = descriptorOfs - kDescriptorLead;
    // The whole disk, with its session at the found volume, so that the
    // mount finds the descriptors where they are.
    PartitionDisk whole(disk, 0, disk->getBlockCount() - 1);
    whole.setLastSessionOfs(volumeStart);
    ISOVolume volume(&whole);
    printf("potential ISO volume at block %lld\n", static_cast<long long>(descriptorOfs / disk->getBlockSize()));
    if (!volume.mount(false)) return false;

    // A session of a multisession disc counts its extents from the disc's
    // start: its root directory lies there.
    u64 first = 0;
    u8 sector[kSector];
    u64 own = 0, parent = 0;
    const u64 rootOfs = volume.getRootExtent() * volume.getLogicalBlockSize();
    if (disk->read(rootOfs, kSector, sector) && isDirectoryStart(sector, kSector, &own, &parent) &&
        own == volume.getRootExtent()) {
        log(LOG_DEBUG, "ISO root dir seems to be correct\n");
    } else {
        first = volumeStart;
    }
    log(LOG_DEBUG, "firstDiscBlock %lld\n", static_cast<long long>(first / disk->getBlockSize()));
    *firstDiscOfs = first;
    if (name) *name = volume.getName();
    if (spaceBytes) *spaceBytes = volume.getVolumeSpaceSize() * volume.getLogicalBlockSize();
    return true;
}

void ISOAnalyser::scanLostFiles(const u8* data, u32 len) {
    if (len < kSector) {
        ++shortSteps;
        return;
    }
    u64 own = 0, parentExtent = 0;
    if (!isDirectoryStart(data, len, &own, &parentExtent)) return;
    Disk* disk = owner->getDisk();
    const u64 at = owner->getCurrentOffset();
    if (!disk || own > at / kSector) return;  // its numbering would start before the disk
    const u64 firstDiscOfs = at - own * kSector;
    const u32 bs = disk->getBlockSize();
    VORN_LOG(LOG_DEBUG, "ISO dir (%lld) found at block %lld (firstDiscBlock=%lld, parentDirBlock=%lld)\n",
             static_cast<long long>(own), static_cast<long long>(at / bs), static_cast<long long>(firstDiscOfs / bs),
             static_cast<long long>(parentExtent));

    if (firstDiscOfs != currentFirstDiscOfs) {
        mergeItems();
        currentVolume = dynamic_cast<ISOVolume*>(owner->addVolume(ADD_VOLUME_ISO, nullptr));
        currentFirstDiscOfs = currentVolume ? firstDiscOfs : ~u64(0);
        if (!currentVolume) return;
        currentVolume->setDiskOffset(firstDiscOfs);
        if (currentVolume->mount(false) && currentVolume->getRootItem())
            currentVolume->getRootItem()->setName(currentVolume->getName());
        if (RecoveryEventListener* listener = owner->getListener()) listener->itemChangedEvent(owner->getRootItem());
    }

    std::vector<std::unique_ptr<ISOVolumeItem>> items;
    if (!parseDir(disk, at, items, 0, ISONames::Guess, &currentVolume->directories())) return;
    for (std::unique_ptr<ISOVolumeItem>& item : items) {
        // Only a folder names a directory (an empty file may share its extent).
        if (item->isContainer()) itemsByExtent[item->getExtent()] = item.get();
        pending.push_back({std::move(item), own});
    }
}

VolumeItem* ISOAnalyser::orphanFolder(u64 extent, u64* orphanedCount) {
    if (auto it = madeUpFolders.find(extent); it != madeUpFolders.end()) return it->second;
    VolumeItem* orphans = currentVolume->getRootItem()->findChild(owner->localizedString("OrphanedFolders"), true);
    auto* folder = new ISOVolumeItem();
    folder->setName(format("Extent %lld", static_cast<long long>(extent)));
    folder->setContainer(true);
    folder->setVolume(currentVolume);
    orphans->addChild(folder);
    folder->setParent(orphans);
    madeUpFolders[extent] = folder;
    itemsByExtent.try_emplace(extent, folder);  // the other entries of that directory join it
    ++*orphanedCount;
    return folder;
}

void ISOAnalyser::mergeItems() {
    if (pending.empty() || !currentVolume || !currentVolume->getRootItem()) {
        pending.clear();
        itemsByExtent.clear();
        madeUpFolders.clear();
        return;
    }
    log(LOG_INFO, "merging %d items...\n", static_cast<int>(pending.size()));
    RecoveryEventListener* listener = owner->getListener();
    u64 nonOrphaned = 0, orphaned = 0;
    StopWatch watch;
    watch.start();
    for (Pending& entry : pending) {
        watch.stop();
        if (watch.elapsedSeconds() != 0) {
            bool cancel = false;
            if (listener) listener->progressEvent(-1.0, &cancel);
            watch.start();
        }
        ISOVolumeItem* item = entry.item.get();
        item->setVolume(currentVolume);
        VolumeItem* parent = nullptr;
        if (auto it = itemsByExtent.find(entry.dirExtent); it != itemsByExtent.end()) {
            // Never under itself or one of its own descendants (nor deeper
            // than any walk goes).
            int depth = 0;
            VolumeItem* up = it->second;
            while (up && up != item && depth <= VolumeItem::kMaxDepth) up = up->getParent(), ++depth;
            if (!up) {
                parent = it->second;
                ++nonOrphaned;
            }
        }
        if (!parent) parent = orphanFolder(entry.dirExtent, &orphaned);
        parent->addChild(entry.item.release());
        item->setParent(parent);
    }
    log(LOG_INFO, "nonOrphanedItemCount: %lld\n", static_cast<long long>(nonOrphaned));
    log(LOG_INFO, "orphanedItemCount: %lld\n", static_cast<long long>(orphaned));
    pending.clear();
    itemsByExtent.clear();
    madeUpFolders.clear();
    log(LOG_INFO, "done!\n");
}

bool ISOAnalyser::isDirectoryStart(const u8* data, u32 len, u64* ownExtent, u64* parentExtent) {
    Record self, parent;
    if (!self.read(data, len) || !self.folder || !self.isDot(0)) return false;
    if (!parent.read(data + self.length, len - self.length) || !parent.folder || !parent.isDot(1)) return false;
    if (ownExtent) *ownExtent = self.extent;
    if (parentExtent) *parentExtent = parent.extent;
    return true;
}

bool ISOAnalyser::parseDir(Disk* disk, u64 ofs, std::vector<std::unique_ptr<ISOVolumeItem>>& items, u64 size,
                           ISONames names, ISODirectoryMap* map) {
    u8 sector[kSector];
    if (!disk || !disk->read(ofs, kSector, sector)) {
        log(LOG_ERROR, "ISOAnalyser::parseDir - error reading ISO directory!\n");
        return false;
    }
    const u64 dirStart = ofs;
    u64 limit = ~u64(0);  // no sector at or past it is read
    if (map) {
        map->addStart(dirStart);
        limit = map->limitFor(dirStart);
        if (!sectorIsOurs(map, ofs, dirStart)) return true;
    }
    // A tree of unknown kind is judged by the whole directory: its names are
    // kept as they are and decoded at the end.
    const size_t first = items.size();
    std::vector<std::string> rawNames;
    u64 consumed = 0;  // bytes walked since dirStart
    u32 pos = 0;       // in the sector
    DateConverter dates;
    for (;;) {
        if (size && consumed >= size) break;
        if (pos >= kSector || sector[pos] == 0) {
            // The end of the records: with an unknown size, or in a sector
            // that holds none, that of the directory; otherwise padding up to
            // the next sector.
            if (pos == 0 || (pos < kSector && size == 0)) break;
            consumed += kSector - pos;
            if (size && consumed >= size) break;
            ofs += kSector;
            if (ofs >= limit && !(map && map->owns(ofs, dirStart))) {
                if (size)
                    log(LOG_WARNING, "ISOAnalyser::parseDir - directory at %lld cut to %lld bytes (its size: %lld)\n",
                        static_cast<long long>(dirStart), static_cast<long long>(ofs - dirStart),
                        static_cast<long long>(size));
                break;
            }
            if (!disk->read(ofs, kSector, sector)) {
                log(LOG_ERROR, "ISOAnalyser::parseDir - error reading ISO directory!\n");
                break;
            }
            if (isDirectoryStart(sector, kSector, nullptr, nullptr)) break;
            if (!sectorIsOurs(map, ofs, dirStart)) break;
            pos = 0;
            continue;
        }
        Record r;
        if (!r.read(sector + pos, kSector - pos)) break;
        if (!(r.folder && (r.isDot(0) || r.isDot(1)))) {
            if (r.folder && map) {
                // A directory starts there: this one ends before it.
                const u64 start = map->extentOffset(r.extent);
                map->addStart(start);
                if (start > dirStart) limit = std::min(limit, start);
            }
            auto item = std::make_unique<ISOVolumeItem>(r.extent, r.dataLength, names);
            item->setDate(dates.toUnix(r.date));
            item->setContainer(r.folder);
            if (names == ISONames::Guess) {
                rawNames.emplace_back(reinterpret_cast<const char*>(r.name), r.nameLength);
            } else {
                item->setName(recordName(r.name, r.nameLength, names == ISONames::Ucs2));
            }
            items.push_back(std::move(item));
        }
        consumed += r.length;
        pos += r.length;
    }

    const bool ucs2 = namesLookLikeUcs2(rawNames);
    for (size_t i = 0; i < rawNames.size(); ++i)
        items[first + i]->setName(
            recordName(reinterpret_cast<const u8*>(rawNames[i].data()), static_cast<u8>(rawNames[i].size()), ucs2));
    return true;
}

}  // namespace vorn
