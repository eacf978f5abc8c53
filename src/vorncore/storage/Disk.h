// The block-device interface through which every read of a medium goes.
//
// A whole device, a partition, an image file, a RAID set, a simulated RAID
// member and the block cache are all Disks. A Disk is also a decorator: when
// its inner disk is set, every operation from getPath to addReadErrors is
// handed to the inner disk, so a wrapper answers exactly as the disk it wraps.
//
// Ownership: a disk owns its partitions (deleted by the kinds that can have
// them, through cleanup or deletePartitions); the inner disk is never owned.
// Opens are counted: between the first open and the matching last close the
// medium is open and readBlocksImpl may run. The system never writes to a
// medium; every kind refuses writes.
//
// Not thread-safe: a disk is used by one thread at a time.
#pragma once

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "misc/Base.h"
#include "misc/Types.h"

namespace vorn {

enum DiskType : int {
    DISK_TYPE_UNKNOWN = 0,
    DISK_TYPE_REMOVABLE = 1,
    DISK_TYPE_CDDVD = 2,
    DISK_TYPE_FIXED = 3,
    DISK_TYPE_IMAGEFILE = 4,
};

class Disk : public Base {
public:
    // Largest request of read (and of the cache's read and getOfsData).
    static constexpr u32 kMaxReadSize = 8388608;

    Disk();
    ~Disk() override;

    bool isKindOf(int typeId) const override;
    virtual void cleanup();
    virtual Disk* getInnerDisk();
    virtual std::string getPath();
    virtual std::string getName();
    virtual std::string getInterface();
    virtual std::string getSizeString();
    virtual void setName(const std::string& name);
    virtual void setInterface(const std::string& interface);
    virtual u32 getBlockSize();
    virtual void setBlockSize(u32 size);
    virtual void setLastSessionOfs(u64 ofs);
    virtual u64 getLastSessionOfs();
    virtual u64 getBlockCount();
    virtual void setBlockCount(u64 count);
    virtual void setType(int type);
    virtual int getType();
    virtual bool read(u64 byteOffset, u32 size, void* buffer);
    virtual bool readBlocks(u64 block, u32 count, void* buffer);
    virtual bool writeBlocks(u64 block, u32 count, const void* buffer);
    virtual bool open(bool write);
    virtual void close();
    virtual void dump();
    virtual u32 getPartitionCount();
    virtual void deletePartitions();
    virtual Disk* getPartition(u32 index);
    virtual Disk* findPartition(const std::string& id);
    virtual bool addPartition(Disk* partition);
    virtual bool scanForPartitions();
    virtual bool isLostVolume();
    virtual bool isWhole();
    virtual void setLostVolume(bool lost);
    virtual void setWhole(bool whole);
    virtual std::string getId();
    virtual u64 getReadErrors();
    virtual void addReadErrors(u64 n);
    // Takes back errors counted for a request that is retried piece by piece
    // (so each unreadable block is counted once); never below zero.
    void withdrawReadErrors(u64 n);

    // Outside the forwarding of calls to the inner disk, but needed by the
    // kinds and by tests: raw sector size, data offset and open count.
    virtual u32 getRawBlockSize();
    virtual u32 getDataOffset();
    virtual u32 getOpenCount();

    // Device operations, supplied by each kind. rawBlock counts raw sectors.
    virtual bool openImpl(bool write) = 0;
    virtual void closeImpl() = 0;
    virtual bool readBlocksImpl(u64 rawBlock, u32 count, void* buffer) = 0;
    virtual bool writeBlocksImpl(u64 rawBlock, u32 count, const void* buffer) = 0;

protected:
    // "Disk_" + path + "_" + name + "_" + block count, block size and raw
    // block size: the identifier of a disk at that path.
    std::string idWithPath(const std::string& path);

    Disk* innerDisk = nullptr;
    std::string path;
    std::string name;
    std::string interface;
    u32 blockSize = 512;
    u64 blockCount = 0;
    int type = DISK_TYPE_UNKNOWN;
    std::vector<std::unique_ptr<Disk>> partitions;
    // The identifiers of the partitions as they were added: a scan that adds
    // thousands of lost volumes checks each against the others in constant time.
    std::unordered_set<std::string> partitionIds;
    u32 openCount = 0;
    bool lostVolume = false;
    bool whole = true;
    u64 readErrors = 0;
    u64 lastSessionOfs = 0;
    u32 dataOffset = 0;
    u32 rawBlockSize = 512;
};

// Bytes of blockCount blocks of blockSize bytes, saturated at the largest
// u64 instead of wrapping (block counts and sizes may come from a damaged
// medium).
u64 byteSizeOf(u64 blockCount, u32 blockSize);

// Follows inner-disk links to the medium behind caches and wrappers.
Disk* getInnermostDisk(Disk* disk);

// Text of a disk type code as the dump line prints it.
const char* diskTypeText(int type);

}  // namespace vorn
