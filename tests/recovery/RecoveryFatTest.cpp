// Saving, searching, reporting and scanning real FAT volumes made by
// mkfs.fat and mtools (tests/fixtures/make_fat.sh): every saved file is
// checked against the volume's manifest (names, sizes, SHA-256).
#include <gtest/gtest.h>

#include <map>

#include "TestMedia.h"
#include "fs/Volume.h"
#include "fs/VolumeItem.h"
#include "fs/fat/FAT.h"
#include "fs/fat/FATVolume.h"
#include "fs/fat/FATVolumeItem.h"
#include "fs/fat/FatManifest.h"
#include "misc/Log.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryTestSupport.h"
#include "storage/FailingDisk.h"
#include "storage/ImageDisk.h"
#include "LogCapture.h"

namespace vorn {
namespace {

using test::fileBytes;
using test::LogCapture;
using test::ScratchDir;
using test::TestListener;

std::vector<VolumeItem*> childrenOf(VolumeItem* folder) {
    folder->loadChildren();
    return folder->children();
}

// The saved tree holds exactly the live files and folders of the manifest,
// with their bytes, and the volume label as an empty file in the root.
void expectSavedVolume(const test::FatManifest& manifest, const std::string& target) {
    ASSERT_TRUE(manifest.ok);
    std::vector<std::string> want = {manifest.str("label_bpb")};
    for (const test::FatRecord& r : manifest.records) {
        if (!r.live) continue;
        const std::string rel = r.path.substr(1);
        want.push_back(r.folder ? rel + "/" : rel);
        if (!r.folder) {
            EXPECT_EQ(test::sha256Hex(fileBytes(target + "/" + rel)), r.sha256) << r.path;
        }
    }
    std::sort(want.begin(), want.end());
    EXPECT_EQ(test::treeOf(target), want);
    EXPECT_TRUE(fileBytes(target + "/" + manifest.str("label_bpb")).empty());
}

class FatVolumeTest : public ::testing::TestWithParam<std::string> {};

TEST_P(FatVolumeTest, WholeVolumeIsSavedByteForByte) {
    const test::FatManifest manifest = test::loadFatManifest(test::mediaPath(GetParam() + ".manifest"));
    ImageDisk disk(test::mediaPath(GetParam()));
    Recovery recovery;
    ASSERT_TRUE(recovery.selectDisk(&disk));
    recovery.openExistingVolume();
    ASSERT_NE(dynamic_cast<FATVolume*>(recovery.getVolume()), nullptr);
    ScratchDir target;

    recovery.save(childrenOf(recovery.getRootItem()), target.path);

    EXPECT_TRUE(recovery.getLastSaveOk());
    EXPECT_EQ(recovery.getDamagedFileCount(), 0u);
    expectSavedVolume(manifest, target.path);
    recovery.selectDisk(nullptr);
}

TEST_P(FatVolumeTest, ReportListsEveryLiveFileOfTheVolume) {
    const test::FatManifest manifest = test::loadFatManifest(test::mediaPath(GetParam() + ".manifest"));
    ImageDisk disk(test::mediaPath(GetParam()));
    Recovery recovery;
    ASSERT_TRUE(recovery.selectDisk(&disk));
    recovery.openExistingVolume();
    ScratchDir scratch;
    const std::string path = scratch / "report.html";

    recovery.saveReport(childrenOf(recovery.getRootItem()), path, "Report", "end");

    const std::vector<u8> bytes = fileBytes(path);
    const std::string html(bytes.begin(), bytes.end());
    size_t rows = 0, titles = 0;
    for (size_t at = html.find("<tr> <td><small>"); at != std::string::npos; at = html.find("<tr> <td><small>", at + 1)) {
        ++rows;
    }
    for (size_t at = html.find("<tr><td><b>"); at != std::string::npos; at = html.find("<tr><td><b>", at + 1)) ++titles;
    size_t files = 1, folders = 0;  // the label is a file
    for (const test::FatRecord& r : manifest.records) {
        if (r.live) (r.folder ? folders : files) += 1;
    }
    EXPECT_EQ(rows, files);
    EXPECT_EQ(titles, folders);
    recovery.selectDisk(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Volumes, FatVolumeTest,
                         ::testing::Values("fat12_floppy.img", "fat12_s2048.img", "fat16_s512.img", "fat16_s4096.img",
                                           "fat32_s512.img", "camera_card.img"));

class FatSaveTest : public ::testing::Test {
protected:
    void open(Disk* disk) {
        ASSERT_TRUE(recovery.selectDisk(disk));
        recovery.openExistingVolume();
        ASSERT_NE(recovery.getRootItem(), nullptr);
    }
    VolumeItem* find(const std::string& path) {
        VolumeItem* item = recovery.getRootItem();
        size_t start = 1;
        while (item && start < path.size()) {
            const size_t slash = path.find('/', start);
            const std::string name = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
            VolumeItem* next = nullptr;
            for (VolumeItem* child : childrenOf(item)) {
                if (child->getName() == name) next = child;
            }
            item = next;
            start = slash == std::string::npos ? path.size() : slash + 1;
        }
        return item;
    }
    const test::FatRecord* record(const test::FatManifest& manifest, const std::string& path) {
        for (const test::FatRecord& r : manifest.records) {
            if (r.path == path) return &r;
        }
        return nullptr;
    }

    // Disks outlive the Recovery that reads them.
    std::unique_ptr<ImageDisk> image;
    std::unique_ptr<test::FailingDisk> failing;
    Recovery recovery;
    ScratchDir target;
};

TEST_F(FatSaveTest, BadSectorInAFileCostsOnlyThatSector) {
    const std::string bigPath = "/Video/Big file.bin";
    image = std::make_unique<ImageDisk>(test::mediaPath("fat32_s512.img"));
    failing = std::make_unique<test::FailingDisk>(image.get());
    open(failing.get());
    auto* big = dynamic_cast<FATVolumeItem*>(find(bigPath));
    ASSERT_NE(big, nullptr);
    auto* volume = dynamic_cast<FATVolume*>(recovery.getVolume());
    ASSERT_NE(volume, nullptr);
    // The sector 1 MiB into the file, found through its cluster chain.
    std::vector<u8> whole(big->getSize());
    ASSERT_EQ(big->read(0, whole.data(), static_cast<u32>(whole.size())), whole.size());
    const u64 fileOffset = 1 << 20;
    u64 cluster = big->getDataCluster();
    for (u64 i = 0; i < fileOffset / 512; ++i) cluster = volume->getFat()->getEntry(cluster);
    failing->failBlock(volume->clusterOffset(cluster) / 512);
    LogCapture logs(LOG_ERROR);

    recovery.save({big}, target.path);

    std::vector<u8> expected = whole;
    std::fill(expected.begin() + fileOffset, expected.begin() + fileOffset + 512, 0);
    EXPECT_EQ(fileBytes(target / "Big file.bin"), expected);
    EXPECT_EQ(recovery.getDamagedFileCount(), 1u);
    EXPECT_TRUE(recovery.getLastSaveOk());
    EXPECT_TRUE(logs.hasPrefix("error reading " + target / "Big file.bin" + " at offset "));
}

TEST_F(FatSaveTest, SecondSaveAsksForEveryFileAndHonoursTheAnswers) {
    const test::FatManifest manifest = test::loadFatManifest(test::mediaPath("fat12_floppy.img.manifest"));
    image = std::make_unique<ImageDisk>(test::mediaPath("fat12_floppy.img"));
    open(image.get());
    const std::vector<VolumeItem*> items = childrenOf(recovery.getRootItem());
    recovery.save(items, target.path);
    size_t files = 0;
    for (const std::string& rel : test::treeOf(target.path)) files += rel.back() != '/';
    ASSERT_GT(files, 10u);
    ASSERT_TRUE(test::writeWholeFile(target / "README.TXT", {'x'}));

    TestListener listener;
    listener.answer = TestListener::Answer::Skip;
    recovery.setListener(&listener);
    recovery.save(items, target.path);
    EXPECT_EQ(listener.asked.size(), files);
    EXPECT_EQ(fileBytes(target / "README.TXT"), std::vector<u8>{'x'});

    listener.answer = TestListener::Answer::Nothing;  // an overwrite
    recovery.save(items, target.path);
    expectSavedVolume(manifest, target.path);

    listener.answer = TestListener::Answer::Cancel;
    listener.asked.clear();
    recovery.save(items, target.path);
    EXPECT_EQ(listener.asked.size(), 1u);
}

TEST_F(FatSaveTest, CancelDuringALargeFileStopsTheSave) {
    image = std::make_unique<ImageDisk>(test::mediaPath("fat32_s512.img"));
    open(image.get());
    VolumeItem* video = find("/Video");
    VolumeItem* readme = find("/README.TXT");
    ASSERT_NE(video, nullptr);
    TestListener listener;
    listener.cancelAtProgress = 2;  // during the 12 MiB file
    recovery.setListener(&listener);
    LogCapture logs;

    recovery.save({video, readme}, target.path);

    const u64 written = fileBytes(target / "Video/Big file.bin").size();
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, 12u << 20);
    EXPECT_TRUE(logs.has("canceled during write\n"));
    EXPECT_FALSE(test::isRegularFile(target / "README.TXT"));
}

TEST_F(FatSaveTest, SearchFindsFilesInFoldersNeverShownAndTheyCanBeSaved) {
    const test::FatManifest manifest = test::loadFatManifest(test::mediaPath("fat12_floppy.img.manifest"));
    const test::FatRecord* deep = record(manifest, "/Docs/Letters/2021/Ünïcödé Ordner/Deep note.txt");
    ASSERT_NE(deep, nullptr);
    image = std::make_unique<ImageDisk>(test::mediaPath("fat12_floppy.img"));
    open(image.get());

    recovery.searchItems("DEEP NOTE");

    VolumeItem* results = recovery.getSearchResultsItem();
    ASSERT_NE(results, nullptr);
    ASSERT_EQ(results->getChildCount(true), 1u);
    VolumeItem* hit = results->getChild(0, true);
    EXPECT_EQ(hit->getName(), "Deep note.txt");
    EXPECT_EQ(hit->getPath(), "FLOPPY/Docs/Letters/2021/Ünïcödé Ordner/");

    recovery.save({hit}, target.path);
    EXPECT_EQ(test::sha256Hex(fileBytes(target / "Deep note.txt")), deep->sha256);
}

TEST_F(FatSaveTest, DeletedFilesScanStartsAtTheDataAreaAndSkipsUsedClusters) {
    const test::FatManifest manifest = test::loadFatManifest(test::mediaPath("fat16_s512.img.manifest"));
    image = std::make_unique<ImageDisk>(test::mediaPath("fat16_s512.img"));
    ASSERT_TRUE(recovery.selectDisk(image.get()));
    test::AnalyserInjection analysers;
    recovery.setScanType(SCAN_DELETED_FILES);

    recovery.scan();

    Volume* volume = recovery.getVolume();
    ASSERT_NE(dynamic_cast<FATVolume*>(volume), nullptr);
    const u64 dataOffset = manifest.num("data_offset");
    EXPECT_EQ(volume->getDataOffset(), dataOffset);
    EXPECT_EQ(recovery.getScanStartOffset(), dataOffset);
    EXPECT_EQ(recovery.getAllocBlockSize(), manifest.num("cluster_size"));
    EXPECT_EQ(recovery.getAllocBlockCount(),
              image->getBlockCount() / recovery.getBlocksPerAllocBlock() - dataOffset / recovery.getAllocBlockSize());
    const auto& steps = analysers.log.steps;
    ASSERT_EQ(steps.size(), recovery.getAllocBlockCount());
    EXPECT_EQ(steps[0].offset, dataOffset);
    EXPECT_EQ(steps[0].block, dataOffset / 512);
    u64 read = 0;
    for (const auto& step : steps) {
        if (volume->isAllocationBlockUsed(step.allocBlock)) continue;
        ++read;
        std::vector<u8> direct(step.head.size());
        ASSERT_TRUE(recovery.getDisk()->read(step.offset, static_cast<u32>(direct.size()), direct.data()));
        EXPECT_EQ(step.head, direct) << step.allocBlock;
    }
    EXPECT_GT(read, 0u);
    EXPECT_LT(read, steps.size());
}

TEST_F(FatSaveTest, VolumeClustersSmallerThanDiskBlocksAreScannedInDiskBlocks) {
    // The floppy's 512-byte clusters on a disk that reads 2048-byte blocks.
    failing = std::make_unique<test::FailingDisk>(fileBytes(test::mediaPath("fat12_floppy.img")), 2048);
    failing->setType(DISK_TYPE_IMAGEFILE);
    ASSERT_TRUE(recovery.selectDisk(failing.get()));
    test::AnalyserInjection analysers;
    recovery.setScanType(SCAN_DELETED_FILES);

    recovery.scan();

    Volume* volume = recovery.getVolume();
    ASSERT_NE(dynamic_cast<FATVolume*>(volume), nullptr);
    ASSERT_EQ(volume->getAllocBlockSize(), 512u);
    EXPECT_EQ(recovery.getAllocBlockSize(), 2048u);
    EXPECT_EQ(recovery.getBlocksPerAllocBlock(), 1u);
    EXPECT_EQ(analysers.log.steps.size(), recovery.getAllocBlockCount());
    u64 read = 0;
    for (const auto& step : analysers.log.steps) {
        // A step is read exactly when one of its four clusters is free.
        bool anyFree = false;
        for (u64 c = step.allocBlock * 4; c < step.allocBlock * 4 + 4; ++c) anyFree |= !volume->isAllocationBlockUsed(c);
        if (!anyFree) continue;
        ++read;
        std::vector<u8> direct(step.head.size());
        ASSERT_TRUE(recovery.getDisk()->read(step.offset, static_cast<u32>(direct.size()), direct.data()));
        EXPECT_EQ(step.head, direct);
    }
    EXPECT_GT(read, 0u);
}

}  // namespace
}  // namespace vorn
