// What an analyser sees of the running block scan: the block being looked
// at, its position and data, the volume and disk under the scan, the result
// tree, the scan options it reads, the listener to tell of finds, and the
// few things it may do (jump ahead, attach a found volume). The engine's
// facade implements it; readers and carvers know nothing else of it.
//
// Offsets: every position is an absolute byte offset on the scanned disk;
// allocation blocks count from the scan's start offset.
// Single-threaded: called only from the scan's thread, during the scan.
#pragma once

#include <string>
#include <vector>

#include "misc/Types.h"

namespace vorn {

class Data;
class Disk;
class RecoveryEventListener;
class Volume;
class VolumeItem;

enum ScanType : int { SCAN_DELETED_FILES = 0, SCAN_LOST_FILES = 1, SCAN_LOST_VOLUMES = 2 };

// Volume kinds that addVolume creates.
enum AddVolumeType : int { ADD_VOLUME_FAT = 0, ADD_VOLUME_HFS = 1, ADD_VOLUME_ISO = 2 };

class ScanContext {
public:
    // The scanned disk (the cache in front of the selected disk).
    virtual Disk* getDisk() = 0;
    // The volume opened on the disk; may be one that did not mount.
    virtual Volume* getVolume() const = 0;
    // The result root that finds are filed under.
    virtual VolumeItem* getRootItem() = 0;
    // Null when no front end listens.
    virtual RecoveryEventListener* getListener() = 0;
    virtual int getScanType() = 0;
    // The front end's text for a key (the key itself when none).
    virtual std::string localizedString(const std::string& key) = 0;
    // Moves the scan forward to the allocation block holding offset; a
    // target behind the scan position or before its start is ignored.
    virtual void seekToOffset(u64 offset) = 0;
    // Attaches a found volume (or, with null, a new one of the type) under
    // the result root; the engine owns it from then on.
    virtual Volume* addVolume(int type, Volume* volume) = 0;

    // The block being looked at.
    virtual u32 getAllocBlockSize() const = 0;
    virtual u64 getCurrentBlock() const = 0;
    virtual u64 getCurrentAllocBlock() const = 0;
    virtual u64 getCurrentOffset() const = 0;
    virtual Data* getData() const = 0;
    virtual u64 getAllocBlockCount() const = 0;
    virtual u32 getBlocksPerAllocBlock() const = 0;
    // Byte offset on the disk of allocation block 0 of the running scan.
    virtual u64 getScanStartOffset() const = 0;

    // Options of the deleted-files scan.
    virtual bool getEnableSearchText() const = 0;
    virtual bool getEnableSearchKeywords() const = 0;
    virtual std::vector<std::string> getKeywords() const = 0;
    virtual bool getLimitFileSize() const = 0;
    virtual u64 getMaxFileSize() const = 0;

protected:
    ~ScanContext() = default;
};

}  // namespace vorn
