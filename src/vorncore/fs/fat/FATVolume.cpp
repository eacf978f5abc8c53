#include "fs/fat/FATVolume.h"

#include <algorithm>

#include "fs/fat/FAT.h"
#include "fs/fat/FATVolumeItem.h"
#include "misc/Bytes.h"
#include "misc/Log.h"
#include "misc/Utils.h"
#include "storage/Disk.h"

namespace vorn {

namespace {

// Largest piece handed to one Volume::read (well below the disk's limit).
constexpr u64 kMaxReadPiece = 4 * 1024 * 1024;

}  // namespace

FATVolume::FATVolume(Disk* disk) : Volume(disk) {
    log(LOG_DEBUG, "FATVolume::FATVolume\n");
    if (disk) m_allocBlockSize = disk->getBlockSize();
}

FATVolume::~FATVolume() {
    log(LOG_DEBUG, "FATVolume::~FATVolume\n");
    // The root's destructor detaches it from this volume first.
    if (m_root) delete m_root;
    m_fat.reset();
}

int FATVolume::getFatType() const { return m_fat ? m_fat->getFatType() : FAT_TYPE_NONE; }

std::string FATVolume::shortNameToString(const u8* name, bool withDot) {
    std::string text;
    for (int i = 0; i < 11; ++i) {
        if (i == 8 && withDot && name[8] != ' ') text += '.';
        if (name[i] != ' ') text += static_cast<char>(name[i]);
    }
    return text;
}

bool FATVolume::mount(bool buildTree) {
    u8 boot[512];
    if (!read(0, sizeof boot, boot)) {
        log(LOG_ERROR, "error reading bootsector\n");
        return false;
    }
    ByteReader bs(boot, sizeof boot);
    u8 sig0 = bs.u8At(510), sig1 = bs.u8At(511), media = bs.u8At(21);
    VORN_LOG(LOG_DEBUG, "FATVolume::mount sig: %02X, %02X, media: %02X\n", sig0, sig1, media);
    if (sig0 != 0x55 || sig1 != 0xAA || (media < 0xF8 && media != 0xF0)) {
        log(LOG_DEBUG, "not an FAT volume!\n");
        return false;
    }
    u32 bytesPerSector = bs.le16(11);
    u32 secPerClus = bs.u8At(13);
    u64 reservedSectors = bs.le16(14);
    u32 numFats = bs.u8At(16);
    u32 rootEntries = bs.le16(17);
    u32 totSec16 = bs.le16(19);
    u32 fatSz16 = bs.le16(22);
    u32 totSec32 = bs.le32(32);
    u32 fatSz32 = bs.le32(36);
    u32 rootClus = bs.le32(44);
    log(LOG_INFO, "BPB_BytesPSec: %d, BPB_SecPerClus: %d\n", bytesPerSector, secPerClus);
    log(LOG_INFO, "BPB_RootEntCnt: %d, BPB_FATsz16: %d, BPB_FATsz32: %d\n", rootEntries, fatSz16, fatSz32);
    log(LOG_INFO, "BPB_TotSec16: %d, BPB_TotSec32: %d, BPB_NumFATs: %d, BPB_RootClus: %d\n", totSec16, totSec32,
        numFats, rootClus);

    u64 bps = bytesPerSector ? bytesPerSector : 512;
    u64 spc = secPerClus ? secPerClus : 1;
    u64 rootDirSize = (u64(rootEntries) * 32 + bps - 1) / bps * bps;
    u64 fatSize = u64(fatSz16 ? fatSz16 : fatSz32) * bps;
    u64 reservedBytes = reservedSectors * bps;
    u64 dataOfs = reservedBytes + u64(numFats) * fatSize + rootDirSize;
    u64 totalSectors = totSec16 ? totSec16 : totSec32;
    // The boot sector lies in the reserved region, so no cluster can start
    // inside it; and the data area must begin before the volume's end, or
    // there is no cluster at all (and the count would underflow).
    if (reservedBytes < sizeof boot || totalSectors <= dataOfs / bps) {
        log(LOG_DEBUG, "not an FAT volume!\n");
        return false;
    }
    u64 countOfClusters = (totalSectors - dataOfs / bps) / spc;
    log(LOG_INFO, "countOfClusters: %lld\n", static_cast<long long>(countOfClusters));

    m_allocBlockSize = static_cast<u32>(spc * bps);
    m_rootDirSize = rootDirSize;
    m_dataOfs = dataOfs;
    setDataOffset(dataOfs);
    m_countOfClusters = countOfClusters;
    m_folderClaims.clear();
    m_dirClusterOwners.clear();

    int type = countOfClusters <= 4084 ? FAT_TYPE_12 : (countOfClusters < 65525 ? FAT_TYPE_16 : FAT_TYPE_32);
    if (type == FAT_TYPE_32) {
        m_rootDirCluster = rootClus;
        m_rootDirOfs = 0;
    } else {
        m_rootDirCluster = 0;
        m_rootDirOfs = reservedBytes + u64(numFats) * fatSize;
    }
    m_fat = std::make_unique<FAT>(this, type, reservedBytes, fatSize, static_cast<int>(numFats));
    m_fat->dump();

    const u8* label = bs.ptr(type == FAT_TYPE_32 ? 71 : 43, 11);
    m_name = shortNameToString(label, false);
    dump();

    if (buildTree) {
        FATVolumeItem* root = new FATVolumeItem(true);
        root->setName(m_name);
        root->setDataCluster(m_rootDirCluster);
        root->setDataOfs(m_rootDirOfs);
        setRootItem(root);
        root->setVolume(this);
        root->setParent(nullptr);
    }
    return true;
}

bool FATVolume::isAllocationBlockUsed(u64 block) {
    if (!m_fat) return false;
    int c = m_fat->classify(m_fat->getEntry(block + 2));
    return c == FAT_ENTRY_NEXT || c == FAT_ENTRY_EOF;
}

bool FATVolume::readFileAt(u64 startCluster, void* buf, u64 ofs, u64 len) {
    if (!m_fat) {
        log(LOG_INFO, "readFileAt error: no FAT assigned!\n");
        return false;
    }
    if (len == 0) return true;
    const u64 clusterSize = m_allocBlockSize;
    u64 cluster;
    if (!m_fat->getClusterAtOffset(startCluster, ofs, &cluster)) {
        log(LOG_INFO, "readFileAt error: cannot get data offset: %lld\n", static_cast<long long>(ofs));
        return false;
    }
    u8* out = static_cast<u8*>(buf);
    u64 index = ofs / clusterSize;
    u64 within = ofs % clusterSize;
    u64 left = len;
    // Consecutive clusters are read in one request.
    u64 runOfs = 0, runLen = 0;
    auto flush = [&]() -> bool {
        while (runLen > 0) {
            u64 n = std::min(runLen, kMaxReadPiece);
            if (!read(runOfs, static_cast<u32>(n), out)) return false;
            out += n;
            runOfs += n;
            runLen -= n;
        }
        return true;
    };
    for (;;) {
        u64 n = std::min(clusterSize - within, left);
        u64 at = clusterOffset(cluster) + within;
        if (runLen > 0 && runOfs + runLen == at) {
            runLen += n;
        } else {
            if (!flush()) return false;
            runOfs = at;
            runLen = n;
        }
        left -= n;
        within = 0;
        if (left == 0) break;
        if (!m_fat->nextCluster(startCluster, index, cluster, &cluster)) {
            log(LOG_INFO, "readFileAt error: cannot get data offset: %lld\n",
                static_cast<long long>((index + 1) * clusterSize));
            return false;
        }
        ++index;
    }
    return flush();
}

u64 FATVolume::boundFileSize(u64 firstCluster, u64 size, bool followChain, const std::string& name) {
    const u64 clusterSize = m_allocBlockSize;
    if (size == 0 || clusterSize == 0) return size;
    // A chain may wrap round the volume's end, so the whole data area counts.
    u64 limit = isValidCluster(firstCluster) ? m_countOfClusters * clusterSize : 0;
    const char* reason = "the data area ends";
    if (followChain && limit > 0 && m_fat) {
        const u64 wanted = std::min(size, limit);
        const u64 clusters = wanted / clusterSize + (wanted % clusterSize != 0);
        const u64 chain = m_fat->chainLength(firstCluster, clusters);
        if (chain < clusters) {
            limit = chain * clusterSize;
            reason = "its cluster chain ends";
        }
    }
    if (size <= limit) return size;
    log(LOG_WARNING, "FATVolumeItem - %s: size %llu, but %s after %llu bytes; the file ends there\n", name.c_str(),
        static_cast<unsigned long long>(size), reason, static_cast<unsigned long long>(limit));
    return limit;
}

bool FATVolume::claimFolder(u64 cluster, u64 parentCluster, u32 index) {
    auto [it, inserted] = m_folderClaims.try_emplace(cluster, parentCluster, index);
    return inserted || it->second == std::make_pair(parentCluster, index);
}

u32 FATVolume::dosTimeToUnix(u16 date, u16 time) {
    if (date == 0) return 0;
    const int day = date & 31, month = (date >> 5) & 15, year = 1980 + (date >> 9);
    const int hour = time >> 11, minute = (time >> 5) & 63, second = (time & 31) * 2;
    const u32 key = (u32(date) << 5) | u32(hour);
    auto it = m_hourStarts.find(key);
    if (it == m_hourStarts.end()) {
        if (m_hourStarts.size() >= 4096) m_hourStarts.clear();
        it = m_hourStarts.emplace(key, static_cast<i64>(toTimeLocal(day, month, year, hour, 0, 0))).first;
    }
    if (it->second == -1) return 0;
    i64 t = it->second + minute * 60 + second;
    return (t > 0 && t <= 0xFFFFFFFFLL) ? static_cast<u32>(t) : 0;
}

bool FATVolume::claimDirectoryCluster(u64 cluster, u64 owner) {
    auto [it, inserted] = m_dirClusterOwners.try_emplace(cluster, owner);
    return inserted || it->second == owner;
}

void FATVolume::dump() {
    if (!logEnabled(LOG_DEBUG)) return;
    log(LOG_DEBUG, "--------FATVolume::dump-- (%s) ------\n", m_name.c_str());
    log(LOG_DEBUG, "allocBlockSize: %d\n", m_allocBlockSize);
    log(LOG_DEBUG, "rootDirCluster: %lld\n", static_cast<long long>(m_rootDirCluster));
    log(LOG_DEBUG, "rootDirSize: %lld\n", static_cast<long long>(m_rootDirSize));
    log(LOG_DEBUG, "rootDirOfs: %lld\n", static_cast<long long>(m_rootDirOfs));
    log(LOG_DEBUG, "dataOfs: %lld\n", static_cast<long long>(m_dataOfs));
    log(LOG_DEBUG, "--------------------------------\n");
}

}  // namespace vorn
