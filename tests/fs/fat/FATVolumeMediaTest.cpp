// The tool-made FAT volumes (tests/fixtures/make_fat.sh): geometry, listing, dates and bytes as the manifest says.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "TestMedia.h"
#include "fs/ItemTestSupport.h"
#include "fs/fat/FatManifest.h"
#include "fs/fat/FAT.h"
#include "fs/fat/FATAnalyser.h"
#include "fs/fat/FATVolume.h"
#include "fs/fat/FATVolumeItem.h"
#include "misc/Utils.h"
#include "recovery/Recovery.h"
#include "storage/ImageDisk.h"

namespace vorn::test {
namespace {

class FATMediaTest : public ::testing::TestWithParam<const char*> {};

TEST_P(FATMediaTest, BrowsesAndReadsAsTheToolsWroteIt) {
    const std::string name = GetParam();
    const FatManifest manifest = loadFatManifest(mediaPath(name + ".manifest"));
    std::map<std::string, std::string> mf = manifest.params;
    std::vector<FatRecord> entries;  // the live files and folders
    std::copy_if(manifest.records.begin(), manifest.records.end(), std::back_inserter(entries),
                 [](const FatRecord& r) { return r.live; });
    ImageDisk image(mediaPath(mf["image"]));
    Disk* disk = &image;
    if (mf["volume_offset"] != "0") {  // "mbr_fat.img.pN": partition N of the disk's partition list
        ASSERT_TRUE(image.open(false));
        ASSERT_TRUE(image.scanForPartitions());
        ASSERT_NE(disk = image.getPartition(name.back() - '1'), nullptr);
    }
    Recovery recovery;  // opens it as the engine does, behind its cache
    ASSERT_TRUE(recovery.selectDisk(disk));
    recovery.openExistingVolume();
    auto* vol = dynamic_cast<FATVolume*>(recovery.getVolume());
    ASSERT_NE(vol, nullptr);
    EXPECT_EQ(vol->getName(), mf["label_bpb"]);
    EXPECT_EQ(FAT::typeName(vol->getFatType()), mf["tsk_fs_type"]);
    for (auto [value, key] : {std::pair<u64, const char*>{vol->getAllocBlockSize(), "cluster_size"},
                              {vol->getDataOffset(), "data_offset"}, {vol->getRootDirOfs(), "root_dir_offset"},
                              {vol->getRootDirSize(), "root_dir_size"}, {vol->getRootDirCluster(), "root_cluster"},
                              {vol->getClusterCount(), "cluster_count"}, {vol->getFat()->getFatCount(), "fat_count"}})
        EXPECT_EQ(std::to_string(value), mf[key]) << key;
    const u64 start = std::stoull(mf["volume_offset"]), cs = vol->getAllocBlockSize();
    std::vector<u8> block(std::max<u64>(cs, 512));
    ASSERT_TRUE(image.read(start, 512, block.data()));
    EXPECT_TRUE(FATAnalyser::probeBootSector(&image, start, block.data(), 512));
    EXPECT_EQ(FATAnalyser::probeBootSector(&image, 0, block.data(), 512), start == 0);  // not where it lies
    // Nor with 768-byte sectors, no sectors per cluster, 3 or 0 FATs.
    for (auto [at, value] : {std::pair{12, 3}, {13, 0}, {16, 3}, {16, 0}}) {
        std::vector<u8> changed(block.begin(), block.begin() + 512);
        EXPECT_FALSE(FATAnalyser::probeBootSector(&image, start, (changed[at] = u8(value), changed.data()), 512)) << at;
    }

    // The listing: the live entries and the label (an empty file), no deleted entry.
    std::map<std::string, VolumeItem*> tree;
    std::map<std::string, std::string> expected = {{"/" + mf["label_bpb"], "0"}}, listed;
    collectTree(vol->getRootItem(), "/", tree);
    for (auto& [path, item] : tree) listed[path] = std::to_string(item->getSize());
    for (auto& e : entries) expected[e.path + (e.folder ? "/" : "")] = std::to_string(e.size);
    EXPECT_EQ(listed, expected);

    // Dates; a folder's first cluster looks like a directory (but for one holding a short name with code
    // page letters), a file's does not; every file whole in 2 KiB requests against its SHA-256, then in
    // random pieces and pieces around the first cluster edges.
    std::mt19937_64 rng(20240611);
    for (auto& e : entries) {
        VolumeItem* item = tree[e.path + (e.folder ? "/" : "")];
        int y, mo, d, h, mi, sec;  // FAT keeps local time
        ASSERT_EQ(sscanf(e.mtime.c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &sec), 6);
        EXPECT_EQ(item->getDate(), u32(toTimeLocal(d, mo, y, h, mi, sec))) << e.path;
        const u64 first = static_cast<FATVolumeItem*>(item)->getDataCluster();
        ASSERT_TRUE(first == 0 || vol->readFileAt(first, block.data(), 0, cs));
        const bool folder = e.folder && e.path != "/Docs/Letters/2021";
        EXPECT_EQ(first && FATAnalyser::probeDirectoryBlock(block.data(), u32(cs)), folder) << e.path;
        if (e.folder) continue;
        const u64 size = e.size;
        std::vector<u8> whole, piece;
        ASSERT_TRUE(readItem(item, whole, 2048)) << e.path;
        EXPECT_EQ(sha256Hex(whole), e.sha256) << e.path;
        auto check = [&](u64 ofs, u64 len) {
            piece.assign(len = std::min(len, size - ofs), 0xCC);
            ASSERT_EQ(item->read(ofs, piece.data(), u32(len)), len) << e.path << " @" << ofs << "+" << len;
            ASSERT_EQ(memcmp(piece.data(), &whole[ofs], len), 0) << e.path << " @" << ofs << "+" << len;
        };
        for (int i = 0; size && i < 20; ++i) check(rng() % size, 1 + rng() % std::min<u64>(size, 3 * cs + 17));
        for (u64 edge = cs; edge < std::min<u64>(size, 6 * cs); edge += cs)
            for (u64 len : {u64(1), u64(2), cs - 1, cs, cs + 1, 2 * cs + 3}) check(edge - 1, len), check(edge, len);
    }
}

INSTANTIATE_TEST_SUITE_P(SharedVolumes, FATMediaTest,
                         ::testing::Values("fat12_floppy.img", "fat12_s2048.img", "fat16_s512.img", "fat16_s4096.img",
                                           "fat16_c16k.img", "fat32_s512.img", "fat32_s2048.img", "fat32_s4096.img",
                                           "camera_card.img", "mbr_fat.img.p1", "mbr_fat.img.p2"));

}  // namespace
}  // namespace vorn::test
