// The FAT reader as the engine uses it: Recovery opens the selected disk's
// volume behind its cache, and the analyser probes through its owner.
#include <gtest/gtest.h>

#include "fs/fat/FATAnalyser.h"
#include "fs/fat/FatTestSupport.h"
#include "recovery/Recovery.h"

namespace vorn::test {
namespace {

void browseAndCompare(const std::string& image, const std::string& src, const std::string& label) {
    if (!haveMedia(image)) GTEST_SKIP();
    ImageDisk disk(mediaPath(image));
    Recovery recovery;
    ASSERT_TRUE(recovery.selectDisk(&disk));
    recovery.openExistingVolume();
    ASSERT_NE(dynamic_cast<FATVolume*>(recovery.getVolume()), nullptr);
    VolumeItem* root = recovery.getRootItem();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->getName(), label);
    std::map<std::string, VolumeItem*> tree;
    collectTree(root, "", tree);
    std::map<std::string, u64> host = listHostTree(mediaPath(src));
    host[label] = 0;
    EXPECT_EQ(tree.size(), host.size());
    for (auto& [path, size] : host) {
        ASSERT_TRUE(tree.count(path)) << path;
        if (path.back() == '/' || path == label) continue;
        std::vector<u8> got;
        ASSERT_TRUE(readItem(tree[path], got, 2048)) << path;
        EXPECT_TRUE(got == readHostFile(mediaPath(src) + "/" + path)) << path;
    }
}

TEST(FATRecovery, FloppyBrowsesCompletelyThroughTheEngine) {
    browseAndCompare("fatv12_floppy.img", "fatv12_floppy.src", "FLOPPY");
}

TEST(FATRecovery, CameraCardBrowsesCompletelyThroughTheEngine) {
    browseAndCompare("fatv32_cam.img", "fatv32_cam.src", "CANON_DC");
}

TEST(FATRecovery, AnalyserProbesTheOwnersDisk) {
    if (!haveMedia("fatv_mbr.img")) GTEST_SKIP();
    ImageDisk disk(mediaPath("fatv_mbr.img"));
    Recovery recovery;
    ASSERT_TRUE(recovery.selectDisk(&disk));
    FATAnalyser analyser(&recovery);
    std::vector<u8> boot(512);
    ASSERT_TRUE(recovery.getDisk()->read(10240 * 512, 512, boot.data()));
    EXPECT_TRUE(analyser.probeBootSector(10240 * 512, boot.data(), 512));
    EXPECT_FALSE(analyser.probeBootSector(0, boot.data(), 512));  // the bytes are not at offset 0
}

}  // namespace
}  // namespace vorn::test
