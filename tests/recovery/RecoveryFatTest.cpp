// Saving, searching and scanning real FAT volumes made by mkfs.fat and
// mtools (tests/fixtures/make_fat.sh): every saved file is checked against
// the volume's manifest (names, sizes, SHA-256).
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "TestMedia.h"
#include "fs/fat/FAT.h"
#include "fs/fat/FATVolume.h"
#include "fs/fat/FATVolumeItem.h"
#include "fs/fat/FatManifest.h"
#include "misc/Utils.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryTestSupport.h"
#include "storage/FailingDisk.h"
#include "storage/ImageDisk.h"

namespace vorn {
namespace {

using test::fileBytes;
using test::TestListener;

std::vector<VolumeItem*> childrenOf(VolumeItem* folder) {
    folder->loadChildren();
    return folder->children();
}

// The saved tree holds exactly the live files and folders of the manifest,
// with their bytes, and the volume label as an empty file in the root.
void expectSavedVolume(const std::string& image, const std::string& target) {
    const test::FatManifest manifest = test::loadFatManifest(test::mediaPath(image + ".manifest"));
    ASSERT_TRUE(manifest.ok);
    std::vector<std::string> want = {manifest.str("label_bpb")};
    for (const test::FatRecord& r : manifest.records) {
        if (!r.live) continue;
        want.push_back(r.path.substr(1) + (r.folder ? "/" : ""));
        if (!r.folder) {
            EXPECT_EQ(test::sha256Hex(fileBytes(target + r.path)), r.sha256) << r.path;
        }
    }
    std::sort(want.begin(), want.end());
    EXPECT_EQ(test::treeOf(target), want);
}

class FatRecoveryTest : public ::testing::Test {
protected:
    void open(Disk* disk) {
        ASSERT_TRUE(recovery.selectDisk(disk));
        recovery.openExistingVolume();
        ASSERT_NE(dynamic_cast<FATVolume*>(recovery.getVolume()), nullptr);
    }
    VolumeItem* find(const std::string& path) {
        VolumeItem* item = recovery.getRootItem();
        for (const std::string& name : split(path.substr(1), "/")) {
            VolumeItem* next = nullptr;
            for (VolumeItem* child : childrenOf(item)) next = child->getName() == name ? child : next;
            if (!(item = next)) break;
        }
        return item;
    }

