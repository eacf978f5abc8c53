// The table of contents of a CD/DVD and the search for the start of its last
// session.
//
// The table is the full table of contents as drives return it (READ TOC
// format 2): a big-endian u16 data length (the bytes after the length field),
// first and last session numbers, then 11-byte descriptors: session,
// ADR (high nibble) and control (low nibble), track number, point, the
// address as minutes/seconds/frames, a zero byte, and the start as
// minutes/seconds/frames.
//
// A multisession disc holds one ISO 9660 volume per session; the newest is
// the one to browse. findLastSessionLba walks the data tracks from the last
// to the first and takes the first whose start holds an ISO 9660 primary
// volume descriptor. Parsing is pure; reading the table from a drive is the
// one platform call (readTocFromDevice).
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "misc/Types.h"

namespace vorn {

struct TocDescriptor {
    u8 session = 0;
    u8 adr = 0;
    u8 control = 0;
    u8 track = 0;
    u8 point = 0;
    u8 minutes = 0;
    u8 seconds = 0;
    u8 frames = 0;
    u8 startMinutes = 0;
    u8 startSeconds = 0;
    u8 startFrames = 0;
    // Set when the start came as a block address (the CD-ROM interface's
    // track entries): minutes/seconds/frames cannot express the starts of
    // later sessions of a DVD, which lie beyond 255 minutes.
    bool hasStartLba = false;
    i64 startLba = 0;
};

struct CdToc {
    u8 firstSession = 0;
    u8 lastSession = 0;
    std::vector<TocDescriptor> descriptors;
};

constexpr size_t kTocHeaderSize = 4;
constexpr size_t kTocDescriptorSize = 11;

// Parses a full table of contents of `size` bytes. The descriptor count comes
// from the length field but never exceeds what the bytes hold. False when
// the header itself is missing.
bool parseFullToc(const u8* data, size_t size, CdToc& toc);

// Start of a descriptor's track as a logical block address:
// (minutes * 60 + seconds) * 75 + frames - 150, negative for the lead-in;
// or the block address itself when the descriptor carries one.
i64 tocStartLba(const TocDescriptor& d);

// True for a descriptor of a data track: point 1 to 99, ADR 1, control bit
// 0x4.
bool isDataTrack(const TocDescriptor& d);

// Answers whether an ISO 9660 primary volume descriptor starts the volume
// that begins at the given block (the caller reads 2,048 bytes at
// lba * 2048 + 32768).
using IsoProbe = std::function<bool(u64 lba)>;

// The start block of the last session's ISO 9660 volume, or 0: the data
// tracks are walked from the last descriptor to the first; a start of 0 ends
// the walk with 0, a negative start is skipped, and the first start whose
// probe succeeds is the result.
u64 findLastSessionLba(const CdToc& toc, const IsoProbe& hasIsoVolumeAt);

// True when the 2,048 bytes at `sector` begin an ISO 9660 primary volume
// descriptor (type 1, "CD001").
bool isIsoPrimaryDescriptor(const u8* sector, size_t size);

// Reads the table of contents from an open CD/DVD device: the full table
// through the SCSI generic interface, or, where the drive refuses that, the
// track entries of the CD-ROM interface (block addresses, no session
// numbers). False when neither works.
bool readTocFromDevice(int fd, CdToc& toc);

}  // namespace vorn
