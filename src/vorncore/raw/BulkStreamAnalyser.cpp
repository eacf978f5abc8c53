#include "raw/BulkStreamAnalyser.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "misc/Log.h"
#include "misc/Utils.h"
#include "misc/Bytes.h"
#include "raw/ComfortDataStream.h"
#include "raw/RawAnalyser.h"
#include "raw/StreamInfo.h"

namespace vorn {

Signature::Signature(const std::string& m, const std::string& e, const char* p1, i16 o1) : ext(e), mime(m) {
    const char* texts[kSlots] = {p1, nullptr, nullptr};
    const i16 offsets[kSlots] = {o1, kEmptySlot, kEmptySlot};
    init(texts, offsets);
}

Signature::Signature(const std::string& m, const std::string& e, const char* p1, i16 o1, const char* p2, i16 o2)
    : ext(e), mime(m) {
    const char* texts[kSlots] = {p1, p2, nullptr};
    const i16 offsets[kSlots] = {o1, o2, kEmptySlot};
    init(texts, offsets);
}

Signature::Signature(const std::string& m, const std::string& e, const char* p1, i16 o1, const char* p2, i16 o2,
                     const char* p3, i16 o3)
    : ext(e), mime(m) {
    const char* texts[kSlots] = {p1, p2, p3};
    const i16 offsets[kSlots] = {o1, o2, o3};
    init(texts, offsets);
}

void Signature::init(const char* const texts[kSlots], const i16 offsets[kSlots]) {
    for (int i = 0; i < kSlots; ++i) {
        if (!texts[i] || offsets[i] == kEmptySlot) continue;
        const u32 n = decodePattern(texts[i], nullptr);
        pattern[i].resize(n);
        decodePattern(texts[i], pattern[i].data());
        length[i] = static_cast<u16>(n);
        offset[i] = offsets[i];
        if (quickLength == 0 && n != 0 && offsets[i] >= 0) {
            quickOffset = static_cast<u32>(offsets[i]);
            quickByte = pattern[i][0];
            quickLength = static_cast<u16>(n);
        }
    }
}

u32 Signature::decodePattern(const char* text, u8* out) {
    const size_t len = strlen(text);
    u32 n = 0;
    size_t i = 0;
    while (i < len) {
        if (text[i] != '#') {
            if (out) out[n] = static_cast<u8>(text[i]);
            ++n;
            ++i;
            continue;
        }
        if (i + 1 >= len) break;  // a "#" at the end is dropped
        const char code = text[i + 1];
        if (code != 'x') {
            log(LOG_ERROR, "unknown escape code: %c\n", code);
            i += 3;
            continue;
        }
        const size_t digits = len - (i + 2);
        if (digits == 0) break;
        const char hex[5] = {'0', 'x', text[i + 2], digits >= 2 ? text[i + 3] : '\0', '\0'};
        if (out) out[n] = static_cast<u8>(strtol(hex, nullptr, 16) & 0xFF);
        ++n;
        i += 4;
    }
    return n;
}

bool Signature::fitsIn(u32 bytes) const {
    for (int i = 0; i < kSlots; ++i) {
        if (offset[i] == kEmptySlot || length[i] == 0) continue;
        if (offset[i] < 0 || u32(offset[i]) + length[i] > bytes) return false;
    }
    return true;
}

bool Signature::matchAll(const u8* data, u32 bytes) const {
    for (int i = 0; i < kSlots; ++i) {
        if (length[i] == 0) continue;
        if (offset[i] < 0 || u32(offset[i]) + length[i] > bytes) return false;
        if (memcmp(data + offset[i], pattern[i].data(), length[i]) != 0) return false;
    }
    return true;
}

void Signature::dump() const {
    if (!logEnabled(LOG_INFO)) return;  // built for every scan: no text when it is not written
    std::string text;
    char piece[32];
    for (int i = 0; i < kSlots; ++i) {
        if (offset[i] == kEmptySlot) continue;
        snprintf(piece, sizeof piece, "       ofs %d: ", offset[i]);
        text += piece;
        for (u8 b : pattern[i]) {
            if (b >= 0x20 && b <= 0x7D) {
                text += static_cast<char>(b);
            } else {
                snprintf(piece, sizeof piece, "#x%02X", b);
                text += piece;
            }
        }
    }
    log(LOG_INFO, "sig mime: %s, ext: %s  %s\n", mime.c_str(), ext.c_str(), text.c_str());
}

// A bitmap's file header: four reserved bytes at 6 are zero; the
// information header that follows at 14 is 12 (core) to 124 (version 5)
// bytes long.
bool isBmpHeader(const u8* data) {
    const u32 headerSize = loadLE32(data + 14);
    return loadLE32(data + 6) == 0 && headerSize >= 12 && headerSize <= 124;
}

// A pack header that opens a program stream: the first pack carries the
// system header right after the pack header, or a video sequence header
// within the pack. Later packs (one every few KiB) carry neither at their
// start and open nothing.
bool opensMpegStream(const u8* data) {
    u32 length;
    if ((data[4] & 0xF0) == 0x20) {
        length = 12;  // MPEG-1 pack header
    } else if ((data[4] & 0xC0) == 0x40) {
        length = 14 + (data[13] & 7);  // MPEG-2, with its stuffing bytes
    } else {
        return false;
    }
    static const u8 kSystem[] = {0, 0, 1, 0xBB}, kSequence[] = {0, 0, 1, 0xB3}, kPack[] = {0, 0, 1, 0xBA};
    const u8* rest = data + length;
    const u32 restLength = Signature::kCheckBytes - length;
    if (!memcmp(rest, kSystem, 4)) return true;
    const u8* next = findBytes(rest, kPack, restLength, 4);
    const u32 packLength = next ? static_cast<u32>(next - rest) : restLength;
    return findBytes(rest, kSequence, packLength, 4) != nullptr;
}

// A tar header's checksum at 148 (octal text) is the sum of the header's
// 512 bytes with the checksum field taken as spaces; old writers summed
// signed bytes.
bool hasTarChecksum(const u8* data) {
    u32 stored = 0;
    int i = 148, digits = 0;
    while (i < 156 && data[i] == ' ') ++i;
    for (; i < 156 && data[i] >= '0' && data[i] <= '7'; ++i, ++digits) stored = stored * 8 + (data[i] - '0');
    if (digits == 0 || (i < 156 && data[i] != ' ' && data[i] != 0)) return false;
    // All 512 bytes (a loop the compiler vectorises), then the field's
    // bytes taken out and spaces put in.
    u32 sum = 8 * ' ';
    i32 signedSum = 8 * ' ';
    for (int k = 0; k < 512; ++k) {
        sum += data[k];
        signedSum += static_cast<i8>(data[k]);
    }
    for (int k = 148; k < 156; ++k) {
        sum -= data[k];
        signedSum -= static_cast<i8>(data[k]);
    }
    return stored == sum || static_cast<i32>(stored) == signedSum;
}

// Walks a tar archive's member headers from its first: each header is
// followed by its data in whole 512-byte blocks; the archive ends with a
// zero block. Answers the last byte of that block, or of the last member
// before a header that is not one, as a lower bound of the end (writers
// pad the archive further); 0 when the walk ends in the first header or is
// cut short. Notes where an archive closed by its zero block ends.
u64 BulkStreamAnalyser::tarEnd(ComfortDataStream* stream, u64 start) {
    closedTarStart = start, closedTarEnd = 0;
    auto zeros = [](const u8* block) { return std::all_of(block, block + 512, [](u8 b) { return b == 0; }); };
    const ChainWalk::Result members = memberWalk.walk(stream, start, [&](u64 pos, u8&) -> u64 {
        const u8* header = stream->readPtrAt(pos, 512);
        if (!header || zeros(header) || memcmp(header + 257, "ustar", 5) != 0 || !hasTarChecksum(header)) return 0;
        u64 size = 0;
        for (int i = 124; i < 136 && header[i] >= '0' && header[i] <= '7'; ++i) size = size * 8 + (header[i] - '0');
        return pos + 512 + (size + 511) / 512 * 512;
    });
    if (members.cut) return 0;
    u64 pos = members.frontier;
    if (pos - start < maxStreamSize) {
        if (const u8* block = stream->readPtrAt(pos, 512); block && zeros(block)) {
            pos += 512;  // the closing block
            closedTarEnd = pos;
        }
    }
    return pos > start + 512 ? pos - 1 : 0;
}

BulkStreamAnalyser::BulkStreamAnalyser(RawAnalyser* o) : StreamAnalyser(o) {
    name = "BulkStreamAnalyser";
    auto add = [this](auto&&... args) { addSignature(std::make_unique<Signature>(args...)); };
    add("image/gif", "gif", "GIF", 0);
    add("image/jpeg", "jpg", "#xff#xd8#xff", 0);  // start of image, then a marker
    add("image/bmp", "bmp", "BM", 0);
    signatures.back()->setCheck(isBmpHeader);
    add("image/png", "png", "#x89PNG", 0);
    add("image/photoshop", "psp", "8BPS", 0);
    add("document/pdf", "pdf", "%PDF", 0);
    add("document/rtf", "rtf", "{\\rtf", 0);
    add("document/xml", "xml", "<?xml", 0);
    add("document/html", "html", "<html", 0);
    add("video/quicktime", "mov", "MOVI", 0);
    add("video/quicktime", "mov", "moov", 4);
    add("video/quicktime", "mov", "mdat", 4);
    add("video/avi", "avi", "RIFF", 0, "AVI", 8);
    add("video/mpeg", "mpg", "#x00#x00#x01#xBA", 0);
    signatures.back()->setCheck(opensMpegStream);
    signatures.back()->setContinuing(true);
    add("video/mpeg", "mpg", "#x00#x00#x01#xB3", 0);
    signatures.back()->setContinuing(true);
    add("video/asf", "asx", "#x30#x26#xB2#x75#x8E#x66#xCF#x11#xA6#xD9#x00#xAA#x00#x62#xCE#x6C", 0);
    add("audio/wav", "wav", "RIFF", 0, "WAVE", 8);
    add("audio/m4a", "wav", "ftypM4A", 4);
    add("archive/stuffit", "sit", "StuffIt", 0);
    add("archive/zip", "zip", "MZ", 0, "Copyright 1989-1990 PKWARE Inc.", 30);
    add("archive/zip", "zip", "MZ", 0, "PKLITE Copr.", 30);
    add("archive/zip", "zip", "PK#x03#x04", 0);
    add("archive/lha", "lha", "MZ", 0, "LHa's SFX", 36);
    add("archive/lha", "lha", "-lh", 2);
    add("archive/rar", "rar", "Rar!", 0);
    add("archive/tar", "tar", "ustar", 257);
    signatures.back()->setCheck(hasTarChecksum);
    signatures.back()->setContinuing(true);
    add("application/shockwave-flash", "swf", "FWS", 0);
    for (const auto& signature : signatures) addMimeType(signature->getMime(), signature->getExt(), "ico_audio.png");
}

BulkStreamAnalyser::~BulkStreamAnalyser() { signatures.clear(); }

bool BulkStreamAnalyser::addSignature(std::unique_ptr<Signature> signature) {
    if (!signature) return false;
    if (!signature->fitsIn(kReadSize)) {
        log(LOG_ERROR, "BulkStreamAnalyser - signature of %s lies outside the %u bytes read, dropped\n",
            signature->getMime().c_str(), kReadSize);
        return false;
    }
    signature->dump();
    u32 offset;
    u8 byte;
    if (!signature->quickTest(offset, byte)) {
        everyBlockCandidate = true;
    } else if (offset == 0) {
        firstByteAtStart[byte] = true;
    } else {
        const std::pair<u32, u8> test(offset, byte);
        if (std::find(firstByteElsewhere.begin(), firstByteElsewhere.end(), test) == firstByteElsewhere.end()) {
            firstByteElsewhere.push_back(test);
        }
    }
    signatures.push_back(std::move(signature));
    return true;
}

bool BulkStreamAnalyser::anyRowMayMatch(const u8* data) const {
    if (everyBlockCandidate || firstByteAtStart[data[0]]) return true;
    for (const auto& [offset, byte] : firstByteElsewhere) {
        if (data[offset] == byte) return true;
    }
    return false;
}

bool BulkStreamAnalyser::analyse(ComfortDataStream* stream, StreamInfo* info) {
    const u64 start = stream->getPos();
    const u8* data = stream->readPtr(kReadSize);
    if (!data || !anyRowMayMatch(data)) return false;
    for (const auto& signature : signatures) {
        if (!signature->match(data, kReadSize)) continue;
        if (signature->isContinuing() && owner) {
            // Part of that stream, unless it is a tar archive whose walk
            // reached its closing zero block before here: a new archive.
            const StreamInfo* open = owner->getOpenStream();
            const bool pastClosedTar = signature->getCheck() == hasTarChecksum && open &&
                                       open->start == closedTarStart && closedTarEnd && start >= closedTarEnd;
            if (open && open->mimeType == signature->getMime() && !pastClosedTar) return false;
        }
        info->mimeType = signature->getMime();
        info->start = start;
        info->analyser = this;
        info->endIsMinimum = 1;
        if (signature->getCheck() == hasTarChecksum) info->end = tarEnd(stream, start);
        return true;
    }
    return false;
}

}  // namespace vorn
