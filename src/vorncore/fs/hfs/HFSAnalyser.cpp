#include "fs/hfs/HFSAnalyser.h"

#include <cstdio>

#include "fs/RecoveryEventListener.h"
#include "fs/ScanContext.h"
#include "fs/hfs/HFSVolume.h"
#include "fs/hfs/HFSVolumeItem.h"
#include "fs/hfs/KeyedRecordComparator.h"
#include "misc/Bytes.h"
#include "misc/Data.h"
#include "misc/Log.h"
#include "misc/Timing.h"
#include "storage/Disk.h"
#include "storage/PartitionDisk.h"

namespace vorn {

namespace {

constexpr u64 kHeaderOfs = 1024;
// Identifiers below 16 are reserved for the volume's own files and folders.
constexpr u64 kFirstUserCNID = 16;
constexpr u64 kRootFolderCNID = 2;
// Alternate-header candidates tried per header (volume sizes between T x B
// and T x B + B in disk-block steps).
constexpr u64 kMaxAlternateCandidates = 64;

bool plausibleHeader(const u8* data, u32 len) {
    if (len < 512) return false;
    const u32 sig = loadBE16(data), bs = loadBE32(data + 40);
    return (sig == HFSVolume::kPlusSignature || sig == HFSVolume::kXSignature) && bs >= 512 && (bs & (bs - 1)) == 0;
}

}  // namespace

HFSAnalyser::HFSAnalyser(ScanContext* owner) : AbstractAnalyser(owner) {}

HFSAnalyser::~HFSAnalyser() = default;

void HFSAnalyser::scanBegin() {
    currentVolume = nullptr;
    nodeSize = 0;
    skipUntil = 0;
}

void HFSAnalyser::scanEnd() {
    if (owner->getScanType() == SCAN_LOST_FILES) assignItems();
}

void HFSAnalyser::scanBlock() {
    Data* data = owner->getData();
    const u32 len = data ? data->getSize() : 0;
    if (len < 512 || !data->getPtr()) {
        log(LOG_ERROR, "HFSAnalyser: dunno, we need at least some data...\n");
        return;
    }
    const u8* p = data->getPtr();
    const u64 ofs = owner->getCurrentOffset();
    const u32 step = std::max<u32>(owner->getAllocBlockSize(), 512);
    for (u32 pos = 0; pos < step && pos + 512 <= len; pos += 512) {
        if (ofs + pos < skipUntil) continue;  // inside a leaf node read already
        if (const u32 used = probe(ofs + pos, p + pos, len - pos)) skipUntil = ofs + pos + used;
    }
}

u32 HFSAnalyser::probe(u64 ofs, const u8* p, u32 len) {
    u64 volOfs = 0, hdrOfs = 0;
    if (owner->getScanType() == SCAN_LOST_VOLUMES) {
        if (checkVolumeHeader(ofs, p, len, &volOfs, &hdrOfs) && hdrOfs == kHeaderOfs) addLostVolume(volOfs);
        return 0;
    }
    if (!checkVolumeHeader(ofs, p, len, &volOfs, &hdrOfs)) {
        u32 blocks = 0;
        if (!isCatalogLeafNode(p, len, &blocks)) return 0;
        if (blocks * 512 != nodeSize) {
            nodeSize = blocks * 512;
            VORN_LOG(LOG_DEBUG, "node size changed to: %d\n", int(nodeSize));
        }
        if (getLeafRecords(p, nodeSize, records)) addCatalogRecords(records);
        return nodeSize;
    }
    VORN_LOG(LOG_INFO, "volume header found - volOfs=%lld, volHdrOfs=%lld\n", static_cast<long long>(volOfs),
             static_cast<long long>(hdrOfs));
    if (volOfs + kHeaderOfs < ofs) {
        log(LOG_INFO, "it is an alternate volume header\n");
        if (!pending.empty() && !currentVolume) openCurrentVolume(volOfs, hdrOfs);
        assignItems();
        currentVolume = nullptr;
    } else {
        assignItems();
        openCurrentVolume(volOfs, hdrOfs);
    }
    if (currentVolume) {
        VORN_LOG(LOG_INFO, "currVolume allocBlockSize=%d\n", int(currentVolume->getAllocBlockSize()));
        VORN_LOG(LOG_INFO, "currVolume diskOfs=%lld\n", static_cast<long long>(currentVolume->getDiskOffset()));
    }
    if (RecoveryEventListener* listener = owner->getListener()) listener->itemChangedEvent(owner->getRootItem());
    return 0;
}

bool HFSAnalyser::acceptable(u64 volOfs, u64 hdrOfs) {
    HFSVolume volume(owner->getDisk());
    volume.setDiskOffset(volOfs);
    volume.setVolumeHeaderOfs(hdrOfs);
    volume.setDeferBitmap(true);
    if (!volume.mount(false)) return false;
    // The mount has checked the allocation file's record; its bitmap is not
    // read: a volume whose allocation file lies past the end of the medium
    // (a copy that stopped short) or on unreadable blocks is as plausible as
    // any, and mounts with those blocks counted as in use.
    HFSBTree* catalog = volume.getCatalog();
    return catalog && HFSBTree::validNodeSize(catalog->header().nodeSize) && volume.isNameFound();
}

bool HFSAnalyser::checkVolumeHeader(u64 ofs, const u8* data, u32 len, u64* volOfs, u64* volHdrOfs) {
    if (!plausibleHeader(data, len) || ofs < kHeaderOfs) return false;
    Disk* disk = owner->getDisk();
    const u32 diskBlockSize = disk ? disk->getBlockSize() : 0;
    if (!diskBlockSize) return false;
    VORN_LOG(LOG_DEBUG, "potential hfs volume header at ofs %lld (block %lld)\n", static_cast<long long>(ofs),
             static_cast<long long>(ofs / diskBlockSize));
    bool found = false;
    if (acceptable(ofs - kHeaderOfs, kHeaderOfs)) {
        *volOfs = ofs - kHeaderOfs;
        *volHdrOfs = kHeaderOfs;
        found = true;
    } else {
        VORN_LOG(LOG_DEBUG, "invalid catalog node size or no volume name found => checking for alternate volume "
                            "header...\n");
        // The alternate header lies 1024 bytes before the volume end; the
        // volume holds T blocks of B bytes and at most one block more.
        const u64 b = loadBE32(data + 40), t = loadBE32(data + 44);
        const u64 size = t * b;  // below 2^63
        for (u64 i = 0; i < kMaxAlternateCandidates && i * diskBlockSize < b && !found; ++i) {
            const u64 volumeSize = size + i * diskBlockSize;
            if (volumeSize < 2 * kHeaderOfs || ofs + kHeaderOfs < volumeSize) continue;
            const u64 start = ofs + kHeaderOfs - volumeSize;
            VORN_LOG(LOG_DEBUG, "trying diskOfs=%lld, volumeHeaderOfs=%lld...\n", static_cast<long long>(start),
                     static_cast<long long>(ofs - start));
            if (acceptable(start, ofs - start)) {
                *volOfs = start;
                *volHdrOfs = ofs - start;
                VORN_LOG(LOG_DEBUG, "found diskOfs=%lld\n", static_cast<long long>(start));
                found = true;
            } else {
                VORN_LOG(LOG_DEBUG, "does not look like an alternate volume header\n");
            }
        }
    }
    if (found && logEnabled(LOG_INFO)) {
        log(LOG_INFO, "================== seem to be valid volume header ====================\n");
        log(LOG_INFO, "volOfs: %lld\n", static_cast<long long>(*volOfs));
        log(LOG_INFO, "volHdrOfs: %lld\n", static_cast<long long>(*volHdrOfs));
        log(LOG_INFO, "signature: 0x%x\n", loadBE16(data));
        log(LOG_INFO, "folderCount: %d\n", loadBE32(data + 36));
        log(LOG_INFO, "fileCount: %d\n", loadBE32(data + 32));
        log(LOG_INFO, "allocBlockSize: %d\n", loadBE32(data + 40));
    }
    return found;
}

void HFSAnalyser::addLostVolume(u64 volOfs) {
    Disk* disk = owner->getDisk();
    HFSVolume volume(disk);
    volume.setDiskOffset(volOfs);
    volume.setDeferBitmap(true);
    if (!volume.mount(false)) return;
    Disk* inner = getInnermostDisk(disk);
    const u64 bs = disk->getBlockSize();
    const u64 count = inner ? inner->getBlockCount() : 0;
    const u64 first = volOfs / bs;
    if (!inner || first >= count) return;
    const u64 bytes = volume.getTotalBlocks() * volume.getAllocBlockSize();
    u64 last = bytes == 0 ? first : (bytes - 1 > ~u64(0) - volOfs ? ~u64(0) : volOfs + bytes - 1) / bs;
    last = std::min(last, count - 1);
    auto partition = std::make_unique<PartitionDisk>(inner, first, last);
    partition->setLostVolume(true);
    partition->setName(volume.getName());
    if (disk->addPartition(partition.get())) partition.release();
    log(LOG_INFO, "adding lost volume at block: %lld\n", static_cast<long long>(owner->getCurrentBlock()));
    if (RecoveryEventListener* listener = owner->getListener()) listener->diskListChangedEvent();
}

void HFSAnalyser::openCurrentVolume(u64 volOfs, u64 hdrOfs) {
    currentVolume = dynamic_cast<HFSVolume*>(owner->addVolume(ADD_VOLUME_HFS, nullptr));
    if (!currentVolume) return;
    currentVolume->setDiskOffset(volOfs);
    currentVolume->setVolumeHeaderOfs(hdrOfs);
    currentVolume->setDeferBitmap(true);
    currentVolume->mount(false);
    if (VolumeItem* root = currentVolume->getRootItem()) root->setName(currentVolume->getName());
}

bool HFSAnalyser::isCatalogLeafNode(const u8* data, u32 len, u32* nodeBlocks) {
    if (!data || len < 512 || data[8] != 0xFF) return false;
    const u32 count = loadBE16(data + 10);
    if (count == 0) return false;
    u32 k = 1;
    for (;; ++k) {
        if (u64(k) * 512 > len) return false;
        if (loadBE16(data + k * 512 - 2) == 14) break;
    }
    if (k > 64 || (k & (k - 1)) != 0) return false;
    const u32 size = k * 512;
    if (count > (size - 14) / 2) return false;
    u32 previous = 0;
    for (u32 i = 0; i < count; ++i) {
        const u32 offset = loadBE16(data + size - 2 * (i + 1));
        if (offset <= previous) return false;
        previous = offset;
    }
    *nodeBlocks = k;
    return true;
}

bool HFSAnalyser::getLeafRecords(const u8* node, u32 size, std::vector<HFSBTreeRecord>& out) {
    return HFSBTree::splitRecords(node, size, 0, 6, out) == SplitResult::Ok;
}

bool HFSAnalyser::addCatalogRecords(const std::vector<HFSBTreeRecord>& recs) {
    bool made = false;
    for (const HFSBTreeRecord& rec : recs) {
        const u64 parentID = CatalogFileComparator::keyParentID(rec);
        if (ByteReader(rec.data, rec.dataLength).be32(8) < kFirstUserCNID) continue;
        HFSVolumeItem* item = HFSVolumeItem::fromCatalogRecord(rec, currentVolume);
        if (!item) continue;
        item->setFlags(ITEM_LOST);
        if (item->isContainer()) {
            item->setChildrenLoaded(true);  // its children come from the scan, not the catalog
            foldersByCNID[item->getCNID()] = item;
        }
        pending.emplace_back(item, parentID);
        made = true;
    }
    return made;
}

VolumeItem* HFSAnalyser::orphanFolder(u64 parentID, bool registerIt) {
    VolumeItem*& folder = madeUpFolders[parentID];
    if (!folder) {
        VolumeItem* orphans = currentVolume->getRootItem()->findChild(owner->localizedString("OrphanedFolders"), true);
        auto* made = new HFSVolumeItem();
        char name[48];
        snprintf(name, sizeof name, "CNID %lld", static_cast<long long>(parentID));
        made->setName(name);
        made->setContainer(true);
        made->setChildrenLoaded(true);
        made->setCNID(parentID);
        made->setVolume(currentVolume);
        orphans->addChild(made);
        made->setParent(orphans);
        folder = made;
    }
    if (registerIt) foldersByCNID[parentID] = folder;
    return folder;
}

void HFSAnalyser::assignItems() {
    if (pending.empty()) return;
    if (!currentVolume || !currentVolume->getRootItem()) {
        log(LOG_WARNING, "cannot assign %d items (no volume header found!)\n", int(pending.size()));
        pending.clear();
        foldersByCNID.clear();
        madeUpFolders.clear();
        return;
    }
    VolumeItem* root = currentVolume->getRootItem();
    log(LOG_INFO, "sorting %d items...\n", int(pending.size()));
    RecoveryEventListener* listener = owner->getListener();
    long long placed = 0, orphaned = 0;
    StopWatch watch;
    watch.start();
    for (auto& [owned, parentID] : pending) {
        watch.stop();
        if (watch.elapsedSeconds() >= 1 && listener) {
            bool cancel = false;
            listener->progressEvent(-1.0, &cancel);
        }
        watch.start();
        HFSVolumeItem* item = owned.release();
        item->setVolume(currentVolume);
        item->setForkVolume(currentVolume);
        VolumeItem* target = nullptr;
        auto it = foldersByCNID.find(parentID);
        if (it != foldersByCNID.end()) {
            target = it->second;
        } else if (parentID == kRootFolderCNID) {
            target = root;
        }
        // An item never becomes its own ancestor, nor deeper than any walk
        // goes (a chain of nested folders would make each step walk it all).
        int depth = 0;
        VolumeItem* up = target;
        while (up && up != item && depth <= VolumeItem::kMaxDepth) up = up->getParent(), ++depth;
        if (up) {
            target = orphanFolder(parentID, false);
            ++orphaned;
        }
        if (!target) {
            target = orphanFolder(parentID, true);
            ++orphaned;
        } else {
            ++placed;
        }
        target->addChild(item);
        item->setParent(target);
    }
    pending.clear();
    log(LOG_INFO, "removing empty folders\n");
    root->removeEmptyFolders(true);
    log(LOG_INFO, "removing duplicates\n");
    root->removeDuplicates(true);
    log(LOG_INFO, "renaming duplicate names\n");
    root->renameDuplicates(true);
    log(LOG_INFO, "nonOrphanedItemCount: %lld\n", placed);
    log(LOG_INFO, "orphanedItemCount: %lld\n", orphaned);
    foldersByCNID.clear();
    madeUpFolders.clear();
    log(LOG_INFO, "done!\n");
}

}  // namespace vorn
