// The TIFF, OLE2, MP3, ZIP and text analysers on hand-made bytes: limits and damage no tool writes.
#include <gtest/gtest.h>

#include "raw/MP3StreamAnalyser.h"
#include "fs/MemoryTestDisk.h"
#include "raw/OLE2StreamAnalyser.h"
#include "raw/TextStreamAnalyser.h"
#include "raw/RawTestSupport.h"
#include "raw/TiffStreamAnalyser.h"
#include "raw/ZipStreamAnalyser.h"
#include "LogCapture.h"

namespace vorn::test {
namespace {

using namespace std::string_literals;

void le(std::vector<u8>& b, size_t ofs, u64 v, int n) {
    for (int i = 0; i < n; ++i) b[ofs + i] = static_cast<u8>(v >> (8 * i));
}

struct Found {
    bool hit;
    std::string mime;
    u64 end;  // relative to the start, 0 for none
};

// Runs the analyser on every slot of the disk; the slots' results.
std::vector<Found> analyseSlots(StreamAnalyser& analyser, StreamRig& rig, size_t slot, size_t count) {
    std::vector<Found> found;
    for (size_t i = 0; i < count; ++i) {
        StreamInfo info;
        const bool hit = analyser.analyse(rig.at(i * slot), &info);
        found.push_back({hit, hit ? info.mimeType : "", hit && info.end ? info.end - i * slot : 0});
        EXPECT_EQ(hit ? info.start : i * slot, i * slot) << i;
        EXPECT_EQ(hit ? info.analyser : &analyser, &analyser) << i;
    }
    return found;
}

void expectFound(const std::vector<Found>& got, const std::vector<Found>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].hit, want[i].hit);
        EXPECT_EQ(got[i].mime, want[i].mime);
        EXPECT_EQ(got[i].end, want[i].end);
    }
}

// ---- TIFF: little-endian files of directories at given offsets.
struct Entry { u16 tag, type; u32 count, value; };
struct Tiff {
    std::string header;  // "II*\0", "IIRS", "MM\0*"
    std::vector<std::pair<u32, std::vector<Entry>>> directories;
    std::vector<std::pair<u32, std::string>> data;  // texts and tables
};

