#include "raw/TiffStreamAnalyser.h"

#include <algorithm>
#include <cstring>

#include "misc/Bytes.h"
#include "misc/Log.h"
#include "misc/Utils.h"
#include "raw/ComfortDataStream.h"
#include "raw/StreamInfo.h"

namespace vorn {

namespace {

enum Tag : u32 {
    kImageWidth = 256,
    kImageLength = 257,
    kImageDescription = 270,
    kMake = 271,
    kModel = 272,
    kStripOffsets = 273,
    kRowsPerStrip = 278,
    kStripByteCounts = 279,
    kXResolution = 282,
    kYResolution = 283,
    kResolutionUnit = 296,
    kSoftware = 305,
    kDateTime = 306,
    kArtist = 315,
    kHostComputer = 316,
    kTileWidth = 322,
    kTileLength = 323,
    kTileOffsets = 324,
    kTileByteCounts = 325,
    kSubIFDs = 330,
    kJpegInterchange = 513,
    kXmp = 700,
    kCopyright = 33432,
    kLeafPrivate = 34310,
    kExifIFD = 34665,
    kGpsIFD = 34853,
    kMakerNote = 37500,
    kInteropIFD = 40965,
    kDngVersion = 50706,
};

const char* const kTypeNames[] = {"unknown", "BYTE",  "ASCII",     "SHORT", "LONG",   "RATIONAL", "SBYTE",
                                  "UNDEF",   "SSHORT", "SLONG",    "SRATIONAL", "FLOAT", "DOUBLE", "IFD"};
const u8 kElementSizes[] = {1, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};

// Make text (lower case) -> type, first match wins.
const struct {
    const char* prefix;
    const char* mime;
} kMakers[] = {{"mamiya", "image/mef"}, {"sony", "image/arw"},        {"olympus", "image/orf"},
               {"nikon", "image/nef"},  {"kodak", "image/kdc"},       {"phase one", "image/phaseone"},
               {"canon", "image/cr2"},  {"sinar", "image/sti"},       {"hasselblad", "image/3fr"}};

}  // namespace

TiffStreamAnalyser::TiffStreamAnalyser(RawAnalyser* o) : StreamAnalyser(o) {
    name = "TIFFStreamAnalyser";
    addMimeType("image/tiff", "tif", "photoicon.gif");
    addMimeType("image/mef", "mef", "ico_mamiya.gif");
    addMimeType("image/orf", "orf", "ico_olympus.png");
    addMimeType("image/nef", "nef", "ico_nikon.png");
    addMimeType("image/kdc", "kdc", "ico_kodak.png");
    addMimeType("image/cr2", "cr2", "ico_canon.png");
    addMimeType("image/dcr", "dcr", "ico_kodak.png");
    addMimeType("image/phaseone", "tif", "ico_phaseone.png");
    addMimeType("image/mos", "mos", "ico_leaf.png");
    addMimeType("image/dng", "dng", "ico_adobe.png");
    addMimeType("image/dcs", "dcs", "ico_kodak.png");
    addMimeType("image/sti", "sti", "ico_sinar.png");
    addMimeType("image/3fr", "3fr", "ico_hasselblad.gif");
    addMimeType("image/arw", "arw", "ico_sony.gif");
}

bool TiffStreamAnalyser::seekTo(u64 relative) {
    const u64 target = start + relative;
    return target < stream->getSize() && stream->seek(static_cast<i64>(target), SEEK_FROM_START);
}

bool TiffStreamAnalyser::readHeader() {
    start = stream->getPos();
    const u8* order = stream->readPtr(2);
    if (!order) return false;
    if (order[0] == 'M' && order[1] == 'M') {
        VORN_LOG(LOG_DEBUG, "TIFF Big Endian\n");
        littleEndian = false;
    } else if (order[0] == 'I' && order[1] == 'I') {
        VORN_LOG(LOG_DEBUG, "TIFF Little Endian\n");
        littleEndian = true;
    } else {
        return false;
    }
    stream->setLittleEndian(littleEndian);
    magic = stream->readU16();
    VORN_LOG(LOG_DEBUG, "TIFF header ok\n");
    if (magic == 21330) VORN_LOG(LOG_DEBUG, "ORF magic found\n");
    firstIFDOffset = stream->readU32();
    largestStripOffset = stripIndex = stripByteCount = 0;
    fileSize = 0;
    imageWidth = imageLength = xResolution = yResolution = resolutionUnit = jpegOffset = 0;
    text[0] = 0;
    mimeType = "image/tiff";
    walked.clear();
    entriesRead = stripsRead = 0;
    freeUnits = kFreeUnitsPerCall;
    return true;
}

bool TiffStreamAnalyser::analyse(ComfortDataStream* s, StreamInfo* info) {
    stream = s;
    const bool found = readHeader();
    if (found) {
        budget.earn(s, start);
        maker.clear();
        walkIFD(0, firstIFDOffset, 0);
    }
    stream->setLittleEndian(1);  // the stream is shared: leave it as it was made
    if (!found) return false;
    if (magic != 42 && !startsWith(maker, "olympus")) {
        VORN_LOG(LOG_DEBUG, "bad TIFF magic\n");
        return false;
    }
    info->mimeType = mimeType;
    info->start = start;
    info->analyser = this;
    if (fileSize != 0) {
        info->end = start + fileSize - 1;
        info->endIsMinimum = 1;
    }
    return true;
}

bool TiffStreamAnalyser::readText(u32 value, u32 count, u32 limit) {
    const u32 n = std::min(count, limit);
    stream->push();
    const u8* p = seekTo(value) ? stream->readPtr(n) : nullptr;
    if (p) {
        memcpy(text, p, n);
        text[n] = 0;
    }
    stream->pop();
    return p != nullptr;
}

// One element of a table: 8-byte elements by their first four bytes.
u32 TiffStreamAnalyser::decode(const u8* e, u32 elementSize) const {
    if (elementSize == 1) return e[0];
    if (elementSize == 2) return littleEndian ? loadLE16(e) : loadBE16(e);
    return littleEndian ? loadLE32(e) : loadBE32(e);
}

void TiffStreamAnalyser::readStripOffsets(u32 value, u32 count, u32 elementSize) {
    stream->push();
    if (seekTo(value)) {
        VORN_LOG(LOG_DEBUG, "len=%d\n", static_cast<int>(count));
        if (count > kMaxStrips) {
            VORN_LOG(LOG_DEBUG, "truncating!\n");
            count = kMaxStrips;
        }
        count = std::min(count, kMaxStripsPerCall - stripsRead);
        // A table that earlier work read is paid for, as far as the units go.
        const u64 at = start + value;
        if (budget.overlapsCovered(at, at + u64(count) * elementSize) &&
            !budget.take((count + kStripsPerUnit - 1) / kStripsPerUnit)) {
            count = static_cast<u32>(std::min<u64>(count, budget.left() * kStripsPerUnit));
            budget.take(count / kStripsPerUnit);
        }
        budget.cover(at, at + u64(count) * elementSize);
        stripsRead += count;
        // In windows of whole elements; a window that cannot be read ends
        // the table (the disk ends or a block is bad).
        constexpr u32 kWindow = 4096;
        for (u32 i = 0; i < count;) {
            const u32 n = std::min(count - i, kWindow / elementSize);
            const u8* p = stream->readPtr(n * elementSize);
            if (!p) break;
            for (u32 k = 0; k < n; ++k, ++i) {
                const u32 offset = decode(p + u64(k) * elementSize, elementSize);
                if (offset > largestStripOffset) {
                    largestStripOffset = offset;
                    stripIndex = i;
                }
            }
        }
    }
    stream->pop();
}

void TiffStreamAnalyser::walkSubDirectories(int level, u32 tag, u32 value, u32 count, u32 most, const char* line) {
    stream->push();
    if (count == 1) {
        walkIFD(level + 1, value, tag);
    } else if (seekTo(value)) {
        const u32 n = std::min(count, most);
        u32 offsets[10];
        for (u32 i = 0; i < n; ++i) offsets[i] = stream->readU32();
        for (u32 i = 0; i < n; ++i) {
            VORN_LOG(LOG_DEBUG, line, static_cast<int>(offsets[i]));
            walkIFD(level + 1, offsets[i], tag);
        }
    }
    stream->pop();
}

bool TiffStreamAnalyser::payUnit() {
    if (freeUnits == 0) return budget.spend();
    --freeUnits;
    return true;
}

void TiffStreamAnalyser::walkIFD(int level, u32 ifdOffset, u32 parentTag) {
    if (level > kMaxLevel) {
        VORN_LOG(LOG_DEBUG, "warning: level too high: %d\n", level);
        return;
    }
    VORN_LOG(LOG_DEBUG, "-------------------------------------\n");
    if (ifdOffset == 0) return;
    if (std::find(walked.begin(), walked.end(), ifdOffset) != walked.end()) return;  // a cycle
    if (walked.size() >= kMaxDirectories || entriesRead >= kMaxEntriesPerCall) return;
    walked.push_back(ifdOffset);
    VORN_LOG(LOG_DEBUG, "ifdcounter: %d, level: %d, ifdofs: %d\n", 0, level, static_cast<int>(ifdOffset));
    if (!seekTo(ifdOffset)) {
        VORN_LOG(LOG_DEBUG, "error: could not seek to ifdofs=%d\n", static_cast<int>(ifdOffset));
        return;
    }
    const u32 entries = stream->readU16();
    if (entries > kMaxEntries) {
        VORN_LOG(LOG_DEBUG, "warning: entries too high: %d -truncating\n", static_cast<int>(entries));
        return;
    }
    // A directory that earlier work read costs a unit and so does each of
    // its entries; one on new ground is free.
    const u64 at = start + ifdOffset;
    const bool paid = budget.overlapsCovered(at, at + 6 + 12 * u64(entries));
    if (paid && !payUnit()) return;
    budget.cover(at, at + 6 + 12 * u64(entries));
    for (u32 i = 1; i <= entries && entriesRead < kMaxEntriesPerCall && (!paid || payUnit()); ++i, ++entriesRead) {
        const u32 tag = stream->readU16();
        const u32 type = stream->readU16();
        const u32 count = stream->readU32();
        if (count == 0) {
            VORN_LOG(LOG_DEBUG, "WARNING: len <= 0: %d\n", 0);
            break;
        }
        const u32 known = type < std::size(kTypeNames) ? type : 0;
        const u32 elementSize = kElementSizes[known];
        const u64 tagSize = u64(count) * elementSize;
        u32 value;
        if (tagSize > 4 || (type != 3 && type != 8)) {
            value = stream->readU32();
        } else {
            value = stream->readU16();
            stream->readU16();
        }
        if (logEnabled(LOG_DEBUG)) {
            const std::string typeName = std::string(kTypeNames[known]) + (tagSize > 4 ? "/ofs" : "");
            log(LOG_DEBUG, "%d/%d, level %d, tag %d, type %d (%s), count %d, valueofs %d, tagsz %d\n",
                static_cast<int>(i), static_cast<int>(entries), level, static_cast<int>(tag), static_cast<int>(type),
                typeName.c_str(), static_cast<int>(count), static_cast<int>(value), static_cast<int>(tagSize));
        }
        switch (tag) {
            case kImageWidth:
                imageWidth = value;
                VORN_LOG(LOG_DEBUG, "image width: %d\n", static_cast<int>(value));
                break;
            case kImageLength:
                imageLength = value;
                VORN_LOG(LOG_DEBUG, "image length: %d\n", static_cast<int>(value));
                break;
            case kImageDescription:
            case kSoftware:
            case kDateTime:
            case kArtist:
            case kHostComputer:
            case kCopyright: {
                const char* line = tag == kImageDescription ? "Image Description\n"
                                   : tag == kSoftware       ? "Software\n"
                                   : tag == kDateTime       ? "DateTime\n"
                                   : tag == kArtist         ? "Artist\n"
                                   : tag == kHostComputer   ? "Host computer\n"
                                                            : "Copyright\n";
                VORN_LOG(LOG_DEBUG, "%s", line);
                const u32 limit = tag == kImageDescription || tag == kArtist ? 128 : 64;
                if (logEnabled(LOG_DEBUG) && readText(value, count, limit)) log(LOG_DEBUG, "%s\n", text);
                break;
            }
            case kMake:
                VORN_LOG(LOG_DEBUG, "Maker\n");
                if (readText(value, count, 32)) {
                    maker = toLower(text);
                    VORN_LOG(LOG_DEBUG, "%s\n", maker.c_str());
                    for (const auto& rule : kMakers) {
                        if (startsWith(maker, rule.prefix)) {
                            mimeType = rule.mime;
                            break;
                        }
                    }
                }
                break;
            case kModel:
                VORN_LOG(LOG_DEBUG, "Model\n");
                if (readText(value, count, 32)) {
                    const std::string model = toLower(text);
                    VORN_LOG(LOG_DEBUG, "%s\n", model.c_str());
                    if (startsWith(model, "dcs")) mimeType = "image/dcs";
                }
                break;
            case kStripOffsets:
                VORN_LOG(LOG_DEBUG, "Strip offset\n");
                if (count == 1) {
                    largestStripOffset = value;
                } else {
                    readStripOffsets(value, count, elementSize);
                }
                break;
            case kRowsPerStrip:
                VORN_LOG(LOG_DEBUG, "rows per strip: %d\n", static_cast<int>(value));
                break;
            case kStripByteCounts:
                VORN_LOG(LOG_DEBUG, "Strip byte counts\n");
                if (count == 1) {
                    stripByteCount = value;
                } else {
                    stream->push();
                    VORN_LOG(LOG_DEBUG, "len=%d\n", static_cast<int>(count));
                    const u8* p = seekTo(u64(value) + u64(stripIndex) * elementSize) ? stream->readPtr(elementSize) : nullptr;
                    stripByteCount = p ? decode(p, elementSize) : 0;
                    stream->pop();
                }
                if (largestStripOffset != 0 && stripByteCount != 0 &&
                    u64(largestStripOffset) + stripByteCount > fileSize) {
                    fileSize = u64(largestStripOffset) + stripByteCount;
                    VORN_LOG(LOG_DEBUG, "new file size: %lld\n", static_cast<long long>(fileSize));
                }
                break;
            case kXResolution:
                xResolution = value;
                VORN_LOG(LOG_DEBUG, "XResolution: %d\n", static_cast<int>(value));
                break;
            case kYResolution:
                yResolution = value;
                VORN_LOG(LOG_DEBUG, "YResolution: %d\n", static_cast<int>(value));
                break;
            case kResolutionUnit:
                resolutionUnit = value;
                VORN_LOG(LOG_DEBUG, "resolution unit: %d\n", static_cast<int>(value));
                break;
            case kTileWidth:
                VORN_LOG(LOG_DEBUG, "tile width: %d\n", static_cast<int>(value));
                break;
            case kTileLength:
                VORN_LOG(LOG_DEBUG, "tile length: %d\n", static_cast<int>(value));
                break;
            case kTileOffsets:
                VORN_LOG(LOG_DEBUG, "tile offsets: %d\n", static_cast<int>(value));
                break;
            case kTileByteCounts:
                VORN_LOG(LOG_DEBUG, "tile byte counts: %d\n", static_cast<int>(value));
                break;
            case kSubIFDs:
                VORN_LOG(LOG_DEBUG, "SubIFD\n");
                walkSubDirectories(level, tag, value, count, 10, " next SubIFD offset: %d\n");
                break;
            case kJpegInterchange:
                VORN_LOG(LOG_DEBUG, "JPEG interchange format\n");
                jpegOffset = value;
                break;
            case kXmp:
                if (level == 0) {
                    VORN_LOG(LOG_DEBUG, "xmp meta tag found, val=%d len=%d\n", static_cast<int>(value),
                             static_cast<int>(count));
                }
                break;
            case kLeafPrivate:
                VORN_LOG(LOG_DEBUG, "Leaf SubIFD proprietary format\n");
                mimeType = "image/mos";
                break;
            case kExifIFD:
                VORN_LOG(LOG_DEBUG, "Exif SubIFD\n");
                walkSubDirectories(level, tag, value, count, 2, " next Exif SubIFD: %d\n");
                break;
            case kGpsIFD:
            case kInteropIFD:
            case kMakerNote:
                VORN_LOG(LOG_DEBUG, "%s", tag == kGpsIFD       ? "GPS Info IFD\n"
                                          : tag == kInteropIFD ? "Interoperability IFD\n"
                                                               : "Canon Maker Note SubIFD\n");
                if (tag != kMakerNote || parentTag == kExifIFD) walkSubDirectories(level, tag, value, 1, 1, "");
                break;
            case kDngVersion:
                VORN_LOG(LOG_DEBUG, "special DNG file tag found\n");
                mimeType = "image/dng";
                break;
            default:
                break;
        }
        // The next entry, wherever the tag's excursion left the stream.
        if (!seekTo(u64(ifdOffset) + 2 + u64(i) * 12)) break;
    }
    VORN_LOG(LOG_DEBUG, "------------------\n");
}

}  // namespace vorn
