#include "fs/fat/FAT.h"

#include <algorithm>

#include "fs/fat/FATVolume.h"
#include "misc/Bytes.h"
#include "misc/Log.h"
#include "storage/Disk.h"

namespace vorn {

FAT::FAT(FATVolume* volume, int fatType, u64 fatOfs, u64 fatSize, int fatCount)
    : m_volume(volume), m_fatType(fatType), m_fatOfs(fatOfs), m_fatSize(fatSize), m_fatCount(fatCount) {
    u32 blockSize = 512;
    if (volume && volume->getDisk()) blockSize = volume->getDisk()->getBlockSize();
    if (blockSize == 0) blockSize = 512;
    m_buffer.assign(u64(blockSize) * 2, 0);
}

const char* FAT::typeName(int fatType) {
    switch (fatType) {
        case FAT_TYPE_12: return "FAT12";
        case FAT_TYPE_16: return "FAT16";
        case FAT_TYPE_32: return "FAT32";
        default: return "FAT n/a";
    }
}

const char* FAT::classWord(int entryClass) {
    switch (entryClass) {
        case FAT_ENTRY_FREE: return "free";
        case FAT_ENTRY_NEXT: return "used";
        case FAT_ENTRY_BAD: return "bad";
        default: return "EOF";
    }
}

void FAT::setUseFat(int useFat) {
    m_useFat = useFat;
    m_cachedSector = ~0ULL;
    m_cachedBytes = 0;
    m_cursor = Cursor();
    m_chainPages.clear();
    m_lengthLimit = ~0ULL;
}

int FAT::classify(u64 entry) const {
    u64 top;
    switch (m_fatType) {
        case FAT_TYPE_12: top = 0xFFF; break;
        case FAT_TYPE_16: top = 0xFFFF; break;
        default: top = 0x0FFFFFFF; break;
    }
    if (entry == 0) return FAT_ENTRY_FREE;
    if (entry <= top - 15) return FAT_ENTRY_NEXT;
    if (entry <= top - 8) return FAT_ENTRY_BAD;
    return FAT_ENTRY_EOF;
}

bool FAT::isLink(u64 entry) const {
    return classify(entry) == FAT_ENTRY_NEXT && m_volume->isValidCluster(entry);
}

u64 FAT::getEntry(u64 cluster) {
    if (m_useFat == 0) return cluster + 1;
    // Byte position of the entry within one copy of the table, and its width.
    u64 within;
    u32 width;
    switch (m_fatType) {
        case FAT_TYPE_12: within = cluster + cluster / 2; width = 2; break;
        case FAT_TYPE_16: within = cluster * 2; width = 2; break;
        default: within = cluster * 4; width = 4; break;
    }
    // An entry beyond the table is not an entry (the next copy or the root
    // directory lies there); cluster numbers this large come from damage.
    if (cluster > (1ULL << 32) || !inBounds(m_fatSize, within, width)) return 0;
    u64 pos = m_fatOfs + u64(m_useFat - 1) * m_fatSize + within;
    u32 blockSize = static_cast<u32>(m_buffer.size() / 2);
    u64 sector = pos / blockSize;
    if (sector != m_cachedSector) {
        m_cachedSector = ~0ULL;
        m_cachedBytes = 0;
        if (m_volume->read(sector * blockSize, blockSize * 2, m_buffer.data())) {
            m_cachedBytes = blockSize * 2;
        } else if (m_volume->read(sector * blockSize, blockSize, m_buffer.data())) {
            // The table's last block at the end of the disk: only one is there.
            m_cachedBytes = blockSize;
        } else {
            log(LOG_ERROR, "error reading FAT\n");
            return 0;
        }
        m_cachedSector = sector;
    }
    ByteReader r(m_buffer.data(), m_cachedBytes);
    u64 at = pos % blockSize;
    if (!r.has(at, width)) {
        log(LOG_ERROR, "error reading FAT\n");
        return 0;
    }
    switch (m_fatType) {
        case FAT_TYPE_12: {
            u16 v = r.le16(at);
            return (cluster & 1) ? (v >> 4) : (v & 0xFFF);
        }
        case FAT_TYPE_16: return r.le16(at);
        default: return r.le32(at) & 0x0FFFFFFF;
    }
}

bool FAT::nextCluster(u64 startCluster, u64 index, u64 cluster, u64* next) {
    u64 entry = getEntry(cluster);
    if (!isLink(entry)) return false;
    *next = entry;
    m_cursor.valid = true;
    m_cursor.start = startCluster;
    m_cursor.index = index + 1;
    m_cursor.cluster = entry;
    return true;
}

u64 FAT::chainLength(u64 startCluster, u64 max) {
    if (max == 0 || !m_volume->isValidCluster(startCluster)) return 0;
    return std::min(max, measureChain(startCluster).length);
}

bool FAT::chainEnd(u64 startCluster, u64* length, u64* last) {
    const ChainEnd end = m_volume->isValidCluster(startCluster) ? measureChain(startCluster) : ChainEnd();
    *length = end.length;
    *last = end.last;
    return end.marked;
}

u64 FAT::lengthLimit() {
    if (m_lengthLimit != ~0ULL) return m_lengthLimit;
    // Entries of the copy in use that lie on the medium; links are 28 bits at most.
    const u64 entryBits = m_fatType == FAT_TYPE_12 ? 12 : m_fatType == FAT_TYPE_16 ? 16 : 32;
    const u64 start = m_fatOfs + u64(m_useFat > 0 ? m_useFat - 1 : 0) * m_fatSize;
    const u64 medium = m_volume->getMediumSize();
    const u64 bytes = medium > start ? std::min(m_fatSize, medium - start) : 0;
    m_lengthLimit = std::min({bytes * 8 / entryBits, m_volume->getClusterCount() + 2, u64(1) << 28});
    return m_lengthLimit;
}

FAT::ChainSlot* FAT::chainSlot(u64 cluster) {
    if (cluster >= lengthLimit()) return nullptr;
    const u64 page = cluster >> kPageBits;
    if (m_chainPages.empty()) m_chainPages.resize((lengthLimit() >> kPageBits) + 1);
    std::unique_ptr<ChainSlot[]>& slots = m_chainPages[page];
    if (!slots) slots = std::make_unique<ChainSlot[]>(u64(1) << kPageBits);
    return &slots[cluster & ((u64(1) << kPageBits) - 1)];
}

// Walks from startCluster up to the chain's end, a cluster measured before or
// one of this walk (a loop), then notes for every cluster passed the length
// of its chain (the rest of the walk plus what the chain holds after it, or,
// from where a loop closes, the loop's length) and how the chain ends. While
// the walk runs, the slots of its clusters hold their place in it. A cluster
// without a slot has its entry off the medium or off the table, so it can
// only end a walk (or start it).
FAT::ChainEnd FAT::measureChain(u64 startCluster) {
    const u64 clusters = m_volume->getClusterCount();
    if (m_useFat == 0) return {clusters + 2 - startCluster, false, clusters + 1};
    std::vector<u32> marked;
    u64 cluster = startCluster;
    u64 steps = 0;
    u64 loopStart = ~0ULL;
    ChainEnd rest;  // of the measured cluster the walk ran into, or of the walk's own end
    // A walk holds each cluster once: never more than the volume has.
    while (steps <= clusters) {
        ChainSlot* slot = chainSlot(cluster);
        if (slot && slot->state != 0) {
            if (slot->state & kOnWalk) {
                loopStart = slot->state & kCountBits;
            } else {
                rest = {slot->state & kCountBits, (slot->state & kEndMark) != 0, slot->last};
            }
            break;
        }
        if (slot) {
            slot->state = kOnWalk | u32(steps);
            marked.push_back(u32(cluster));
        }
        ++steps;
        const u64 next = getEntry(cluster);
        if (!isLink(next)) {
            rest.marked = classify(next) == FAT_ENTRY_EOF;
            rest.last = cluster;
            break;
        }
        cluster = next;
    }
    const bool looped = loopStart != ~0ULL;
    if (looped) rest = ChainEnd();
    for (u32 c : marked) {
        ChainSlot* slot = chainSlot(c);
        const u64 at = slot->state & kCountBits;
        const u64 length = looped ? steps - std::min(at, loopStart) : steps - at + rest.length;
        slot->state = u32(std::min<u64>(length, kCountBits)) | (rest.marked ? kEndMark : 0);
        slot->last = u32(rest.last);
    }
    return {looped ? steps : steps + rest.length, rest.marked, rest.last};
}

bool FAT::getClusterAtOffset(u64 startCluster, u64 ofs, u64* cluster) {
    u64 clusterSize = m_volume->getAllocBlockSize();
    if (clusterSize == 0 || !m_volume->isValidCluster(startCluster)) return false;
    u64 target = ofs / clusterSize;
    // A chain without loops holds at most every cluster of the volume once.
    if (target >= m_volume->getClusterCount()) return false;
    u64 index = 0;
    u64 current = startCluster;
    if (m_cursor.valid && m_cursor.start == startCluster && m_cursor.index <= target) {
        index = m_cursor.index;
        current = m_cursor.cluster;
    }
    while (index < target) {
        if (!nextCluster(startCluster, index, current, &current)) return false;
        ++index;
    }
    *cluster = current;
    return true;
}

void FAT::dump() {
    if (logEnabled(LOG_DEBUG)) {
        log(LOG_DEBUG, "--------FAT::dump--------\n");
        log(LOG_DEBUG, "fatType: %s\n", typeName(m_fatType));
        log(LOG_DEBUG, "fatOfs: %lld\n", static_cast<long long>(m_fatOfs));
        log(LOG_DEBUG, "fatSize: %lld\n", static_cast<long long>(m_fatSize));
        log(LOG_DEBUG, "fatCount: %d\n", m_fatCount);
        log(LOG_DEBUG, "useFat: %d\n", m_useFat);
    }
    if (!logEnabled(LOG_INFO)) return;
    for (int c = 0; c < 20; ++c) {
        u64 entry = getEntry(static_cast<u64>(c));
        log(LOG_INFO, "cluster %d: %08X (%s)\n", c, static_cast<unsigned>(entry), classWord(classify(entry)));
    }
}

}  // namespace vorn
