// Base of every file-system reader: a file system at a byte offset on a Disk,
// with an allocation block size, a data offset (where allocation block 0
// starts), a sort key for item lists and one root item.
//
// Ownership: the disk is not owned. The root item is not owned either: it
// belongs to whoever holds the result tree (Recovery); the destructor only
// detaches it (a subclass may delete it first). The marker bitmap is owned.
// Items keep a plain pointer to their volume, so a volume outlives the
// items of its tree (Recovery frees the tree first, then the volumes).
#pragma once

#include <string>

#include "misc/Types.h"

namespace vorn {

class Disk;
class MarkerBitmap;
class VolumeItem;

enum SortType : int { SORT_NAME = 1, SORT_SIZE = 2, SORT_DATE = 3, SORT_ID = 4 };

class Volume {
public:
    Volume();
    explicit Volume(Disk* disk);
    virtual ~Volume();

    virtual Disk* getDisk();
    virtual std::string getName();
    virtual void setRootItem(VolumeItem* item);
    // Mounts the file system; with buildTree, creates the root item.
    virtual bool mount(bool buildTree) = 0;
    // Reads len bytes at byte ofs of the volume (disk offset added).
    virtual bool read(u64 ofs, u32 len, void* buf);
    virtual void createMarkerBitmap();
    virtual void deleteMarkerBitmap();
    virtual void setMarkUsedBlocks(bool mark);
    virtual bool isAllocationBlockUsed(u64 block) = 0;
    virtual void setSortType(int sortType);
    virtual int getSortType();
    virtual void createRootItem(const std::string& name);
    virtual bool isKindOf(int kind);
    virtual u64 getDiskOffset();
    virtual void setDiskOffset(u64 ofs);
    virtual u32 getAllocBlockSize();
    virtual void setAllocBlockSize(u32 size);
    virtual u64 getDataOffset();
    virtual void setDataOffset(u64 ofs);

    // Bytes of the disk from the volume's first byte on: no item of the
    // volume holds more. Unbounded without a disk.
    u64 getMediumSize() const;

    VolumeItem* getRootItem() const { return m_root; }
    void setName(const std::string& name) { m_name = name; }
    MarkerBitmap* getMarkerBitmap() const { return m_markerBitmap; }

protected:
    u64 m_diskOffset = 0;
    Disk* m_disk = nullptr;
    VolumeItem* m_root = nullptr;
    MarkerBitmap* m_markerBitmap = nullptr;
    int m_sortType = SORT_NAME;
    u64 m_dataOffset = 0;
    u32 m_allocBlockSize = 512;
    bool m_markUsedBlocks = false;
    std::string m_name;
};

}  // namespace vorn
