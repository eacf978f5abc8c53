#include "storage/PartitionDisk.h"

#include "misc/Log.h"
#include "misc/Utils.h"

namespace vorn {

PartitionDisk::PartitionDisk(Disk* parent, u64 firstBlock, u64 lastBlock)
    : m_firstBlock(firstBlock), m_lastBlock(lastBlock), m_parent(parent) {
    log(LOG_DEBUG, "PartitionDisk::PartitionDisk firstBlock=%lld, lastBlock=%lld\n", (long long)firstBlock,
        (long long)lastBlock);
    const u64 parentBlocks = parent ? parent->getBlockCount() : 0;
    if (m_lastBlock >= parentBlocks) {
        log(LOG_WARNING,
            "PartitionDisk::PartitionDisk - last block %llu beyond the end of the parent (%llu blocks), clamped\n",
            (unsigned long long)m_lastBlock, (unsigned long long)parentBlocks);
        if (parentBlocks == 0)
            m_empty = true;
        else
            m_lastBlock = parentBlocks - 1;
    }
    if (m_lastBlock < m_firstBlock) m_empty = true;
}

PartitionDisk::~PartitionDisk() { deletePartitions(); }

bool PartitionDisk::fitsParent(Disk* parent, u64 firstBlock, u64 lastBlock) {
    return parent && firstBlock <= lastBlock && firstBlock < parent->getBlockCount();
}

bool PartitionDisk::isKindOf(int typeId) const { return typeId == KIND_PARTITION_DISK || Disk::isKindOf(typeId); }

// The parent belongs to its owner; a partition only drops what it owns.
void PartitionDisk::cleanup() { deletePartitions(); }

u32 PartitionDisk::getBlockSize() { return m_parent ? m_parent->getBlockSize() : 0; }

u64 PartitionDisk::getBlockCount() { return m_empty ? 0 : m_lastBlock - m_firstBlock + 1; }

u32 PartitionDisk::getRawBlockSize() { return m_parent ? m_parent->getRawBlockSize() : 0; }

u32 PartitionDisk::getDataOffset() { return m_parent ? m_parent->getDataOffset() : 0; }

bool PartitionDisk::toParentBlock(u64 block, u64& parentBlock) const {
    if (!m_parent || block > ~u64(0) - m_firstBlock) return false;
    parentBlock = block + m_firstBlock;
    return true;
}

bool PartitionDisk::readBlocks(u64 block, u32 count, void* buffer) {
    u64 parentBlock;
    if (!toParentBlock(block, parentBlock)) return false;
    return m_parent->readBlocks(parentBlock, count, buffer);
}

bool PartitionDisk::writeBlocks(u64 block, u32 count, const void* buffer) {
    u64 parentBlock;
    if (!toParentBlock(block, parentBlock)) return false;
    return m_parent->writeBlocks(parentBlock, count, buffer);
}

void PartitionDisk::dump() {
    log(LOG_INFO, "partition name=%s, path=%s, size=%s\n", getName().c_str(), getPath().c_str(),
        getSizeString().c_str());
}

std::string PartitionDisk::getId() {
    const std::string parentId = m_parent ? m_parent->getId() : std::string();
    return parentId + "_Partition_" + getName() + "_" +
           format("%lld_%lld_%d", (long long)m_firstBlock, (long long)m_lastBlock, (int)getBlockSize());
}

bool PartitionDisk::openImpl(bool write) { return m_parent && m_parent->open(write); }

void PartitionDisk::closeImpl() {
    if (m_parent) m_parent->close();
}

bool PartitionDisk::readBlocksImpl(u64 rawBlock, u32 count, void* buffer) {
    u64 parentBlock;
    if (!toParentBlock(rawBlock, parentBlock)) return false;
    return m_parent->readBlocksImpl(parentBlock, count, buffer);
}

bool PartitionDisk::writeBlocksImpl(u64 rawBlock, u32 count, const void* buffer) {
    u64 parentBlock;
    if (!toParentBlock(rawBlock, parentBlock)) return false;
    return m_parent->writeBlocksImpl(parentBlock, count, buffer);
}

}  // namespace vorn
