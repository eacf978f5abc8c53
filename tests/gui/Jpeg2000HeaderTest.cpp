// The JPEG 2000 header reader on the hand-made shapes of
// tests/fixtures/j2k_gen.py and on ImageMagick's files: the tile-part
// lengths it cuts to the file, what it lets decode and at which reduction,
// and what it refuses.
#include <gtest/gtest.h>

#include <QFile>
#include <vector>

#include "TestMedia.h"
#include "gui/Jpeg2000Header.h"
#include "gui/Preview.h"
#include "misc/Bytes.h"

namespace vorn::test {
namespace {

using gui::Jpeg2000Header;
using gui::Preview;

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

TEST(Jpeg2000Header, TilePartLengthsPastTheEndAreCutToTheFile) {
    // Each shape's one tile-part, SOT to the end but the closing EOC.
    for (const char* name : {"j2k/psot_2g.j2k", "j2k/psot_4g.j2k", "j2k/psot_2g.jp2"}) {
        std::vector<u8> bytes = shape(name);
        const size_t sot = firstTilePart(bytes);
        ASSERT_LT(sot + 12, bytes.size()) << name;
        EXPECT_GT(loadBE32(bytes.data() + sot + 6), bytes.size()) << name;
        const Jpeg2000Header header = Jpeg2000Header::read(bytes.data(), bytes.size());
        EXPECT_TRUE(header.valid()) << name << ": " << header.problem();
        EXPECT_EQ(header.cutTileParts(), 1u) << name;
        EXPECT_EQ(loadBE32(bytes.data() + sot + 6), bytes.size() - 2 - sot) << name;
        EXPECT_EQ(header.reductionWithin(Preview::kDecodePixels, Preview::kDecodeBytes), 0) << name;
    }
    // True lengths and "to the end" (0) stay as they are.
    for (const char* name : {"j2k/grey.j2k", "j2k/psot_zero.j2k", "picture.j2k", "picture.jp2"}) {
        std::vector<u8> bytes = shape(name);
        const std::vector<u8> before = bytes;
        const Jpeg2000Header header = Jpeg2000Header::read(bytes.data(), bytes.size());
        EXPECT_TRUE(header.valid()) << name << ": " << header.problem();
        EXPECT_EQ(header.cutTileParts(), 0u) << name;
        EXPECT_EQ(bytes, before) << name;
    }
}

TEST(Jpeg2000Header, DecodesOnlyWhatFitsTheBound) {
    const struct {
        const char* name;
        u64 width, height;
        u32 components;
        int reduction;  // within the preview's bounds; -1 none
    } rows[] = {
        {"j2k/grey.j2k", 16, 16, 1, 0},
        {"j2k/unknown.j2k", 16, 16, 1, 0},  // an unassigned marker stepped over
        {"picture.jp2", 320, 240, 4, 0},
        {"picture.j2k", 320, 240, 4, 0},
        {"cut.jp2", 320, 240, 4, 0},
        // 108 million pixels a component: a quarter of each side.
        {"j2k/big_grey.j2k", 12000, 9000, 3, 2},
        // Structures of the full tile at any reduction, per-tile parameters,
        // a packet table, a palette of 255 full-size columns, and the
        // coding style of a tile-part header.
        {"j2k/huge_tile.j2k", 60000, 60000, 1, -1},
        {"j2k/tiles_64k.j2k", 255, 257, 1, -1},
        {"j2k/layers.j2k", 2048, 2048, 1, -1},
        {"j2k/palette.jp2", 4096, 4096, 1, -1},
        {"j2k/tile_cod.j2k", 2048, 2048, 1, -1},
    };
    for (const auto& row : rows) {
        std::vector<u8> bytes = shape(row.name);
        const Jpeg2000Header header = Jpeg2000Header::read(bytes.data(), bytes.size());
        ASSERT_TRUE(header.valid()) << row.name << ": " << header.problem();
        EXPECT_EQ(header.width(), row.width) << row.name;
        EXPECT_EQ(header.height(), row.height) << row.name;
        EXPECT_EQ(header.components(), row.components) << row.name;
        const int reduction = header.reductionWithin(Preview::kDecodePixels, Preview::kDecodeBytes);
        EXPECT_EQ(reduction, row.reduction) << row.name;
        if (reduction >= 0) {
            EXPECT_LE(header.decodeBytes(u32(reduction)), Preview::kDecodeBytes) << row.name;
        }
    }
    // The tile-part's own coding style is what makes tile_cod.j2k large: the
    // same picture with the main header's style alone decodes.
    std::vector<u8> tileStyle = shape("j2k/tile_cod.j2k");
    const size_t sot = firstTilePart(tileStyle);
    std::vector<u8> plain(tileStyle.begin(), tileStyle.begin() + long(sot));
    const u8 bareTilePart[] = {0xFF, 0x90, 0, 10, 0, 0, 0, 0, 0, 15, 0, 1, 0xFF, 0x93, 0, 0xFF, 0xD9};
    plain.insert(plain.end(), std::begin(bareTilePart), std::end(bareTilePart));
    EXPECT_EQ(Jpeg2000Header::read(plain.data(), plain.size()).reductionWithin(Preview::kDecodePixels,
                                                                               Preview::kDecodeBytes),
              0);
}

TEST(Jpeg2000Header, DamagedHeadersAreRefused) {
    std::vector<u8> box = shape("j2k/box_past_end.jp2");
    const Jpeg2000Header pastEnd = Jpeg2000Header::read(box.data(), box.size());
    EXPECT_FALSE(pastEnd.valid());
    EXPECT_EQ(pastEnd.reductionWithin(Preview::kDecodePixels, Preview::kDecodeBytes), -1);

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
