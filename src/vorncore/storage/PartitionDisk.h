// A partition presented as a Disk of its own: a window of consecutive
// blocks [first, last] of a parent disk, numbered from 0.
//
// The parent is not owned and outlives its partitions (a disk deletes its
// partitions before it goes). The partition has no inner disk; its block
// size is always the parent's and its block count last - first + 1, or 0
// when the window is empty. A last block past the parent's end is clamped at
// construction, so the window never reaches outside the parent.
//
// Opens are counted on both levels: the partition's first open opens the
// parent through the parent's own counted `open`, its last close closes it
// through `close`, so a partition never closes a medium that another user
// still reads. Partitions that lost-volume scans find inside a partition are
// owned by that partition.
#pragma once

#include <string>

#include "storage/Disk.h"

namespace vorn {

class PartitionDisk : public Disk {
public:
    PartitionDisk(Disk* parent, u64 firstBlock, u64 lastBlock);
    ~PartitionDisk() override;

    // True when [firstBlock, lastBlock] is a usable window of parent: not
    // empty and starting inside it (the end may lie past the parent's end; it
    // is clamped then). Table readers create partitions only for such windows.
    static bool fitsParent(Disk* parent, u64 firstBlock, u64 lastBlock);

    bool isKindOf(int typeId) const override;
    void cleanup() override;
    u32 getBlockSize() override;
    u64 getBlockCount() override;
    bool readBlocks(u64 block, u32 count, void* buffer) override;
    bool writeBlocks(u64 block, u32 count, const void* buffer) override;
    void dump() override;
    std::string getId() override;
    u32 getRawBlockSize() override;
    u32 getDataOffset() override;

    bool openImpl(bool write) override;
    void closeImpl() override;
    bool readBlocksImpl(u64 rawBlock, u32 count, void* buffer) override;
    bool writeBlocksImpl(u64 rawBlock, u32 count, const void* buffer) override;

    u64 getFirstBlock() const { return firstBlock; }
    u64 getLastBlock() const { return lastBlock; }
    Disk* getParent() const { return parent; }

private:
    // Parent block number of partition block `block`; false when it wraps.
    bool toParentBlock(u64 block, u64& parentBlock) const;

    u64 firstBlock;
    u64 lastBlock;
    Disk* parent;
    bool empty = false;  // first > last, or a parent without blocks
};

}  // namespace vorn
