// The FAT reader as the engine uses it: Recovery opens the selected disk's
// volume behind its cache, and the analyser probes through its owner.
#include <gtest/gtest.h>

#include "fs/fat/FATAnalyser.h"
#include "fs/fat/FatManifest.h"
#include "fs/fat/FatTestSupport.h"
#include "recovery/Recovery.h"

namespace vorn::test {
namespace {

// Opens the image as the engine does and reads every live file of its manifest.
void browseAndCompare(const std::string& image) {
    if (!haveMedia(image + ".manifest")) GTEST_SKIP();
    FatManifest mf = loadFatManifest(mediaPath(image + ".manifest"));
    ImageDisk disk(mediaPath(image));
    Recovery recovery;
    ASSERT_TRUE(recovery.selectDisk(&disk));
    recovery.openExistingVolume();
    ASSERT_NE(dynamic_cast<FATVolume*>(recovery.getVolume()), nullptr);
    VolumeItem* root = recovery.getRootItem();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->getName(), mf.str("label_bpb"));
    std::map<std::string, VolumeItem*> tree;
    collectTree(root, "/", tree);
    size_t live = 1;  // the label
    for (const FatRecord& r : mf.records) {
        if (!r.live) continue;
        ++live;
        ASSERT_TRUE(tree.count(r.path + (r.folder ? "/" : ""))) << r.path;
        if (r.folder) continue;
        std::vector<u8> got;
        ASSERT_TRUE(readItem(tree[r.path], got, 2048)) << r.path;
        EXPECT_EQ(sha256Hex(got), r.sha256) << r.path;
    }
    EXPECT_EQ(tree.size(), live);
}

TEST(FATRecovery, FloppyBrowsesCompletelyThroughTheEngine) { browseAndCompare("fat12_floppy.img"); }

TEST(FATRecovery, CameraCardBrowsesCompletelyThroughTheEngine) { browseAndCompare("camera_card.img"); }

TEST(FATRecovery, AnalyserProbesTheOwnersDisk) {
    if (!haveMedia("mbr_fat.img")) GTEST_SKIP();
    ImageDisk disk(mediaPath("mbr_fat.img"));
    Recovery recovery;
    ASSERT_TRUE(recovery.selectDisk(&disk));
    FATAnalyser analyser(&recovery);
    std::vector<u8> boot(512);
    ASSERT_TRUE(recovery.getDisk()->read(67584 * 512, 512, boot.data()));
    EXPECT_TRUE(analyser.probeBootSector(67584 * 512, boot.data(), 512));
    EXPECT_FALSE(analyser.probeBootSector(0, boot.data(), 512));  // the bytes are not at offset 0
}

}  // namespace
}  // namespace vorn::test
