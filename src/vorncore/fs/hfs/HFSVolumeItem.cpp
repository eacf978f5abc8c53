#include "fs/hfs/HFSVolumeItem.h"

#include "fs/hfs/HFSBTree.h"
#include "fs/hfs/HFSBTreeNode.h"
#include "fs/hfs/HFSForkData.h"
#include "fs/hfs/HFSVolume.h"
#include "fs/hfs/KeyedRecordComparator.h"
#include "misc/Base.h"
#include "misc/Bytes.h"
#include "misc/Log.h"
#include "misc/Utils.h"

namespace vorn {

namespace {

constexpr u32 kHardLinkType = 0x686C6E6B;     // "hlnk"
constexpr u32 kHardLinkCreator = 0x6866732B;  // "hfs+"

}  // namespace

HFSVolumeItem::HFSVolumeItem() = default;

HFSVolumeItem::~HFSVolumeItem() = default;

bool HFSVolumeItem::isKindOf(int kind) const { return kind == KIND_HFS_VOLUME_ITEM || VolumeItem::isKindOf(kind); }

std::string HFSVolumeItem::getId() { return std::to_string(m_cnid); }

u32 HFSVolumeItem::getDate() { return hfsTimeToUnix(m_date); }

u64 HFSVolumeItem::getSize() {
    resolveLink();
    return (!isContainer() && m_dataFork) ? m_dataFork->logicalSize : 0;
}

u64 HFSVolumeItem::getResourceForkSize() {
    resolveLink();
    return (!isContainer() && m_resourceFork) ? m_resourceFork->logicalSize : 0;
}

void HFSVolumeItem::setForkVolume(Volume* volume) {
    auto* hfs = dynamic_cast<HFSVolume*>(volume);
    if (m_dataFork) m_dataFork->volume = hfs;
    if (m_resourceFork) m_resourceFork->volume = hfs;
}

void HFSVolumeItem::resolveLink() {
    if (m_linkResolved) return;
    auto* hfs = dynamic_cast<HFSVolume*>(m_volume);
    if (!hfs) return;
    m_linkResolved = true;
    std::unique_ptr<HFSForkData> data, rsrc;
    if (hfs->findHardLinkTarget(m_linkInode, &data, &rsrc)) {
        m_dataFork = std::move(data);
        m_resourceFork = std::move(rsrc);
    } else {
        log(LOG_WARNING, "hard link %s: iNode%u not found\n", m_name.c_str(), m_linkInode);
    }
}

u32 HFSVolumeItem::read(u64 ofs, void* buf, u32 len) {
    resolveLink();
    if (!m_dataFork) {
        log(LOG_WARNING, "hfs read error: no dataFork!\n");
        return 0;
    }
    if (!m_dataFork->volume) {
        log(LOG_WARNING, "hfs read error: no dataFork->vol!\n");
        return 0;
    }
    return m_dataFork->volume->readFileAt(m_cnid, 0, buf, ofs, len, m_dataFork.get()) ? len : 0;
}

u32 HFSVolumeItem::readResourceFork(u64 ofs, void* buf, u32 len) {
    resolveLink();
    if (!m_resourceFork || !m_resourceFork->volume) return 0;
    return m_resourceFork->volume->readFileAt(m_cnid, 0xFF, buf, ofs, len, m_resourceFork.get()) ? len : 0;
}

void HFSVolumeItem::dump() { VolumeItem::dump(); }

HFSVolumeItem* HFSVolumeItem::fromCatalogRecord(const HFSBTreeRecord& record, Volume* volume) {
    ByteReader d(record.data, record.dataLength);
    const int type = static_cast<i16>(d.be16(0));
    if ((type != 1 || !d.has(0, kFolderRecordSize)) && (type != 2 || !d.has(0, kFileRecordSize))) return nullptr;
    const std::string name = CatalogFileComparator::keyName(record);
    if (name.empty()) return nullptr;
    auto* item = new HFSVolumeItem();
    item->setName(name);
    item->setContainer(type == 1);
    item->m_cnid = d.be32(8);
    item->m_date = d.be32(20);
    item->setVolume(volume);
    if (type == 2) {
        auto* hfs = dynamic_cast<HFSVolume*>(volume);
        item->m_dataFork = std::make_unique<HFSForkData>(hfs, record.data + 88);
        item->m_resourceFork = std::make_unique<HFSForkData>(hfs, record.data + 168);
        if (d.be32(48) == kHardLinkType && d.be32(52) == kHardLinkCreator) {
            item->m_linkInode = d.be32(44);
            item->m_linkResolved = false;
        }
    }
    return item;
}

bool HFSVolumeItem::addChildren() {
    VORN_LOG(LOG_DEBUG, "================== HFSVolumeItem::addChildren: %s (fileID=%lld) =========================\n",
             m_name.c_str(), static_cast<long long>(m_cnid));
    auto* hfs = dynamic_cast<HFSVolume*>(m_volume);
    if (!isContainer() || !hfs || !hfs->getCatalog()) return false;
    HFSBTree* catalog = hfs->getCatalog();
    HFSBTreeNode node(catalog, catalog->header().rootNode);
    CatalogFileComparator key;
    key.setParentID(m_cnid);
    HFSBTreeRecord* rec = nullptr;
    for (u32 index = 0; node.findLeafRecord(&key, &rec); ++index) {
        const bool debug = logEnabled(LOG_DEBUG);
        if (debug) log(LOG_DEBUG, "found: %s\n", CatalogFileComparator::keyName(*rec).c_str());
        const int type = static_cast<i16>(ByteReader(rec->data, rec->dataLength).be16(0));
        if (debug) {
            static const char* const kTypes[] = {"folder\n", "file\n", "folder thread\n", "file thread\n"};
            if (type >= 1 && type <= 4) log(LOG_DEBUG, "%s", kTypes[type - 1]);
            else log(LOG_DEBUG, "unknown (%d)\n", type);
        }
        HFSVolumeItem* child = fromCatalogRecord(*rec, m_volume);
        if (!child) continue;
        if (child->isContainer()) {
            // A folder that is this one or an ancestor would make the tree endless.
            bool loop = false;
            for (VolumeItem* up = this; up && !loop; up = up->getParent()) {
                auto* h = dynamic_cast<HFSVolumeItem*>(up);
                loop = h && h->m_cnid == child->m_cnid;
            }
            if (loop) {
                log(LOG_WARNING, "HFSVolumeItem::addChildren - folder %s (id=%lld) is its own ancestor, skipped\n",
                    child->getName().c_str(), static_cast<long long>(child->m_cnid));
                delete child;
                continue;
            }
            // Two records that name one folder would show its whole subtree
            // twice (and, level upon level, without end): the first one counts.
            if (!hfs->claimFolder(child->m_cnid, m_cnid, index)) {
                log(LOG_WARNING, "HFSVolumeItem::addChildren - folder %s (id=%lld) is shown elsewhere, skipped\n",
                    child->getName().c_str(), static_cast<long long>(child->m_cnid));
                delete child;
                continue;
            }
        }
        VORN_LOG(LOG_DEBUG, "adding child...%s , id=%lld \n", child->getName().c_str(),
                 static_cast<long long>(child->m_cnid));
        addChild(child);
        child->setVolume(m_volume);
        child->setParent(this);
    }
    VORN_LOG(LOG_DEBUG, "================== HFSVolumeItem::addChildren done =========================\n");
    return true;
}

}  // namespace vorn
