// Saving, searching, reporting and scanning real FAT volumes made by
// mkfs.fat and mtools (tests/fixtures/make_fatvols.sh): every saved tree is
// compared byte for byte with the files that were copied into the volume.
#include <gtest/gtest.h>

#include "TestMedia.h"
#include "fs/Volume.h"
#include "fs/VolumeItem.h"
#include "fs/fat/FATVolume.h"
#include "fs/fat/FATVolumeItem.h"
#include "misc/Log.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryTestSupport.h"
#include "storage/FailingDisk.h"
#include "storage/ImageDisk.h"
#include "storage/LogCapture.h"

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

// The files of both trees are equal in names and bytes. The volume label,
// which the reader lists as an empty file in the root, is left out.
void expectSameTree(const std::string& expected, const std::string& actual, const std::string& label = "") {
    const std::vector<std::string> want = test::treeOf(expected);
    ASSERT_FALSE(want.empty()) << expected;
    std::vector<std::string> got = test::treeOf(actual);
    if (!label.empty() && test::isRegularFile(actual + "/" + label) && fileBytes(actual + "/" + label).empty()) {
        std::erase(got, label);
    }
    EXPECT_EQ(got, want);
    for (const std::string& rel : want) {
        if (rel.back() == '/') continue;
        EXPECT_EQ(fileBytes(expected + "/" + rel), fileBytes(actual + "/" + rel)) << rel;
    }
}

class FatVolumeTest : public ::testing::TestWithParam<std::string> {};

TEST_P(FatVolumeTest, WholeVolumeIsSavedByteForByte) {
    ImageDisk disk(test::mediaPath(GetParam() + ".img"));
    Recovery recovery;
    ASSERT_TRUE(recovery.selectDisk(&disk));
    recovery.openExistingVolume();
    ASSERT_NE(recovery.getRootItem(), nullptr);
    ScratchDir target;

    recovery.save(childrenOf(recovery.getRootItem()), target.path);

    EXPECT_TRUE(recovery.getLastSaveOk());
    EXPECT_EQ(recovery.getDamagedFileCount(), 0u);
    expectSameTree(test::mediaPath(GetParam() + ".src"), target.path, recovery.getVolume()->getName());
}

