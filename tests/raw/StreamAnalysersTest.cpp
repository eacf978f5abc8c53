// The stream analysers on their own: the base's size cap and mime table,
// the JPEG start marker, the RIFF analyser that registers but never
// reports, and the signature table (pattern decoding, row priority, offsets
// and the 1,024 bytes it reads).
#include <gtest/gtest.h>

#include <string>

#include "raw/BulkStreamAnalyser.h"
#include "raw/JPEGStreamAnalyser.h"
#include "raw/RIFFStreamAnalyser.h"
#include "raw/StreamInfo.h"
#include "raw/StreamRig.h"
#include "storage/LogCapture.h"

namespace vorn::test {
namespace {

class PlainAnalyser : public StreamAnalyser {
public:
    PlainAnalyser() : StreamAnalyser(nullptr) {}
    bool analyse(ComfortDataStream*, StreamInfo*) override { return false; }
};

TEST(StreamAnalyserBase, AStreamOfExactlyTheMaximumIsKeptOneByteMoreIsCut) {
    PlainAnalyser analyser;
    StreamInfo info;
    info.start = 1000;
    info.end = 1000 + 52428800 - 1;
    LogCapture logs;
    EXPECT_TRUE(analyser.checkSize(nullptr, &info));
    EXPECT_EQ(info.end, 1000u + 52428800 - 1);
    EXPECT_TRUE(logs.lines.empty());
    info.end += 1;
    EXPECT_TRUE(analyser.checkSize(nullptr, &info));
    EXPECT_EQ(info.end, 1000u + 52428800 - 1);
    EXPECT_TRUE(logs.has(">>>>> WARNING: stream truncated to: 52428800\n"));
}

TEST(StreamAnalyserBase, UnregisteredTypesAnswerEmptyAndTheLastRegistrationWins) {
    PlainAnalyser analyser;
    EXPECT_EQ(analyser.getExtension("image/none"), "");
    EXPECT_EQ(analyser.getIcon("image/none"), "");
    analyser.addMimeType("image/x", "one", "a.png");
    analyser.addMimeType("image/x", "two", "b.png");
    EXPECT_EQ(analyser.getExtension("image/x"), "two");
    EXPECT_EQ(analyser.getIcon("image/x"), "b.png");
    EXPECT_EQ(analyser.getExtensions().size(), 1u);
}

TEST(JPEGStreamAnalyser, ReportsTheStartOfImageMarkerOnly) {
    std::vector<u8> bytes(8192, 0);
    const u8 jpeg[] = {0xFF, 0xD8, 0xFF, 0xE0};
    const u8 notJpeg1[] = {0xFF, 0xD9};
    const u8 notJpeg2[] = {0x00, 0xD8};
    std::copy(std::begin(jpeg), std::end(jpeg), bytes.begin() + 1024);
    std::copy(std::begin(notJpeg1), std::end(notJpeg1), bytes.begin() + 2048);
    std::copy(std::begin(notJpeg2), std::end(notJpeg2), bytes.begin() + 3072);
    bytes[8191] = 0xFF;  // the disk ends after the first byte
    StreamRig rig(bytes);
    JPEGStreamAnalyser analyser(nullptr);
    EXPECT_EQ(analyser.getName(), "JPEGStreamAnalyser");
    EXPECT_EQ(analyser.getIcon("image/jpeg"), "photoicon.gif");
    StreamInfo info;
    ASSERT_TRUE(analyser.analyse(rig.at(1024), &info));
    EXPECT_EQ(info.mimeType, "image/jpeg");
    EXPECT_EQ(info.start, 1024u);
    EXPECT_EQ(info.end, 0u);
    EXPECT_EQ(info.endIsMinimum, 1);
    EXPECT_EQ(info.analyser, &analyser);
    StreamInfo none;
    EXPECT_FALSE(analyser.analyse(rig.at(2048), &none));
    EXPECT_FALSE(analyser.analyse(rig.at(3072), &none));
    LogCapture quiet(-1);
    EXPECT_FALSE(analyser.analyse(rig.at(8191), &none));
    EXPECT_TRUE(none.mimeType.empty());
}

TEST(RIFFStreamAnalyser, RegistersTheRiffTypesButNeverReportsAndNeverCaps) {
    std::vector<u8> bytes(4096, 0);
    put(bytes, 0, "RIFF");
    put(bytes, 8, "AVI LIST");
    StreamRig rig(bytes);
    RIFFStreamAnalyser analyser(nullptr);
    StreamInfo info;
    info.start = 77;
    EXPECT_FALSE(analyser.analyse(rig.at(0), &info));
    EXPECT_EQ(info.start, 77u);
    EXPECT_TRUE(info.mimeType.empty());
    EXPECT_EQ(analyser.getExtensions().size(), 5u);
    EXPECT_EQ(analyser.getExtension("audio/rmid"), "mid");
    EXPECT_EQ(analyser.getIcon("video/avi"), "ico_avi.png");
    info.start = 0;
    info.end = 200000000;
    EXPECT_TRUE(analyser.checkSize(rig.stream.get(), &info));
    EXPECT_EQ(info.end, 200000000u);
}

std::vector<u8> decode(const char* text) {
    std::vector<u8> out(Signature::decodePattern(text, nullptr));
    EXPECT_EQ(Signature::decodePattern(text, out.data()), out.size());
    return out;
}

TEST(SignatureDecode, EscapesGiveBytesAndTheWalkStaysInsideTheText) {
    EXPECT_EQ(decode("PK#x03#x04"), (std::vector<u8>{0x50, 0x4B, 0x03, 0x04}));
    EXPECT_EQ(decode("#xff#xd8"), (std::vector<u8>{0xFF, 0xD8}));
    EXPECT_EQ(decode("AB#"), (std::vector<u8>{'A', 'B'}));           // a trailing "#" is dropped
    EXPECT_EQ(decode("A#x"), (std::vector<u8>{'A'}));                // "#x" with no digit: nothing
    EXPECT_EQ(decode("A#xB"), (std::vector<u8>{'A', 0x0B}));         // one digit alone
    EXPECT_EQ(decode("#xZZ!"), (std::vector<u8>{0x00, '!'}));        // not hexadecimal: 0
    LogCapture logs;
    EXPECT_EQ(decode("#q12AB"), (std::vector<u8>{'2', 'A', 'B'}));  // "#q1" skipped
    EXPECT_EQ(logs.count("unknown escape code: q\n"), 2);            // once per pass
    EXPECT_EQ(decode("A#q"), (std::vector<u8>{'A'}));                // the skip stops at the end
    EXPECT_TRUE(decode("").empty());
}

TEST(SignatureRows, RowsReachingOutsideTheBytesReadAreRefused) {
    BulkStreamAnalyser bulk(nullptr);
    const size_t rows = bulk.getSignatures().size();
    LogCapture logs;
    EXPECT_FALSE(bulk.addSignature(std::make_unique<Signature>("x/far", "far", "ABCDE", 1020)));
    EXPECT_FALSE(bulk.addSignature(std::make_unique<Signature>("x/before", "bef", "A", -2)));
    EXPECT_TRUE(bulk.addSignature(std::make_unique<Signature>("x/edge", "edg", "ABCD", 1020)));
    EXPECT_EQ(bulk.getSignatures().size(), rows + 1);
    EXPECT_TRUE(logs.hasPrefix("BulkStreamAnalyser - signature of x/far lies outside"));
    for (const auto& row : bulk.getSignatures()) EXPECT_TRUE(row->fitsIn(BulkStreamAnalyser::kReadSize));
}

TEST(SignatureRows, EachRowIsLoggedWithItsPatternsWhenTheAnalyserIsMade) {
    LogCapture logs(LOG_INFO);
    BulkStreamAnalyser bulk(nullptr);
    EXPECT_EQ(bulk.getSignatures().size(), 27u);
    EXPECT_EQ(logs.lines.size(), 27u);
    EXPECT_TRUE(logs.has("sig mime: image/png, ext: png         ofs 0: #x89PNG\n"));
    EXPECT_TRUE(logs.has("sig mime: video/avi, ext: avi         ofs 0: RIFF       ofs 8: AVI\n"));
    EXPECT_TRUE(logs.has("sig mime: archive/zip, ext: zip         ofs 0: PK#x03#x04\n"));
    EXPECT_TRUE(logs.has("sig mime: archive/tar, ext: tar         ofs 257: ustar\n"));
    EXPECT_EQ(bulk.getExtension("audio/m4a"), "wav");
    EXPECT_EQ(bulk.getIcon("document/pdf"), "ico_audio.png");
}

// One block per case: the bytes a block begins with (and further bytes at
// offsets), and the type the table names, or "" for none.
struct BulkCase {
    const char* what;
    std::vector<std::pair<size_t, std::string>> pieces;
    const char* mime;
};

TEST(BulkStreamAnalyser, TheFirstMatchingRowNamesTheType) {
    const std::string asf("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16);
    const BulkCase cases[] = {
        {"avi", {{0, "RIFF"}, {4, "\x10\x20\x30\x40"}, {8, "AVI "}}, "video/avi"},
        {"wav", {{0, "RIFF"}, {8, "WAVE"}}, "audio/wav"},
        {"other riff", {{0, "RIFF"}, {8, "RMID"}}, ""},
        {"lha sfx", {{0, "MZ"}, {36, "LHa's SFX"}}, "archive/lha"},
        {"pklite", {{0, "MZ"}, {30, "PKLITE Copr."}}, "archive/zip"},
        {"plain exe", {{0, "MZ"}}, ""},
        {"lha", {{2, "-lh5-"}}, "archive/lha"},
        {"tar", {{0, "notes.txt"}, {257, "ustar"}}, "archive/tar"},
        {"m4a", {{4, "ftypM4A "}}, "audio/m4a"},
        {"mov", {{4, "moov"}}, "video/quicktime"},
        {"mpeg", {{0, std::string("\x00\x00\x01\xBA", 4)}}, "video/mpeg"},
        {"asf", {{0, asf}}, "video/asf"},
        {"gif", {{0, "GIF89a"}}, "image/gif"},
        {"pdf", {{0, "%PDF-1.4"}}, "document/pdf"},
        {"rtf", {{0, "{\\rtf1\\ansi"}}, "document/rtf"},
        {"zip", {{0, std::string("PK\x03\x04", 4)}}, "archive/zip"},
        {"gif beats bmp", {{0, "GIF"}}, "image/gif"},
        {"text", {{0, "Hello, world"}}, ""},
    };
    std::vector<u8> bytes(1024 * (std::size(cases) + 1), 0);
    for (size_t i = 0; i < std::size(cases); ++i) {
        for (const auto& [ofs, text] : cases[i].pieces) put(bytes, 1024 * i + ofs, text);
    }
    StreamRig rig(bytes);
    BulkStreamAnalyser bulk(nullptr);
    for (size_t i = 0; i < std::size(cases); ++i) {
        StreamInfo info;
        const bool hit = bulk.analyse(rig.at(1024 * i), &info);
        EXPECT_EQ(hit, *cases[i].mime != 0) << cases[i].what;
        EXPECT_EQ(info.mimeType, cases[i].mime) << cases[i].what;
        if (!hit) continue;
        EXPECT_EQ(info.start, 1024 * i) << cases[i].what;
        EXPECT_EQ(info.end, 0u);
        EXPECT_EQ(info.endIsMinimum, 1);
        EXPECT_EQ(info.analyser, &bulk);
    }
}

TEST(BulkStreamAnalyser, AddedRowsAreFoundByTheirFirstNonEmptyPatternOrMatchEverything) {
    std::vector<u8> bytes(4096, 0);
    put(bytes, 1024 + 10, "ZZ");
    StreamRig rig(bytes);
    BulkStreamAnalyser bulk(nullptr);
    // The first pattern decodes to nothing: the row is found by its second.
    ASSERT_TRUE(bulk.addSignature(std::make_unique<Signature>("x/second", "sec", "#", 0, "ZZ", 10)));
    StreamInfo info;
    EXPECT_FALSE(bulk.analyse(rig.at(0), &info));
    EXPECT_TRUE(bulk.analyse(rig.at(1024), &info));
    EXPECT_EQ(info.mimeType, "x/second");
    // A row without any pattern matches every block.
    ASSERT_TRUE(bulk.addSignature(std::make_unique<Signature>("x/any", "any", "", 0)));
    StreamInfo any;
    EXPECT_TRUE(bulk.analyse(rig.at(0), &any));
    EXPECT_EQ(any.mimeType, "x/any");
}

TEST(BulkStreamAnalyser, APositionLessThan1024BytesBeforeTheEndNeverMatches) {
    std::vector<u8> bytes(4096, 0);
    put(bytes, 2048, "GIF89a");
    put(bytes, 3584, "GIF89a");
    StreamRig rig(bytes);
    BulkStreamAnalyser bulk(nullptr);
    StreamInfo info;
    EXPECT_TRUE(bulk.analyse(rig.at(2048), &info));
    LogCapture logs;
    StreamInfo late;
    EXPECT_FALSE(bulk.analyse(rig.at(3584), &late));
    EXPECT_TRUE(logs.has("error: cannot read after file end\n"));
}

}  // namespace
}  // namespace vorn::test
