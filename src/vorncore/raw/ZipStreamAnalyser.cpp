#include "raw/ZipStreamAnalyser.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "misc/Bytes.h"
#include "misc/Log.h"
#include "misc/Utils.h"
#include "raw/ComfortDataStream.h"
#include "raw/StreamInfo.h"

namespace vorn {

namespace {

constexpr u32 kLocalSig = 0x04034B50, kCentralSig = 0x02014B50, kEndSig = 0x06054B50, kDescriptorSig = 0x08074B50,
              kEnd64Sig = 0x06064B50, kLocator64Sig = 0x07064B50;
constexpr u32 kLocalSize = 30, kCentralSize = 46, kEndSize = 22, kEnd64Size = 56, kLocator64Size = 20;

// Entry name (lower case) -> document type; the last match decides.
const struct {
    const char* name;
    const char* mime;
} kDocumentNames[] = {{"word/document.xml", "application/zip-msword"},
                      {"ppt/presentation.xml", "application/zip-mspowerpoint"},
                      {"xl/workbook.xml", "application/zip-msexcel"}};

// The row of kDocumentNames (from 1) that a central-directory entry's name
// matches; 0 for none.
u8 documentRow(ComfortDataStream* stream, u64 name, u16 nameLength) {
    const u8* p = nameLength ? stream->readPtrAt(name, nameLength) : nullptr;
    if (!p) return 0;
    const std::string entry(reinterpret_cast<const char*>(p), nameLength);
    VORN_LOG(LOG_DEBUG, "zip entry: %s\n", entry.c_str());
    for (u8 row = 0; row < std::size(kDocumentNames); ++row) {
        const char* document = kDocumentNames[row].name;
        if (entry.size() == strlen(document) && toLower(entry) == document) return row + 1;
    }
    return 0;
}

}  // namespace

ZipStreamAnalyser::ZipStreamAnalyser(RawAnalyser* o) : StreamAnalyser(o) {
    name = "ZipStreamAnalyser";
    addMimeType("application/zip-compressed", "zip", "ico_zip.png");
    addMimeType("application/zip-msword", "docx", "ico_word.png");
    addMimeType("application/zip-msexcel", "xlsx", "ico_excel.png");
    addMimeType("application/zip-mspowerpoint", "pptx", "ico_pwrpoint.png");
}

bool ZipStreamAnalyser::analyse(ComfortDataStream* stream, StreamInfo* info) {
    const u64 start = stream->getPos();
    const u8* p = stream->readPtr(4);
    if (!p || loadLE32(p) != kLocalSig) return false;
    stream->setLittleEndian(1);
    VORN_LOG(LOG_DEBUG, "zip found\n");
    info->mimeType = "application/zip-compressed";
    info->analyser = this;
    info->start = start;
    info->endIsMinimum = 0;

    u64 directory = 0;
    const bool haveDirectory = findCentralDirectory(stream, start + 4, directory);
    if (haveDirectory) {
        VORN_LOG(LOG_DEBUG, "central dir signature found\n");
        const Central central = walkCentral(stream, start, directory, foundDirectoryWalk, true);
        if (central.documentMime) info->mimeType = central.documentMime;
    }
    const u64 size = getZipSize(stream, start, directory, haveDirectory);
    stream->seek(static_cast<i64>(start), SEEK_FROM_START);
    info->end = size ? start + size - 1 : 0;
    return true;
}

bool ZipStreamAnalyser::findCentralDirectory(ComfortDataStream* stream, u64 from, u64& found) {
    const u64 size = stream->getSize();
    const u64 limit = std::min(size, from + maxStreamSize);
    u64 pos = from;
    const bool known = stream == searchStream && from >= searchFrom && from <= searchTo;
    if (known && searchHit && searchFound >= from) {
        found = searchFound;
        return found - from < maxStreamSize;
    }
    if (known && !searchHit) {
        pos = searchTo;  // nothing starts in [from, searchTo)
    } else {
        searchStream = stream;
        searchFrom = searchTo = from;
        searchHit = false;
    }
    static const u8 kSig[] = {'P', 'K', 1, 2};
    while (pos < limit && size - pos >= 4) {
        const u32 n = static_cast<u32>(std::min<u64>(kWindow, size - pos));
        const u8* p = stream->readPtrAt(pos, n);
        if (!p) break;  // an unreadable window ends the search
        if (const u8* hit = findBytes(p, kSig, n, 4)) {
            found = searchFound = searchTo = pos + static_cast<u64>(hit - p);
            searchHit = true;
            return found - from < maxStreamSize;
        }
        // The last 3 bytes start the next window, so that a signature
        // across two windows is found; at the disk end every start is done.
        pos = n == size - pos ? size : pos + n - 3;
        searchTo = pos;
    }
    return false;
}

u64 ZipStreamAnalyser::getZipSize(ComfortDataStream* stream, u64 start, u64 directory, bool haveDirectory) {
    const ChainWalk::Result locals = localWalk.walk(stream, start, [&](u64 pos, u8&) -> u64 {
        const u8* p = stream->readPtrAt(pos, kLocalSize);
        if (!p || loadLE32(p) != kLocalSig) return 0;
        const u16 flags = loadLE16(p + 6);
        const u32 compressed = loadLE32(p + 18);
        if ((flags & 8) && compressed == 0) return 0;  // sizes in a data descriptor: the walk ends here
        u64 next = pos + kLocalSize + u64(compressed) + loadLE16(p + 26) + loadLE16(p + 28);
        if (flags & 8) {
            const u8* d = stream->readPtrAt(next, 4);
            next += d && loadLE32(d) == kDescriptorSig ? 16 : 12;
        }
        return next;
    });
    if (locals.cut) return 0;
    if (locals.frontier - start <= maxStreamSize) {
        const u8* p = stream->readPtrAt(locals.frontier, kLocalSize);
        if (p && loadLE32(p) == kLocalSig) {
            // A data descriptor follows data of unknown length: only the
            // central directory and the end record can tell the size.
            if (!haveDirectory) return 0;
            const Central central = walkCentral(stream, start, directory, foundDirectoryWalk, true);
            if (central.cut || !central.haveEnd || central.directoryOffset != directory - start ||
                central.directorySize != central.walkedSize) {
                return 0;
            }
            return central.end - start;
        }
    }
    const Central central = walkCentral(stream, start, locals.frontier, trailingDirectoryWalk, false);
    return central.cut ? 0 : central.end - start;
}

ZipStreamAnalyser::Central ZipStreamAnalyser::walkCentral(ComfortDataStream* stream, u64 candidate, u64 ofs,
                                                          ChainWalk& walk, bool names) {
    // The mark of a record is the document type its name gives.
    const ChainWalk::Result records = walk.walk(stream, candidate, ofs, [&](u64 pos, u8& mark) -> u64 {
        const u8* p = stream->readPtrAt(pos, kCentralSize);
        if (!p || loadLE32(p) != kCentralSig) return 0;
        const u16 nameLength = loadLE16(p + 28);
        const u64 next = pos + kCentralSize + nameLength + loadLE16(p + 30) + loadLE16(p + 32);
        if (names) mark = documentRow(stream, pos + kCentralSize, nameLength);
        return next;
    });
    Central result;
    result.cut = records.cut;
    u64 pos = result.end = records.frontier;
    if (records.cut || records.count == 0) return result;  // no central directory here
    if (records.mark) result.documentMime = kDocumentNames[records.mark - 1].mime;
    const u64 directorySize = result.walkedSize = pos - ofs;
    u64 offset64 = ~u64(0), size64 = ~u64(0);
    if (const u8* p = stream->readPtrAt(pos, kEnd64Size); p && loadLE32(p) == kEnd64Sig) {
        size64 = loadLE64(p + 40);
        offset64 = loadLE64(p + 48);
        pos += 12 + loadLE64(p + 4);
        if (const u8* q = stream->readPtrAt(pos, kLocator64Size); q && loadLE32(q) == kLocator64Sig) pos += kLocator64Size;
    }
    const u8* p = stream->readPtrAt(pos, kEndSize);
    if (!p || loadLE32(p) != kEndSig) {
        result.end = ofs + directorySize;
        return result;
    }
    result.haveEnd = true;
    result.end = pos + kEndSize + loadLE16(p + 20);
    result.directorySize = loadLE32(p + 12) == 0xFFFFFFFF ? size64 : loadLE32(p + 12);
    result.directoryOffset = loadLE32(p + 16) == 0xFFFFFFFF ? offset64 : loadLE32(p + 16);
    return result;
}

}  // namespace vorn
