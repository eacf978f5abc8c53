// An ISO 9660 volume, read-only, shown through its Joliet tree when the disc
// has one.
//
// mount reads the volume descriptors from 32,768 bytes past the start of the
// disk's last session (0 unless a CD/DVD or a found volume sets it) and keeps
// the root record of the last primary or supplementary descriptor read.
// Extents count logical blocks (2,048 bytes, or the descriptor's size when it
// is a valid one) from the volume's disk offset, whatever the disk's own
// block size, so an ISO on 512-byte media mounts too. Every block is in use
// as far as the scans are concerned, but a deleted-files scan carves the
// whole disc: isAllocationBlockUsed answers false.
//
// Ownership: the root item belongs to whoever holds the result tree; the
// destructor only detaches it. Keeps a record of which directory entry first
// showed each folder extent, so that a folder listed by several entries is
// shown once and every walk over the tree ends, and the map of the
// directories its readers have listed (ISODirectoryMap).
#pragma once

#include <map>
#include <set>
#include <string>
#include <utility>

#include "fs/Volume.h"
#include "misc/Types.h"

namespace vorn {

// How the names of a directory tree are written.
enum class ISONames : u8 {
    // 8-bit names as written: the tree of a primary descriptor.
    Bytes,
    // UCS-2 big-endian throughout: a Joliet tree.
    Ucs2,
    // Not known (a directory found on a raw disk, the tree of a supplementary
    // descriptor without Joliet escapes): a directory is UCS-2 when one of its
    // names holds a byte that no 8-bit name holds (see ISOAnalyser::parseDir).
    Guess,
};

// The directories that the readers of one volume have seen, so that sizes
// and links of a damaged volume cannot make them list the same sectors again
// and again. Offsets are disk bytes.
//
// Each 2,048-byte sector belongs to the first directory that listed it, and
// another directory stops where it meets any of its bytes; the same
// directory lists its own sectors again when its folder is loaded anew, so a
// listing does not change. Into sectors not yet listed, a directory is read at most up to the
// end of the medium, the end of the volume's space (when it starts inside
// it) and the next directory start seen so far (a folder record's extent, or
// a directory read). Memory: one entry per folder record and per run of
// sectors that a directory listed (mostly one per directory).
class ISODirectoryMap {
public:
    // Extents count blockSize bytes from disk byte origin; no directory is
    // read at or past mediumEnd, nor at or past volumeEnd when it starts
    // before it (0: no volume end). Forgets what was seen.
    void reset(u64 origin, u32 blockSize, u64 volumeEnd, u64 mediumEnd);

    u64 extentOffset(u64 extent) const { return m_origin + extent * m_blockSize; }
    // The disk byte at which reading the directory that starts at dirStart
    // must stop.
    u64 limitFor(u64 dirStart) const;
    void addStart(u64 dirStart) { m_starts.insert(dirStart); }
    // Gives the 2,048 bytes at disk byte sector to the directory that starts
    // at dirStart; false when another directory listed any of them first
    // (*owner: that directory's start).
    bool claimSector(u64 sector, u64 dirStart, u64* owner);
    // Whether the directory that starts at dirStart listed the sector before.
    bool owns(u64 sector, u64 dirStart) const;

private:
    // Bytes [first, end) listed by the directory that starts at owner; runs
    // never overlap.
    struct Run {
        u64 end;
        u64 owner;
    };

    u64 m_origin = 0;
    u32 m_blockSize = 2048;
    u64 m_volumeEnd = 0;
    u64 m_mediumEnd = ~u64(0);
    std::set<u64> m_starts;
    std::map<u64, Run> m_runs;  // by first byte
};

class ISOVolume : public Volume {
public:
    // Bytes of a descriptor that are read; the descriptor block size.
    static constexpr u32 kDescriptorSize = 2008;
    static constexpr u32 kSectorSize = 2048;

    explicit ISOVolume(Disk* disk);
    ~ISOVolume() override;

    bool mount(bool buildTree) override;
    bool isAllocationBlockUsed(u64) override { return false; }

    bool isJoliet() const { return m_joliet; }
    // How the names of the tree that mount chose are written.
    ISONames getNames() const { return m_names; }
    u64 getVolumeSpaceSize() const { return m_volumeSpaceSize; }
    u32 getLogicalBlockSize() const { return m_logicalBlockSize; }
    u64 getRootExtent() const { return m_rootExtent; }
    u64 getRootSize() const { return m_rootSize; }

    // Records that entry `index` of the folder at parentExtent shows the
    // folder at extent; false when another entry showed it first.
    bool claimFolder(u64 extent, u64 parentExtent, u32 index);
    // The directories listed on this volume; set up on first use after a
    // mount, from the disk offset, logical block size and volume space then
    // in force (a lost volume's disk offset is set after construction).
    ISODirectoryMap& directories();

private:
    u8 m_descriptor[kDescriptorSize] = {};
    u64 m_volumeSpaceSize = 0;
    bool m_joliet = false;
    ISONames m_names = ISONames::Bytes;
    u32 m_logicalBlockSize = kSectorSize;
    u64 m_rootExtent = 0;
    u64 m_rootSize = 0;
    std::map<u64, std::pair<u64, u32>> m_folderClaims;
    ISODirectoryMap m_directories;
    bool m_directoriesSet = false;
    bool m_mounted = false;
};

// The first min(nameLength, maxLength) bytes of an 8-bit name as UTF-8 text:
// kept as they are when they are valid UTF-8 (tools that write names beyond
// d-characters mostly write UTF-8), otherwise read as Latin-1, so that every
// byte shows as one character and the text is always valid UTF-8.
std::string isoNameToString(const u8* name, u8 nameLength, u32 maxLength);
// A 7-byte recording date (years since 1900, month, day, hour, minute,
// second, GMT offset, which is ignored) as Unix seconds; 0 when out of range.
u32 isoDateToUnix(const u8* date);

}  // namespace vorn
