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

// The central directory at ofs and the end records after it.
struct CentralEnd {
    u64 end = 0;  // offset of the byte after the last record read
    bool haveEnd = false;
    u64 directoryOffset = 0, directorySize = 0;  // as the end record states them
    u64 walkedSize = 0;                          // as the headers add up
};

CentralEnd walkCentral(ComfortDataStream* stream, u64 ofs, u64 limit) {
    CentralEnd result;
    u64 pos = ofs;
    while (pos - ofs < limit) {
        const u8* p = stream->readPtrAt(pos, kCentralSize);
        if (!p || loadLE32(p) != kCentralSig) break;
        pos += kCentralSize + u64(loadLE16(p + 28)) + loadLE16(p + 30) + loadLE16(p + 32);
    }
    result.end = pos;
    if (pos == ofs) return result;  // no central directory here
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
    if (haveDirectory && stream == namesStream && directory == namesDirectory) {
        info->mimeType = namesMime;  // the names of this directory were read for an earlier start
    } else if (haveDirectory) {
        VORN_LOG(LOG_DEBUG, "central dir signature found\n");
        for (u64 pos = directory; pos - directory < maxStreamSize;) {
            const u8* h = stream->readPtrAt(pos, kCentralSize);
            if (!h || loadLE32(h) != kCentralSig) break;
            const u16 nameLength = loadLE16(h + 28);
            const u64 next = pos + kCentralSize + nameLength + loadLE16(h + 30) + loadLE16(h + 32);
            const u8* name = nameLength ? stream->readPtrAt(pos + kCentralSize, nameLength) : nullptr;
            if (name) {
                const std::string entry(reinterpret_cast<const char*>(name), nameLength);
                VORN_LOG(LOG_DEBUG, "zip entry: %s\n", entry.c_str());
                for (const auto& document : kDocumentNames) {
                    if (entry.size() == strlen(document.name) && toLower(entry) == document.name) {
                        info->mimeType = document.mime;
                    }
                }
            }
            pos = next;
        }
        namesStream = stream, namesDirectory = directory, namesMime = info->mimeType;
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
    u64 total = 0;
    while (total <= maxStreamSize) {
        const u8* p = stream->readPtrAt(start + total, kLocalSize);
        if (!p || loadLE32(p) != kLocalSig) break;
        const u16 flags = loadLE16(p + 6);
        const u32 compressed = loadLE32(p + 18);
        if ((flags & 8) && compressed == 0) {
            // A data descriptor follows data of unknown length: only the
            // central directory and the end record can tell the size.
            if (!haveDirectory) return 0;
            const CentralEnd central = walkCentral(stream, directory, maxStreamSize);
            if (!central.haveEnd || central.directoryOffset != directory - start ||
                central.directorySize != central.walkedSize) {
                return 0;
            }
            return central.end - start;
        }
        total += kLocalSize + u64(compressed) + loadLE16(p + 26) + loadLE16(p + 28);
        if (flags & 8) {
            const u8* d = stream->readPtrAt(start + total, 4);
            total += d && loadLE32(d) == kDescriptorSig ? 16 : 12;
        }
    }
    const CentralEnd central = walkCentral(stream, start + total, maxStreamSize);
    return central.end - start;
}

}  // namespace vorn
