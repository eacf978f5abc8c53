// The JPEG 2000 header reader on the hand-made shapes of
// tests/fixtures/j2k_gen.py and on ImageMagick's files: the tile-part
// lengths it cuts to the file, and the damaged headers it refuses.
#include <gtest/gtest.h>

#include <QFile>
#include <vector>

#include "TestMedia.h"
#include "gui/Jpeg2000Header.h"
#include "misc/Bytes.h"

namespace vorn::test {
namespace {

using gui::Jpeg2000Header;

std::vector<u8> shape(const std::string& name) {
    QFile file(QString::fromStdString(mediaPath("previews/" + name)));
    if (!file.open(QIODevice::ReadOnly)) ADD_FAILURE() << "missing medium " << name;
    const QByteArray bytes = file.readAll();
    return std::vector<u8>(bytes.begin(), bytes.end());
}

// The offset of the first SOT marker segment (FF90 000A).
size_t firstTilePart(const std::vector<u8>& bytes) {
    for (size_t i = 0; i + 4 <= bytes.size(); ++i)
        if (loadBE32(bytes.data() + i) == 0xFF90000Au) return i;
    return bytes.size();
}

// A tile-part length past the end of the file is cut to the file (short of
// a closing EOC); true lengths and "to the end" (0) stay as they are. What
// each shape then decodes to, and within what memory, is
// Preview.Jpeg2000PreviewsStayWithinTheBound's to tell.
TEST(Jpeg2000Header, TilePartLengthsPastTheEndAreCutToTheFile) {
    const struct {
        const char* name;
        bool cut;
    } rows[] = {{"j2k/psot_2g.j2k", true}, {"j2k/psot_4g.j2k", true},    {"j2k/psot_2g.jp2", true},
                {"cut.jp2", true},         {"j2k/grey.j2k", false},      {"j2k/psot_zero.j2k", false},
                {"picture.j2k", false},    {"picture.jp2", false},       {"j2k/unknown.j2k", false}};
    for (const auto& row : rows) {
        std::vector<u8> bytes = shape(row.name);
        const std::vector<u8> before = bytes;
        const size_t sot = firstTilePart(bytes);
        ASSERT_LT(sot + 12, bytes.size()) << row.name;
        const Jpeg2000Header header = Jpeg2000Header::read(bytes.data(), bytes.size());
        EXPECT_TRUE(header.valid()) << row.name << ": " << header.problem();
        EXPECT_EQ(header.cutTileParts(), row.cut ? 1u : 0u) << row.name;
        if (row.cut) {
            const bool eoc = loadBE16(bytes.data() + bytes.size() - 2) == 0xFFD9;
            EXPECT_EQ(sot + loadBE32(bytes.data() + sot + 6), bytes.size() - (eoc ? 2 : 0)) << row.name;
        } else {
            EXPECT_EQ(bytes, before) << row.name;
        }
    }
}

// A comment that ends in the first 11 bytes of a lookalike tile-part
// header hides the real one, which starts on the lookalike's twelfth byte:
// the real length, 2 GiB, is cut as well.
TEST(Jpeg2000Header, ATilePartStartingInsideALookalikeIsCutToo) {
    std::vector<u8> bytes = shape("j2k/psot_masked.j2k");
    ASSERT_GT(bytes.size(), 40u);
    // SOT (12 bytes), SOD, one packet byte, EOC.
    const size_t sot = bytes.size() - 17;
    ASSERT_EQ(loadBE32(bytes.data() + sot), 0xFF90000Au);
    ASSERT_EQ(loadBE32(bytes.data() + sot - 11), 0xFF90000Au);
    const Jpeg2000Header header = Jpeg2000Header::read(bytes.data(), bytes.size());
    EXPECT_TRUE(header.valid()) << header.problem();
    EXPECT_EQ(header.cutTileParts(), 2u);
    EXPECT_EQ(sot + loadBE32(bytes.data() + sot + 6), bytes.size() - 2);
}

TEST(Jpeg2000Header, DamagedHeadersAreRefused) {
    std::vector<u8> box = shape("j2k/box_past_end.jp2");
    EXPECT_FALSE(Jpeg2000Header::read(box.data(), box.size()).valid());

    // Every cut inside the main header is refused; the reader stays inside
    // the cut (the sanitizer build would see a read past it).
    const std::vector<u8> whole = shape("picture.j2k");
    const size_t mainHeader = firstTilePart(whole);
    ASSERT_LT(mainHeader, whole.size());
    for (size_t n = 0; n < mainHeader + 2; ++n) {
        std::vector<u8> cut(whole.begin(), whole.begin() + long(n));
        EXPECT_FALSE(Jpeg2000Header::read(cut.data(), cut.size()).valid()) << n;
    }
    // Cut anywhere after it: the tile-part length is cut to what is left.
    for (size_t n : {mainHeader + 14, mainHeader + 100, whole.size() / 2}) {
        std::vector<u8> cut(whole.begin(), whole.begin() + long(n));
        const Jpeg2000Header header = Jpeg2000Header::read(cut.data(), cut.size());
        EXPECT_TRUE(header.valid()) << n;
        EXPECT_EQ(header.cutTileParts(), 1u) << n;
        EXPECT_EQ(loadBE32(cut.data() + mainHeader + 6), n - mainHeader) << n;
    }

    // A main header whose segment length claims the rest of a 64 KiB file.
    std::vector<u8> grey = shape("j2k/grey.j2k");
    const size_t com = firstTilePart(grey) - 88;  // the padding comment
    ASSERT_EQ(loadBE16(grey.data() + com), 0xFF64);
    grey[com + 2] = 0xFF;
    grey[com + 3] = 0xFF;
    EXPECT_FALSE(Jpeg2000Header::read(grey.data(), grey.size()).valid());
}

}  // namespace
}  // namespace vorn::test
