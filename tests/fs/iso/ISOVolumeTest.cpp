// Tool-made ISO 9660 images (tests/fixtures/make_iso.sh) against their manifests, then damage no tool makes.
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "fs/MemoryTestDisk.h"
#include "fs/iso/IsoTestSupport.h"
#include "fs/iso/ISOVolume.h"
#include "fs/iso/ISOVolumeItem.h"
#include "misc/Utils.h"
#include "recovery/Recovery.h"
#include "storage/ImageDisk.h"
#include "storage/StorageTestUtil.h"

namespace vorn::test {
namespace {

struct MediaCase {
    const char* image;
    const char* manifest;
    bool joliet;
    int partition = -1;    // browse this partition of the image's table
    u64 sessionStart = 0;  // the disk's last-session offset
};

class ISOMediaTest : public ::testing::TestWithParam<MediaCase> {};

TEST_P(ISOMediaTest, BrowsesAndReadsAsTheToolsWroteIt) {
    const MediaCase c = GetParam();
    const FatManifest manifest = loadFatManifest(mediaPath(c.manifest));
    ASSERT_TRUE(manifest.ok) << c.manifest;
    ImageDisk image(mediaPath(c.image));
    Disk* disk = &image;
    if (c.partition >= 0) {
        ASSERT_TRUE(image.open(false));
        ASSERT_TRUE(image.scanForPartitions());
        ASSERT_NE(disk = image.getPartition(c.partition), nullptr);
    }
    disk->setLastSessionOfs(c.sessionStart);
    Recovery recovery;
    ASSERT_TRUE(recovery.selectDisk(disk));
    recovery.openExistingVolume();
    auto* volume = dynamic_cast<ISOVolume*>(recovery.getVolume());
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(volume->getName(), manifest.str("volume_name"));
    EXPECT_EQ(volume->isJoliet(), c.joliet);
    EXPECT_FALSE(volume->isAllocationBlockUsed(0));  // a deleted-files scan carves the whole disc
    ASSERT_EQ(isoListing(volume->getRootItem()), manifestListing(manifest));

    std::map<std::string, VolumeItem*> items;
    collectTree(volume->getRootItem(), "", items);
    for (const FatRecord& r : manifest.records) {
        int y, mo, d, h, mi, s;
        if (sscanf(r.mtime.c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s) != 6) continue;
        EXPECT_EQ(items[r.path.substr(1) + (r.folder ? "/" : "")]->getDate(), u32(toTimeNoDst(d, mo, y, h, mi, s)))
            << r.path;
    }
    // Pieces at odd places read as the whole did; nothing past the end.
    for (auto& [path, item] : items) {
        std::vector<u8> whole, piece(3001);
        if (item->isContainer() || item->getSize() < 7000 || !readItem(item, whole)) continue;
        ASSERT_EQ(item->read(2047, piece.data(), 3001), 3001u) << path;
        EXPECT_TRUE(std::equal(piece.begin(), piece.end(), whole.begin() + 2047)) << path;
        EXPECT_EQ(item->read(item->getSize() - 1, piece.data(), 2), 0u) << path;
    }
}

INSTANTIATE_TEST_SUITE_P(
    ToolMade, ISOMediaTest,
    ::testing::Values(MediaCase{"iso_joliet_rr.iso", "iso_joliet_rr.iso.manifest", true},
                      MediaCase{"iso_joliet.iso", "iso_joliet.iso.manifest", true},
                      MediaCase{"iso_joliet_l1.iso", "iso_joliet.iso.manifest", true},
                      MediaCase{"iso_joliet_l2.iso", "iso_joliet.iso.manifest", true},
                      MediaCase{"iso_level1.iso", "iso_level1.iso.manifest", false},
                      MediaCase{"iso_mbr.img", "iso_joliet.iso.manifest", true, 0},
                      MediaCase{"iso_multi.iso", "iso_multi.iso.s1.manifest", true, -1, 32 * 2048},
                      MediaCase{"iso_multi.iso", "iso_multi.iso.s2.manifest", true, -1, 64 * 2048}),
    [](const ::testing::TestParamInfo<MediaCase>& info) {
        std::string name = std::string(info.param.image) + "_" + std::to_string(info.param.sessionStart / 2048);
        for (char& ch : name) ch = isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        return name;
    });

// The descriptors of a tool-made image changed: what mounts, with which name and tree.
TEST(ISOVolumeTest, DescriptorsDecideNameTreeAndMount) {
    const std::vector<u8> original = readFileBytes(mediaPath("iso_joliet.iso"));
    ASSERT_GT(original.size(), 18u * 2048);
    struct Patch { const char* what; u32 at; std::string bytes; bool mounts; bool joliet; };
    const Patch patches[] = {
        {"as made", 0, "", true, true},
        {"escape %/E with a non-zero byte: no Joliet, but its root", 17 * 2048 + 88, "%/E\x01", true, false},
        {"logical block size 1000: 2048 used", 16 * 2048 + 128, std::string("\xE8\x03", 2), true, true},
        {"no primary descriptor", 16 * 2048, std::string("\x03", 1), false, false},
        {"a block without CD001 before the terminator", 17 * 2048 + 1, "CD002", false, false},
    };
    for (const Patch& p : patches) {
        std::vector<u8> bytes = original;
        std::copy(p.bytes.begin(), p.bytes.end(), bytes.begin() + p.at);
        MemoryTestDisk disk(bytes, 2048);
        disk.open(false);
        ISOVolume volume(&disk);
        ASSERT_EQ(volume.mount(true), p.mounts) << p.what;
        if (!p.mounts) continue;
        std::unique_ptr<VolumeItem> root(volume.getRootItem());
        EXPECT_EQ(volume.getName(), "JOLIET_ONLY") << p.what;
        EXPECT_EQ(volume.isJoliet(), p.joliet) << p.what;
        std::map<std::string, VolumeItem*> items;
        collectTree(root.get(), "", items);
        for (const char* path : {"日本語ファイル.txt", "docs/a/b/c/d/e/f/g/h/i/deep.txt"})
            EXPECT_EQ(items.count(path), 1u) << p.what;
    }
}

// A tool-made level-1 image's descriptors (primary at 16, terminator at 17), its root moved to 18 with
// rootSectors sectors and the volume space set to spaceSectors; then the sectors from 18 on, and 'x' bytes
// up to 32 sectors.
std::vector<u8> level1With(u32 rootSectors, u32 spaceSectors, std::initializer_list<std::vector<u8>> sectors) {
    std::vector<u8> bytes = readFileBytes(mediaPath("iso_level1.iso"));
    if (bytes.size() < 18u * 2048) return {};
    bytes.resize(18 * 2048);
    const std::vector<u8> root = isoRecord(18, rootSectors * 2048, true, std::string(1, '\0'));
    std::copy(root.begin(), root.end(), bytes.begin() + 16 * 2048 + 156);
    for (int i = 0; i < 4; ++i) bytes[16 * 2048 + 80 + i] = bytes[16 * 2048 + 87 - i] = u8(spaceSectors >> (8 * i));
    for (auto& s : sectors) bytes.insert(bytes.end(), s.begin(), s.end());
    bytes.resize(32 * 2048, 'x');
    return bytes;
}

// The paths below the root of the image on a disk of blockSize-byte blocks ("dir/" for folders), sorted;
// "" when it does not mount. The root is loaded twice: the second listing must be the first.
std::string listing(const std::vector<u8>& bytes, u32 blockSize) {
    MemoryTestDisk disk(bytes, blockSize);
    disk.open(false);
    ISOVolume volume(&disk);
    if (bytes.empty() || !volume.mount(true)) return "";
    std::unique_ptr<VolumeItem> root(volume.getRootItem());
    std::string listed[2];
    for (std::string& text : listed) {
        root->deleteChildren();
        root->setChildrenLoaded(false);
        for (auto& [path, value] : isoListing(root.get())) text += path + " ";
    }
    EXPECT_EQ(listed[1], listed[0]) << "loaded anew";
    return listed[0];
}

// A folder that shows itself, an ancestor or a folder shown already is left out; the walk ends.
TEST(ISOVolumeTest, FoldersThatLoopAreLeftOut) {
    const std::vector<u8> bytes =
        level1With(1, 32, {isoSector({isoRecord(19, 2048, true, "SUB"), isoRecord(18, 2048, true, "SELF"),
                                      isoRecord(19, 2048, true, "TWIN"), isoRecord(22, 5, false, "F.TXT;1")}, 18, 18),
                           isoSector({isoRecord(18, 2048, true, "UP"), isoRecord(20, 2048, true, "DOWN")}, 19, 18),
                           isoSector({isoRecord(19, 2048, true, "BACK")}, 20, 19)});
    EXPECT_EQ(listing(bytes, 512), "F.TXT SUB/ SUB/DOWN/ ");
}

// Damaged sizes and links: a directory stops at the volume's end, at a directory start seen before and at a
// sector another directory listed; a folder loaded anew lists what it listed before, although a start seen
// since lies inside it. Here the root claims four sectors of a volume of 21 (sector 21 lies past its end);
// B claims all it can, up to D's records (which have no "." and ".."); B's C lies inside the root.
TEST(ISOVolumeTest, DirectorySectorsAreListedOnceWithinTheVolume) {
    const u32 huge = 0xFFFFFFF0;
    const std::vector<u8> bytes = level1With(
        4, 21,
        {isoSector({isoRecord(22, huge, true, "B"), isoRecord(23, 2048, true, "D"), isoRecord(30, 5, false, "R1.TXT;1")},
                   18, 18),
         isoSector({isoRecord(30, 5, false, "R2.TXT;1")}), isoSector({isoRecord(30, 5, false, "R3.TXT;1")}),
         isoSector({isoRecord(30, 5, false, "R4.TXT;1")}), isoSector({isoRecord(19, huge, true, "C")}, 22, 18),
         isoSector({isoRecord(30, 5, false, "D1.TXT;1")})});
    LogCapture lines(LOG_WARNING);
    EXPECT_EQ(listing(bytes, 2048), "B/ B/C/ D/ D/D1.TXT R1.TXT R2.TXT R3.TXT ");
    EXPECT_TRUE(lines.has("ISOAnalyser::parseDir - directory at 36864 cut to 6144 bytes (its size: 8192)\n"));
    EXPECT_TRUE(lines.has("ISOAnalyser::parseDir - sector at 38912 belongs to the directory at 36864, not listed again\n"));
}

}  // namespace
}  // namespace vorn::test
