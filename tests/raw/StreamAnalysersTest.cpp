// The carver's byte streams and the signature table.
#include <gtest/gtest.h>

#include "misc/Bytes.h"
#include "raw/BulkStreamAnalyser.h"
#include "raw/RawTestSupport.h"
#include "raw/SubDataStream.h"
#include "LogCapture.h"
#include "storage/StorageTestUtil.h"

namespace vorn::test {
namespace {

using namespace std::string_literals;
using S = ComfortDataStream*;
constexpr u64 kAny = ~u64(0);

u64 beU16(S s) {
    s->setLittleEndian(0);
    const u64 v = s->readU16();
    s->setLittleEndian(1);
    return v;
}

TEST(DataStreams, EdgeCasesAtTheDiskEndsBadBlocksTheStackAndWindows) {
    std::vector<u8> bytes = patternBytes(8192, u64(1));
    put(bytes, 4094, "\x34\x12\x78\x56");  // across two cache lines
    put(bytes, 6654, "\x34\x12");          // before the bad block 13
    put(bytes, 8189, "\xAA\xBB\xCC");      // the disk's last bytes
    StreamRig rig(bytes);
    rig.disk.failBlock(13);
    u8 out[16] = {};
    const struct { u64 at; std::function<u64(S)> op; u64 value, pos; } cases[] = {
        {100, [](S s) { return s->seek(8191, SEEK_FROM_START); }, 1, 8191},
        {100, [](S s) { return s->seek(8192, SEEK_FROM_START); }, 0, 100},
        {100, [](S s) { return s->seek(-1, SEEK_FROM_START); }, 0, 100},
        {100, [](S s) { return s->seek(1, SEEK_FROM_END); }, 1, 8191},
        {100, [](S s) { return s->seek(0, SEEK_FROM_END); }, 0, 100},
        {100, [](S s) { return s->seek(8192, SEEK_FROM_END); }, 1, 0},
        {100, [](S s) { return s->seek(-100, SEEK_FROM_CURRENT); }, 1, 0},
        {100, [](S s) { return s->seek(-101, SEEK_FROM_CURRENT); }, 0, 100},
        {100, [](S s) { return s->seek(INT64_MIN, SEEK_FROM_END); }, 0, 100},
        {100, [](S s) { return s->seek(INT64_MAX, SEEK_FROM_CURRENT); }, 0, 100},
        {100, [](S s) { return s->seek(0, 7); }, 0, 100},
        {8189, [](S s) { return s->readPtr(4) != nullptr; }, 0, 8189},
        {8189, [&](S s) { return s->read(4, out) * 0x100000000ull + loadLE32(out); }, 0x3EECCBBAA, 8192},
        {8189, [](S s) { return s->readU32(); }, 0x00CCBBAA, kAny},
        {8191, beU16, 0xCC00, kAny},
        {100, [&](S s) { return s->read(0, out); }, 0, 100},
        {100, [](S s) { return s->readPtr(0) != nullptr; }, 0, 100},
        {4094, [](S s) { return s->readU32(); }, 0x56781234, 4098},
        {4094, beU16, 0x3412, 4096},
        {6654, [](S s) { return s->readPtr(4) != nullptr; }, 0, 6654},
        {6654, [](S s) { return s->readU32(); }, 0x1234, 6656},  // failed bytes do not move it
        {100, [](S s) { s->push(), s->seek(3000, 0), s->push(), s->readU32(), s->pop(); return s->getPos(); }, 3000,
         3000},
        {5000, [](S s) { s->pop(); return 0; }, 0, 100},
        {100, [](S s) { s->pop(); return 0; }, 0, 100},
        {0, [](S s) { return SubDataStream(s, 2000, 1000).getSize(); }, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        LogCapture quiet(LOG_ERROR);
        memcpy(out, "\0\0\0\xEE", 4);
        EXPECT_EQ(c.op(rig.at(c.at)), c.value);
        EXPECT_TRUE(c.pos == kAny || rig.stream->getPos() == c.pos) << rig.stream->getPos();
    }
}

TEST(DataStreams, AWindowSeeksAndReadsInsideItsRange) {
    StreamRig rig(patternBytes(8192, u64(1)));
    SubDataStream w(rig.at(0), 1000, 1999);
    u8 out[16];
    EXPECT_EQ(w.getSize(), 1000u);
    EXPECT_TRUE(w.seek(10, SEEK_FROM_START));
    EXPECT_TRUE(w.seek(5, SEEK_FROM_CURRENT));
    EXPECT_EQ(rig.stream->getPos(), 1015u);
    EXPECT_EQ(w.getPos(), 15u);
    EXPECT_TRUE(w.seek(3, SEEK_FROM_END));
    ASSERT_EQ(w.read(16, out), 4u);
    EXPECT_EQ(memcmp(out, rig.bytes.data() + 1996, 4), 0);
    EXPECT_EQ(w.read(16, out), 0u);
    EXPECT_EQ(rig.stream->getPos(), 2000u);
}

// The scan holds its block as a view (holder 0) while the stream reads
// anywhere through the same cache: neither ever sees another line's bytes.
TEST(DataStreams, StreamReadsAndTheScansViewNeverSeeEachOthersLines) {
    const auto bytes = patternBytes(256 * 2048 + 1536, u64(9));
    StreamRig rig(bytes);
    TestRandom random(10);
    Data scan;
    u64 scanOfs = 0;
    for (int step = 0; step < 4000; ++step) {
        if (step % 50 == 0) {
            scanOfs = random.below(bytes.size() - 1024) & ~u64(1023);
            ASSERT_TRUE(rig.cache->getOfsData(scanOfs, 1024, scan, 0));
        }
        const u64 ofs = random.below(bytes.size());
        const u32 count = static_cast<u32>(1 + random.below(step % 7 == 0 ? 5000 : 16));
        if (ofs + count <= bytes.size()) {
            const u8* p = rig.at(ofs)->readPtr(count);
            ASSERT_TRUE(p) << ofs;
            ASSERT_TRUE(!memcmp(p, bytes.data() + ofs, count)) << ofs;
            ASSERT_TRUE(rig.stream->getPos() == ofs + count) << ofs;
        }
        ASSERT_EQ(0, memcmp(scan.getPtr(), bytes.data() + scanOfs, 1024)) << step;
    }
}

TEST(SignatureDecode, EscapesGiveBytesAndTheWalkStaysInsideTheText) {
    const struct { const char* text; std::string bytes; } cases[] = {
        {"PK#x03#x04", "PK\x03\x04"}, {"AB#", "AB"},       {"A#x", "A"}, {"A#xB", "A\x0B"},
        {"#xZZ!", "\0!"s},           {"#q12AB", "2AB"}, {"A#q", "A"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture logs;
        std::string out(Signature::decodePattern(c.text, nullptr), '?');
        EXPECT_EQ(Signature::decodePattern(c.text, reinterpret_cast<u8*>(out.data())), out.size());
        EXPECT_EQ(out, c.bytes);
        EXPECT_EQ(logs.count("unknown escape code: q\n"), strstr(c.text, "#q") ? 2 : 0);
    }
}

// Pack headers: MPEG-1 (12 bytes), MPEG-2 with one stuffing byte (15).
const std::string kPack1 = "\x00\x00\x01\xBA\x21\x00\x01\x00\x01\x80\x00\x01"s;
const std::string kPack2 = "\x00\x00\x01\xBA\x44\x00\x04\x00\x04\x01\x01\x89\xC3\xF9"s;

// The table's mechanism on rows of each shape (one piece, pieces at offsets,
// a row that an earlier one shadows, the rows with checks of their own) and
// starts that no row takes: not a copy of the table.
TEST(SignatureTable, RowsMatchTheirPiecesInOrderAndRowsOutsideTheBytesReadAreRefused) {
    const struct { std::vector<std::pair<size_t, std::string>> pieces; std::string mime, ext; } cases[] = {
        {{{0, "GIF89a"}}, "image/gif", "gif"},          {{{0, "\xFF\xD8\xFF\xE1"}}, "image/jpeg", "jpg"},
        {{{0, "BM"}, {14, "\x28"}}, "image/bmp", "bmp"}, {{{4, "moov"}}, "video/quicktime", "mov"},
        {{{0, "RIFF\x10\x20\x30\x40" "AVI "}}, "video/avi", "avi"}, {{{0, "RIFF"}, {8, "WAVE"}}, "audio/wav", "wav"},
        {{{0, kPack1 + "\x00\x00\x01\xBB"s}}, "video/mpeg", "mpg"},
        {{{0, kPack2 + "\xFF\x00\x00\x01\xE0"s}, {700, "\x00\x00\x01\xB3"s}}, "video/mpeg", "mpg"},
        {{{0, "MZ"}, {30, "PKLITE Copr."}}, "archive/zip", "zip"}, {{{0, "MZ"}, {36, "LHa's SFX"}}, "archive/lha", "lha"},
        {{{0, "a.txt"}, {148, "0002436\0"s}, {257, "ustar"}}, "archive/tar", "tar"},
        {{{0, "RIFF"}, {8, "RMID"}}, "", ""},           {{{0, "MZ"}}, "", ""},
        {{{0, "Hello, world"}}, "", ""},
        // each a start that a real file of the type never has
        {{{0, "\xFF\xD8\x00\x10"s}}, "", ""},       {{{0, "BM"}, {6, "\x01"}, {14, "\x28"}}, "", ""},
        {{{0, "BM"}, {14, "\x7D"}}, "", ""},           {{{0, "a.txt"}, {148, "0002437\0"s}, {257, "ustar"}}, "", ""},
        {{{0, kPack1 + "\x00\x00\x01\xE0"s}, {900, "\x00\x00\x01\xBA"s}, {940, "\x00\x00\x01\xB3"s}}, "", ""},
        {{{0, "\x00\x00\x01\xBA\x00"s}, {12, "\x00\x00\x01\xBB"s}}, "", ""},  // neither MPEG-1 nor 2
        {{{0, "GIF89a"}}, "", ""},  // too few bytes left to read
    };
    std::vector<u8> bytes(1024 * std::size(cases) - 512, 0);
    for (size_t i = 0; i < std::size(cases); ++i) {
        for (const auto& [ofs, text] : cases[i].pieces) put(bytes, 1024 * i + ofs, text);
    }
    StreamRig rig(bytes);
    LogCapture logs(LOG_INFO);
    BulkStreamAnalyser bulk(nullptr);
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        StreamInfo info;
        EXPECT_EQ(bulk.analyse(rig.at(1024 * i), &info), !cases[i].mime.empty());
        EXPECT_EQ(info.mimeType, cases[i].mime);
        if (cases[i].mime.empty()) continue;
        EXPECT_EQ(info.start, 1024 * i);
        EXPECT_EQ(info.endIsMinimum, 1);
        EXPECT_EQ(info.analyser, &bulk);
        EXPECT_EQ(bulk.getExtension(info.mimeType), cases[i].ext);
    }
    EXPECT_FALSE(bulk.addSignature(std::make_unique<Signature>("x/far", "far", "ABCDE", 1020)));
    EXPECT_FALSE(bulk.addSignature(std::make_unique<Signature>("x/before", "bef", "A", -2)));
    EXPECT_TRUE(bulk.addSignature(std::make_unique<Signature>("x/edge", "edg", "ABCD", 1020)));
    EXPECT_TRUE(logs.hasPrefix("BulkStreamAnalyser - signature of x/far lies outside"));
}

}  // namespace
}  // namespace vorn::test