TEST_P(FatVolumeTest, ReportListsEveryFileOfTheVolume) {
    ImageDisk disk(test::mediaPath(GetParam() + ".img"));
    Recovery recovery;
    ASSERT_TRUE(recovery.selectDisk(&disk));
    recovery.openExistingVolume();
    ScratchDir scratch;
    const std::string path = scratch / "report.html";

    recovery.saveReport(childrenOf(recovery.getRootItem()), path, "Report", "end");

    std::vector<u8> bytes = fileBytes(path);
    const std::string html(bytes.begin(), bytes.end());
    size_t rows = 0;
    for (size_t at = html.find("<tr> <td><small>"); at != std::string::npos; at = html.find("<tr> <td><small>", at + 1)) {
        ++rows;
    }
    size_t files = 0;
    for (const std::string& rel : test::treeOf(test::mediaPath(GetParam() + ".src"))) files += rel.back() != '/';
    const std::string label = recovery.getVolume()->getName();
    EXPECT_EQ(rows, files + (html.find("<td><small>" + label + "</small></td>") != std::string::npos ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(Volumes, FatVolumeTest,
                         ::testing::Values("fatv12_floppy", "fatv16_2k", "fatv32_4k", "fatv32_cam"));

class FatSaveTest : public ::testing::Test {
protected:
    void open(Disk* disk) {
        ASSERT_TRUE(recovery.selectDisk(disk));
        recovery.openExistingVolume();
        ASSERT_NE(recovery.getRootItem(), nullptr);
    }
    VolumeItem* find(const std::string& path) {
        VolumeItem* item = recovery.getRootItem();
        size_t start = 0;
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

    // Disks outlive the Recovery that reads them.
    std::unique_ptr<ImageDisk> image;
    std::unique_ptr<test::FailingDisk> failing;
    Recovery recovery;
    ScratchDir target;
};

TEST_F(FatSaveTest, BadSectorInAFileCostsOnlyThatSector) {
    image = std::make_unique<ImageDisk>(test::mediaPath("fatv32_cam.img"));
    failing = std::make_unique<test::FailingDisk>(image.get());
    open(failing.get());
    auto* movie = dynamic_cast<FATVolumeItem*>(find("MISC/BIGVIDEO.MOV"));
    ASSERT_NE(movie, nullptr);
    // A sector 1 MiB into the file (written in one run by mcopy), in a cache
    // line that listing the folders has not read yet.
    auto* volume = dynamic_cast<FATVolume*>(recovery.getVolume());
    ASSERT_NE(volume, nullptr);
    failing->failBlock(volume->clusterOffset(movie->getDataCluster()) / 512 + 2048 + 5);
    LogCapture logs(LOG_ERROR);

    recovery.save({movie}, target.path);

    const std::vector<u8> original = fileBytes(test::mediaPath("fatv32_cam.src/MISC/BIGVIDEO.MOV"));
    const std::vector<u8> saved = fileBytes(target / "BIGVIDEO.MOV");
    ASSERT_EQ(saved.size(), original.size());
    std::vector<size_t> differing;
    for (size_t i = 0; i < saved.size(); ++i) {
        if (saved[i] != original[i]) differing.push_back(i);
    }
    ASSERT_FALSE(differing.empty());
    // Only bytes of one 512-byte sector differ, and they read as zeros.
    EXPECT_EQ(differing.front() / 512, differing.back() / 512);
    for (size_t i = differing.front() / 512 * 512; i < differing.front() / 512 * 512 + 512; ++i) EXPECT_EQ(saved[i], 0);
    EXPECT_EQ(recovery.getDamagedFileCount(), 1u);
    EXPECT_TRUE(recovery.getLastSaveOk());
    EXPECT_TRUE(logs.hasPrefix("error reading " + target / "BIGVIDEO.MOV" + " at offset "));
}

TEST_F(FatSaveTest, SecondSaveAsksForEveryFileAndHonoursTheAnswers) {
    image = std::make_unique<ImageDisk>(test::mediaPath("fatv12_floppy.img"));
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

    listener.answer = TestListener::Answer::Overwrite;
    recovery.save(items, target.path);
    expectSameTree(test::mediaPath("fatv12_floppy.src"), target.path, recovery.getVolume()->getName());

    listener.answer = TestListener::Answer::Cancel;
    listener.asked.clear();
    recovery.save(items, target.path);
    EXPECT_EQ(listener.asked.size(), 1u);
}

TEST_F(FatSaveTest, SearchFindsFilesInFoldersNeverShownAndTheyCanBeSaved) {
    image = std::make_unique<ImageDisk>(test::mediaPath("fatv12_floppy.img"));
    open(image.get());

    recovery.searchItems("DEEPEST");

    VolumeItem* results = recovery.getSearchResultsItem();
    ASSERT_NE(results, nullptr);
    ASSERT_EQ(results->getChildCount(true), 1u);
    VolumeItem* hit = results->getChild(0, true);
    EXPECT_EQ(hit->getName(), "deepest.txt");
    EXPECT_EQ(hit->getPath(), "FLOPPY/Sub/Deeper/");

    recovery.save({hit}, target.path);
    EXPECT_EQ(fileBytes(target / "deepest.txt"), fileBytes(test::mediaPath("fatv12_floppy.src/Sub/Deeper/deepest.txt")));
}

TEST_F(FatSaveTest, DeletedFilesScanStartsAtTheDataAreaAndSkipsUsedClusters) {
    image = std::make_unique<ImageDisk>(test::mediaPath("fatv12_floppy.img"));
    ImageDisk& disk = *image;
    ASSERT_TRUE(recovery.selectDisk(&disk));
    test::AnalyserInjection analysers;
    recovery.setScanType(SCAN_DELETED_FILES);

    recovery.scan();

    Volume* volume = recovery.getVolume();
    ASSERT_NE(volume, nullptr);
    const u64 dataOffset = volume->getDataOffset();
    EXPECT_GT(dataOffset, 0u);
    EXPECT_EQ(recovery.getScanStartOffset(), dataOffset);
    EXPECT_EQ(recovery.getAllocBlockSize(), volume->getAllocBlockSize());
    EXPECT_EQ(recovery.getAllocBlockCount(),
              disk.getBlockCount() / recovery.getBlocksPerAllocBlock() - dataOffset / recovery.getAllocBlockSize());
    const auto& steps = analysers.log.steps;
    ASSERT_EQ(steps.size(), recovery.getAllocBlockCount());
    EXPECT_EQ(steps[0].offset, dataOffset);
    EXPECT_EQ(steps[0].block, dataOffset / 512);
    u64 read = 0;
    for (const auto& step : steps) {
        if (!volume->isAllocationBlockUsed(step.allocBlock)) {
            ++read;
            const std::vector<u8> direct = [&] {
                std::vector<u8> b(step.head.size());
                recovery.getDisk()->read(step.offset, static_cast<u32>(b.size()), b.data());
                return b;
            }();
            EXPECT_EQ(step.head, direct) << step.allocBlock;
        }
    }
    EXPECT_GT(read, 0u);
    EXPECT_LT(read, steps.size());
}

TEST_F(FatSaveTest, VolumeClustersSmallerThanDiskBlocksAreScannedInDiskBlocks) {
    // The floppy's 512-byte clusters on a disk that reads 2048-byte blocks.
    failing = std::make_unique<test::FailingDisk>(fileBytes(test::mediaPath("fatv12_floppy.img")), 2048);
    failing->setType(DISK_TYPE_IMAGEFILE);
    ASSERT_TRUE(recovery.selectDisk(failing.get()));
    test::AnalyserInjection analysers;
    recovery.setScanType(SCAN_DELETED_FILES);

    recovery.scan();

    Volume* volume = recovery.getVolume();
    ASSERT_NE(volume, nullptr);
    ASSERT_EQ(volume->getAllocBlockSize(), 512u);
    EXPECT_EQ(recovery.getAllocBlockSize(), 2048u);
    EXPECT_EQ(recovery.getBlocksPerAllocBlock(), 1u);
    for (const auto& step : analysers.log.steps) {
        // A step is read exactly when one of its four clusters is free.
        bool anyFree = false;
        for (u64 c = step.allocBlock * 4; c < step.allocBlock * 4 + 4; ++c) anyFree |= !volume->isAllocationBlockUsed(c);
        if (anyFree) EXPECT_EQ(step.offset, volume->getDataOffset() + step.allocBlock * 2048);
    }
    EXPECT_EQ(analysers.log.steps.size(), recovery.getAllocBlockCount());
}

}  // namespace
}  // namespace vorn
