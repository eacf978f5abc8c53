// Recognises ZIP archives, tells Office Open XML documents (word
// processing, spreadsheet, presentation) from other archives by the entry
// names of the central directory, and sizes the archive from its headers.
//
// Local headers are walked for the size. When an entry's data is followed
// by a data descriptor (sizes 0 in its local header, as written by archivers
// on a pipe or a non-seekable stream) the local walk cannot go on: the size
// then comes from the central directory and the end record, accepted only
// when the two agree; when they do not, no end is reported.
//
// The central directory is searched with a byte search in windows of
// kWindow bytes, bounded by maxStreamSize. The last search's outcome is
// kept: a later candidate start inside the range already searched gets its
// answer without reading again, so a disk full of local headers without a
// central directory is not searched over and over. Likewise the walks of
// local headers and of central-directory records are remembered (ChainWalk):
// a start on a header of the last walk, as at every block of a run of
// headers whose archive ends past the disk's end, or of a run of entries
// running to one long central directory, goes on from where that walk
// stopped instead of walking the same headers again. A walk cut short by
// the scan's budget gives no end.
#pragma once

#include "raw/ChainWalk.h"
#include "raw/StreamAnalyser.h"

namespace vorn {

class DataStream;

class ZipStreamAnalyser : public StreamAnalyser {
public:
    static constexpr u32 kWindow = 65536;

    explicit ZipStreamAnalyser(RawAnalyser* owner);
    bool analyse(ComfortDataStream* stream, StreamInfo* info) override;

    // Absolute offset of the first central-directory header at or after
    // from, within maxStreamSize bytes; false when there is none.
    bool findCentralDirectory(ComfortDataStream* stream, u64 from, u64& found);
    // The archive's size counted from start; 0 when its end is not known.
    u64 getZipSize(ComfortDataStream* stream, u64 start, u64 centralDirectory, bool haveCentralDirectory);

    // The central directory at an offset and the end records after it.
    struct Central {
        u64 end = 0;  // offset of the byte after the last record read
        bool haveEnd = false;
        u64 directoryOffset = 0, directorySize = 0;  // as the end record states them
        u64 walkedSize = 0;                          // as the headers add up
        const char* documentMime = nullptr;          // the last document type its entry names give
        bool cut = false;                            // the walk was cut short: nothing is known
    };

private:
    // Walks the central-directory records at ofs, for the candidate start at
    // `candidate`, with the walk given (the one from the search's find, or
    // the one from where local headers end) and reads the end records after
    // them; names: type the entries.
    Central walkCentral(ComfortDataStream* stream, u64 candidate, u64 ofs, ChainWalk& walk, bool names);

    // The last search: no signature in [searchFrom, searchTo) except the
    // one at searchFound (when searchHit).
    DataStream* searchStream = nullptr;
    u64 searchFrom = 0, searchTo = 0, searchFound = 0;
    bool searchHit = false;
    ChainWalk localWalk{"ZIP local headers", 30, maxStreamSize + 1};
    ChainWalk foundDirectoryWalk{"ZIP central directories", 46, maxStreamSize};
    ChainWalk trailingDirectoryWalk{"ZIP central directories", 46, maxStreamSize};
};

}  // namespace vorn
