#include "raw/OLE2StreamAnalyser.h"

#include <algorithm>
#include <cstring>

#include "misc/Bytes.h"
#include "misc/Log.h"
#include "raw/ComfortDataStream.h"
#include "raw/StreamInfo.h"

namespace vorn {

namespace {

constexpr u32 kEndOfChain = 0xFFFFFFFE, kFatSector = 0xFFFFFFFD;
constexpr u32 kEntriesPerSector = OLE2StreamAnalyser::kSectorSize / 4;

// Storage names as stored (UTF-16LE, no terminator), in the order tried.
const struct {
    const char* bytes;
    u32 length;
    const char* mime;
} kNames[] = {{"W\0o\0r\0d\0", 8, "application/msword"},
              {"P\0o\0w\0e\0r\0", 10, "application/mspowerpoint"},
              {"P\0P\0" "4\0" "0\0", 8, "application/mspowerpoint"},
              {"W\0o\0r\0k\0b\0", 10, "application/msexcel"},
              {"B\0o\0o\0k\0", 8, "application/msexcel"}};

u64 sectorOffset(u64 start, u32 sector) { return start + OLE2StreamAnalyser::kSectorSize * (u64(sector) + 1); }

}  // namespace

OLE2StreamAnalyser::OLE2StreamAnalyser(RawAnalyser* o) : StreamAnalyser(o) {
    name = "OLE2StreamAnalyser";
    addMimeType("application/ole2", "ole2", "ico_word.png");
    addMimeType("application/msword", "doc", "ico_word.png");
    addMimeType("application/msexcel", "xls", "ico_excel.png");
    addMimeType("application/mspowerpoint", "ppt", "ico_pwrpoint.png");
}

bool OLE2StreamAnalyser::analyse(ComfortDataStream* stream, StreamInfo* info) {
    const u64 start = stream->getPos();
    const u8* p = stream->readPtr(4);
    static const u8 kMagic[] = {0xD0, 0xCF, 0x11, 0xE0};
    if (!p || memcmp(p, kMagic, 4) != 0) return false;
    budget.earn(stream, start);
    VORN_LOG(LOG_DEBUG, "ole2 found");
    stream->seek(static_cast<i64>(start), SEEK_FROM_START);
    info->mimeType = "application/ole2";
    info->analyser = this;
    info->start = start;
    info->endIsMinimum = 0;
    detectSizeAndType(stream, info);
    return true;
}

bool OLE2StreamAnalyser::fatSectors(ComfortDataStream* stream, u64 start, const u8* header, u32 count,
                                    std::vector<u32>& out) {
    out.clear();
    for (u32 i = 0; i < std::min(count, kHeaderFatSectors); ++i) out.push_back(loadLE32(header + 0x4C + 4 * i));
    u32 next = loadLE32(header + 0x44);
    std::vector<u32> visited;
    while (out.size() < count) {
        if (next >= kFatSector || std::find(visited.begin(), visited.end(), next) != visited.end()) return false;
        const u64 at = sectorOffset(start, next);
        if (!budget.spendOn(at, at + kSectorSize)) return false;
        visited.push_back(next);
        const u8* difat = stream->readPtrAt(at, kSectorSize);
        if (!difat) return false;
        for (u32 i = 0; i < kEntriesPerSector - 1 && out.size() < count; ++i) out.push_back(loadLE32(difat + 4 * i));
        next = loadLE32(difat + kSectorSize - 4);
    }
    return true;
}

void OLE2StreamAnalyser::detectSizeAndType(ComfortDataStream* stream, StreamInfo* info) {
    const u64 start = info->start;
    const u8* p = stream->readPtrAt(start, kHeaderSize);
    if (!p) return;
    u8 header[kHeaderSize];
    memcpy(header, p, kHeaderSize);  // the stream's buffer serves the next read
    const u32 count = loadLE32(header + 0x2C);
    if (count > kMaxFatSectors) return;
    std::vector<u32> sectors;
    if (!fatSectors(stream, start, header, count, sectors)) return;
    // The FAT sectors that earlier work read (also in this call) are paid
    // for; the others are free.
    u64 paid = 0;
    for (const u32 sector : sectors) {
        const u64 at = sectorOffset(start, sector);
        if (budget.overlapsCovered(at, at + kSectorSize)) {
            ++paid;
        } else {
            budget.cover(at, at + kSectorSize);
        }
    }
    if (!budget.take(paid)) return;
    const u64 limit = u64(count) * kEntriesPerSector;
    u64 highest = 0;
    for (u32 i = 0; i < count; ++i) {
        const u8* fat = stream->readPtrAt(sectorOffset(start, sectors[i]), kSectorSize);
        if (!fat) return;  // the size cannot be known
        for (u32 j = 0; j < kEntriesPerSector; ++j) {
            const u32 value = loadLE32(fat + 4 * j);
            const u64 g = u64(i) * kEntriesPerSector + j;
            if (value < limit) highest = std::max({highest, u64(value), g});
            if (value == kEndOfChain || value == kFatSector) highest = std::max(highest, g);
        }
    }
    const u64 size = highest * kSectorSize + 2 * kSectorSize;
    if (size > stream->getSize() - start) return;  // ends past the disk: no end, and no names to read
    if (const char* mime = typeByNames(stream, start, size)) info->mimeType = mime;
    info->end = start + size - 1;
}

const char* OLE2StreamAnalyser::typeByNames(ComfortDataStream* stream, u64 start, u64 size) {
    constexpr u32 kWindow = 65536;  // a multiple of the 32 bytes stepped
    for (u64 ofs = 0; ofs < size; ofs += kWindow) {
        const u32 n = static_cast<u32>(std::min<u64>(kWindow, size - ofs));
        const u8* p = stream->readPtrAt(start + ofs, n);
        if (!p) return nullptr;  // an unreadable window ends the scan
        for (u32 at = 0; at + 32 <= n; at += 32) {
            if (p[at + 1] != 0) continue;  // every name is UTF-16LE
            for (const auto& storage : kNames) {
                if (!memcmp(p + at, storage.bytes, storage.length)) return storage.mime;
            }
        }
    }
    return nullptr;
}

}  // namespace vorn
