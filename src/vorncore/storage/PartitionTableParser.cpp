#include "storage/PartitionTableParser.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "misc/Guid.h"
#include "misc/Bytes.h"
#include "misc/Log.h"
#include "misc/Utils.h"
#include "storage/CachedDisk.h"
#include "storage/Disk.h"
#include "storage/PartitionDisk.h"

namespace vorn {

namespace {

constexpr u32 kParserCacheSize = 20480;
constexpr u32 kParserReadAhead = 2048;
constexpr const char* kHFSPlusType = "48465300-0000-11AA-AA11-00306543ECAC";
// Entries of these types hold FAT or NTFS volumes: named like MBR partitions.
constexpr const char* kBasicDataType = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";
constexpr const char* kEFISystemType = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";

Guid guidOf(const char* text) {
    Guid g;
    g.fromString(text);
    return g;
}

// Byte offset of block `block` of the disk; false when it cannot be
// represented (a block number from a damaged table).
bool blockOffset(Disk* disk, u64 block, u64& offset) {
    const u64 blockSize = disk->getBlockSize();
    if (blockSize == 0 || block > ~u64(0) / blockSize) return false;
    offset = block * blockSize;
    return true;
}

bool isExtendedType(u8 type) { return type == 0x05 || type == 0x0F || type == 0x85; }

}  // namespace

bool parsePartitionTableOf(Disk* disk) { return PartitionTableParser::parserPartitionTable(disk); }

bool PartitionTableParser::parserPartitionTable(Disk* disk) {
    if (!disk) return false;
    log(LOG_DEBUG, "PartitionTableParser::parserPartitionTable - %s\n", disk->getName().c_str());
    const u32 blockSize = disk->getBlockSize();
    if (blockSize == 0) {
        log(LOG_ERROR, "PartitionTableParser::parserPartitionTable - block size 0, no partition table read\n");
        return false;
    }
    // Lines of at least one block, and at least ten lines.
    const u32 readAhead = std::max(kParserReadAhead, blockSize);
    const u32 cacheSize = u32(std::min<u64>(std::max<u64>(kParserCacheSize, u64(readAhead) * 10), 0xFFFFFFFFu));
    auto cache = std::make_unique<CachedDisk>(disk, cacheSize, readAhead);
    if (!cache->open(false)) {
        log(LOG_ERROR, "disk open error while reading partition table\n");
        return false;
    }
    if (!parseGUIDPartitionTable(cache.get()) && !parseApplePartitionMap(cache.get()))
        parseMBRPartitionTable(cache.get(), 0, 0, 0);
    cache->close();
    return true;
}

int PartitionTableParser::addPartition(Disk* cache, u64 first, u64 last, const std::string& name) {
    Disk* parent = getInnermostDisk(cache);
    if (!PartitionDisk::fitsParent(parent, first, last)) {
        log(LOG_WARNING,
            "PartitionTableParser - partition at blocks %llu-%llu does not fit the disk (%llu blocks), skipped\n",
            (unsigned long long)first, (unsigned long long)last, (unsigned long long)parent->getBlockCount());
        return -1;
    }
    auto partition = std::make_unique<PartitionDisk>(parent, first, last);
    if (!name.empty()) partition->setName(name);
    if (!cache->addPartition(partition.get())) return 0;
    partition.release();  // the disk owns it now
    return 1;
}

// ---- GUID partition table

bool PartitionTableParser::parseGUIDPartitionTable(Disk* cache) {
    u8 header[96];
    u64 headerOffset;
    if (!blockOffset(cache, 1, headerOffset) || !cache->read(headerOffset, sizeof header, header)) {
        log(LOG_ERROR, "PartitionTableParser::parseGUIDPartitionTable - error reading block 1\n");
        return false;
    }
    if (memcmp(header, "EFI PART", 8) != 0) {
        log(LOG_DEBUG, "PartitionTableParser::parseGUIDPartitionMap - no header\n");
        return false;
    }
    ByteReader h(header, sizeof header);
    const u64 tableBlock = h.le64(72);
    i32 entryCount = static_cast<i32>(h.le32(80));
    const u32 entrySize = h.le32(84);
    if (entryCount < 0 || entryCount > 128) entryCount = 128;

    // An entry is at least the 128 bytes read; tables larger than 64 KiB per
    // entry exist nowhere and would only walk the disk.
    if (entrySize < 128 || entrySize > 65536) {
        log(LOG_WARNING, "PartitionTableParser::parseGUIDPartitionTable - invalid entry size %u\n", entrySize);
        return false;
    }
    u64 offset;
    if (tableBlock >= cache->getBlockCount() || !blockOffset(cache, tableBlock, offset)) {
        log(LOG_WARNING, "PartitionTableParser::parseGUIDPartitionTable - entry table at block %llu outside the disk\n",
            (unsigned long long)tableBlock);
        return false;
    }

    static const Guid hfsPlus = guidOf(kHFSPlusType), basicData = guidOf(kBasicDataType),
                      efiSystem = guidOf(kEFISystemType);
    u32 added = 0;
    for (i32 i = 0; i < entryCount; ++i, offset += entrySize) {
        u8 entry[128];
        if (!cache->read(offset, sizeof entry, entry)) {
            log(LOG_ERROR, "PartitionTableParser::parseGUIDPartitionTable - error reading at ofs %lld\n",
                (long long)offset);
            return false;
        }
        Guid type;
        type.fromBytes(entry, false);
        if (type.isZero()) continue;
        const u64 first = loadLE64(entry + 32);
        const u64 last = loadLE64(entry + 40);
        if (logEnabled(LOG_DEBUG)) log(LOG_DEBUG, "first LBA: %lld - %s\n", (long long)first, type.toString().c_str());
        // Named by their place among the partitions of this table, so that
        // reading it again gives the same names and the disk refuses them.
        int result = -1;
        if (type == hfsPlus)
            result = addPartition(cache, first, last, std::string());
        else if (type == basicData || type == efiSystem)
            result = addPartition(cache, first, last, format("Part%02u", added));
        if (result >= 0) ++added;
    }
    return true;
}

// ---- Apple partition map

bool PartitionTableParser::parseApplePartitionMap(Disk* cache) {
    u8 block[512];
    if (!cache->read(0, sizeof block, block)) {
        log(LOG_ERROR, "PartitionTableParser::parseApplePartitionMap - error reading block 0\n");
        return false;
    }
    const u16 signature = loadBE16(block);
    if (signature != 0x4552) {
        log(LOG_DEBUG, "PartitionTableParser::parseApplePartitionMap - no partition map (%04X)\n", signature);
        return false;
    }
    u32 mapBlockSize = loadBE16(block + 2);
    if (mapBlockSize == 0 || mapBlockSize % 512 != 0) {
        log(LOG_WARNING, "PartitionTableParser::parseApplePartitionMap - invalid map block size %u, taking 512\n",
            mapBlockSize);
        mapBlockSize = 512;
    }
    const u64 diskBlockSize = cache->getBlockSize();
    const u64 diskSize = byteSizeOf(cache->getBlockCount(), cache->getBlockSize());
    log(LOG_DEBUG, "-----------Scanning Apple Partition Map------------\n");

    u32 mapEntries = 0;
    bool haveEntry = false;
    for (u64 i = 1;; ++i) {
        const u64 offset = i * mapBlockSize;  // i <= 4096: no overflow
        if (!inBounds(diskSize, offset, sizeof block)) {
            log(LOG_WARNING, "PartitionTableParser::parseApplePartitionMap - map ends at the end of the disk (entry %llu)\n",
                (unsigned long long)i);
            break;
        }
        if (!cache->read(offset, sizeof block, block)) {
            log(LOG_ERROR, "PartitionTableParser::parseApplePartitionMap - error reading block %lld\n", (long long)i);
            return false;
        }
        const u16 entrySignature = loadBE16(block);
        if (entrySignature == 0x504D) {
            if (!haveEntry) {
                haveEntry = true;
                mapEntries = loadBE32(block + 4);
                if (mapEntries > kMaxAppleMapEntries) {
                    log(LOG_WARNING, "PartitionTableParser::parseApplePartitionMap - %u map entries, reading %u\n",
                        mapEntries, kMaxAppleMapEntries);
                    mapEntries = kMaxAppleMapEntries;
                }
            }
            const u64 start = loadBE32(block + 8);
            const u64 count = loadBE32(block + 12);
            const char* nameField = reinterpret_cast<const char*>(block + 16);
            const std::string name(nameField, strnlen(nameField, 32));
            if (memcmp(block + 48, "Apple_HFS", 9) == 0 && count > 0) {
                // Start and count are in map blocks; partitions in disk blocks.
                const u64 firstByte = start * mapBlockSize;
                const u64 endByte = (start + count) * mapBlockSize;
                if (firstByte % diskBlockSize != 0 || endByte / diskBlockSize <= firstByte / diskBlockSize) {
                    log(LOG_WARNING,
                        "PartitionTableParser::parseApplePartitionMap - partition %s does not fit the disk blocks, "
                        "skipped\n",
                        name.c_str());
                } else {
                    addPartition(cache, firstByte / diskBlockSize, endByte / diskBlockSize - 1, name);
                }
            }
        } else {
            log(LOG_ERROR, "invalid map entry signature (%04X)\n", entrySignature);
        }
        if (!haveEntry || i >= mapEntries) break;
    }
    log(LOG_DEBUG, "found map entries %d\n", (int)mapEntries);
    return mapEntries != 0;
}

// ---- MBR with extended partitions

bool PartitionTableParser::parseMBRPartitionTable(Disk* cache, u64 sector, u64 extendedBase, u16 level) {
    MBRWalk walk;
    return parseMBR(cache, sector, extendedBase, level, walk);
}

bool PartitionTableParser::parseMBR(Disk* cache, u64 sector, u64 extendedBase, u16 level, MBRWalk& walk) {
    if (level > kMaxMBRLevel) {
        log(LOG_ERROR, "error: max. recursion level reached while parsing MBR partition table\n");
        return false;
    }
    if (walk.tablesRead.count(sector)) {
        log(LOG_WARNING, "MBR partition table at sector %llu already read, link ignored\n",
            (unsigned long long)sector);
        return false;
    }
    if (walk.tablesRead.size() >= kMaxMBRTables) {
        log(LOG_WARNING, "too many extended partition tables, sector %llu not read\n",
            (unsigned long long)sector);
        return false;
    }
    walk.tablesRead.insert(sector);

    u8 table[512];
    u64 offset;
    if (!blockOffset(cache, sector, offset) || !cache->read(offset, sizeof table, table)) {
        log(LOG_ERROR, "disk read error while parsing MBR partition table\n");
        return false;
    }
    if (table[510] != 0x55 || table[511] != 0xAA) {
        log(LOG_WARNING, "invalid MBR partition table signature: %02X,%02X\n", table[510], table[511]);
        return false;
    }
    const u16 nulls = loadLE16(table + 444);
    if (nulls != 0) {
        log(LOG_WARNING, "invalid MBR partition table - nulls: %04X\n", nulls);
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        const u8* entry = table + 446 + 16 * i;
        const u8 type = entry[4];
        const u64 first = loadLE32(entry + 8);
        const u64 count = loadLE32(entry + 12);
        if (count == 0) continue;
        if (walk.partitions >= kMaxMBRPartitions) {
            if (!walk.partitionLimitLogged) {
                log(LOG_WARNING, "MBR partition table: more than %u partitions, the rest is ignored\n",
                    kMaxMBRPartitions);
                walk.partitionLimitLogged = true;
            }
            return true;
        }
        if (isExtendedType(type)) {
            parseMBR(cache, extendedBase + first, extendedBase != 0 ? extendedBase : first, u16(level + 1), walk);
            continue;
        }
        const u64 start = sector + first;
        // Named by its place in this walk, so that reading the same table
        // again gives the same names and the disk refuses the duplicates.
        if (addPartition(cache, start, start + count - 1, format("Part%02d", walk.partitions)) >= 0)
            walk.partitions++;
    }
    return true;
}

}  // namespace vorn
