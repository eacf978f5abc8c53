#include "fs/hfs/HFSVolume.h"

#include <algorithm>
#include <new>

#include "fs/MarkerBitmap.h"
#include "fs/hfs/HFSBTree.h"
#include "fs/hfs/HFSBTreeNode.h"
#include "fs/hfs/HFSForkData.h"
#include "fs/hfs/HFSVolumeItem.h"
#include "fs/hfs/KeyedRecordComparator.h"
#include "misc/Bytes.h"
#include "misc/Log.h"
#include "storage/Disk.h"

namespace vorn {

namespace {

const char kDashes[] = "----------------------------------------------------------------------------------------\n";

bool powerOfTwoBlockSize(u64 size) { return size >= 512 && size <= (1u << 31) && (size & (size - 1)) == 0; }

}  // namespace

HFSVolume::HFSVolume(Disk* disk) : Volume(disk) {
    log(LOG_DEBUG, "HFSVolume::HFSVolume\n");
    m_totalBlocks = disk ? disk->getBlockCount() : 0;
    m_name = "Unknown";
}

HFSVolume::~HFSVolume() {
    log(LOG_DEBUG, "HFSVolume::~HFSVolume\n");
    if (m_root) delete m_root;
}

bool HFSVolume::mount(bool buildTree) {
    log(LOG_DEBUG, "HFSVolume::mount\n");
    m_folderClaims.clear();
    m_linkTargets.clear();
    m_linkTargetsRead = false;
    u8 header[512];
    if (!read(m_volumeHeaderOfs, sizeof header, header)) return false;
    if (loadBE16(header) == kWrapperSignature) {
        if (!mountWrapper(header, header)) return false;
    }
    if (!m_plainHFS && !setupPlus(header)) return false;

    log(LOG_DEBUG, kDashes);
    if (m_catalog) {
        HFSVolumeItem parentOfRoot;
        parentOfRoot.setContainer(true);
        parentOfRoot.setCNID(1);
        parentOfRoot.setVolume(this);
        parentOfRoot.addChildren();
        if (!parentOfRoot.children().empty()) {
            m_name = parentOfRoot.children().front()->getName();
            log(LOG_DEBUG, "volume name: %s\n", m_name.c_str());
            m_nameFound = true;
        }
    }
    m_mounted = true;
    if (buildTree) {
        auto* root = new HFSVolumeItem();
        root->setContainer(true);
        root->setName(m_name);
        root->setCNID(2);
        setRootItem(root);
        root->setVolume(this);
        root->setParent(nullptr);
    }
    return true;
}

bool HFSVolume::mountWrapper(const u8* mdb, u8* header) {
    ByteReader r(mdb, 512);
    const u32 bs = r.be32(20);
    const u64 blocks = r.be16(18);
    if (logEnabled(LOG_DEBUG)) {
        log(LOG_DEBUG, "================== HFS volume header ====================\n");
        log(LOG_DEBUG, "diskOfs: %lld\n", static_cast<long long>(m_diskOffset));
        log(LOG_DEBUG, "signature: 0x%x\n", r.be16(0));
        log(LOG_DEBUG, "folderCount: %d\n", r.be32(88));
        log(LOG_DEBUG, "fileCount: %d\n", r.be32(84));
        log(LOG_DEBUG, "allocBlockSize: %d\n", bs);
        log(LOG_DEBUG, "allocBlocks: %lld\n", static_cast<long long>(blocks));
        log(LOG_DEBUG, "allocationFileFirstBlock: %d\n", r.be16(14));
    }
    // HFS allocation blocks are whole 512-byte sectors (not always a power of two).
    if (bs == 0 || bs % 512 != 0) {
        log(LOG_DEBUG, "invalid allocBlockSize\n");
        return false;
    }
    const u64 alBlSt = r.be16(28);
    if (r.be16(124) == kPlusSignature) {
        const u64 startBlock = r.be16(126);
        VORN_LOG(LOG_DEBUG, "drAlBlSt:%d\n", int(alBlSt));
        VORN_LOG(LOG_DEBUG, "drEmbedExtend.startBlock:%d\n", int(startBlock));
        VORN_LOG(LOG_DEBUG, "drAlBlkSiz:%d\n", bs);
        const u64 embedded = alBlSt * 512 + startBlock * bs;
        VORN_LOG(LOG_DEBUG, "embeddded HFS+ volume at offset: %lld\n", static_cast<long long>(embedded));
        if (m_diskOffset > ~u64(0) - embedded - 1024) return false;
        if (!read(embedded + 1024, 512, header)) return false;
        m_diskOffset += embedded;
        m_volumeHeaderOfs = 1024;
        return true;
    }
    log(LOG_DEBUG, "----------------------------Allocation File---------------------------------------\n");
    if (blocks == 0) {
        log(LOG_DEBUG, "error allocation file size is zero\n");
        return false;
    }
    m_plainHFS = true;
    m_allocBlockSize = bs;
    m_totalBlocks = blocks;
    setDataOffset(alBlSt * 512);
    m_bitmapOfs = u64(r.be16(14)) * 512;
    if (m_deferBitmap) return true;
    return loadBitmap();
}

bool HFSVolume::setupPlus(const u8* header) {
    ByteReader r(header, 512);
    const u32 sig = r.be16(0);
    if (sig != kPlusSignature && sig != kXSignature) {
        log(LOG_DEBUG, "not an HFS volume (diskOfs=%lld, volumeHeaderOfs=%lld, sig=%02x,%02x)!\n",
            static_cast<long long>(m_diskOffset), static_cast<long long>(m_volumeHeaderOfs), header[1], header[0]);
        return false;
    }
    const u64 bs = r.be32(40);
    if (logEnabled(LOG_DEBUG)) {
        log(LOG_DEBUG, "================== HFS Plus volume header ====================\n");
        log(LOG_DEBUG, "diskOfs: %lld\n", static_cast<long long>(m_diskOffset));
        log(LOG_DEBUG, "signature: 0x%x\n", sig);
        log(LOG_DEBUG, "folderCount: %d\n", r.be32(36));
        log(LOG_DEBUG, "fileCount: %d\n", r.be32(32));
        log(LOG_DEBUG, "allocBlockSize: %d\n", int(bs));
        log(LOG_DEBUG, "allocBlocks: %lld\n", static_cast<long long>(r.be32(44)));
    }
    if (!powerOfTwoBlockSize(bs)) {
        log(LOG_DEBUG, "invalid allocBlockSize\n");
        return false;
    }
    m_allocBlockSize = static_cast<u32>(bs);
    m_totalBlocks = r.be32(44);
    setDataOffset(0);

    log(LOG_DEBUG, "----------------------------Extents Overflow File---------------------------------------\n");
    auto extentsFork = std::make_unique<HFSForkData>(this, header + 192);
    extentsFork->dump();
    m_extentsOverflow = std::make_unique<HFSBTree>(HFSBTree::kExtentsFileID, std::move(extentsFork),
                                                   "ExtentsOverflowFile");
    m_extentsOverflow->dump();
    log(LOG_DEBUG, kDashes);
    log(LOG_DEBUG, "---------------------------------Catalog File-------------------------------------------\n");
    auto catalogFork = std::make_unique<HFSForkData>(this, header + 272);
    catalogFork->dump();
    m_catalog = std::make_unique<HFSBTree>(HFSBTree::kCatalogFileID, std::move(catalogFork), "CatalogFile");
    m_catalog->dump();

    log(LOG_DEBUG, "----------------------------Allocation File---------------------------------------\n");
    m_allocationFork = std::make_unique<HFSForkData>(this, header + 112);
    m_allocationFork->dump();
    const u64 size = m_allocationFork->logicalSize;
    VORN_LOG(LOG_DEBUG, "allocationFile logicalSize=%lld\n", static_cast<long long>(size));
    // An allocation file that describes more blocks than the disk holds is
    // that of a volume longer than its medium (a copy that stopped short, a
    // disk smaller than the volume): it mounts, and loadBitmap keeps only
    // what the medium can hold.
    if (size == 0) {
        log(LOG_DEBUG, "error allocation file size is zero\n");
        return false;
    }
    if (m_deferBitmap) return true;
    return loadBitmap();
}

bool HFSVolume::loadBitmap() {
    if (m_bitmapTried) return m_bitmapLoaded;
    m_bitmapTried = true;
    // Never more than the volume's blocks need, nor than the medium can hold.
    u64 bytes = (m_totalBlocks + 7) / 8;
    if (!m_plainHFS) bytes = std::min<u64>(bytes, m_allocationFork ? m_allocationFork->logicalSize : 0);
    bytes = std::min<u64>(bytes, getMediumSize() / std::max<u64>(m_allocBlockSize, 1) / 8 + 1);
    try {
        m_bitmap.assign(bytes, 0);
    } catch (const std::bad_alloc&) {
        log(LOG_ERROR, "error allocating memory for allocation file!\n");
        return false;
    }
    auto readPiece = [this](u64 at, u64 n) {
        if (m_plainHFS) return read(m_bitmapOfs + at, static_cast<u32>(n), m_bitmap.data() + at);
        return readFileAt(6, 0, m_bitmap.data() + at, at, n, m_allocationFork.get());
    };
    // A piece that cannot be read (past the end of the medium, a read error)
    // is read again disk block by disk block; what stays unread describes
    // blocks whose use is unknown: they count as in use, so that no scan
    // takes them for free space, and the volume still mounts.
    const u64 retry = std::max<u64>(m_disk ? m_disk->getBlockSize() : 0, 512);
    u64 unread = 0;
    for (u64 done = 0; done < bytes; done += kMaxReadPiece) {
        const u64 n = std::min(kMaxReadPiece, bytes - done);
        if (readPiece(done, n)) continue;
        for (u64 at = done; at < done + n; at += retry) {
            const u64 k = std::min(retry, done + n - at);
            if (readPiece(at, k)) continue;
            std::fill_n(m_bitmap.begin() + static_cast<std::ptrdiff_t>(at), k, u8(0xFF));
            unread += k;
        }
    }
    if (unread) {
        log(LOG_WARNING, "error reading allocation file: %llu of %llu bytes unreadable, their blocks count as in use\n",
            static_cast<unsigned long long>(unread), static_cast<unsigned long long>(bytes));
    }
    m_bitmapLoaded = true;
    return true;
}

bool HFSVolume::isAllocationBlockUsed(u64 block) {
    // A volume that did not mount has no bitmap to trust: every block is free.
    if (!m_mounted) return false;
    if (!m_bitmapTried) loadBitmap();
    if (!m_bitmapLoaded) return false;
    if (block / 8 >= m_bitmap.size()) {
        if (!m_rangeLogged) log(LOG_ERROR, "isAllocationBlockUsed error: index out of range!\n");
        m_rangeLogged = true;
        return false;
    }
    return (m_bitmap[block / 8] >> (7 - block % 8)) & 1;
}

std::unique_ptr<HFSForkData> HFSVolume::findOverflowExtents(u64 fileID, u8 forkType, u64 block, u64* start) {
    if (!m_extentsOverflow) {
        log(LOG_ERROR, "HFSVolume::readFileAt no extentsFile!\n");
        return nullptr;
    }
    VORN_LOG(LOG_DEBUG, "HFSVolume::readFileAt - need to use Extents Overflow File\n");
    if (m_readDepth > 20) {
        log(LOG_ERROR, "HFSVolume::readFileAt - error! maximum recursion reached! exiting\n");
        return nullptr;
    }
    ++m_readDepth;
    VORN_LOG(LOG_DEBUG, "---- start search ---------\n");
    HFSBTreeNode node(m_extentsOverflow.get(), m_extentsOverflow->header().rootNode);
    ExtentsFileComparator key;
    key.setKey(fileID, forkType, block);
    key.setReturnHighest(true);
    HFSBTreeRecord* rec = nullptr;
    const bool found = node.findLeafRecord(&key, &rec);
    --m_readDepth;
    // Only a record of this very fork, holding its eight extents, continues it.
    ByteReader k(found ? rec->keyData : nullptr, found ? rec->keyLength : 0);
    *start = k.be32(6);
    std::unique_ptr<HFSForkData> next;
    if (found && rec->keyLength >= 10 && k.be32(2) == fileID && k.u8At(0) == forkType && rec->dataLength >= 64 &&
        *start <= block) {
        next = std::make_unique<HFSForkData>(this, rec->data, HFSForkData::kExtentRecordCount);
        for (const HFSExtent& e : next->extents) next->totalBlocks += e.blockCount;
        if (block - *start >= next->totalBlocks) next.reset();
    }
    if (!next) {
        VORN_LOG(LOG_DEBUG, "HFSVolume::readFileAt - error finding startBlock in ExtentsFile=%lld\n",
                 static_cast<long long>(block));
        VORN_LOG(LOG_DEBUG, "---- search failed ---------\n");
        return nullptr;
    }
    VORN_LOG(LOG_DEBUG, "---- end search ---------\n");
    next->dump();
    return next;
}

bool HFSVolume::readFileAt(u64 fileID, u8 forkType, void* buf, u64 ofs, u64 len, HFSForkData* fork) {
    const u64 bs = m_allocBlockSize;
    if (!fork || bs == 0 || len > ~u64(0) - ofs) return false;
    u8* out = static_cast<u8*>(buf);
    while (len > 0) {
        const u64 a = ofs / bs;
        const HFSForkData* current = fork;
        u64 extentStart = 0;
        if (a >= fork->totalBlocks) {
            const HFSForkData* remembered = fork->overflow.get();
            if (!remembered || a < fork->overflowStartBlock || a - fork->overflowStartBlock >= remembered->totalBlocks) {
                u64 start = 0;
                std::unique_ptr<HFSForkData> next = findOverflowExtents(fileID, forkType, a, &start);
                if (!next) return false;
                VORN_LOG(LOG_DEBUG, "extentStartOfs = %lld, key->startBlock = %lld\n",
                         static_cast<long long>(start * bs), static_cast<long long>(start));
                VORN_LOG(LOG_DEBUG, "---- continueing ------- \n");
                fork->overflow = std::move(next);
                fork->overflowStartBlock = start;
            }
            current = fork->overflow.get();
            extentStart = fork->overflowStartBlock * bs;
        }
        u64 volOfs = 0, contiguous = 0;
        if (!current->getVolumeOfs(ofs - extentStart, &volOfs, &contiguous) || contiguous == 0) return false;
        const u64 n = std::min({len, contiguous, kMaxReadPiece});
        if (!read(volOfs, static_cast<u32>(n), out)) return false;
        out += n;
        ofs += n;
        len -= n;
    }
    return true;
}

u64 HFSVolume::blocksOnMedium() const {
    if (m_allocBlockSize == 0) return 0;
    return std::min<u64>(m_totalBlocks, getMediumSize() / m_allocBlockSize);
}

u64 HFSVolume::forkBlocksOnVolume(u64 fileID, u8 forkType, HFSForkData* fork, u64 blocks) {
    if (!fork) return 0;
    const u64 volumeBlocks = blocksOnMedium();
    // The blocks of f's extents from fork block `skip` on, up to `count`
    // fork blocks, that lie inside the volume.
    auto inside = [volumeBlocks](const HFSForkData& f, u64 skip, u64 count) {
        u64 n = 0;
        for (const HFSExtent& e : f.extents) {
            u64 first = e.startBlock, length = std::min<u64>(e.blockCount, count);
            count -= length;
            const u64 skipped = std::min(skip, length);
            skip -= skipped, first += skipped, length -= skipped;
            if (first < volumeBlocks) n += std::min(length, volumeBlocks - first);
        }
        return n;
    };
    u64 total = inside(*fork, 0, fork->totalBlocks);
    // Past the fork record's extents, the overflow records take over; the
    // extents overflow file itself has none. Each record found starts at or
    // before the block sought and ends after it, so every step moves on to
    // another record and the steps end with the tree's records.
    for (u64 a = fork->totalBlocks;
         a < blocks && total < volumeBlocks && fileID != HFSBTree::kExtentsFileID && m_extentsOverflow;) {
        u64 start = 0;
        std::unique_ptr<HFSForkData> next = findOverflowExtents(fileID, forkType, a, &start);
        if (!next) break;
        total += inside(*next, a - start, next->totalBlocks);
        a = start + next->totalBlocks;
    }
    // Extents that overlap hold no more than the volume either.
    return std::min(total, volumeBlocks);
}

void HFSVolume::markForkDataBlocks(HFSForkData* fork) {
    if (!m_markerBitmap) {
        VORN_LOG(LOG_DEBUG, "HFSVolume:markForkDataBlocks - error: markerBitmap=NULL!\n");
        return;
    }
    if (!m_markUsedBlocks || !fork || !m_disk || m_disk->getBlockSize() == 0) return;
    const u64 r = m_allocBlockSize / m_disk->getBlockSize();
    for (const HFSExtent& e : fork->extents) m_markerBitmap->setRange(e.startBlock * r, e.blockCount * r, true);
}

bool HFSVolume::claimFolder(u64 cnid, u64 parentCNID, u32 index) {
    auto [it, inserted] = m_folderClaims.try_emplace(cnid, parentCNID, index);
    return inserted || it->second == std::make_pair(parentCNID, index);
}

u64 HFSVolume::findPrivateFolder() {
    // The folder "\0\0\0\0HFS+ Private Data" in the root (its name starts with four NUL units).
    static const char kName[] = "HFS+ Private Data";
    constexpr u32 kUnits = 4 + sizeof kName - 1;
    HFSBTreeNode node(m_catalog.get(), m_catalog->header().rootNode);
    CatalogFileComparator key;
    key.setParentID(kRootFolderID);
    for (HFSBTreeRecord* rec = nullptr; node.findLeafRecord(&key, &rec);) {
        ByteReader d(rec->data, rec->dataLength);
        ByteReader k(rec->keyData, rec->keyLength);
        bool match = d.be16(0) == 1 && d.has(0, 12) && k.be16(4) == kUnits;
        for (u32 i = 0; match && i < kUnits; ++i) match = k.be16(6 + 2 * i) == (i < 4 ? 0 : u8(kName[i - 4]));
        if (match) return d.be32(8);
    }
    return 0;
}

void HFSVolume::readLinkTargets() {
    m_linkTargetsRead = true;
    if (!m_catalog) return;
    const u64 folder = findPrivateFolder();
    if (folder == 0) return;
    // One walk over the folder's records; each "iNode<n>" file record gives
    // the forks of inode n. The walk reads each node at most once, so the
    // list holds at most one entry per record of the catalog on the volume.
    HFSBTreeNode node(m_catalog.get(), m_catalog->header().rootNode);
    CatalogFileComparator key;
    key.setParentID(folder);
    for (HFSBTreeRecord* rec = nullptr; node.findLeafRecord(&key, &rec);) {
        ByteReader d(rec->data, rec->dataLength);
        if (d.be16(0) != 2 || !d.has(0, HFSVolumeItem::kFileRecordSize)) continue;
        const std::string name = CatalogFileComparator::keyName(*rec);
        // "iNode" and the decimal number as written for it, nothing else.
        if (name.size() < 6 || name.size() > 15 || name.compare(0, 5, "iNode") != 0) continue;
        u64 inode = 0;
        bool digits = name[5] != '0' || name.size() == 6;
        for (size_t i = 5; digits && i < name.size(); ++i) {
            digits = name[i] >= '0' && name[i] <= '9';
            inode = inode * 10 + u64(name[i] - '0');
        }
        if (!digits || inode > 0xFFFFFFFFu) continue;
        LinkTarget target;
        target.inode = static_cast<u32>(inode);
        std::copy(rec->data + 88, rec->data + 88 + sizeof target.forks, target.forks);
        m_linkTargets.push_back(target);
    }
    // Sorted by inode; of two records for one inode the first found counts.
    std::stable_sort(m_linkTargets.begin(), m_linkTargets.end(),
                     [](const LinkTarget& x, const LinkTarget& y) { return x.inode < y.inode; });
    m_linkTargets.erase(std::unique(m_linkTargets.begin(), m_linkTargets.end(),
                                    [](const LinkTarget& x, const LinkTarget& y) { return x.inode == y.inode; }),
                        m_linkTargets.end());
    m_linkTargets.shrink_to_fit();
}

bool HFSVolume::findHardLinkTarget(u32 inode, std::unique_ptr<HFSForkData>* data,
                                   std::unique_ptr<HFSForkData>* rsrc) {
    if (!m_linkTargetsRead) readLinkTargets();
    auto it = std::lower_bound(m_linkTargets.begin(), m_linkTargets.end(), inode,
                               [](const LinkTarget& t, u32 n) { return t.inode < n; });
    if (it == m_linkTargets.end() || it->inode != inode) return false;
    *data = std::make_unique<HFSForkData>(this, it->forks);
    *rsrc = std::make_unique<HFSForkData>(this, it->forks + HFSForkData::kForkRecordSize);
    return true;
}

void HFSVolume::dump() {
    if (!logEnabled(LOG_DEBUG)) return;
    log(LOG_DEBUG, "HFSVolume::dump\n");
    log(LOG_DEBUG, "allocBlockSize: %d\n", m_allocBlockSize);
    log(LOG_DEBUG, "volumeHeaderOfs: %lld\n", static_cast<long long>(m_volumeHeaderOfs));
}

}  // namespace vorn
