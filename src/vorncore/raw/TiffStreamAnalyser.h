// Recognises TIFF files and the camera-raw formats built on TIFF: checks the
// header, walks the image file directories through their sub-directory
// tags, types the file by maker (Make, Model and a few private tags) and
// takes the largest end of strip data as a lower bound of its size.
//
// Every call is bounded however the directories point: levels 0 to 5, each
// directory walked at most once, at most kMaxDirectories directories,
// kMaxEntriesPerCall entries and kMaxStripsPerCall strip offsets read. All
// offsets are relative to the header; sums and products are 64-bit.
//
// Headers packed at every block over directories that look alike from each
// would still cost the most a call may read at every block. So the calls
// also share a WorkBudget per stretch of the disk: a directory or an entry
// that earlier calls read costs a unit, kStripsPerUnit strip offsets one;
// what no call read before is free. The budget holds one call's worth and
// earns one unit per kBytesPerUnit bytes the scan moves. Each call has
// kFreeUnitsPerCall directory or entry units of its own besides, so that a
// file right after crafted headers that pointed into its first directory
// still reads the tags that type it (they come first: tags are sorted). A
// call that runs out ends its walk there, as at the per-call bounds.
// Nothing else carries over from one call to the next.
#pragma once

#include <string>
#include <vector>

#include "raw/StreamAnalyser.h"
#include "raw/WorkBudget.h"

namespace vorn {

class TiffStreamAnalyser : public StreamAnalyser {
public:
    static constexpr int kMaxLevel = 5;
    static constexpr u32 kMaxEntries = 5000;  // per directory
    static constexpr u32 kMaxStrips = 4194304;  // per strip table
    static constexpr u32 kMaxDirectories = 64;
    static constexpr u32 kMaxEntriesPerCall = 20000;
    // A candidate start costs at most some 256 KiB of strip tables, however
    // many starts a crafted file holds.
    static constexpr u32 kMaxStripsPerCall = 65536;
    static constexpr u32 kStripsPerUnit = 64;
    static constexpr u32 kBytesPerUnit = 128;
    static constexpr u32 kFreeUnitsPerCall = 16;

    explicit TiffStreamAnalyser(RawAnalyser* owner);
    bool analyse(ComfortDataStream* stream, StreamInfo* info) override;

private:
    bool readHeader();
    void walkIFD(int level, u32 ifdOffset, u32 parentTag);
    // The tag's text into text, up to limit bytes; false when unreadable.
    bool readText(u32 value, u32 count, u32 limit);
    // Walks the directory at value, or those of the first `most` offsets of
    // the table at value.
    void walkSubDirectories(int level, u32 tag, u32 value, u32 count, u32 most, const char* line);
    void readStripOffsets(u32 value, u32 count, u32 elementSize);
    u32 decode(const u8* element, u32 elementSize) const;
    bool seekTo(u64 relative);
    // A directory or entry unit on ground that earlier work read: from the
    // call's own units first, then from the budget.
    bool payUnit();

    ComfortDataStream* stream = nullptr;
    char text[129] = {};
    u32 largestStripOffset = 0;
    u32 stripIndex = 0;
    u32 stripByteCount = 0;
    u64 fileSize = 0;
    u64 start = 0;
    std::string mimeType;
    std::string maker;
    u32 imageWidth = 0, imageLength = 0, xResolution = 0, yResolution = 0, resolutionUnit = 0, jpegOffset = 0;
    u32 firstIFDOffset = 0;
    u16 magic = 0;
    bool littleEndian = true;
    std::vector<u32> walked;  // directories walked in this call
    u32 entriesRead = 0, stripsRead = 0, freeUnits = 0;
    WorkBudget budget{"TIFF directories", kMaxEntriesPerCall + kMaxStripsPerCall / kStripsPerUnit, kBytesPerUnit};
};

}  // namespace vorn
