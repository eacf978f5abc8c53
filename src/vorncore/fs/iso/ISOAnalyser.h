// The ISO 9660 analyser of the lost-volumes and lost-files scans (on CD/DVD
// and image disks), and the directory reader that the volume uses too.
//
// Lost volumes: a step whose bytes start with a volume descriptor ("CD001"
// at byte 1) 32,768 bytes or more into the disk is checked by mounting the
// volume that would start 32,768 bytes before it; each one that mounts
// becomes a lost-volume partition of the scanned disk. The analyser reads
// the 2,048 bytes it needs itself when the scan's steps are shorter (512-byte
// disks), through Disk::read.
//
// Lost files: a step that begins with the "." and ".." records of a
// directory is read as a directory; the entries are collected for one lost
// volume per disc origin (the byte where the extents' numbering starts) and,
// when the origin changes and at the end, linked under the entry that names
// their directory, or under a made-up "Extent N" folder in "OrphanedFolders".
//
// Ownership: the scan context is not owned; lost volumes and partitions go
// to the engine and the disk. Collected entries are owned by the analyser
// until they are linked into the result tree.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fs/AbstractAnalyser.h"
#include "fs/iso/ISOVolume.h"
#include "misc/Types.h"

namespace vorn {

class Disk;
class ISOVolumeItem;
class VolumeItem;

class ISOAnalyser : public AbstractAnalyser {
public:
    explicit ISOAnalyser(ScanContext* owner);
    ~ISOAnalyser() override;

    void scanBegin() override;
    void scanBlock() override;
    void scanEnd() override;

    // Whether the 2,048-byte block at disk byte descriptorOfs holds a volume
    // descriptor of a volume that mounts; *firstDiscOfs is where its extents
    // count from (0 for a session of a multisession disc, else the volume's
    // start). *name and *spaceBytes, when given, take its name and size.
    bool checkLostVolume(u64 descriptorOfs, const u8* data, u32 len, u64* firstDiscOfs, std::string* name = nullptr,
                         u64* spaceBytes = nullptr);
    // Links the collected entries into the current lost volume.
    void mergeItems();

    // Reads the directory whose records start at disk byte ofs; size 0 means
    // unknown (the lost-files scan): the walk then ends at the first zero
    // length byte. Records never cross a 2,048-byte sector; with a known size
    // a zero length byte moves on to the next sector. New items are appended
    // to items. names: how the tree writes its names; a Guess reads all the
    // directory's names as UCS-2 when one of them holds a zero byte or every
    // one has an even length and a control byte, as 8-bit names otherwise. map,
    // when given, bounds the walk by the volume's directories and records
    // this one in it (ISODirectoryMap).
    static bool parseDir(Disk* disk, u64 ofs, std::vector<std::unique_ptr<ISOVolumeItem>>& items, u64 size,
                         ISONames names = ISONames::Guess, ISODirectoryMap* map = nullptr);
    // Whether data begins with the "." and ".." records of a directory; their
    // extents go to *ownExtent and *parentExtent.
    static bool isDirectoryStart(const u8* data, u32 len, u64* ownExtent, u64* parentExtent);

private:
    struct Pending {
        std::unique_ptr<ISOVolumeItem> item;
        u64 dirExtent;
    };

    void scanLostVolume(const u8* data, u32 len);
    void scanLostFiles(const u8* data, u32 len);
    // The made-up folder "Extent N" for a directory whose entry is missing.
    VolumeItem* orphanFolder(u64 extent, u64* orphanedCount);

    u64 currentFirstDiscOfs = ~u64(0);
    ISOVolume* currentVolume = nullptr;
    std::vector<Pending> pending;
    std::map<u64, VolumeItem*> itemsByExtent;
    std::map<u64, VolumeItem*> madeUpFolders;
    // Steps too short to be looked at, reported once at the end.
    u64 shortSteps = 0;
};

}  // namespace vorn
