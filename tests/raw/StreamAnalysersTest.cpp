// The stream analysers on their own: the base's size cap and mime table,
// the JPEG start marker, the RIFF analyser that registers but never
// reports, and the signature table (pattern decoding, row priority, offsets,
// the first-byte test and the 1,024 bytes it reads).
#include <gtest/gtest.h>

#include "raw/BulkStreamAnalyser.h"
#include "raw/JPEGStreamAnalyser.h"
#include "raw/RIFFStreamAnalyser.h"
#include "raw/RawTestSupport.h"
#include "storage/LogCapture.h"

namespace vorn::test {
namespace {

TEST(StreamAnalyserBase, ExactlyTheMaximumIsKeptOneByteMoreIsCutAndTheLastRegistrationWins) {
    JPEGStreamAnalyser analyser(nullptr);
    StreamInfo info;
    info.start = 1000;
    info.end = 1000 + 52428800 - 1;
    LogCapture logs;
    analyser.checkSize(nullptr, &info);
    EXPECT_EQ(info.end, 1000u + 52428800 - 1);
    EXPECT_TRUE(logs.lines.empty());
    info.end += 1;
    analyser.checkSize(nullptr, &info);
    EXPECT_EQ(info.end, 1000u + 52428800 - 1);
    EXPECT_TRUE(logs.has(">>>>> WARNING: stream truncated to: 52428800\n"));
    EXPECT_EQ(analyser.getExtension("image/none"), "");
    EXPECT_EQ(analyser.getIcon("image/none"), "");
    analyser.addMimeType("image/jpeg", "jpeg", "b.png");
    EXPECT_EQ(analyser.getExtension("image/jpeg"), "jpeg");
    EXPECT_EQ(analyser.getIcon("image/jpeg"), "b.png");
}

TEST(JPEGAndRIFFStreamAnalysers, JpegNeedsFFD8AndRiffNeverReportsNorCaps) {
    std::vector<u8> bytes(8192, 0);
    put(bytes, 1024, "\xFF\xD8\xFF\xE0");
    put(bytes, 2048, "\xFF\xD9");
    put(bytes, 3072, std::string("\x00\xD8", 2));
    put(bytes, 4096, "RIFF\x10\x20\x30\x40" "AVI LIST");
    bytes[8191] = 0xFF;  // the disk ends after it
    StreamRig rig(bytes);
    JPEGStreamAnalyser jpeg(nullptr);
    StreamInfo info;
    ASSERT_TRUE(jpeg.analyse(rig.at(1024), &info));
    EXPECT_EQ(info.mimeType, "image/jpeg");
    EXPECT_EQ(info.start, 1024u);
    EXPECT_EQ(info.end, 0u);
    EXPECT_EQ(info.endIsMinimum, 1);
    EXPECT_EQ(info.analyser, &jpeg);
    LogCapture quiet(-1);
    for (u64 ofs : {2048, 3072, 8191}) EXPECT_FALSE(jpeg.analyse(rig.at(ofs), &info)) << ofs;

    RIFFStreamAnalyser riff(nullptr);
    StreamInfo untouched;
    EXPECT_FALSE(riff.analyse(rig.at(4096), &untouched));
    EXPECT_TRUE(untouched.mimeType.empty());
    EXPECT_EQ(riff.getExtensions().size(), 5u);
    untouched.end = 200000000;
    riff.checkSize(rig.stream.get(), &untouched);
    EXPECT_EQ(untouched.end, 200000000u);
}

std::vector<u8> decode(const char* text) {
    std::vector<u8> out(Signature::decodePattern(text, nullptr));
    EXPECT_EQ(Signature::decodePattern(text, out.data()), out.size());
    return out;
}

TEST(SignatureDecode, EscapesGiveBytesAndTheWalkStaysInsideTheText) {
    EXPECT_EQ(decode("PK#x03#x04"), (std::vector<u8>{0x50, 0x4B, 0x03, 0x04}));
    EXPECT_EQ(decode("AB#"), (std::vector<u8>{'A', 'B'}));         // a trailing "#" is dropped
    EXPECT_EQ(decode("A#x"), (std::vector<u8>{'A'}));              // "#x" without digits: nothing
    EXPECT_EQ(decode("A#xB"), (std::vector<u8>{'A', 0x0B}));       // one digit alone
    EXPECT_EQ(decode("#xZZ!"), (std::vector<u8>{0x00, '!'}));      // not hexadecimal: 0
    LogCapture logs;
    EXPECT_EQ(decode("#q12AB"), (std::vector<u8>{'2', 'A', 'B'}));  // "#q1" skipped
    EXPECT_EQ(logs.count("unknown escape code: q\n"), 2);          // once per pass
    EXPECT_EQ(decode("A#q"), (std::vector<u8>{'A'}));              // the skip stops at the end
}

TEST(SignatureRows, RowsAreLoggedAndThoseReachingOutsideTheBytesReadRefused) {
    LogCapture logs(LOG_INFO);
    BulkStreamAnalyser bulk(nullptr);
    EXPECT_EQ(bulk.getSignatures().size(), 27u);
    EXPECT_EQ(logs.lines.size(), 27u);
    EXPECT_TRUE(logs.has("sig mime: image/png, ext: png         ofs 0: #x89PNG\n"));
    EXPECT_TRUE(logs.has("sig mime: video/avi, ext: avi         ofs 0: RIFF       ofs 8: AVI\n"));
    EXPECT_TRUE(logs.has("sig mime: archive/tar, ext: tar         ofs 257: ustar\n"));
    EXPECT_EQ(bulk.getExtension("audio/m4a"), "wav");
    EXPECT_EQ(bulk.getIcon("document/pdf"), "ico_audio.png");
    EXPECT_FALSE(bulk.addSignature(std::make_unique<Signature>("x/far", "far", "ABCDE", 1020)));
    EXPECT_FALSE(bulk.addSignature(std::make_unique<Signature>("x/before", "bef", "A", -2)));
    EXPECT_TRUE(bulk.addSignature(std::make_unique<Signature>("x/edge", "edg", "ABCD", 1020)));
    EXPECT_TRUE(logs.hasPrefix("BulkStreamAnalyser - signature of x/far lies outside"));
    EXPECT_EQ(bulk.getSignatures().size(), 28u);
}

TEST(BulkStreamAnalyser, TheFirstMatchingRowNamesTheType) {
    const struct {
        std::vector<std::pair<size_t, std::string>> pieces;
        const char* mime;
    } cases[] = {
        {{{0, "RIFF"}, {4, "\x10\x20\x30\x40"}, {8, "AVI "}}, "video/avi"},
        {{{0, "RIFF"}, {8, "WAVE"}}, "audio/wav"},
        {{{0, "RIFF"}, {8, "RMID"}}, ""},
        {{{0, "MZ"}, {36, "LHa's SFX"}}, "archive/lha"},
        {{{0, "MZ"}, {30, "PKLITE Copr."}}, "archive/zip"},
        {{{0, "MZ"}}, ""},
        {{{2, "-lh5-"}}, "archive/lha"},
        {{{0, "notes.txt"}, {257, "ustar"}}, "archive/tar"},
        {{{4, "ftypM4A "}}, "audio/m4a"},
        {{{4, "moov"}}, "video/quicktime"},
        {{{0, std::string("\x00\x00\x01\xBA", 4)}}, "video/mpeg"},
        {{{0, std::string("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16)}}, "video/asf"},
        {{{0, "GIF89a"}}, "image/gif"},
        {{{0, "{\\rtf1\\ansi"}}, "document/rtf"},
        {{{0, std::string("PK\x03\x04", 4)}}, "archive/zip"},
        {{{0, "Hello, world"}}, ""},
    };
    std::vector<u8> bytes(1024 * (std::size(cases) + 1), 0);
    for (size_t i = 0; i < std::size(cases); ++i) {
        for (const auto& [ofs, text] : cases[i].pieces) put(bytes, 1024 * i + ofs, text);
    }
    StreamRig rig(bytes);
    BulkStreamAnalyser bulk(nullptr);
    for (size_t i = 0; i < std::size(cases); ++i) {
        StreamInfo info;
        EXPECT_EQ(bulk.analyse(rig.at(1024 * i), &info), *cases[i].mime != 0) << i;
        EXPECT_EQ(info.mimeType, cases[i].mime) << i;
        if (*cases[i].mime) {
            EXPECT_TRUE(info.start == 1024 * i && info.endIsMinimum == 1 && info.analyser == &bulk);
        }
    }
}

TEST(BulkStreamAnalyser, AddedRowsTakePartInTheFirstByteTestAndTheLast1024BytesNeverMatch) {
    std::vector<u8> bytes(4096, 0);
    put(bytes, 1024 + 10, "ZZ");
    put(bytes, 3584, "GIF89a");
    StreamRig rig(bytes);
    BulkStreamAnalyser bulk(nullptr);
    // The first pattern decodes to nothing: the row is found by its second.
    ASSERT_TRUE(bulk.addSignature(std::make_unique<Signature>("x/second", "sec", "#", 0, "ZZ", 10)));
    StreamInfo info;
    EXPECT_FALSE(bulk.analyse(rig.at(0), &info));
    EXPECT_TRUE(bulk.analyse(rig.at(1024), &info));
    EXPECT_EQ(info.mimeType, "x/second");
    LogCapture logs;
    EXPECT_FALSE(bulk.analyse(rig.at(3584), &info));
    EXPECT_TRUE(logs.has("error: cannot read after file end\n"));
    // A row without any pattern matches every block.
    ASSERT_TRUE(bulk.addSignature(std::make_unique<Signature>("x/any", "any", "", 0)));
    EXPECT_TRUE(bulk.analyse(rig.at(0), &info));
    EXPECT_EQ(info.mimeType, "x/any");
}

}  // namespace
}  // namespace vorn::test
