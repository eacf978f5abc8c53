// The list of disks that the user can choose from: the devices that the
// platform reports, and the image files and RAID sets that the user adds,
// each with its partitions.
//
// Ownership: the manager owns every listed disk (a disk owns its
// partitions); everything is deleted with the manager. A disk is listed at
// most once, by identifier (Disk::getId), so a repeated scan leaves the
// listed disks in place. Platform managers derive from this class and
// replace scanForDisks and scanForPartitions.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "misc/Base.h"
#include "misc/Types.h"

namespace vorn {

class Disk;
class RAIDDisk;

class DiskManager : public Base {
public:
    DiskManager();
    ~DiskManager() override;

    // Nothing here; a platform manager lists its devices.
    virtual void scanForDisks();
    // Reads the partition table of every listed whole disk.
    virtual void scanForPartitions();
    virtual u32 getDiskCount();
    // The disk at index; null for an index at or past the count.
    virtual Disk* getDisk(u32 index);
    virtual Disk* findDiskByPath(const std::string& path);
    virtual Disk* findDiskById(const std::string& id);
    virtual void deleteDisks();
    // Takes the disk into the list unless one with its identifier is listed;
    // on false the caller keeps the disk.
    virtual bool addDisk(Disk* disk);
    // Lists an image file and reads its partition table; for a file that is
    // listed already the listed disk is returned and nothing is re-read.
    virtual Disk* addImageDisk(const std::string& path);
    // Lists an empty RAID set (members and layout are set afterwards); when an
    // empty set is listed already, that one is returned.
    virtual RAIDDisk* addRAIDDisk();
    // Lists a set whose members and layout are set (a set's identifier holds
    // both, so sets of other layouts or members are listed side by side);
    // when the same set is listed already, that one is returned and the given
    // one deleted.
    virtual RAIDDisk* addRAIDDisk(std::unique_ptr<RAIDDisk> raid);
    virtual void dump();

protected:
    std::vector<std::unique_ptr<Disk>> disks;
};

}  // namespace vorn
