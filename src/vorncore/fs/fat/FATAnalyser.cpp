#include "fs/fat/FATAnalyser.h"

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "fs/fat/FATVolume.h"
#include "misc/Bytes.h"
#include "misc/Log.h"
#include "fs/ScanContext.h"

namespace vorn {

namespace {

bool validNameChar(u8 c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '~' || c == '-' || c == 0xE5;
}

// Checks the 8.3 name of an entry; adds the fill spaces to *spaces.
bool validShortName(const u8* name, int* spaces) {
    if (name[0] == ' ') return false;
    const int parts[2][2] = {{0, 8}, {8, 11}};
    for (const auto& part : parts) {
        bool fill = false;
        for (int i = part[0]; i < part[1]; ++i) {
            if (name[i] == ' ') {
                fill = true;
                ++*spaces;
            } else if (fill || !validNameChar(name[i])) {
                return false;
            }
        }
    }
    return true;
}

bool validTime(u16 t) { return (t & 31) <= 29 && ((t >> 5) & 63) <= 59 && (t >> 11) <= 23; }

bool validDate(u16 d) {
    int month = (d >> 5) & 15;
    return (d & 31) >= 1 && month >= 1 && month <= 12;
}

bool allZero(const u8* p, int n) {
    for (int i = 0; i < n; ++i)
        if (p[i]) return false;
    return true;
}

}  // namespace

FATAnalyser::FATAnalyser(ScanContext* owner) : AbstractAnalyser(owner) {}

void FATAnalyser::scanEnd() { VORN_LOG(LOG_DEBUG, "dirEntryMap size: %d\n", static_cast<int>(dirEntryMap.size())); }

bool FATAnalyser::probeBootSector(u64 diskOfs, const u8* block, u32 len) {
    return probeBootSector(owner ? owner->getDisk() : nullptr, diskOfs, block, len);
}

bool FATAnalyser::probeBootSector(Disk* disk, u64 diskOfs, const u8* block, u32 len) {
    if (!block || len < 512) return false;
    ByteReader r(block, len);
    if (r.u8At(510) != 0x55 || r.u8At(511) != 0xAA) return false;
    u16 bytesPerSector = r.le16(11);
    if (bytesPerSector == 0 || bytesPerSector % 512 != 0) return false;
    if (r.u8At(13) == 0) return false;
    u8 fats = r.u8At(16);
    if (fats != 1 && fats != 2) return false;
    if (!disk) return false;
    printf("potential fat boot sector at %lld\n", static_cast<long long>(diskOfs));
    FATVolume volume(disk);
    volume.setDiskOffset(diskOfs);
    return volume.mount(false);
}

bool FATAnalyser::probeDirectoryBlock(const u8* block, u32 len) {
    if (!block) return false;
    const u32 count = len / 32;
    u32 i = 0;
    bool dotStart = false;
    if (count >= 2 && memcmp(block, ".          ", 11) == 0 && block[11] == 0x10 &&
        memcmp(block + 32, "..         ", 11) == 0 && block[43] == 0x10) {
        dotStart = true;
        i = 2;
    }
    int validShort = 0, longEntries = 0, spaces = 0, labels = 0;
    bool zeroSeen = false;
    std::set<std::string> names;
    std::set<u32> clusters;
    for (; i < count; ++i) {
        const u8* e = block + 32 * i;
        if (zeroSeen) {
            if (!allZero(e, 32)) return false;
            continue;
        }
        if (e[0] == 0) {
            if (!allZero(e + 1, 31)) return false;
            zeroSeen = true;
            continue;
        }
        const u8 attr = e[11];
        if (attr > 63) return false;
        if (attr == 0x0F) {
            if (loadLE16(e + 26) != 0) return false;
            ++longEntries;
            continue;
        }
        if (!validShortName(e, &spaces)) return false;
        const bool deleted = e[0] == 0xE5;
        const bool label = (attr & 0x08) != 0;
        const u16 mtime = loadLE16(e + 22), mdate = loadLE16(e + 24);
        if (mtime == 0 || mdate == 0 || !validTime(mtime) || !validDate(mdate)) return false;
        const u16 ctime = loadLE16(e + 14), cdate = loadLE16(e + 16), adate = loadLE16(e + 18);
        if (ctime != 0 && (!validTime(ctime) || e[13] > 199)) return false;
        if (cdate != 0 && !validDate(cdate)) return false;
        if (adate != 0 && !validDate(adate)) return false;
        const u32 cluster = (u32(loadLE16(e + 20)) << 16) | loadLE16(e + 26);
        if (label) {
            VORN_LOG(LOG_DEBUG, "found volume name: %s\n", FATVolume::shortNameToString(e, false).c_str());
            if (deleted || cluster != 0 || ++labels > 1) return false;
        } else if (cluster == 0) {
            return false;
        }
        if (!deleted) {
            if (!names.insert(std::string(reinterpret_cast<const char*>(e), 11)).second) return false;
            if (!label && !clusters.insert(cluster).second) return false;
        }
        ++validShort;
    }
    if (dotStart) return true;
    return validShort > 0 && (longEntries > 0 || spaces >= 4);
}

}  // namespace vorn
