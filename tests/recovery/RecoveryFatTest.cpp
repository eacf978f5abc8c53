#include <gtest/gtest.h>

#include "TestMedia.h"
#include "fs/fat/FAT.h"
#include "fs/fat/FATVolume.h"
#include "fs/fat/FATVolumeItem.h"
#include "fs/fat/FatManifest.h"
#include "misc/Utils.h"
#include "recovery/RecoveryTestSupport.h"
#include "storage/FailingDisk.h"
#include "storage/ImageDisk.h"

namespace vorn {
namespace {

using namespace test;

std::vector<VolumeItem*> childrenOf(VolumeItem* folder) {
    folder->loadChildren();
    return folder->children();
}

size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}
void expectSavedVolume(const FatManifest& manifest, const std::string& target) {
    ASSERT_TRUE(manifest.ok);
    std::vector<std::string> want = {manifest.str("label_bpb")};
    for (const FatRecord& r : manifest.records) {
        if (!r.live) continue;
        want.push_back(r.path.substr(1) + (r.folder ? "/" : ""));
        if (!r.folder) {
            EXPECT_EQ(sha256Hex(fileBytes(target + r.path)), r.sha256) << r.path;
        }
    }
    std::sort(want.begin(), want.end());
    EXPECT_EQ(treeOf(target), want);
}

class FatVolumeTest : public ::testing::TestWithParam<std::string> {};

TEST_P(FatVolumeTest, WholeVolumeIsSavedByteForByteAndReportedRowByRow) {
    const FatManifest manifest = loadFatManifest(mediaPath(GetParam() + ".manifest"));
    ImageDisk disk(mediaPath(GetParam()));
    Recovery recovery;
    ASSERT_TRUE(recovery.selectDisk(&disk));
    recovery.openExistingVolume();
    ASSERT_NE(dynamic_cast<FATVolume*>(recovery.getVolume()), nullptr);
    ScratchDir scratch;
    const std::string target = scratch / "t";
    ASSERT_EQ(mkdir(target.c_str(), 0777), 0);
    recovery.save(childrenOf(recovery.getRootItem()), target);
    recovery.saveReport(childrenOf(recovery.getRootItem()), scratch / "r.html", "Report", "end");
    EXPECT_TRUE(recovery.getLastSaveOk());
    EXPECT_EQ(recovery.getDamagedFileCount(), 0u);
    expectSavedVolume(manifest, target);
    size_t files = 1, folders = 0;  // the label is a file
    for (const FatRecord& r : manifest.records) (r.folder ? folders : files) += r.live;
    const std::string html = fileText(scratch / "r.html");
    EXPECT_EQ(occurrences(html, "<tr> <td><small>"), files);
    EXPECT_EQ(occurrences(html, "<tr><td><b>"), folders);
    recovery.selectDisk(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Volumes, FatVolumeTest,
                         ::testing::Values("fat12_floppy.img", "fat12_s2048.img", "fat16_s512.img", "fat16_s4096.img",
                                           "fat32_s512.img", "camera_card.img"));

class FatSaveTest : public ::testing::Test {
protected:
    void open(const std::string& name, bool failing = false) {
        image = std::make_unique<ImageDisk>(mediaPath(name));
        bad = std::make_unique<FailingDisk>(image.get());
        ASSERT_TRUE(recovery.selectDisk(failing ? static_cast<Disk*>(bad.get()) : image.get()));
        recovery.openExistingVolume();
        ASSERT_NE(recovery.getRootItem(), nullptr);
    }
    VolumeItem* find(VolumeItem* folder, const std::string& name) {
        for (VolumeItem* child : childrenOf(folder)) {
            if (child->getName() == name) return child;
        }
        return nullptr;
    }
    std::unique_ptr<ImageDisk> image;  // the disks outlive the Recovery
    std::unique_ptr<FailingDisk> bad;
    Recovery recovery;
    ScratchDir target;
};

TEST_F(FatSaveTest, BadSectorInAFileCostsOnlyThatSector) {
    open("fat32_s512.img", true);
    auto* big = dynamic_cast<FATVolumeItem*>(find(find(recovery.getRootItem(), "Video"), "Big file.bin"));
    auto* volume = dynamic_cast<FATVolume*>(recovery.getVolume());
    ASSERT_TRUE(big);
    ASSERT_TRUE(volume);
    std::vector<u8> expected(big->getSize());
    ASSERT_EQ(big->read(0, expected.data(), static_cast<u32>(expected.size())), expected.size());
    const u64 fileOffset = 1 << 20;  // its sector, found through the cluster chain
    u64 cluster = big->getDataCluster();
    for (u64 i = 0; i < fileOffset / 512; ++i) cluster = volume->getFat()->getEntry(cluster);
    bad->failBlock(volume->clusterOffset(cluster) / 512);
    recovery.save({big}, target.path);
    std::fill(expected.begin() + fileOffset, expected.begin() + fileOffset + 512, 0);
    EXPECT_EQ(fileBytes(target / "Big file.bin"), expected);
    EXPECT_EQ(recovery.getDamagedFileCount(), 1u);
    EXPECT_TRUE(recovery.getLastSaveOk());
}

TEST_F(FatSaveTest, SecondSaveHonoursTheAnswersAndSearchHitsSave) {
    open("fat12_floppy.img");
    const std::vector<VolumeItem*> items = childrenOf(recovery.getRootItem());
    recovery.save(items, target.path);
    size_t files = 0;
    for (const std::string& rel : treeOf(target.path)) files += rel.back() != '/';
    ASSERT_TRUE(writeFile(target / "README.TXT", {'x'}));
    TestListener listener;
    recovery.setListener(&listener);
    listener.answer = TestListener::Answer::Skip;
    recovery.save(items, target.path);
    EXPECT_EQ(listener.asked.size(), files);
    EXPECT_EQ(fileBytes(target / "README.TXT"), std::vector<u8>{'x'});
    listener.answer = TestListener::Answer::Nothing;  // an overwrite
    recovery.save(items, target.path);
    expectSavedVolume(loadFatManifest(mediaPath("fat12_floppy.img.manifest")), target.path);
    listener.answer = TestListener::Answer::Cancel;
    listener.asked.clear();
    recovery.save(items, target.path);
    EXPECT_EQ(listener.asked.size(), 1u);
    // A search finds files in folders never shown, and a hit saves like any item.
    recovery.searchItems("DEEP NOTE");
    ASSERT_EQ(recovery.getSearchResultsItem()->getChildCount(true), 1u);
    VolumeItem* hit = recovery.getSearchResultsItem()->getChild(0, true);
    EXPECT_EQ(hit->getPath(), "FLOPPY/Docs/Letters/2021/Ünïcödé Ordner/");
    recovery.save({hit}, target / "Docs/Letters/2021/Ünïcödé Ordner");  // an overwrite of the same bytes
    expectSavedVolume(loadFatManifest(mediaPath("fat12_floppy.img.manifest")), target.path);
}

TEST_F(FatSaveTest, DeletedFilesScanStartsAtTheDataAreaAndSkipsUsedClusters) {
    const FatManifest manifest = loadFatManifest(mediaPath("fat16_s512.img.manifest"));
    image = std::make_unique<ImageDisk>(mediaPath("fat16_s512.img"));
    ASSERT_TRUE(recovery.selectDisk(image.get()));
    AnalyserInjection analysers;
    recovery.setScanType(SCAN_DELETED_FILES);
    recovery.scan();
    Volume* volume = recovery.getVolume();
    ASSERT_NE(dynamic_cast<FATVolume*>(volume), nullptr);
    const u64 dataOffset = manifest.num("data_offset");
    EXPECT_EQ(recovery.getScanStartOffset(), dataOffset);
    EXPECT_EQ(recovery.getAllocBlockSize(), manifest.num("cluster_size"));
    ASSERT_EQ(analysers.steps.size(), image->getBlockCount() * 512 / recovery.getAllocBlockSize() -
                                          dataOffset / recovery.getAllocBlockSize());
    EXPECT_EQ(analysers.steps[0].offset, dataOffset);
    u64 read = 0;
    for (const ScanStep& step : analysers.steps) {
        if (volume->isAllocationBlockUsed(step.allocBlock)) continue;
        ++read;
        u64 direct = 0;
        ASSERT_TRUE(recovery.getDisk()->read(step.offset, 8, &direct));
        EXPECT_EQ(step.head, direct) << step.allocBlock;
    }
    EXPECT_GT(read, 0u);
    EXPECT_LT(read, analysers.steps.size());
}

}  // namespace
}  // namespace vorn
