// Recognises compound documents (OLE2 structured storage: word-processor,
// spreadsheet and presentation files), takes the file's size from its
// sector allocation table (FAT) and its type from the storage names in it.
//
// Sectors are 512 bytes, sector n at file offset 512 + 512 n. The header
// names the first 109 FAT sectors; the others come from the DIFAT chain,
// followed at most as far as the FAT count needs and never through a sector
// twice. A FAT count above kMaxFatSectors, a FAT sector or DIFAT sector that
// cannot be read, or a size past the disk's end leave the find without an
// end. Offsets are 64-bit.
//
// Headers at every block whose files end past the disk's end (so that the
// scan cannot jump past them) would each read up to kMaxFatSectors sectors:
// the calls share a WorkBudget per stretch of the disk instead, of a FAT or
// DIFAT sector for every kBytesPerFatSector bytes the scan moves (a sound
// file holds one FAT sector for every 64 KiB), holding two files' worth.
// Only a sector that earlier work read costs a unit. A header whose sectors
// the budget cannot pay for gets no end.
#pragma once

#include <vector>

#include "raw/StreamAnalyser.h"
#include "raw/WorkBudget.h"

namespace vorn {

class OLE2StreamAnalyser : public StreamAnalyser {
public:
    static constexpr u32 kHeaderSize = 512;
    static constexpr u32 kSectorSize = 512;
    static constexpr u32 kHeaderFatSectors = 109;
    static constexpr u32 kMaxFatSectors = 256;
    static constexpr u32 kBytesPerFatSector = 4096;

    explicit OLE2StreamAnalyser(RawAnalyser* owner);
    bool analyse(ComfortDataStream* stream, StreamInfo* info) override;

private:
    void detectSizeAndType(ComfortDataStream* stream, StreamInfo* info);
    // The FAT sector numbers: from the header, then the DIFAT chain; false
    // when they cannot all be read.
    bool fatSectors(ComfortDataStream* stream, u64 start, const u8* header, u32 count, std::vector<u32>& out);
    // The type named by the first storage name in [start, start + size).
    const char* typeByNames(ComfortDataStream* stream, u64 start, u64 size);

    WorkBudget budget{"compound-document FAT sectors", 2 * kMaxFatSectors, kBytesPerFatSector};
};

}  // namespace vorn
