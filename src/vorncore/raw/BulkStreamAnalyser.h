// The last analyser the driver asks: recognises the file types without an
// analyser of their own by a fixed table of byte patterns at fixed offsets
// from the block's first byte. The first row (in table order) whose patterns
// all match names the type. It knows no sizes: the stream ends where the
// driver closes it.
//
// Every row is checked when it is added to lie inside the kReadSize bytes
// that analyse reads, so matching never reaches past them.
//
// A false start cuts the real file under it, so some rows carry a further
// check that every real file of their type passes (BMP header fields, an
// MPEG pack that opens a stream, a tar header's checksum). A tar archive's
// members are walked for a lower bound of its end; the members of the last
// walk are remembered (ChainWalk), so that the members of an archive that
// runs past the disk's end, asked about one by one while other finds inside
// it keep closing its stream, are not walked again from each. A start of a
// continuing type (MPEG, tar) found inside an open stream of the same type
// belongs to that stream: it is not reported, except a tar header after the
// closing zero block of the open archive, which starts another archive.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "raw/ChainWalk.h"
#include "raw/StreamAnalyser.h"

namespace vorn {

// One table row: up to three patterns, each at an offset from the stream
// position; all must match. An empty slot has offset -1 and length 0.
class Signature {
public:
    static constexpr int kSlots = 3;
    static constexpr i16 kEmptySlot = -1;

    Signature(const std::string& mime, const std::string& ext, const char* pattern1, i16 offset1);
    Signature(const std::string& mime, const std::string& ext, const char* pattern1, i16 offset1,
              const char* pattern2, i16 offset2);
    Signature(const std::string& mime, const std::string& ext, const char* pattern1, i16 offset1,
              const char* pattern2, i16 offset2, const char* pattern3, i16 offset3);

    // Every used pattern equals the bytes at data + its offset; a pattern of
    // length 0 always matches. A pattern outside [data, data + length) fails.
    bool match(const u8* data, u32 length) const {
        // Most rows fail on their first byte: test it before the rest.
        if (quickLength != 0 && (quickOffset >= length || data[quickOffset] != quickByte)) return false;
        return matchAll(data, length) && (!check || (length >= kCheckBytes && check(data)));
    }
    // Bytes a check may read.
    static constexpr u32 kCheckBytes = 1024;
    // A further test of the kReadSize bytes at the stream position, run after
    // the patterns matched; null for none.
    using Check = bool (*)(const u8* data);
    void setCheck(Check c) { check = c; }
    Check getCheck() const { return check; }
    // Set on the rows whose type holds further starts of its own inside a
    // file (pack headers, member headers).
    void setContinuing(bool c) { continuing = c; }
    bool isContinuing() const { return continuing; }

    // Logs the row at level 2.
    void dump() const;
    // True when every used pattern lies inside the first length bytes.
    bool fitsIn(u32 length) const;
    // The first byte of the first non-empty pattern and its offset; false
    // when every pattern is empty (the row matches anything).
    bool quickTest(u32& offset, u8& byte) const {
        offset = quickOffset;
        byte = quickByte;
        return quickLength != 0;
    }

    // Decodes a pattern text: characters stand for themselves, "#xHH" for
    // the byte 0xHH. Writes to out when it is not null; answers the byte
    // count. Never reads past the text's terminating zero.
    static u32 decodePattern(const char* text, u8* out);

    const std::string& getExt() const { return ext; }
    const std::string& getMime() const { return mime; }
    const std::vector<u8>& getPattern(int slot) const { return pattern[slot]; }
    i16 getOffset(int slot) const { return offset[slot]; }

private:
    void init(const char* const texts[kSlots], const i16 offsets[kSlots]);
    bool matchAll(const u8* data, u32 length) const;

    std::string ext;
    std::string mime;
    std::vector<u8> pattern[kSlots];
    u16 length[kSlots] = {0, 0, 0};
    i16 offset[kSlots] = {kEmptySlot, kEmptySlot, kEmptySlot};
    // The first byte of the first pattern that has one, and where it lies.
    u32 quickOffset = 0;
    u8 quickByte = 0;
    u16 quickLength = 0;
    Check check = nullptr;
    bool continuing = false;
};

// The rows' further checks, on kCheckBytes bytes.
bool isBmpHeader(const u8* data);
bool opensMpegStream(const u8* data);
bool hasTarChecksum(const u8* data);

class BulkStreamAnalyser : public StreamAnalyser {
public:
    // Bytes read at the stream position and matched against the table.
    static constexpr u32 kReadSize = 1024;

    explicit BulkStreamAnalyser(RawAnalyser* owner);
    ~BulkStreamAnalyser() override;

    // Appends a row and dumps it; a row reaching outside the bytes read is
    // refused with a log line.
    bool addSignature(std::unique_ptr<Signature> signature);
    bool analyse(ComfortDataStream* stream, StreamInfo* info) override;

    const std::vector<std::unique_ptr<Signature>>& getSignatures() const { return signatures; }

private:
    // True when some row may match: the first byte of its first pattern is
    // there. Lets analyse skip the table for most blocks.
    bool anyRowMayMatch(const u8* data) const;
    u64 tarEnd(ComfortDataStream* stream, u64 start);

    std::vector<std::unique_ptr<Signature>> signatures;
    // Rows' first pattern bytes: those at offset 0 by byte value, the others
    // as (offset, byte); a row with no pattern at all makes every block a
    // candidate.
    bool firstByteAtStart[256] = {};
    std::vector<std::pair<u32, u8>> firstByteElsewhere;
    bool everyBlockCandidate = false;
    ChainWalk memberWalk{"tar members", 512, maxStreamSize};
    // The archive last walked, and where its closing zero block ends (0 when
    // the walk did not reach one).
    u64 closedTarStart = 0, closedTarEnd = 0;
};

}  // namespace vorn
