#include "fs/fat/FATDirParser.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "fs/fat/FAT.h"
#include "fs/fat/FATVolume.h"
#include "fs/fat/FATVolumeItem.h"
#include "misc/Bytes.h"
#include "misc/Log.h"
#include "misc/Utils.h"

namespace vorn {

namespace {

constexpr u32 kMaxPiece = 65536;
// A long name has at most 255 characters (20 entries of 13).
constexpr size_t kMaxLongNameUnits = 260;

// Appends the characters of one group of a long-name entry, up to its first
// 0x0000 or 0xFFFF.
int takeGroup(const u8* p, int count, u16* out) {
    int n = 0;
    for (int i = 0; i < count; ++i) {
        u16 c = loadLE16(p + 2 * i);
        if (c == 0x0000 || c == 0xFFFF) break;
        out[n++] = c;
    }
    return n;
}

}  // namespace

FATDirParser::FATDirParser(FATVolume* volume, u64 cluster, u64 ofs, bool includeDeleted)
    : m_includeDeleted(includeDeleted), m_volume(volume), m_cluster(cluster), m_ofs(ofs) {
    VORN_LOG(LOG_DEBUG, "FATDirParser cluster=%lld, ofs=%lld\n", static_cast<long long>(cluster),
             static_cast<long long>(ofs));
    if (!volume) return;
    u32 clusterSize = volume->getAllocBlockSize();
    m_buffer.assign(std::min(std::max(clusterSize, 1u), kMaxPiece), 0);
    readCluster(cluster, ofs);
    getRecords();
}

std::map<u32, std::unique_ptr<FATVolumeItem>> FATDirParser::takeRecords() {
    std::map<u32, std::unique_ptr<FATVolumeItem>> out;
    out.swap(m_records);
    return out;
}

u8 FATDirParser::shortNameChecksum(const u8* name) {
    u8 sum = 0;
    for (int i = 0; i < 11; ++i) sum = static_cast<u8>(((sum & 1) << 7) + (sum >> 1) + name[i]);
    return sum;
}

bool FATDirParser::readCluster(u64 cluster, u64 ofs) {
    if (!m_volume) return false;
    u64 pieceEnd = cluster == 0 ? m_volume->getRootDirSize() : m_volume->getAllocBlockSize();
    return readPiece(cluster, ofs, 0, static_cast<u32>(std::min<u64>(m_buffer.size(), pieceEnd)));
}

bool FATDirParser::readPiece(u64 cluster, u64 ofs, u64 within, u32 len) {
    if (within == 0) {
        VORN_LOG(LOG_DEBUG, "read cluster=%lld, ofs=%lld\n", static_cast<long long>(cluster),
                 static_cast<long long>(ofs));
    }
    std::fill(m_buffer.begin(), m_buffer.end(), 0);
    if (len == 0) return true;
    if (cluster == 0) {
        if (!m_volume->read(ofs + within, len, m_buffer.data())) {
            log(LOG_WARNING, "error reading directory at ofs %lld\n", static_cast<long long>(ofs + within));
            std::fill(m_buffer.begin(), m_buffer.end(), 0);
        }
    } else if (!m_volume->isValidCluster(cluster) ||
               !m_volume->read(m_volume->clusterOffset(cluster) + within, len, m_buffer.data())) {
        log(LOG_ERROR, "error reading directory cluster %lld\n", static_cast<long long>(cluster));
        std::fill(m_buffer.begin(), m_buffer.end(), 0);
    }
    return true;
}

bool FATDirParser::getRecords() {
    VORN_LOG(LOG_DEBUG, "getRecords\n");
    m_records.clear();
    m_nextIndex = 0;
    m_entriesSeen = 0;
    m_longName.clear();
    m_longChecksum = 0;
    m_longTooLong = false;
    if (!m_volume || m_buffer.empty()) return false;

    const u64 piece = m_buffer.size();
    if (m_cluster == 0) {
        // Cluster 0 is the fixed root region of FAT12/16, and nothing else:
        // another folder with cluster 0 has no entries.
        if (m_volume->getRootDirCluster() != 0 || m_volume->getFatType() == FAT_TYPE_32 ||
            m_ofs != m_volume->getRootDirOfs()) {
            return true;
        }
        const u64 region = m_volume->getRootDirSize();
        u64 pos = 0;
        while (pos < region) {
            u32 len = static_cast<u32>(std::min(piece, region - pos));
            if (!parseEntries(len)) break;
            pos += len;
            if (pos < region) readPiece(0, m_ofs, pos, static_cast<u32>(std::min(piece, region - pos)));
        }
        return true;
    }

    // A first cluster outside the volume was logged by readCluster.
    if (!m_volume->isValidCluster(m_cluster)) return true;
    FAT* fat = m_volume->getFat();
    const u64 clusterSize = m_volume->getAllocBlockSize();
    const u64 maxClusters = std::min<u64>(m_volume->getClusterCount(), kMaxEntries);
    u64 current = m_cluster;
    u64 clustersRead = 1;
    u64 within = 0;
    std::unordered_set<u64> seen{m_cluster};
    if (!m_volume->claimDirectoryCluster(m_cluster, m_cluster)) {
        log(LOG_WARNING, "FATDirParser - directory cluster %lld belongs to another folder, skipped\n",
            static_cast<long long>(m_cluster));
        return true;
    }
    for (;;) {
        u32 len = static_cast<u32>(std::min(piece, clusterSize - within));
        if (!parseEntries(len)) break;
        within += len;
        if (within < clusterSize) {
            readPiece(current, 0, within, static_cast<u32>(std::min(piece, clusterSize - within)));
            continue;
        }
        if (!fat) break;
        u64 next = fat->getEntry(current);
        if (!fat->isLink(next)) break;
        if (clustersRead >= maxClusters) {
            log(LOG_WARNING, "FATDirParser - directory at cluster %lld runs past %lld clusters, stopped\n",
                static_cast<long long>(m_cluster), static_cast<long long>(maxClusters));
            break;
        }
        if (!seen.insert(next).second) {
            log(LOG_WARNING, "FATDirParser - directory at cluster %lld loops back to cluster %lld, stopped\n",
                static_cast<long long>(m_cluster), static_cast<long long>(next));
            break;
        }
        if (!m_volume->claimDirectoryCluster(next, m_cluster)) {
            log(LOG_WARNING, "FATDirParser - directory at cluster %lld runs into another folder at cluster %lld, stopped\n",
                static_cast<long long>(m_cluster), static_cast<long long>(next));
            break;
        }
        current = next;
        ++clustersRead;
        within = 0;
        readPiece(current, 0, 0, static_cast<u32>(std::min(piece, clusterSize)));
    }
    return true;
}

bool FATDirParser::parseEntries(u32 len) {
    for (u32 at = 0; at + 32 <= len; at += 32) {
        if (m_entriesSeen >= kMaxEntries) {
            log(LOG_WARNING, "FATDirParser - directory at cluster %lld has more than %u entries, stopped\n",
                static_cast<long long>(m_cluster), kMaxEntries);
            return false;
        }
        ++m_entriesSeen;
        const u8* e = m_buffer.data() + at;
        if (e[0] == 0x00) return false;
        if ((e[11] & 0x0F) == 0x0F) {
            if (e[0] & 0x40) {
                m_longName.clear();
                m_longChecksum = e[13];
                m_longTooLong = false;
            }
            if (m_longName.size() >= kMaxLongNameUnits) {
                m_longTooLong = true;
                continue;
            }
            u16 part[13];
            int n = takeGroup(e + 1, 5, part);
            n += takeGroup(e + 14, 6, part + n);
            n += takeGroup(e + 28, 2, part + n);
            m_longName.insert(m_longName.begin(), part, part + n);
            continue;
        }
        parseShortEntry(e);
        m_longName.clear();
        m_longChecksum = 0;
        m_longTooLong = false;
    }
    return true;
}

void FATDirParser::parseShortEntry(const u8* e) {
    const u8 attr = e[11];
    const bool isLabel = (attr & 0x08) != 0;
    u8 name[11];
    memcpy(name, e, 11);
    if (!isLabel) {
        // Names stored in upper case and shown in lower case by the flags of byte 12.
        const u8 caseFlags = e[12];
        for (int i = 0; i < 11; ++i) {
            bool lower = (i < 8) ? (caseFlags & 0x08) : (caseFlags & 0x10);
            if (lower && name[i] >= 'A' && name[i] <= 'Z') name[i] = static_cast<u8>(name[i] + 32);
        }
    }
    std::string text = FATVolume::shortNameToString(name, !isLabel);
    if (text == "." || text == "..") return;
    const bool deleted = e[0] == 0xE5;
    if (deleted && !m_includeDeleted) return;

    const u32 index = m_nextIndex++;
    auto owned = std::make_unique<FATVolumeItem>(false);
    FATVolumeItem* item = owned.get();
    if (deleted) item->setFlags(ITEM_DELETED);
    if (!m_longName.empty() && !m_longTooLong && shortNameChecksum(e) == m_longChecksum) {
        item->setName(utf16ToUtf8(m_longName.data(), static_cast<int>(m_longName.size()),
                                  static_cast<int>(m_longName.size() * 2), false));
    } else {
        if (e[0] == 0x05 && !text.empty()) text[0] = static_cast<char>(0xE5);
        item->setName(text);
    }
    item->setContainer((attr & 0x10) != 0);
    item->setDataCluster((u64(loadLE16(e + 20)) << 16) | loadLE16(e + 26));
    item->setSize(loadLE32(e + 28));

    const u16 time = loadLE16(e + 22), date = loadLE16(e + 24);
    const u32 unixTime = m_volume->dosTimeToUnix(date, time);
    item->setDate(unixTime);
    m_records[index] = std::move(owned);

    if (logEnabled(LOG_DEBUG)) {
        const int day = date & 31, month = (date >> 5) & 15, year = 1980 + (date >> 9);
        const int hour = time >> 11, minute = (time >> 5) & 63, second = (time & 31) * 2;
        log(LOG_DEBUG, "---------------------------\n");
        log(LOG_DEBUG, "%d: %s - %lld\n", index, item->getName().c_str(),
            static_cast<long long>(item->getDataCluster()));
        log(LOG_DEBUG, "date: %s\n", format("%02d.%02d.%04d", day, month, year).c_str());
        log(LOG_DEBUG, "time: %s\n", format("%02d:%02d:%02d", hour, minute, second).c_str());
        log(LOG_DEBUG, "GMT1970: %d\n", static_cast<int>(unixTime));
        log(LOG_DEBUG, "str: %s\n", timeToString(static_cast<time_t>(unixTime)).c_str());
    }
}

}  // namespace vorn
