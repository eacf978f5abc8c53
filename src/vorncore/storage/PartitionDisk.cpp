#include "storage/PartitionDisk.h"

#include "misc/Log.h"
#include "misc/Utils.h"

namespace vorn {

PartitionDisk::PartitionDisk(Disk* parentDisk, u64 first, u64 last)
    : firstBlock(first), lastBlock(last), parent(parentDisk) {
    log(LOG_DEBUG, "PartitionDisk::PartitionDisk firstBlock=%lld, lastBlock=%lld\n", (long long)first,
        (long long)last);
    const u64 parentBlocks = parentDisk ? parentDisk->getBlockCount() : 0;
    if (lastBlock >= parentBlocks) {
        log(LOG_WARNING,
            "PartitionDisk::PartitionDisk - last block %llu beyond the end of the parent (%llu blocks), clamped\n",
            (unsigned long long)lastBlock, (unsigned long long)parentBlocks);
        if (parentBlocks == 0)
            empty = true;
        else
            lastBlock = parentBlocks - 1;
    }
    if (lastBlock < firstBlock) empty = true;
}

PartitionDisk::~PartitionDisk() { deletePartitions(); }

bool PartitionDisk::fitsParent(Disk* parent, u64 firstBlock, u64 lastBlock) {
    return parent && firstBlock <= lastBlock && firstBlock < parent->getBlockCount();
}

bool PartitionDisk::isKindOf(int typeId) const { return typeId == KIND_PARTITION_DISK || Disk::isKindOf(typeId); }

// The parent belongs to its owner; a partition only drops what it owns.
void PartitionDisk::cleanup() { deletePartitions(); }

u32 PartitionDisk::getBlockSize() { return parent ? parent->getBlockSize() : 0; }

u64 PartitionDisk::getBlockCount() { return empty ? 0 : lastBlock - firstBlock + 1; }

u32 PartitionDisk::getRawBlockSize() { return parent ? parent->getRawBlockSize() : 0; }

u32 PartitionDisk::getDataOffset() { return parent ? parent->getDataOffset() : 0; }

bool PartitionDisk::toParentBlock(u64 block, u64& parentBlock) const {
    if (!parent || block > ~u64(0) - firstBlock) return false;
    parentBlock = block + firstBlock;
    return true;
}

bool PartitionDisk::readBlocks(u64 block, u32 count, void* buffer) {
    u64 parentBlock;
    if (!toParentBlock(block, parentBlock)) return false;
    return parent->readBlocks(parentBlock, count, buffer);
}

bool PartitionDisk::writeBlocks(u64 block, u32 count, const void* buffer) {
    u64 parentBlock;
    if (!toParentBlock(block, parentBlock)) return false;
    return parent->writeBlocks(parentBlock, count, buffer);
}

void PartitionDisk::dump() {
    log(LOG_INFO, "partition name=%s, path=%s, size=%s\n", getName().c_str(), getPath().c_str(),
        getSizeString().c_str());
}

std::string PartitionDisk::getId() {
    const std::string parentId = parent ? parent->getId() : std::string();
    return parentId + "_Partition_" + getName() + "_" +
           format("%lld_%lld_%d", (long long)firstBlock, (long long)lastBlock, (int)getBlockSize());
}

bool PartitionDisk::openImpl(bool write) { return parent && parent->open(write); }

void PartitionDisk::closeImpl() {
    if (parent) parent->close();
}

bool PartitionDisk::readBlocksImpl(u64 rawBlock, u32 count, void* buffer) {
    u64 parentBlock;
    if (!toParentBlock(rawBlock, parentBlock)) return false;
    return parent->readBlocksImpl(parentBlock, count, buffer);
}

bool PartitionDisk::writeBlocksImpl(u64 rawBlock, u32 count, const void* buffer) {
    u64 parentBlock;
    if (!toParentBlock(rawBlock, parentBlock)) return false;
    return parent->writeBlocksImpl(parentBlock, count, buffer);
}

}  // namespace vorn
