#include "fs/Volume.h"

#include "fs/MarkerBitmap.h"
#include "fs/VolumeItem.h"
#include "misc/Log.h"
#include "storage/Disk.h"

namespace vorn {

Volume::Volume() { log(LOG_DEBUG, "Volume::Volume\n"); }

Volume::Volume(Disk* disk) : m_disk(disk), m_name("Unknown") {
    log(LOG_DEBUG, "Volume::Volume\n");
    if (disk) m_allocBlockSize = disk->getBlockSize();
}

Volume::~Volume() {
    log(LOG_DEBUG, "Volume::~Volume\n");
    if (m_root) {
        m_root->setVolume(nullptr);
        m_root = nullptr;
    }
    delete m_markerBitmap;
    m_markerBitmap = nullptr;
}

Disk* Volume::getDisk() { return m_disk; }

std::string Volume::getName() { return m_name; }

void Volume::setRootItem(VolumeItem* item) {
    if (m_root) m_root->setVolume(nullptr);
    m_root = item;
    if (item) item->setVolume(this);
}

void Volume::createRootItem(const std::string& name) {
    if (m_root) m_root->setVolume(nullptr);
    m_root = new DummyVolumeItem();
    m_root->setParent(nullptr);
    m_root->setName(name);
    m_root->setContainer(true);
    m_root->setVolume(this);
}

bool Volume::read(u64 ofs, u32 len, void* buf) {
    if (!m_disk) {
        log(LOG_ERROR, "Volume::read - error: no disk assigned!\n");
        return false;
    }
    u64 pos = m_diskOffset + ofs;
    if (!m_disk->read(pos, len, buf)) return false;
    if (m_markerBitmap && m_markUsedBlocks) {
        u32 blockSize = m_disk->getBlockSize();
        if (blockSize) {
            // Every disk block the request touched, from the one holding its first byte.
            u64 first = pos / blockSize;
            u64 last = len ? (pos + len - 1) / blockSize : first;
            for (u64 block = first; block <= last; ++block) m_markerBitmap->setBit(block);
        }
    }
    return true;
}

void Volume::createMarkerBitmap() {
    if (!m_disk) return;
    delete m_markerBitmap;
    m_markerBitmap = new MarkerBitmap(m_disk->getBlockCount());
}

void Volume::deleteMarkerBitmap() {
    delete m_markerBitmap;
    m_markerBitmap = nullptr;
}

void Volume::setMarkUsedBlocks(bool mark) { m_markUsedBlocks = mark; }

void Volume::setSortType(int sortType) { m_sortType = sortType; }

int Volume::getSortType() { return m_sortType; }

bool Volume::isKindOf(int kind) { return kind == KIND_VOLUME; }

u64 Volume::getDiskOffset() { return m_diskOffset; }

void Volume::setDiskOffset(u64 ofs) {
    m_diskOffset = ofs;
    if (m_disk) {
        if (ofs >= byteSizeOf(m_disk->getBlockCount(), m_disk->getBlockSize()))
            log(LOG_ERROR, "Volume::setDiskOffset - offset out of disk range! (%lld)\n", (long long)ofs);
    }
}

u64 Volume::getMediumSize() const {
    if (!m_disk) return ~0ULL;
    const u64 bytes = byteSizeOf(m_disk->getBlockCount(), m_disk->getBlockSize());
    return bytes > m_diskOffset ? bytes - m_diskOffset : 0;
}

u32 Volume::getAllocBlockSize() { return m_allocBlockSize; }

void Volume::setAllocBlockSize(u32 size) { m_allocBlockSize = size; }

u64 Volume::getDataOffset() { return m_dataOffset; }

void Volume::setDataOffset(u64 ofs) { m_dataOffset = ofs; }

}  // namespace vorn
