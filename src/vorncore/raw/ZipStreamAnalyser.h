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
// central directory is not searched over and over; likewise the type that
// the last directory's names gave.
#pragma once

#include <string>

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

private:
    // Walks the central-directory headers at ofs and the end records after
    // them; the archive size when the end record names this directory at
    // start, 0 otherwise.
    u64 sizeFromCentralDirectory(ComfortDataStream* stream, u64 start, u64 ofs);

    // The last search: no signature in [searchFrom, searchTo) except the
    // one at searchFound (when searchHit).
    DataStream* searchStream = nullptr;
    u64 searchFrom = 0, searchTo = 0, searchFound = 0;
    bool searchHit = false;
    // The type given by the names of the directory at namesDirectory.
    DataStream* namesStream = nullptr;
    u64 namesDirectory = 0;
    std::string namesMime;
};

}  // namespace vorn
