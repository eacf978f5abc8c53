#include "storage/Disk.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "misc/Bytes.h"
#include "misc/Log.h"
#include "misc/Utils.h"

namespace vorn {

// Defined by the partition-table parser.
bool parsePartitionTableOf(Disk* disk);

namespace {

// Most raw sectors converted in one readBlocks call.
constexpr u32 kMaxRawBlocksPerRead = 16384;

}  // namespace

u64 byteSizeOf(u64 blockCount, u32 blockSize) {
    if (blockSize != 0 && blockCount > std::numeric_limits<u64>::max() / blockSize) {
        return std::numeric_limits<u64>::max();
    }
    return blockCount * blockSize;
}

Disk::Disk() { log(LOG_DEBUG, "Disk::Disk\n"); }

Disk::~Disk() {
    log(LOG_DEBUG, "Disk::~Disk\n");
    // Kinds with partitions delete them themselves; whatever is left in the
    // list is still ours and goes with it.
    partitions.clear();
}

bool Disk::isKindOf(int typeId) const { return typeId == KIND_DISK || Base::isKindOf(typeId); }

void Disk::cleanup() {
    if (innerDisk) return;
    close();
    deletePartitions();
}

Disk* Disk::getInnerDisk() { return innerDisk ? innerDisk : this; }

std::string Disk::getPath() { return innerDisk ? innerDisk->getPath() : path; }

std::string Disk::getName() { return innerDisk ? innerDisk->getName() : name; }

std::string Disk::getInterface() { return innerDisk ? innerDisk->getInterface() : interface; }

// Built on the forwarding getters, so a wrapper shows the inner disk's size.
std::string Disk::getSizeString() { return sizeToString(byteSizeOf(getBlockCount(), getBlockSize())); }

void Disk::setName(const std::string& newName) {
    if (innerDisk) {
        innerDisk->setName(newName);
        return;
    }
    name = newName;
}

void Disk::setInterface(const std::string& newInterface) {
    if (innerDisk) {
        innerDisk->setInterface(newInterface);
        return;
    }
    interface = newInterface;
}

u32 Disk::getBlockSize() { return innerDisk ? innerDisk->getBlockSize() : blockSize; }

void Disk::setBlockSize(u32 size) {
    if (innerDisk) {
        innerDisk->setBlockSize(size);
        return;
    }
    rawBlockSize = size;
    if (size == 2352) {
        // A raw CD sector: 16 bytes of sync and header, then 2048 bytes of data.
        dataOffset = 16;
        blockSize = 2048;
    } else {
        dataOffset = 0;
        blockSize = size;
    }
}

void Disk::setLastSessionOfs(u64 ofs) {
    if (innerDisk) {
        innerDisk->setLastSessionOfs(ofs);
        return;
    }
    lastSessionOfs = ofs;
}

u64 Disk::getLastSessionOfs() { return innerDisk ? innerDisk->getLastSessionOfs() : lastSessionOfs; }

u64 Disk::getBlockCount() { return innerDisk ? innerDisk->getBlockCount() : blockCount; }

void Disk::setBlockCount(u64 count) {
    if (innerDisk) {
        innerDisk->setBlockCount(count);
        return;
    }
    blockCount = count;
}

void Disk::setType(int newType) {
    if (innerDisk) {
        innerDisk->setType(newType);
        return;
    }
    type = newType;
}

int Disk::getType() { return innerDisk ? innerDisk->getType() : type; }

// Built on the forwarding getters and readBlocks, so a wrapper reads the
// inner disk's data.
bool Disk::read(u64 byteOffset, u32 size, void* buffer) {
    if (!buffer) {
        log(LOG_DEBUG, "Disk::read parameter mismatch\n");
        return false;
    }
    const u32 blockSize = getBlockSize();
    if (blockSize == 0 || size > kMaxReadSize || !inBounds(byteSizeOf(getBlockCount(), blockSize), byteOffset, size)) {
        log(LOG_DEBUG, "error at Disk::read: incorrect parameters (ofs=%lld, size=%d)\n",
            static_cast<long long>(byteOffset), static_cast<int>(size));
        return false;
    }
    if (size == 0) return true;

    u8* out = static_cast<u8*>(buffer);
    u64 block = byteOffset / blockSize;
    u32 within = static_cast<u32>(byteOffset % blockSize);
    u32 remaining = size;
    std::unique_ptr<u8[]> temp;

    // Partial blocks go through a one-block buffer; whole blocks are read
    // straight into the caller's buffer.
    auto readPartial = [&](u32 length) -> bool {
        if (!temp) {
            temp.reset(new (std::nothrow) u8[blockSize]);
            if (!temp) {
                log(LOG_ERROR, "error at Disk::read: no memory for a block of %u bytes\n", blockSize);
                return false;
            }
        }
        if (!readBlocks(block, 1, temp.get())) return false;
        memcpy(out, temp.get() + within, length);
        out += length;
        remaining -= length;
        block += 1;
        within = 0;
        return true;
    };

    bool ok = true;
    if (within != 0 || remaining < blockSize) {
        ok = readPartial(std::min(remaining, blockSize - within));
    }
    while (ok && remaining >= blockSize) {
        const u32 count = std::min(remaining / blockSize, kMaxRawBlocksPerRead);
        if (!readBlocks(block, count, out)) {
            ok = false;
            break;
        }
        out += static_cast<size_t>(count) * blockSize;
        remaining -= count * blockSize;
        block += count;
    }
    if (ok && remaining > 0) ok = readPartial(remaining);
    if (!ok) memset(out, 0, remaining);
    return ok;
}

bool Disk::readBlocks(u64 block, u32 count, void* buffer) {
    if (innerDisk) return innerDisk->readBlocks(block, count, buffer);
    if (rawBlockSize == blockSize && dataOffset == 0) {
        if (!buffer && count != 0) {
            log(LOG_ERROR, "ERROR: Disk::readBlocks - paramter mismatch!\n");
            return false;
        }
        return readBlocksImpl(block, count, buffer);
    }
    if (count > kMaxRawBlocksPerRead || !buffer || u64(dataOffset) + blockSize > rawBlockSize) {
        log(LOG_ERROR, "ERROR: Disk::readBlocks - paramter mismatch!\n");
        return false;
    }
    std::unique_ptr<u8[]> temp(new (std::nothrow) u8[size_t(rawBlockSize) * count]);
    if (!temp) {
        log(LOG_ERROR, "ERROR: Disk::readBlocks - temporary memory allocation failed!\n");
        return false;
    }
    const bool ok = readBlocksImpl(block, count, temp.get());
    u8* out = static_cast<u8*>(buffer);
    if (!ok) {
        // Nothing of a failed read is handed out as data.
        memset(out, 0, size_t(blockSize) * count);
        return false;
    }
    for (u32 i = 0; i < count; ++i) {
        memcpy(out + size_t(i) * blockSize, temp.get() + size_t(i) * rawBlockSize + dataOffset, blockSize);
    }
    return true;
}

bool Disk::writeBlocks(u64 block, u32 count, const void* buffer) {
    if (innerDisk) return innerDisk->writeBlocks(block, count, buffer);
    if (rawBlockSize != blockSize) {
        log(LOG_ERROR, "ERROR: Disk::writeBlocks - feature not yet supported!\n");
        return false;
    }
    return writeBlocksImpl(block, count, buffer);
}

bool Disk::open(bool write) {
    if (innerDisk) return innerDisk->open(write);
    if (openCount != 0) {
        ++openCount;
        return true;
    }
    const bool ok = openImpl(write);
    if (ok) openCount = 1;
    return ok;
}

void Disk::close() {
    if (innerDisk) {
        innerDisk->close();
        return;
    }
    if (openCount == 0) return;
    if (--openCount == 0) closeImpl();
}

void Disk::dump() {
    if (innerDisk) {
        innerDisk->dump();
        return;
    }
    log(LOG_INFO, "disk name=%s, path=%s, size=%s, type=%s, whole=%d, interface=%s, id=%s\n", getName().c_str(),
        getPath().c_str(), getSizeString().c_str(), diskTypeText(getType()), isWhole() ? 1 : 0,
        getInterface().c_str(), getId().c_str());
    for (size_t i = 0; i < partitions.size(); ++i) {
        log(LOG_INFO, "     partition %d: ", static_cast<int>(i));
        partitions[i]->dump();
    }
}

u32 Disk::getPartitionCount() {
    return innerDisk ? innerDisk->getPartitionCount() : static_cast<u32>(partitions.size());
}

void Disk::deletePartitions() {
    if (innerDisk) {
        innerDisk->deletePartitions();
        return;
    }
    // Emptied first, so that nothing can reach a partition being deleted.
    std::vector<std::unique_ptr<Disk>> leaving;
    leaving.swap(partitions);
    partitionIds.clear();
}

Disk* Disk::getPartition(u32 index) {
    if (innerDisk) return innerDisk->getPartition(index);
    return index < partitions.size() ? partitions[index].get() : nullptr;
}

Disk* Disk::findPartition(const std::string& id) {
    if (innerDisk) return innerDisk->findPartition(id);
    for (const auto& partition : partitions) {
        if (partition->getId() == id) return partition.get();
    }
    return nullptr;
}

bool Disk::addPartition(Disk* partition) {
    if (innerDisk) return innerDisk->addPartition(partition);
    if (!partition) return false;
    partition->setWhole(false);
    const std::string id = partition->getId();
    log(LOG_DEBUG, "DiskManager::addPartition %s\n", id.c_str());
    if (!partitionIds.insert(id).second) {
        log(LOG_DEBUG, "DiskManager::addPartition - partition already in list: %s\n", id.c_str());
        return false;
    }
    partitions.emplace_back(partition);
    return true;
}

bool Disk::scanForPartitions() {
    if (innerDisk) return innerDisk->scanForPartitions();
    return parsePartitionTableOf(this);
}

bool Disk::isLostVolume() { return innerDisk ? innerDisk->isLostVolume() : lostVolume; }

bool Disk::isWhole() { return innerDisk ? innerDisk->isWhole() : whole; }

void Disk::setLostVolume(bool lost) {
    if (innerDisk) {
        innerDisk->setLostVolume(lost);
        return;
    }
    lostVolume = lost;
}

void Disk::setWhole(bool isWhole) {
    if (innerDisk) {
        innerDisk->setWhole(isWhole);
        return;
    }
    whole = isWhole;
}

std::string Disk::getId() { return innerDisk ? innerDisk->getId() : idWithPath(getPath()); }

std::string Disk::idWithPath(const std::string& path) {
    char numbers[96];
    snprintf(numbers, sizeof numbers, "%lld_%d_%d", static_cast<long long>(getBlockCount()),
             static_cast<int>(getBlockSize()), static_cast<int>(getRawBlockSize()));
    return "Disk_" + path + "_" + getName() + "_" + numbers;
}

u64 Disk::getReadErrors() { return innerDisk ? innerDisk->getReadErrors() : readErrors; }

void Disk::addReadErrors(u64 n) {
    if (innerDisk) {
        innerDisk->addReadErrors(n);
        return;
    }
    readErrors += n;
}

void Disk::withdrawReadErrors(u64 n) {
    if (innerDisk) {
        innerDisk->withdrawReadErrors(n);
        return;
    }
    readErrors -= std::min(n, readErrors);
}

u32 Disk::getRawBlockSize() { return innerDisk ? innerDisk->getRawBlockSize() : rawBlockSize; }

u32 Disk::getDataOffset() { return innerDisk ? innerDisk->getDataOffset() : dataOffset; }

u32 Disk::getOpenCount() { return innerDisk ? innerDisk->getOpenCount() : openCount; }

Disk* getInnermostDisk(Disk* disk) {
    if (!disk) return nullptr;
    // getInnerDisk answers the disk itself at the end of the chain; the hop
    // limit only guards against a wrongly linked cycle.
    for (int hops = 0; hops < 64; ++hops) {
        Disk* inner = disk->getInnerDisk();
        if (!inner || inner == disk) break;
        disk = inner;
    }
    return disk;
}

const char* diskTypeText(int type) {
    switch (type) {
        case DISK_TYPE_REMOVABLE:
            return "Removable";
        case DISK_TYPE_CDDVD:
            return "CD/DVD";
        case DISK_TYPE_FIXED:
            return "Fixed";
        case DISK_TYPE_IMAGEFILE:
            return "Imagefile";
        default:
            return "Unknown";
    }
}

}  // namespace vorn
