#include "gui/Jpeg2000Header.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "misc/Bytes.h"

namespace vorn::gui {

namespace {

enum : u16 {
    SOC = 0xFF4F,
    CAP = 0xFF50,
    SIZ = 0xFF51,
    COD = 0xFF52,
    COC = 0xFF53,
    TLM = 0xFF55,
    PLM = 0xFF57,
    PLT = 0xFF58,
    CPF = 0xFF59,
    QCD = 0xFF5C,
    QCC = 0xFF5D,
    RGN = 0xFF5E,
    POC = 0xFF5F,
    PPM = 0xFF60,
    PPT = 0xFF61,
    CRG = 0xFF63,
    COM = 0xFF64,
    MCT = 0xFF74,
    MCC = 0xFF75,
    MCO = 0xFF77,
    CBD = 0xFF78,
    SOT = 0xFF90,
    SOP = 0xFF91,
    SOD = 0xFF93,
    EOC = 0xFFD9,
};

// Where the decoder takes a marker segment: in the main header, in a
// tile-part header, in both, in neither (it stops with an error there), or
// nowhere because it does not know the code (it then skips word by word
// up to the next code it knows, see skipUnknown). SOT is taken where a
// main header ends; SOD and EOC are never met while skipping in a valid
// file, and a file that puts them there is refused as unsure.
enum Place { Nowhere = 0, InMain = 1, InTilePart = 2, InBoth = 3, NotKnown = 4 };

Place placeOf(u16 code) {
    switch (code) {
        case COD:
        case COC:
        case QCD:
        case QCC:
        case RGN:
        case POC:
        case COM:
        case MCT:
        case MCC:
        case MCO: return InBoth;
        case TLM:
        case PLM:
        case PPM:
        case CRG:
        case CBD:
        case CAP:
        case CPF:
        case SOT: return InMain;
        case PLT:
        case PPT: return InTilePart;
        case SIZ:
        case SOP:
        case SOD:
        case EOC: return Nowhere;
        default: return NotKnown;
    }
}

u64 satAdd(u64 a, u64 b) { return a > std::numeric_limits<u64>::max() - b ? std::numeric_limits<u64>::max() : a + b; }

u64 satMul(u64 a, u64 b) {
    if (a == 0 || b == 0) return 0;
    return a > std::numeric_limits<u64>::max() / b ? std::numeric_limits<u64>::max() : a * b;
}

u64 ceilDiv(u64 a, u64 b) { return a / b + (a % b != 0); }
u64 ceilShift(u64 a, u32 shift) { return shift >= 64 ? (a != 0) : ceilDiv(a, u64(1) << shift); }

void storeBE32(u8* p, u32 v) {
    p[0] = u8(v >> 24);
    p[1] = u8(v >> 16);
    p[2] = u8(v >> 8);
    p[3] = u8(v);
}

// What the decoder keeps, measured on OpenJPEG 2.5.0 and rounded up: per
// tile its coding parameters (about 9 KiB, plus about 1.1 KiB per
// component); per code-block and per precinct of a band its coder state,
// first ten segment records and tag trees (about 400 and 150 bytes). As
// packets arrive, a code-block gains a segment record for each run of
// coding passes (a pass per segment where passes are terminated or the
// coder bypassed, else up to 109; each costs at least 3 bits of packet
// header), and a data chunk record for each piece of its data (at least a
// byte each); both arrays grow by reallocation.
constexpr u64 kTileBytes = 10 * 1024;
constexpr u64 kTileComponentBytes = 1280;
constexpr u64 kBlockBytes = 512;
constexpr u64 kPrecinctBytes = 256;
constexpr u64 kSegmentBytes = 48;
constexpr u64 kChunkBytes = 32;
constexpr u64 kMaxPassesPerPacket = 164;
constexpr u64 kMarkerBytes = 64;
constexpr u64 kTilePartBytes = 32;
constexpr u64 kFixedBytes = 8 << 20;
constexpr u32 kMaxLevels = 32;

const u8 kJp2Signature[12] = {0, 0, 0, 0x0C, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};

u32 boxType(const char* name) { return loadBE32(reinterpret_cast<const u8*>(name)); }

}  // namespace

Jpeg2000Header Jpeg2000Header::read(u8* data, u64 size) {
    Jpeg2000Header header;
    header.fileSize = size;
    u64 codestream = 0;
    if (size >= sizeof kJp2Signature && memcmp(data, kJp2Signature, sizeof kJp2Signature) == 0) {
        if (!header.readBoxes(data, size, &codestream)) return header;
    }
    header.cutTilePartLengths(data, codestream, size);
    header.readCodestream(data, codestream, size);
    if (header.valid()) header.measureTileStructures();
    return header;
}

namespace {

// A JP2 box header at pos of a box list that ends at end: its length (a
// length of 0 reaches the end), the length of the header itself (8, or 16
// with a 64-bit length) and its type. No box when the header does not fit.
struct Box {
    bool present = false;
    u64 length = 0, headerLength = 8;
    u32 type = 0;
};

Box boxAt(const ByteReader& in, u64 pos, u64 end) {
    Box box;
    if (!in.has(pos, 8)) return box;
    box.length = in.be32(pos);
    box.type = in.be32(pos + 4);
    if (box.length == 1) {
        if (!in.has(pos, 16)) return box;
        box.length = in.be64(pos + 8);
        box.headerLength = 16;
    } else if (box.length == 0) {
        box.length = end - pos;
    }
    box.present = true;
    return box;
}

}  // namespace

bool Jpeg2000Header::readBoxes(u8* data, u64 size, u64* codestream) {
    const ByteReader in(data, size);
    // Every box is at least 8 bytes long, so the walk ends.
    for (u64 pos = 0;;) {
        const Box box = boxAt(in, pos, size);
        if (!box.present) break;
        if (box.length < box.headerLength) {
            fail("a JP2 box shorter than its header");
            return false;
        }
        if (box.type == boxType("jp2c")) {
            *codestream = pos + box.headerLength;
            return true;
        }
        if (!inBounds(size, pos, box.length)) {
            fail("a JP2 box reaches past the end of the file");
            return false;
        }
        if (box.type == boxType("jp2h")) readPalette(data, pos + box.headerLength, pos + box.length);
        pos += box.length;
    }
    fail("no codestream in the JP2 file");
    return false;
}

void Jpeg2000Header::readPalette(const u8* data, u64 begin, u64 end) {
    const ByteReader in(data, end);
    for (u64 pos = begin;;) {
        const Box box = boxAt(in, pos, end);
        if (!box.present || box.length < box.headerLength || !in.has(pos, box.length)) return;
        // A palette makes one full-size component of each of its columns.
        if (box.type == boxType("pclr") && in.has(pos + box.headerLength, 3))
            paletteChannels = std::max<u32>(paletteChannels, in.u8At(pos + box.headerLength + 2));
        pos += box.length;
    }
}

void Jpeg2000Header::cutTilePartLengths(u8* data, u64 begin, u64 end) {
    // Wherever the decoder may take a tile-part to start: the SOT code and
    // its fixed segment length. Packet data never holds the code, so in a
    // sound file this finds the tile-parts only. Every position is looked
    // at, also inside a start found: a lookalike (in a comment, say) may
    // hold the start of the real one within its own 12 bytes. Two starts lie
    // 4 bytes apart at least, so a cut never changes a length looked at.
    const bool endsWithEoc = end - begin >= 2 && loadBE16(data + end - 2) == EOC;
    for (u64 pos = begin; end - pos >= 12;) {
        const void* hit = memchr(data + pos, 0xFF, end - 11 - pos);
        if (!hit) break;
        pos = u64(static_cast<const u8*>(hit) - data);
        if (loadBE16(data + pos) != SOT || loadBE16(data + pos + 2) != 10) {
            ++pos;
            continue;
        }
        const u64 left = end - pos;
        const u64 length = loadBE32(data + pos + 6);
        if (length > left) {
            // Up to the closing EOC when there is one and room for SOT and SOD.
            const u64 cut = endsWithEoc && left >= 16 ? left - 2 : left;
            storeBE32(data + pos + 6, u32(cut));
            ++cutParts;
        }
        ++pos;
    }
}

bool Jpeg2000Header::readCodingStyle(const u8* body, u64 length, bool component) {
    const ByteReader in(body, length);
    u64 at = 0;
    if (component) at += componentCount < 257 ? 1 : 2;
    const u8 style = in.u8At(at);
    at += 1;
    if (!component) {
        const u32 layers = in.be16(at + 1);
        if (layers == 0) return false;
        maxLayers = std::max(maxLayers, layers);
        at += 4;
    }
    const u32 levels = in.u8At(at);
    const u32 blockWidth = in.u8At(at + 1), blockHeight = in.u8At(at + 2);
    const u8 blockStyle = in.u8At(at + 3);
    at += 5;
    if (!in.ok() || levels > kMaxLevels || blockWidth > 8 || blockHeight > 8 || blockWidth + blockHeight > 8)
        return false;
    u32 precinct = 15;
    if (style & 1) {
        for (u32 r = 0; r <= levels; ++r) {
            const u8 sizes = in.u8At(at + r);
            if (r > 0 && ((sizes & 0x0F) == 0 || (sizes >> 4) == 0)) return false;
            precinct = std::min<u32>({precinct, u32(sizes & 0x0F), u32(sizes >> 4)});
        }
        if (!in.ok()) return false;
    }
    haveCodingStyle = true;
    maxLevels = std::max(maxLevels, levels);
    minLevels = std::min(minLevels, levels);
    minBlockWidthExp = std::min(minBlockWidthExp, blockWidth + 2);
    minBlockHeightExp = std::min(minBlockHeightExp, blockHeight + 2);
    minPrecinctExp = std::min(minPrecinctExp, precinct);
    // Arithmetic-coder bypass and termination on each pass split a
    // code-block's data into many segments.
    if (blockStyle & 0x05) segmentPerPass = true;
    return true;
}

void Jpeg2000Header::readCodestream(u8* data, u64 begin, u64 end) {
    const ByteReader in(data, end);
    if (in.be16(begin) != SOC || in.be16(begin + 2) != SIZ) return fail("no codestream start (SOC, SIZ)");

    // SIZ: the picture, its tiles and components.
    const u64 siz = begin + 4;
    const u64 sizLength = in.be16(siz);
    const u32 count = in.be16(siz + 36);
    if (!in.ok() || count == 0 || count > 16384 || sizLength != 38 + 3 * u64(count) || !in.has(siz, sizLength))
        return fail("a damaged SIZ segment");
    x1 = in.be32(siz + 4);
    y1 = in.be32(siz + 8);
    x0 = in.be32(siz + 12);
    y0 = in.be32(siz + 16);
    tileWidth = in.be32(siz + 20);
    tileHeight = in.be32(siz + 24);
    const u64 tileX0 = in.be32(siz + 28), tileY0 = in.be32(siz + 32);
    if (x1 <= x0 || y1 <= y0 || tileWidth == 0 || tileHeight == 0 || tileX0 > x0 || tileY0 > y0 ||
        tileX0 + tileWidth <= x0 || tileY0 + tileHeight <= y0)
        return fail("a damaged SIZ segment");
    const u64 across = ceilDiv(x1 - tileX0, tileWidth), down = ceilDiv(y1 - tileY0, tileHeight);
    if (across > 65535 / down) return fail("more than 65,535 tiles");
    tileCount = across * down;
    componentCount = count;
    comps.resize(count);
    for (u32 c = 0; c < count; ++c) {
        comps[c].dx = in.u8At(siz + 39 + 3 * c);
        comps[c].dy = in.u8At(siz + 40 + 3 * c);
        if (comps[c].dx == 0 || comps[c].dy == 0) return fail("a component sub-sampled by 0");
    }
    markers = 1;
    headerBytes = sizLength + 2;

    // The rest of the main header, up to the first tile-part.
    u64 pos = siz + sizLength;
    for (;;) {
        if (!in.has(pos, 2)) return fail("the main header is cut short");
        const u16 code = in.be16(pos);
        if (code == SOT) break;
        if (code < 0xFF00) return fail("no marker where the main header continues");
        const Place place = placeOf(code);
        if (place == NotKnown) {
            // The decoder reads on word by word to the next code it knows.
            u64 next = pos + 2;
            for (;; next += 2) {
                if (!in.has(next, 2)) return fail("the main header is cut short");
                const u16 word = in.be16(next);
                if (word >= 0xFF00 && placeOf(word) != NotKnown) break;
            }
            if (!(placeOf(in.be16(next)) & InMain)) return fail("an unknown marker the decoder would stop at");
            ++markers;
            headerBytes += next - pos;
            pos = next;
            continue;
        }
        if (!(place & InMain)) return fail("a marker out of its place in the main header");
        const u64 length = in.be16(pos + 2);
        if (length < 2 || !in.has(pos + 2, length)) return fail("a marker segment of the main header is cut short");
        if ((code == COD || code == COC) && !readCodingStyle(data + pos + 4, length - 2, code == COC))
            return fail("a damaged coding style (COD, COC)");
        ++markers;
        headerBytes += length + 2;
        pos += 2 + length;
    }
    if (!haveCodingStyle) return fail("no coding style (COD)");

    // The tile-parts, each found by the length of the one before, as the
    // decoder finds them; it stops where this walk stops.
    std::vector<u32> partsOfTile(tileCount, 0), partsAnnounced(tileCount, 0);
    while (in.has(pos, 12) && in.be16(pos) == SOT) {
        const u32 tile = in.be16(pos + 4);
        const u64 length = in.be32(pos + 6);
        if (in.be16(pos + 2) != 10 || tile >= tileCount || (length != 0 && length < 14 && length != 12)) break;
        ++partsOfTile[tile];
        partsAnnounced[tile] = std::max<u32>(partsAnnounced[tile], in.u8At(pos + 11));
        // Its header: marker segments up to SOD, inside the tile-part.
        const u64 partEnd = length >= 14 ? pos + length : end;
        u64 at = pos + 12;
        while (in.has(at, 2) && in.be16(at) != SOD) {
            const u16 code = in.be16(at);
            if (code < 0xFF00) break;
            if (!(placeOf(code) & InTilePart)) return fail("a marker out of its place in a tile-part header");
            const u64 segment = in.be16(at + 2);
            if (segment < 2 || !in.has(at + 2, segment) || at + 2 + segment > partEnd) break;
            if ((code == COD || code == COC) && !readCodingStyle(data + at + 4, segment - 2, code == COC))
                return fail("a damaged coding style (COD, COC) in a tile-part");
            ++markers;
            headerBytes += segment + 2;
            at += 2 + segment;
        }
        // The decoder stops where a header does not reach its SOD.
        if (!in.has(at, 2) || in.be16(at) != SOD || length == 0) break;
        // An empty tile-part (length 12) has no data after its SOD.
        pos = length == 12 ? at + 2 : pos + length;
    }
    for (u64 t = 0; t < tileCount; ++t)
        if (partsOfTile[t] > 0) tilePartSlots += std::max(partsAnnounced[t], partsOfTile[t]) + 10;
}

u64 Jpeg2000Header::componentPixels(const Component& c, u32 reduce) const {
    const u64 w = ceilDiv(x1, c.dx) - ceilDiv(x0, c.dx), h = ceilDiv(y1, c.dy) - ceilDiv(y0, c.dy);
    return ceilShift(w, reduce) * ceilShift(h, reduce);
}

u64 Jpeg2000Header::decodedPixels(u32 reduce) const {
    u64 most = 0;
    for (const Component& c : comps) most = std::max(most, componentPixels(c, reduce));
    return most;
}

void Jpeg2000Header::measureTileStructures() {
    // The largest tile, every component with the worst coding style seen:
    // precincts and code-blocks of every resolution (the decoder sets them
    // up whatever reduction it decodes at), and the packet table of the
    // packet iterator (layers x resolutions x precincts x components).
    const u64 tileW = std::min(tileWidth, width()), tileH = std::min(tileHeight, height());
    u64 total = 0, blocks = 0, mostPrecincts = 0;
    for (const Component& c : comps) {
        const u64 w = ceilDiv(tileW, c.dx) + 1, h = ceilDiv(tileH, c.dy) + 1;
        for (u32 r = 0; r <= maxLevels; ++r) {
            const u64 resW = ceilShift(w, maxLevels - r), resH = ceilShift(h, maxLevels - r);
            const u32 precinct = r == 0 ? minPrecinctExp : std::max<u32>(minPrecinctExp, 1);
            const u64 acrossP = ceilShift(resW, precinct) + 1, downP = ceilShift(resH, precinct) + 1;
            const u64 precincts = satMul(acrossP, downP);
            mostPrecincts = std::max(mostPrecincts, precincts);
            const u32 bands = r == 0 ? 1 : 3;
            const u64 bandW = r == 0 ? resW : ceilShift(resW, 1), bandH = r == 0 ? resH : ceilShift(resH, 1);
            const u32 blockX = std::min(minBlockWidthExp, r == 0 ? precinct : precinct - 1);
            const u32 blockY = std::min(minBlockHeightExp, r == 0 ? precinct : precinct - 1);
            const u64 bandBlocks = satMul(ceilShift(bandW, blockX) + acrossP, ceilShift(bandH, blockY) + downP);
            total = satAdd(total, satMul(bands, satMul(precincts, kPrecinctBytes)));
            blocks = satAdd(blocks, satMul(bands, bandBlocks));
        }
    }
    total = satAdd(total, satMul(blocks, kBlockBytes));
    const u64 packets = satMul(satMul(u64(maxLayers) + 1, u64(maxLevels) + 1), satMul(mostPrecincts, componentCount));
    total = satAdd(total, satMul(packets, 2));

    // Segments beyond the first ten of a code-block, and data chunks, as
    // many as the layers allow and the file's bytes can announce.
    const u64 passes = satMul(maxLayers, kMaxPassesPerPacket);
    const u64 segmentsPerBlock = segmentPerPass ? passes : u64(maxLayers) * 2 + 1;
    const u64 extraSegments = std::min(satMul(blocks, segmentsPerBlock > 10 ? segmentsPerBlock - 10 : 0), satMul(fileSize, 3));
    const u64 chunks = std::min(satMul(blocks, satMul(maxLayers, segmentsPerBlock)), fileSize);
    total = satAdd(total, satMul(extraSegments, kSegmentBytes));
    structureBytes = satAdd(total, satMul(chunks, kChunkBytes));
}

u64 Jpeg2000Header::decodeBytes(u32 reduce) const {
    if (!valid()) return std::numeric_limits<u64>::max();
    u64 pixels = 0, tilePixels = 0;
    const u64 tileW = std::min(tileWidth, width()), tileH = std::min(tileHeight, height());
    for (const Component& c : comps) {
        pixels = satAdd(pixels, componentPixels(c, reduce));
        tilePixels = satAdd(tilePixels, ceilShift(ceilDiv(tileW, c.dx) + 1, reduce) * ceilShift(ceilDiv(tileH, c.dy) + 1, reduce));
    }
    // The decoded components, one tile's buffers when there are several
    // tiles (a single tile is decoded in place), the palette's components
    // and the caller's picture.
    u64 total = satMul(pixels, 4);
    if (tileCount > 1) total = satAdd(total, satMul(tilePixels, 4));
    total = satAdd(total, satMul(satMul(paletteChannels, componentPixels(comps[0], reduce)), 4));
    total = satAdd(total, satMul(decodedPixels(reduce), 4));
    total = satAdd(total, satMul(tileCount, kTileBytes + u64(componentCount) * kTileComponentBytes));
    total = satAdd(total, structureBytes);
    // Its index of markers and tile-parts, and the copies of header and
    // tile data.
    total = satAdd(total, markers * kMarkerBytes + tilePartSlots * kTilePartBytes);
    total = satAdd(total, satMul(headerBytes, 4));
    total = satAdd(total, satMul(fileSize, 2));
    return satAdd(total, kFixedBytes);
}

int Jpeg2000Header::reductionWithin(u64 maxPixels, u64 maxBytes) const {
    if (!valid()) return -1;
    for (u32 reduce = 0; reduce <= minLevels; ++reduce)
        if (decodedPixels(reduce) <= maxPixels && decodeBytes(reduce) <= maxBytes) return int(reduce);
    return -1;
}

}  // namespace vorn::gui