void layTiff(std::vector<u8>& b, size_t at, const Tiff& t) {
    const bool big = t.header[0] == 'M';
    auto put = [&](size_t ofs, u64 v, int n) {
        for (int i = 0; i < n; ++i) b[at + ofs + i] = static_cast<u8>(v >> (8 * (big ? n - 1 - i : i)));
    };
    put(0, 0, 4);
    std::copy(t.header.begin(), t.header.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    put(4, t.directories.front().first, 4);
    for (const auto& [ofs, entries] : t.directories) {
        put(ofs, entries.size(), 2);
        for (size_t i = 0; i < entries.size(); ++i) {
            const Entry& e = entries[i];
            const size_t p = ofs + 2 + 12 * i;
            put(p, e.tag, 2), put(p + 2, e.type, 2), put(p + 4, e.count, 4);
            const bool shortValue = (e.type == 3 || e.type == 8) && e.count <= 2;
            shortValue ? put(p + 8, e.value, 2) : put(p + 8, e.value, 4);
        }
    }
    for (const auto& [ofs, bytes] : t.data) std::copy(bytes.begin(), bytes.end(), b.begin() + at + ofs);
}

std::string le32s(std::initializer_list<u32> values) {
    std::string s;
    for (u32 v : values) s += std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    return s;
}

TEST(TiffAnalyser, MakersPrivateTagsSubDirectoriesCyclesAndStripsDecideTypeAndSize) {
    const Entry olympus{271, 2, 8, 62000}, canon{271, 2, 6, 62010}, nikon{271, 2, 6, 62020}, dng{50706, 1, 4, 0x01040000};
    const std::vector<std::pair<u32, std::string>> makes = {
        {62000, "OlYmPuS\0"s}, {62010, "Canon\0"s}, {62020, "NIKON\0"s}};
    std::vector<Entry> many(5000, Entry{1, 1, 1, 0});
    many[0] = nikon;
    std::vector<Entry> tooMany = many;
    tooMany.push_back(Entry{1, 1, 1, 0});
    const std::vector<std::pair<Tiff, Found>> cases = {
        {{"II*\0"s, {{8, {{273, 4, 3, 600}, {279, 4, 3, 620}}}}, {{600, le32s({8, 5000, 3000})},
                                                                   {620, le32s({100, 200, 300})}}},
         {true, "image/tiff", 5199}},
        {{"IIRS", {{8, {olympus}}}, makes}, {true, "image/orf", 0}},
        {{"IIRS", {{8, {canon}}}, makes}, {false, "", 0}},
        {{"II*\0"s, {{8, {canon, {34310, 7, 16, 900}}}}, makes}, {true, "image/mos", 0}},
        {{"MM\0*"s, {{8, {nikon, dng}}}, makes}, {true, "image/dng", 0}},
        // SubIFDs: one with the DNG tag, one with strips, one back to the first; the Exif one names itself
        {{"II*\0"s,
          {{8, {canon, {330, 4, 3, 600}, {34665, 4, 1, 200}}},
           {100, {dng}},
           {150, {{273, 4, 1, 9000}, {279, 4, 1, 100}}},
           {200, {{34665, 4, 1, 200}}}},
          {{600, le32s({100, 150, 8})}, makes[1]}},
         {true, "image/dng", 9099}},
        {{"II*\0"s, {{8, many}}, makes}, {true, "image/nef", 0}},
        {{"II*\0"s, {{8, tooMany}}, makes}, {true, "image/tiff", 0}},
        {{"II*\0"s, {{8, {canon, {1, 1, 0, 0}, nikon}}}, makes}, {true, "image/cr2", 0}},  // count 0 ends it
    };
    constexpr size_t kSlot = 65536;
    std::vector<u8> bytes(kSlot * cases.size(), 0);
    std::vector<Found> want;
    for (size_t i = 0; i < cases.size(); ++i) layTiff(bytes, i * kSlot, cases[i].first), want.push_back(cases[i].second);
    StreamRig rig(bytes);
    TiffStreamAnalyser tiff(nullptr);
    LogCapture logs(LOG_DEBUG);
    expectFound(analyseSlots(tiff, rig, kSlot, cases.size()), want);
    EXPECT_EQ(logs.count("ifdcounter: 0, level: 1, ifdofs: 200\n"), 1);  // each directory walked once
    EXPECT_EQ(logs.count("ifdcounter: 0, level: 0, ifdofs: 8\n"), static_cast<int>(cases.size()));
}

// ---- OLE2: FAT sectors 0..n-1, DIFAT sectors, then a directory sector naming a workbook, the file's end.
struct Compound { u32 fatCount; bool difatCycle; std::vector<u8> bytes; u64 size; };

Compound compound(u32 n, bool difatCycle = false) {
    const u32 difat = n > 109 ? (n - 109 + 126) / 127 : 0, directory = n + difat;
    Compound c{n, difatCycle, std::vector<u8>(512 * (directory + 2) + 512, 0xFF), 512 * (u64(directory) + 2)};
    std::vector<u8>& b = c.bytes;
    std::fill(b.begin(), b.begin() + 512, 0);
    le(b, 0, 0xE011CFD0, 4), le(b, 0x2C, n, 4), le(b, 0x44, difat ? n : 0xFFFFFFFE, 4), le(b, 0x48, difat, 4);
    auto sector = [](u32 s) { return 512 + 512 * size_t(s); };
    std::vector<u32> fat(n);
    for (u32 i = 0; i < n; ++i) fat[i] = i;
    for (u32 i = 0; i < 109; ++i) le(b, 0x4C + 4 * i, i < n ? fat[i] : 0xFFFFFFFF, 4);
    for (u32 d = 0; d < difat; ++d) {
        for (u32 i = 0; i < 127; ++i) le(b, sector(n + d) + 4 * i, 109 + 127 * d + i < n ? 109 + 127 * d + i : ~0u, 4);
        le(b, sector(n + d) + 508, difatCycle ? n + d : d + 1 < difat ? n + d + 1 : 0xFFFFFFFE, 4);
    }
    auto entry = [&](u32 index, u32 value) { le(b, sector(index / 128) + 4 * (index % 128), value, 4); };
    if (n > 0) {
        for (u32 i = 0; i < n; ++i) entry(i, 0xFFFFFFFD);
        for (u32 d = 0; d < difat; ++d) entry(n + d, 0xFFFFFFFC);
        entry(directory, 0xFFFFFFFE);
    }
    std::fill(b.begin() + sector(directory), b.begin() + sector(directory) + 512, 0);
    const std::string name = "W\0o\0r\0k\0b\0o\0o\0k\0"s;
    std::copy(name.begin(), name.end(), b.begin() + sector(directory));
    return c;
}

TEST(OLE2Analyser, FatSectorsComeFromTheHeaderAndTheDifatUpToTheCapAndUnreadableOnesLeaveNoEnd) {
    const Compound cases[] = {compound(0), compound(109), compound(201), compound(256),
                              compound(257), compound(256, true), compound(110)};
    constexpr size_t kSlot = 256 * 1024;
    std::vector<u8> bytes(kSlot * std::size(cases), 0);
    std::vector<Found> want;
    for (size_t i = 0; i < std::size(cases); ++i) {
        std::copy(cases[i].bytes.begin(), cases[i].bytes.end(), bytes.begin() + i * kSlot);
        const bool sized = cases[i].fatCount <= 256 && !cases[i].difatCycle && i != 6;
        want.push_back({true, sized ? "application/msexcel" : "application/ole2", sized ? cases[i].size - 1 : 0});
    }
    StreamRig rig(bytes);
    rig.disk.failBlock((6 * kSlot + 512 + 512 * 100) / 512);  // the last case's FAT sector 100
    OLE2StreamAnalyser ole2(nullptr);
    expectFound(analyseSlots(ole2, rig, kSlot, std::size(cases)), want);
}

// ---- MP3: frames of one header, each followed by zeros.
std::string frames(const std::string& header, u32 length, u32 count) {
    std::string s;
    for (u32 i = 0; i < count; ++i) s += header + std::string(length - 4, '\0');
    return s;
}

TEST(MP3Analyser, AHundredFramesAtEveryRateOrAVersion23TagMakeAFileThatEndsAfterItsLastFrame) {
    const std::string l3 = "\xFF\xFB\x90\x00"s, tag23 = "ID3\x03\x00\x00\x00\x00\x00\x64"s;
    const std::string tag1 = "TAG" + std::string(125, 'x');
    const std::vector<std::pair<std::string, Found>> cases = {
        {frames(l3, 417, 100), {true, "audio/mp3", 41699}},
        {frames(l3, 417, 99), {false, "", 0}},
        {frames("\xFF\xFB\x92\x00"s, 418, 100), {true, "audio/mp3", 41799}},    // padding
        {frames("\xFF\xF3\x90\x00"s, 261, 100), {true, "audio/mp3", 26099}},    // MPEG-2 Layer III, 22.05 kHz
        {frames("\xFF\xE3\x18\x00"s, 72, 100), {true, "audio/mp3", 7199}},      // MPEG 2.5, 8 kHz
        {frames("\xFF\xFD\x80\x00"s, 417, 100), {true, "audio/mp3", 41699}},    // Layer II
        {tag23 + std::string(100, '\0') + frames(l3, 417, 10) + tag1, {true, "audio/mp3", 110 + 4170 + 128 - 1}},
        {tag23 + std::string(100, '\0'), {true, "audio/mp3", 0}},
        {"ID3\x04"s + std::string(106, '\0') + frames(l3, 417, 100), {false, "", 0}},
        {frames("\xFF\xFB\x00\x00"s, 417, 100), {false, "", 0}},  // free format
    };
    constexpr size_t kSlot = 65536;
    std::vector<u8> bytes(kSlot * cases.size(), 0);
    std::vector<Found> want;
    for (size_t i = 0; i < cases.size(); ++i) put(bytes, i * kSlot, cases[i].first), want.push_back(cases[i].second);
    StreamRig rig(bytes);
    MP3StreamAnalyser mp3(nullptr);
    expectFound(analyseSlots(mp3, rig, kSlot, cases.size()), want);
}

// ---- ZIP: archives of stored entries.
// descriptor 1: sizes only there; 2: also in the header; 3: as 2, without its signature
struct ZipEntry { std::string name; u32 dataLength; int descriptor; };

std::string zip(const std::vector<ZipEntry>& entries, i64 endOffsetError = 0) {
    std::string local, central;
    for (const ZipEntry& e : entries) {
        const u32 at = static_cast<u32>(local.size()), flags = e.descriptor ? 8 : 0;
        std::string h = "PK\x03\x04"s + std::string(26, '\0');
        std::vector<u8> f(h.begin(), h.end());
        le(f, 6, flags, 2), le(f, 18, e.descriptor == 1 ? 0 : e.dataLength, 4), le(f, 22, e.descriptor == 1 ? 0 : e.dataLength, 4);
        le(f, 26, e.name.size(), 2);
        local += std::string(f.begin(), f.end()) + e.name + std::string(e.dataLength, 'd');
        if (e.descriptor) local += (e.descriptor == 3 ? ""s : "PK\x07\x08"s) + le32s({0, e.dataLength, e.dataLength});
        std::vector<u8> c(46, 0);
        le(c, 0, 0x02014B50, 4), le(c, 8, flags, 2), le(c, 20, e.dataLength, 4), le(c, 24, e.dataLength, 4);
        le(c, 28, e.name.size(), 2), le(c, 42, at, 4);
        central += std::string(c.begin(), c.end()) + e.name;
    }
    std::vector<u8> end(22, 0);
    le(end, 0, 0x06054B50, 4), le(end, 8, entries.size(), 2), le(end, 10, entries.size(), 2);
    le(end, 12, central.size(), 4), le(end, 16, static_cast<u64>(i64(local.size()) + endOffsetError), 4);
    return local + central + std::string(end.begin(), end.end());
}

TEST(ZipAnalyser, DocumentTypesByEntryNamesAndExactSizesAlsoThroughDataDescriptors) {
    // The first central header starts 65534 bytes into the first search window (after the signature).
    const std::string across = zip({{"a", 65538 - 31 - 52, 0}, {"Word/Document.XML", 5, 0}});
    const std::vector<std::pair<std::string, Found>> cases = {
        {across, {true, "application/zip-msword", across.size() - 1}},
        {zip({{"word/document.xml", 9, 0}, {"xl/workbook.xml", 7, 0}}), {true, "application/zip-msexcel", 0}},
        {zip({{"ppt/presentation.xml", 300, 1}, {"b", 20, 1}}), {true, "application/zip-mspowerpoint", 0}},
        {zip({{"a", 300, 1}}, 1), {true, "application/zip-compressed", 0}},  // the end record disagrees
        {"PK\x03\x04"s + std::string(26, '\0'), {true, "application/zip-compressed", 29}},  // no central directory
        {zip({{"a", 300, 2}, {"b", 20, 3}}), {true, "application/zip-compressed", 0}},
    };
    constexpr size_t kSlot = 256 * 1024;
    std::vector<u8> bytes(kSlot * cases.size(), 0);
    std::vector<Found> want;
    for (size_t i = 0; i < cases.size(); ++i) {
        put(bytes, i * kSlot, cases[i].first);
        want.push_back(cases[i].second);
        if (i == 1 || i == 2 || i == 5) want.back().end = cases[i].first.size() - 1;
    }
    StreamRig rig(bytes);
    ZipStreamAnalyser zipAnalyser(nullptr);
    expectFound(analyseSlots(zipAnalyser, rig, kSlot, cases.size()), want);
    for (u64 from : {4, 1000, 65538}) {  // later searches inside the first one's range: the same answer
        u64 found = 0;
        EXPECT_TRUE(zipAnalyser.findCentralDirectory(rig.stream.get(), from, found));
        EXPECT_EQ(found, 65538u) << from;
    }
}

// ---- Text.
TEST(TextClassifier, CharacterSetsKindsAndWholeWordsDecideTheClass) {
    const std::pair<std::string, std::string> cases[] = {
        {"#include <a.h>\n", "text/c"},
        {"classes of things\n", "text/plain; charset=us-ascii"},  // a word only beginning with a keyword
        {"x (input, y)", "text/pascal"},
        {".TH PAGE 1\n", "text/troff"},
        {".a", "text/plain; charset=us-ascii"},  // a request cut by the end of the data
        {"C     comment\n", "text/fortran"},
        {"caf\xC3\xA9 au lait\n", "text/plain; charset=utf-8"},
        {"\xA9 caf\xC3\xA9\n", "text/plain; charset=utf-8"},  // begins inside a character
        {"\xFF\xFEh\0i\0"s, "text/plain; charset=utf-16"},
        {"caf\xE9\n", "text/plain; charset=iso-8859-1"},
        {"\x93quoted\x94\n", "text/plain; charset=unknown"},
        {"\xC8\x85\x93\x93\x96\x15", "text/plain; charset=ebcdic"},  // "Hello" and NEL
        {"h\0i\0"s, ""},                                            // UTF-16 without its byte-order mark
        {"\xFF\xFE\x3D\xD8\x00\xDE!\0"s, "text/plain; charset=utf-16"},  // a surrogate pair
        {"\xFF\xFE\x00\xDE\x3D\xD8"s, ""},                          // no text: a low surrogate first
        {"\xFE\xFF\x4E\x2D\x00\x90"s, ""},                          // no text: a C1 control
        {std::string(512, '\0'), ""},
        {"text, then \x01 binary", ""},
    };
    TextStreamAnalyser text(nullptr);
    for (const auto& [bytes, mime] : cases) {
        SCOPED_TRACE(bytes);
        EXPECT_EQ(text.classifyText(reinterpret_cast<const u8*>(bytes.data()), static_cast<u32>(bytes.size())),
                  !mime.empty());
        EXPECT_EQ(mime.empty() ? "" : text.getResult().mime(), mime);
    }
}

// 512-byte blocks: C then English, a two-block run, Pascal (not registered), runs with the second keyword,
// with none, and with one across the keyword search's 2048-byte chunks.
TEST(TextAnalyser, RunsEndWhereTheClassChangesAndKeywordsLimitThem) {
    std::vector<u8> bytes(24 * 512, 0);
    const std::pair<u64, std::string> blocks[] = {{0, "#include <a.h>\n"}, {1, "the end\n"},  {4, "alpha beta\n"},
                                                  {5, "gamma\n"},          {7, "(input, x)"}, {9, "hay pin hay\n"},
                                                  {10, "hay\n"},           {12, "hay\n"},    {13, "hay\n"}};
    for (const auto& [block, text] : blocks) put(bytes, block * 512, text);
    std::fill(bytes.begin() + 15 * 512, bytes.begin() + 21 * 512, 'a');
    put(bytes, 15 * 512 + 2045, "needle");
    const std::string plain = "text/plain; charset=us-ascii/";
    const std::map<std::string, u64> all = {{"text/c/0.c", 512},       {"text/plain/1.txt", 512},
                                            {plain + "4.txt", 1024},   {plain + "9.txt", 1024},
                                            {plain + "12.txt", 1024},  {plain + "15.txt", 3072}};
    for (bool limit : {false, true}) {
        CarveRig rig(std::make_unique<MemoryTestDisk>(bytes), 512);
        rig.recovery.setEnableSearchText(true);
        rig.recovery.setEnableSearchKeywords(limit);
        rig.recovery.setKeywords({"needle", "pin"});
        LogCapture quiet(LOG_ERROR);
        rig.scan();
        std::map<std::string, u64> sizes;
        for (const auto& [path, item] : rig.items()) sizes[path] = item->getSize();
        auto want = all;
        if (limit) want = {{plain + "9.txt", 1024}, {plain + "15.txt", 3072}};
        EXPECT_EQ(sizes, want) << limit;
    }
}

// A text analyser whose runs are cut at 64 KiB rather than at 50 MiB.
class ShortRunText : public TextStreamAnalyser {
public:
    explicit ShortRunText(RawAnalyser* owner) : TextStreamAnalyser(owner) { maxStreamSize = 65536; }
};

// 256 KiB of plain words in 512-byte blocks, the keyword at 200 KiB, asked at every block as the scan
// asks, which jumps past a find's end. Runs are cut at 64 KiB, so the run from each start reaches one
// block further than the last: the first run that holds the keyword is found, and the search reads each
// stretch once, not a whole run per start.
TEST(TextAnalyser, AKeywordSearchReadsEachStretchOnceAlsoWhereRunsAreCutShort) {
    constexpr u64 kSize = 256 * 1024, kCap = 65536, kNeedle = 200 * 1024;
    const std::string words = "hay and straw lie in the barn\n";
    std::vector<u8> bytes(kSize);
    for (u64 i = 0; i < kSize; ++i) bytes[i] = static_cast<u8>(words[i % words.size()]);
    put(bytes, kNeedle, "needle");
    CarveRig rig(std::make_unique<MemoryTestDisk>(bytes), 512);
    rig.recovery.setEnableSearchText(true);
    rig.recovery.setEnableSearchKeywords(true);
    rig.recovery.setKeywords({"pin", "needle"});
    RecoveryTestAccess::setScanGeometry(rig.recovery, 0, 512, 1, kSize / 512);
    RawAnalyser raw(&rig.recovery);
    ShortRunText text(&raw);
    StreamRig stream(bytes);
    std::map<u64, u64> finds;
    for (u64 start = 0; start < kSize; start += 512) {
        StreamInfo info;
        if (!text.analyse(stream.at(start), &info)) continue;
        finds[start] = info.end;
        start = info.end + 1 - 512;
    }
    const u64 first = (kNeedle + 6 - kCap + 511) / 512 * 512;
    EXPECT_EQ(finds, (std::map<u64, u64>{{first, first + kCap - 1}}));
    EXPECT_LE(stream.stream->getBytesAsked(), 4 * kSize);
}

}  // namespace
}  // namespace vorn::test
