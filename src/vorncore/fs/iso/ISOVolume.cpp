#include "fs/iso/ISOVolume.h"

#include <algorithm>
#include <cstring>

#include "fs/iso/ISOVolumeItem.h"
#include "misc/Bytes.h"
#include "misc/Log.h"
#include "misc/Utils.h"
#include "storage/Disk.h"

namespace vorn {

namespace {

constexpr u32 kFirstDescriptor = 16;
constexpr u32 kLastDescriptor = 99;

// The Joliet level named by a supplementary descriptor's escape sequences, or 0.
int jolietLevel(const u8* escapes) {
    if (escapes[0] != '%' || escapes[1] != '/' || escapes[3] != 0) return 0;
    switch (escapes[2]) {
        case '@': return 1;
        case 'C': return 2;
        case 'E': return 3;
        default: return 0;
    }
}

// A logical block size a volume may have: 512, 1024 or 2048 bytes.
bool validLogicalBlockSize(u32 size) { return size == 512 || size == 1024 || size == 2048; }

}  // namespace

std::string isoNameToString(const u8* name, u8 nameLength, u32 maxLength) {
    const std::string bytes(reinterpret_cast<const char*>(name), std::min<u32>(nameLength, maxLength));
    bool utf8 = true;
    for (size_t i = 0; i < bytes.size() && utf8;) {
        u32 codePoint = 0;
        const size_t n = static_cast<u8>(bytes[i]) < 0x80 ? 1 : utf8SequenceAt(bytes, i, codePoint);
        utf8 = n != 0;
        i += n;
    }
    if (utf8) return bytes;
    std::string text;
    for (const char c : bytes) {
        const u8 b = static_cast<u8>(c);
        if (b < 0x80) {
            text.push_back(c);
        } else {
            text.push_back(static_cast<char>(0xC0 | (b >> 6)));
            text.push_back(static_cast<char>(0x80 | (b & 0x3F)));
        }
    }
    return text;
}

void ISODirectoryMap::reset(u64 origin, u32 blockSize, u64 volumeEnd, u64 mediumEnd) {
    m_origin = origin;
    m_blockSize = blockSize;
    m_volumeEnd = volumeEnd;
    m_mediumEnd = mediumEnd;
    m_starts.clear();
    m_runs.clear();
}

u64 ISODirectoryMap::limitFor(u64 dirStart) const {
    u64 limit = m_mediumEnd;
    if (dirStart < m_volumeEnd) limit = std::min(limit, m_volumeEnd);
    if (auto next = m_starts.upper_bound(dirStart); next != m_starts.end()) limit = std::min(limit, *next);
    return limit;
}

bool ISODirectoryMap::claimSector(u64 sector, u64 dirStart, u64* owner) {
    const u64 end = sector + ISOVolume::kSectorSize;
    *owner = dirStart;
    auto next = m_runs.lower_bound(sector);
    if (next != m_runs.end() && next->first < end) {
        *owner = next->second.owner;
        return next->first == sector && next->second.owner == dirStart;
    }
    if (next != m_runs.begin()) {
        const auto prev = std::prev(next);
        if (prev->second.end > sector) {
            *owner = prev->second.owner;
            return prev->second.owner == dirStart && prev->second.end >= end;
        }
        if (prev->second.end == sector && prev->second.owner == dirStart) {
            prev->second.end = end;  // the next sector of the same listing
            return true;
        }
    }
    m_runs.emplace_hint(next, sector, Run{end, dirStart});
    return true;
}

bool ISODirectoryMap::owns(u64 sector, u64 dirStart) const {
    auto it = m_runs.upper_bound(sector);
    if (it == m_runs.begin()) return false;
    --it;
    return sector < it->second.end && it->second.owner == dirStart;
}

u32 isoDateToUnix(const u8* date) {
    const time_t t = toTimeNoDst(date[2], date[1], 1900 + date[0], date[3], date[4], date[5]);
    return t > 0 && t <= time_t(0xFFFFFFFF) ? static_cast<u32>(t) : 0;
}

ISOVolume::ISOVolume(Disk* disk) : Volume(disk) { log(LOG_DEBUG, "ISOVolume::ISOVolume\n"); }

ISOVolume::~ISOVolume() { log(LOG_DEBUG, "ISOVolume::~ISOVolume\n"); }

bool ISOVolume::mount(bool buildTree) {
    log(LOG_DEBUG, "ISOVolume::mount\n");
    if (!m_disk) return false;
    const u64 base = m_disk->getLastSessionOfs();
    bool primarySeen = false;
    std::string name;
    m_joliet = false;
    m_names = ISONames::Bytes;
    m_mounted = false;
    m_directoriesSet = false;
    for (u32 block = kFirstDescriptor; block <= kLastDescriptor; ++block) {
        if (!read(base + u64(block) * kSectorSize, kDescriptorSize, m_descriptor)) {
            log(LOG_ERROR, "error reading ISO volume descriptor\n");
            return false;
        }
        const ByteReader d(m_descriptor, kDescriptorSize);
        if (memcmp(m_descriptor + 1, "CD001", 5) != 0) {
            hexdumpIfVerbose("standard id", m_descriptor + 1, 5);
            log(LOG_DEBUG, "block %d: not an ISO volume!\n", static_cast<int>(block));
            return false;
        }
        const int type = d.u8At(0);
        log(LOG_DEBUG, "ISO volume descriptor at block %d - type=%d, version=%d\n", static_cast<int>(block), type,
            d.u8At(6));
        if (type == 255) break;
        if (type != 1 && type != 2) continue;

        log(LOG_DEBUG, "-------------prim/suppl descriptor data-----------------------------------\n");
        hexdumpIfVerbose("system id", m_descriptor + 8, 32);
        hexdumpIfVerbose("volume id", m_descriptor + 40, 32);
        m_volumeSpaceSize = d.le32(80);
        const u32 blockSize = d.le16(128);
        log(LOG_DEBUG, "volume space size (blocks): %d\n", static_cast<int>(m_volumeSpaceSize));
        log(LOG_DEBUG, "volume set size (count): %d\n", d.le16(120));
        log(LOG_DEBUG, "volume sequence number (index): %d\n", d.le16(124));
        log(LOG_DEBUG, "logical block size (bytes): %d\n", static_cast<int>(blockSize));
        log(LOG_DEBUG, "path table size (bytes): %d\n", static_cast<int>(d.le32(132)));
        log(LOG_DEBUG, "location of occurrence of type L path table (block): %d\n", static_cast<int>(d.le32(140)));
        log(LOG_DEBUG, "location of optional occurrence of type L path table (block): %d\n",
            static_cast<int>(d.le32(144)));
        log(LOG_DEBUG, "location of occurrence of type M path table (block): %d\n", static_cast<int>(d.be32(148)));
        log(LOG_DEBUG, "location of optional occurrence of type M path table (block): %d\n",
            static_cast<int>(d.be32(152)));
        hexdumpIfVerbose("root directory record", m_descriptor + 156, 34);
        log(LOG_DEBUG, "file structure version: %d\n", d.u8At(881));
        m_logicalBlockSize = validLogicalBlockSize(blockSize) ? blockSize : kSectorSize;
        m_rootExtent = d.le32(158);
        m_rootSize = d.le32(166);
        log(LOG_DEBUG, "root block: %lld\n", static_cast<long long>(m_rootExtent));
        log(LOG_DEBUG, "root size: %lld\n", static_cast<long long>(m_rootSize));

        if (type == 1) {
            log(LOG_DEBUG, "this is a primary volume desriptor\n");
            name = trimRight(isoNameToString(m_descriptor + 40, 32, 32));
            primarySeen = true;
            m_names = ISONames::Bytes;
            continue;
        }
        log(LOG_DEBUG, "this is a supplementary volume desriptor\n");
        hexdumpIfVerbose("escape sequences", m_descriptor + 88, 32);
        if (const int level = jolietLevel(m_descriptor + 88)) {
            log(LOG_DEBUG, "UCS-2, Level: %d\n", level);
            // Padded with UCS-2 spaces like the primary name with 8-bit ones.
            name = trimRight(utf16ToUtf8(reinterpret_cast<const u16*>(m_descriptor + 40), 16, 32, true));
            m_joliet = true;
        }
        m_names = m_joliet ? ISONames::Ucs2 : ISONames::Guess;
        break;
    }
    if (!primarySeen) {
        log(LOG_ERROR, "no primary descriptor found\n");
        return false;
    }
    m_name = name;
    log(LOG_DEBUG, "volume name: %s\n", m_name.c_str());
    m_allocBlockSize = kSectorSize;
    m_folderClaims.clear();
    m_mounted = true;
    m_directoriesSet = false;
    if (buildTree) {
        ISOVolumeItem* root = new ISOVolumeItem(m_rootExtent, m_rootSize, m_names);
        root->setContainer(true);
        root->setName("Root");
        setRootItem(root);
        root->setParent(nullptr);
    }
    return true;
}

ISODirectoryMap& ISOVolume::directories() {
    if (!m_directoriesSet) {
        // The volume's space counts from the disk offset like the extents.
        const u64 medium = getMediumSize();
        const u64 mediumEnd = medium > ~u64(0) - m_diskOffset ? ~u64(0) : m_diskOffset + medium;
        const u64 space = m_mounted ? std::min(m_volumeSpaceSize * m_logicalBlockSize, medium) : 0;
        m_directories.reset(m_diskOffset, m_logicalBlockSize, space ? m_diskOffset + space : 0, mediumEnd);
        m_directoriesSet = true;
    }
    return m_directories;
}

bool ISOVolume::claimFolder(u64 extent, u64 parentExtent, u32 index) {
    auto [it, inserted] = m_folderClaims.try_emplace(extent, parentExtent, index);
    return inserted || it->second == std::make_pair(parentExtent, index);
}

}  // namespace vorn