    // Disks outlive the Recovery that reads them.
    std::unique_ptr<Disk> image, failing;
    Recovery recovery;
    test::ScratchDir target;
};

TEST_F(FatRecoveryTest, WholeVolumesAreSavedByteForByte) {
    for (const char* name : {"fat12_floppy.img", "fat12_s2048.img", "fat16_s512.img", "fat16_s4096.img",
                             "fat32_s512.img", "camera_card.img"}) {
        SCOPED_TRACE(name);
        test::ScratchDir folder;
        image = std::make_unique<ImageDisk>(test::mediaPath(name));
        open(image.get());
        recovery.save(childrenOf(recovery.getRootItem()), folder.path);
        EXPECT_TRUE(recovery.getLastSaveOk());
        EXPECT_EQ(recovery.getDamagedFileCount(), 0u);
        expectSavedVolume(name, folder.path);
        recovery.selectDisk(nullptr);
    }
}

TEST_F(FatRecoveryTest, SecondSaveAsksForEveryFileAndHonoursTheAnswers) {
    image = std::make_unique<ImageDisk>(test::mediaPath("fat12_floppy.img"));
    open(image.get());
    const std::vector<VolumeItem*> items = childrenOf(recovery.getRootItem());
    recovery.save(items, target.path);
    size_t files = 0;
    for (const std::string& rel : test::treeOf(target.path)) files += rel.back() != '/';
    ASSERT_GT(files, 10u);
    ASSERT_TRUE(test::writeWholeFile(target / "README.TXT", {'x'}));
    TestListener listener;
    recovery.setListener(&listener);

    listener.answer = TestListener::Answer::Skip;
    recovery.save(items, target.path);
    EXPECT_EQ(listener.asked.size(), files);
    EXPECT_EQ(fileBytes(target / "README.TXT"), std::vector<u8>{'x'});

    listener.answer = TestListener::Answer::Nothing;  // an overwrite
    recovery.save(items, target.path);
    expectSavedVolume("fat12_floppy.img", target.path);

    listener.answer = TestListener::Answer::Cancel;
    listener.asked.clear();
    recovery.save(items, target.path);
    EXPECT_EQ(listener.asked.size(), 1u);
}

TEST_F(FatRecoveryTest, BadSectorInAFileCostsOnlyThatSector) {
    image = std::make_unique<ImageDisk>(test::mediaPath("fat32_s512.img"));
    auto* disk = new test::FailingDisk(image.get());
    failing.reset(disk);
    open(disk);
    auto* big = dynamic_cast<FATVolumeItem*>(find("/Video/Big file.bin"));
    ASSERT_NE(big, nullptr);
    std::vector<u8> expected(big->getSize());
    ASSERT_EQ(big->read(0, expected.data(), static_cast<u32>(expected.size())), expected.size());
    // The sector 1 MiB into the file, found along its cluster chain.
    auto* volume = dynamic_cast<FATVolume*>(recovery.getVolume());
    u64 cluster = big->getDataCluster();
    for (int i = 0; i < 2048; ++i) cluster = volume->getFat()->getEntry(cluster);
    disk->failBlock(volume->clusterOffset(cluster) / 512);
    test::LogCapture logs(LOG_ERROR);

    recovery.save({big}, target.path);

    std::fill(expected.begin() + (1 << 20), expected.begin() + (1 << 20) + 512, 0);
    EXPECT_EQ(fileBytes(target / "Big file.bin"), expected);
    EXPECT_EQ(recovery.getDamagedFileCount(), 1u);
    EXPECT_TRUE(recovery.getLastSaveOk());
    EXPECT_TRUE(logs.has("error reading " + target / "Big file.bin" +
                         " at offset 1048576: 1 unreadable blocks written as zeros\n"));
}

TEST_F(FatRecoveryTest, SearchFindsFilesInFoldersNeverShownAndTheyCanBeSaved) {
    image = std::make_unique<ImageDisk>(test::mediaPath("fat12_floppy.img"));
    open(image.get());

    recovery.searchItems("DEEP NOTE");

    VolumeItem* results = recovery.getSearchResultsItem();
    ASSERT_EQ(results->getChildCount(true), 1u);
    VolumeItem* hit = results->getChild(0, true);
    EXPECT_EQ(hit->getName(), "Deep note.txt");
    EXPECT_EQ(hit->getPath(), "FLOPPY/Docs/Letters/2021/\xc3\x9cn\xc3\xaf" "c\xc3\xb6" "d\xc3\xa9 Ordner/");
    recovery.save({hit}, target.path);
    const std::vector<u8> saved = fileBytes(target / "Deep note.txt");
    std::vector<u8> direct(hit->getSize());
    ASSERT_EQ(hit->read(0, direct.data(), static_cast<u32>(direct.size())), direct.size());
    EXPECT_EQ(saved, direct);
}

TEST_F(FatRecoveryTest, DeletedFilesScanStepsThroughTheDataAreaReadingFreeClustersOnly) {
    struct Case {
        const char* image;
        u32 diskBlock;  // the floppy's 512-byte clusters on 2048-byte disk blocks: asked four at a time
    } cases[] = {{"fat16_s512.img", 512}, {"fat12_floppy.img", 2048}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.image);
        const test::FatManifest manifest = test::loadFatManifest(test::mediaPath(std::string(c.image) + ".manifest"));
        auto* disk = new test::FailingDisk(fileBytes(test::mediaPath(c.image)), c.diskBlock);
        failing.reset(disk);
        disk->setType(DISK_TYPE_IMAGEFILE);
        ASSERT_TRUE(recovery.selectDisk(disk));
        test::AnalyserInjection analysers;
        recovery.setScanType(SCAN_DELETED_FILES);

        recovery.scan();

        Volume* volume = recovery.getVolume();
        ASSERT_NE(dynamic_cast<FATVolume*>(volume), nullptr);
        const u64 dataOffset = manifest.num("data_offset");
        const u32 step = std::max<u32>(manifest.num("cluster_size"), c.diskBlock);
        const u32 perStep = step / static_cast<u32>(manifest.num("cluster_size"));
        EXPECT_EQ(recovery.getScanStartOffset(), dataOffset);
        EXPECT_EQ(recovery.getAllocBlockSize(), step);
        EXPECT_EQ(recovery.getAllocBlockCount(), disk->getBlockCount() * c.diskBlock / step - dataOffset / step);
        ASSERT_EQ(analysers.log.steps.size(), recovery.getAllocBlockCount());
        u64 read = 0;
        for (const auto& s : analysers.log.steps) {
            EXPECT_EQ(s.offset, dataOffset + s.allocBlock * step);
            bool anyFree = false;
            for (u64 cl = s.allocBlock * perStep; cl < (s.allocBlock + 1) * perStep; ++cl) {
                anyFree = anyFree || !volume->isAllocationBlockUsed(cl);
            }
            if (!anyFree) continue;
            ++read;
            std::vector<u8> direct(s.head.size());
            ASSERT_TRUE(recovery.getDisk()->read(s.offset, static_cast<u32>(direct.size()), direct.data()));
            EXPECT_EQ(s.head, direct) << s.allocBlock;
        }
        EXPECT_GT(read, 0u);
        EXPECT_LT(read, analysers.log.steps.size());
        recovery.selectDisk(nullptr);
    }
}

}  // namespace
}  // namespace vorn
