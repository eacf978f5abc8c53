// What a JPEG 2000 file asks of its decoder, read before it is decoded.
//
// OpenJPEG sizes its memory by the file's header fields: the picture and
// tile sizes, the components, resolution levels, quality layers, precinct
// and code-block sizes, the tile-part lengths, a JP2 palette. A damaged
// or crafted file of a few hundred bytes can so ask for gigabytes. This
// reader walks the JP2 boxes and the codestream's marker segments the way
// the decoder does (main header, then the chain of tile-parts by their
// lengths), with every offset bounded by the file, and gives an upper
// estimate of the decoder's memory at each resolution reduction, so that
// the caller decodes only within a fixed bound.
//
// read() also mends the one field the decoder would otherwise trust: a
// tile-part length (Psot) that reaches past the end of the file is cut to
// the bytes the file holds, in the caller's buffer, so that the decoder
// allocates what is there rather than what the field claims.
//
// Pure computation on a buffer; any thread.
#pragma once

#include <string>
#include <vector>

#include "misc/Types.h"

namespace vorn::gui {

class Jpeg2000Header {
public:
    // Reads the JP2 file or bare codestream in data[0, size). Tile-part
    // lengths past the end are cut in data.
    static Jpeg2000Header read(u8* data, u64 size);

    // False when the file cannot be decoded within any bound, or is not
    // read the way the decoder reads it; problem() says why.
    bool valid() const { return problemText.empty(); }
    const std::string& problem() const { return problemText; }

    u64 width() const { return x1 - x0; }
    u64 height() const { return y1 - y0; }
    u32 components() const { return componentCount; }
    u64 tiles() const { return tileCount; }
    // The resolution reductions that every component allows (0 to this).
    u32 maxReduction() const { return minLevels; }
    // Tile-part lengths that read() cut to the file.
    u32 cutTileParts() const { return cutParts; }

    // Pixels of the largest component decoded at 1/2^reduce of full size.
    u64 decodedPixels(u32 reduce) const;
    // An upper estimate of the bytes that decoding at that reduction takes,
    // the decoded picture of the caller included.
    u64 decodeBytes(u32 reduce) const;
    // The smallest reduction that keeps both within the bounds; -1 when
    // there is none.
    int reductionWithin(u64 maxPixels, u64 maxBytes) const;

private:
    struct Component {
        u32 dx = 1, dy = 1;
    };

    void fail(const std::string& why) {
        if (problemText.empty()) problemText = why;
    }
    bool readBoxes(u8* data, u64 size, u64* codestream);
    void readPalette(const u8* data, u64 begin, u64 end);
    void readCodestream(u8* data, u64 begin, u64 end);
    // One COD or COC segment body: merges its coding style into the worst case.
    bool readCodingStyle(const u8* body, u64 length, bool component);
    void cutTilePartLengths(u8* data, u64 begin, u64 end);
    u64 componentPixels(const Component& c, u32 reduce) const;
    // The decoder's coding structures for the largest tile, into structureBytes.
    void measureTileStructures();

    std::string problemText;
    u64 x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    u64 tileWidth = 0, tileHeight = 0, tileCount = 0;
    u32 componentCount = 0;
    std::vector<Component> comps;
    // The worst case over every COD and COC of the main header and the
    // tile-part headers.
    bool haveCodingStyle = false;
    u32 maxLevels = 0, minLevels = 32, maxLayers = 0;
    u32 minBlockWidthExp = 10, minBlockHeightExp = 10;
    u32 minPrecinctExp = 15;
    bool segmentPerPass = false;
    // Bookkeeping the decoder keeps per marker, per tile-part and for
    // header data it copies.
    u64 markers = 0, headerBytes = 0, tilePartSlots = 0;
    u32 paletteChannels = 0;
    u64 fileSize = 0;
    u64 structureBytes = 0;
    u32 cutParts = 0;
};

}  // namespace vorn::gui
