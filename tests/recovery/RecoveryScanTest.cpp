// The block scan: geometry taken from the volume (and refused when it does
// not fit the disk), the position that the analysers read back, used blocks
// skipped unread, seeks, read errors, cancel, the analyser life cycle and
// offsets beyond 4 GiB.
#include <gtest/gtest.h>

#include <thread>

#include "TestMedia.h"
#include "fs/Volume.h"
#include "fs/VolumeItem.h"
#include "misc/Bytes.h"
#include "misc/Log.h"
#include "recovery/AnalyserFactory.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryTestAccess.h"
#include "recovery/RecoveryTestSupport.h"
#include "storage/FailingDisk.h"
#include "storage/ImageDisk.h"
#include "LogCapture.h"

namespace vorn {
namespace {

using test::AnalyserInjection;
using test::FailingDisk;
using test::LogCapture;
using test::TestListener;

// A volume whose geometry and used blocks the test sets; it records every
// isAllocationBlockUsed question.
class ScanVolume : public Volume {
public:
    ScanVolume(Disk* disk, u32 allocSize, u64 dataOffset) : Volume(disk) {
        setAllocBlockSize(allocSize);
        setDataOffset(dataOffset);
    }
    bool mount(bool) override { return true; }
    bool isAllocationBlockUsed(u64 block) override {
        asked.push_back(block);
        return allUsed || used.count(block) != 0;
    }
    std::set<u64> used;
    bool allUsed = false;
    std::vector<u64> asked;
};

// Bytes whose every 8-byte word holds its own offset, so a block's first
// bytes tell where it was read.
std::vector<u8> offsetWords(size_t size) {
    std::vector<u8> out(size);
    for (size_t at = 0; at + 8 <= size; at += 8) {
        for (int i = 0; i < 8; ++i) out[at + i] = static_cast<u8>(u64(at) >> (8 * i));
    }
    return out;
}

u64 headOffset(const test::ScanStep& step) { return step.head.size() >= 8 ? loadLE64(step.head.data()) : ~u64(0); }

class ScanTest : public ::testing::Test {
protected:
    // A disk of `size` bytes in blocks of blockSize, selected, with a volume
    // of the given geometry in place of the one scan would open.
    ScanVolume* setUpDisk(size_t size, u32 blockSize, u32 allocSize, u64 dataOffset, int type = DISK_TYPE_IMAGEFILE) {
        recovery.selectDisk(nullptr);  // lets go of an earlier disk first
        disk = std::make_unique<FailingDisk>(offsetWords(size), blockSize);
        disk->setType(type);
        EXPECT_TRUE(recovery.selectDisk(disk.get()));
        auto* volume = new ScanVolume(recovery.getDisk(), allocSize, dataOffset);
        RecoveryTestAccess::setVolume(recovery, volume);
        return volume;
    }
    void scan(int type) {
        recovery.setScanType(type);
        RecoveryTestAccess::scanOpenedVolume(recovery);
    }

    std::unique_ptr<FailingDisk> disk;
    Recovery recovery;
};

TEST_F(ScanTest, DeletedFilesScanStartsAtTheDataAreaInVolumeAllocationBlocks) {
    setUpDisk(1 << 20, 512, 4096, 8192);
    AnalyserInjection analysers;
    LogCapture logs(LOG_INFO);

    scan(SCAN_DELETED_FILES);

    EXPECT_EQ(recovery.getAllocBlockSize(), 4096u);
    EXPECT_EQ(recovery.getBlocksPerAllocBlock(), 8u);
    EXPECT_EQ(recovery.getAllocBlockCount(), 256u - 2u);  // the blocks in front of the data area left out
    EXPECT_EQ(recovery.getScanStartOffset(), 8192u);
    const auto& steps = analysers.log.steps;
    ASSERT_EQ(steps.size(), 254u);
    for (u64 i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(steps[i].allocBlock, i);
        EXPECT_EQ(steps[i].offset, 8192 + i * 4096);
        EXPECT_EQ(steps[i].block, 16 + i * 8);
        EXPECT_EQ(steps[i].dataSize, 4096u);
        EXPECT_EQ(headOffset(steps[i]), steps[i].offset);
    }
    const std::vector<std::string> expected = {
        "skipUsedAllocationBlocks: 1\n", "used allocation blocks: 0\n", "allocBlockCount: 254\n",
        "allocBlockSize: 4096\n",       "blocksPerAllocBlock: 8\n",    "percent used: 0.00\n",
        "analyseSize: 4096\n",          "analyseOfs: 8192\n",          "start scan\n"};
    auto first = std::find(logs.lines.begin(), logs.lines.end(), expected[0]);
    ASSERT_NE(first, logs.lines.end());
    EXPECT_EQ(std::vector<std::string>(first, first + static_cast<std::ptrdiff_t>(expected.size())), expected);
    EXPECT_TRUE(logs.has("end scan\n"));
    EXPECT_TRUE(logs.has("scan finished\n"));

    VolumeItem* root = recovery.getRootItem();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->getName(), "Deleted");
    EXPECT_EQ(root->getFlags(), ITEM_DELETED);
    EXPECT_TRUE(root->isContainer());
    EXPECT_EQ(analysers.factoryCalls, (std::vector<std::pair<int, int>>{{SCAN_DELETED_FILES, DISK_TYPE_IMAGEFILE}}));
}

TEST_F(ScanTest, UsedBlocksAreNotReadButEveryAnalyserIsCalled) {
    ScanVolume* volume = setUpDisk(64 * 1024, 512, 1024, 0);
    volume->used = {1, 2, 5};
    AnalyserInjection analysers(2);
    LogCapture logs(LOG_INFO);

    scan(SCAN_DELETED_FILES);

    const auto& steps = analysers.log.steps;
    ASSERT_EQ(steps.size(), 64u);
    // A used block leaves the buffer holding the last block read.
    EXPECT_EQ(headOffset(steps[1]), 0u);
    EXPECT_EQ(headOffset(steps[2]), 0u);
    EXPECT_EQ(headOffset(steps[3]), 3u * 1024);
    EXPECT_EQ(headOffset(steps[5]), 4u * 1024);
    EXPECT_EQ(headOffset(steps[6]), 6u * 1024);
    EXPECT_TRUE(logs.has("used allocation blocks: 3\n"));
    EXPECT_TRUE(logs.has("percent used: 4.69\n"));
}

TEST_F(ScanTest, FullVolumeReadsNothing) {
    ScanVolume* volume = setUpDisk(64 * 1024, 512, 512, 0);
    volume->allUsed = true;
    AnalyserInjection analysers;
    disk->clearRequests();

    scan(SCAN_DELETED_FILES);

    EXPECT_EQ(analysers.log.steps.size(), 128u);
    EXPECT_EQ(disk->requestCount(), 0u);
}

TEST_F(ScanTest, AllocationBlocksSmallerThanDiskBlocksAreScannedInDiskBlocks) {
    ScanVolume* volume = setUpDisk(16 * 2048, 2048, 512, 0);
    // Disk block 1 holds volume blocks 4..7: all used. Disk block 2 holds
    // 8..11: one of them free, so it is read.
    volume->used = {4, 5, 6, 7, 8, 9, 11};
    AnalyserInjection analysers;

    scan(SCAN_DELETED_FILES);

    EXPECT_EQ(recovery.getAllocBlockSize(), 2048u);
    EXPECT_EQ(recovery.getBlocksPerAllocBlock(), 1u);
    EXPECT_EQ(recovery.getAllocBlockCount(), 16u);
    const auto& steps = analysers.log.steps;
    ASSERT_EQ(steps.size(), 16u);
    EXPECT_EQ(headOffset(steps[1]), 0u);  // not read
    EXPECT_EQ(headOffset(steps[2]), 2u * 2048);
    // The volume was asked in its own blocks, those of the scanned disk block.
    EXPECT_EQ(std::count(volume->asked.begin(), volume->asked.end(), 10u), 2);  // count and scan
    EXPECT_EQ(*std::max_element(volume->asked.begin(), volume->asked.end()), 60u);  // the first free one answers
}

TEST_F(ScanTest, AllocationBlockSizeThatDoesNotFitTheDiskIsRefused) {
    for (u32 allocSize : {3000u, 16u * 1024 * 1024, 1536u}) {
        SCOPED_TRACE(allocSize);
        setUpDisk(64 * 1024, 1024, allocSize, 0);
        AnalyserInjection analysers;
        LogCapture logs(LOG_WARNING);

        scan(SCAN_LOST_VOLUMES);

        EXPECT_EQ(recovery.getAllocBlockSize(), 1024u);
        EXPECT_EQ(recovery.getAllocBlockCount(), 64u);
        EXPECT_EQ(analysers.log.steps.size(), 64u);
        if (allocSize > 1024) {
            EXPECT_TRUE(logs.has("allocation block size " + std::to_string(allocSize) +
                                 " does not fit disk blocks of 1024 bytes, scanning disk blocks\n"));
        }
    }
}

TEST_F(ScanTest, StartOffsetAtTheDiskEndScansNoBlocks) {
    setUpDisk(64 * 1024, 512, 4096, 64 * 1024);
    AnalyserInjection analysers(2);
    LogCapture logs(LOG_WARNING);

    scan(SCAN_DELETED_FILES);

    EXPECT_EQ(recovery.getAllocBlockCount(), 0u);
    EXPECT_TRUE(analysers.log.steps.empty());
    EXPECT_TRUE(logs.has("scan start offset 65536 lies at or past the disk end (65536 bytes), no blocks to scan\n"));
    EXPECT_EQ(analysers.log.calls,
              (std::vector<std::string>{"begin:0", "begin:1", "end:0", "end:1", "free:0", "free:1"}));
}

TEST_F(ScanTest, LostVolumesScanWalksTheWholeDiskFromByteZero) {
    ScanVolume* volume = setUpDisk(64 * 1024, 512, 4096, 8192);
    volume->allUsed = true;
    AnalyserInjection analysers;

    scan(SCAN_LOST_VOLUMES);

    EXPECT_EQ(recovery.getScanStartOffset(), 0u);
    EXPECT_EQ(recovery.getAllocBlockCount(), 16u);
    ASSERT_EQ(analysers.log.steps.size(), 16u);
    EXPECT_EQ(analysers.log.steps[0].offset, 0u);
    EXPECT_EQ(headOffset(analysers.log.steps[15]), 15u * 4096);  // used blocks are read too
    EXPECT_EQ(recovery.getRootItem()->getName(), "Lost");
    EXPECT_EQ(recovery.getRootItem()->getFlags(), ITEM_LOST);
}

TEST_F(ScanTest, LostFilesScanReads32KiBPerStepAndShortensTheLastRead) {
    setUpDisk(100 * 1024, 512, 4096, 0, DISK_TYPE_CDDVD);
    AnalyserInjection analysers;
    LogCapture logs(LOG_INFO);

    scan(SCAN_LOST_FILES);

    EXPECT_TRUE(logs.has("analyseSize: 32768\n"));
    const auto& steps = analysers.log.steps;
    ASSERT_EQ(steps.size(), 25u);
    EXPECT_EQ(steps[0].dataSize, 32768u);
    EXPECT_EQ(steps[17].dataSize, 32768u);                 // 17 * 4096 + 32768 = 100 KiB
    EXPECT_EQ(steps[18].dataSize, 100u * 1024 - 18 * 4096);  // shortened to the end of the disk
    EXPECT_EQ(steps[24].dataSize, 4096u);
    EXPECT_EQ(analysers.factoryCalls, (std::vector<std::pair<int, int>>{{SCAN_LOST_FILES, DISK_TYPE_CDDVD}}));
}

TEST_F(ScanTest, AnalyserSeekSkipsBlocksCountingFromTheStartOffset) {
    setUpDisk(256 * 1024, 512, 4096, 8192);
    AnalyserInjection analysers(1, [](Recovery* owner) {
        // Jump behind a "file" that ends at disk byte 8192 + 10 * 4096.
        if (owner->getCurrentAllocBlock() == 2) owner->seekToOffset(8192 + 10 * 4096);
    });

    scan(SCAN_DELETED_FILES);

    const auto& steps = analysers.log.steps;
    ASSERT_GE(steps.size(), 4u);
    EXPECT_EQ(steps[2].allocBlock, 2u);
    EXPECT_EQ(steps[3].allocBlock, 11u);
    EXPECT_EQ(steps[3].offset, 8192u + 11 * 4096);
    EXPECT_EQ(steps[3].block, (8192u + 11 * 4096) / 512);
    EXPECT_EQ(headOffset(steps[3]), steps[3].offset);
}

TEST_F(ScanTest, UnreadableBlockIsLeftOutAndTheScanGoesOn) {
    setUpDisk(64 * 1024, 512, 512, 0);
    disk->failBlock(10);
    disk->failBlock(100);
    AnalyserInjection analysers;
    LogCapture logs(LOG_ERROR);

    scan(SCAN_LOST_VOLUMES);

    std::vector<u64> seen;
    for (const auto& step : analysers.log.steps) seen.push_back(step.allocBlock);
    EXPECT_EQ(seen.size(), 126u);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 10u), 0);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 100u), 0);
    EXPECT_EQ(logs.count("error reading\n"), 2);
    EXPECT_GT(recovery.getDisk()->getReadErrors(), 0u);
}

TEST_F(ScanTest, CancelAtTheFirstReportStillEndsEveryAnalyser) {
    setUpDisk(4 << 20, 512, 512, 0);
    AnalyserInjection analysers(2, [](Recovery* owner) {
        // The first block takes over a second, so the next clock check reports.
        if (owner->getCurrentAllocBlock() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    });
    TestListener listener;
    listener.cancelAtProgress = 1;  // the first call (-1) is not tested
    recovery.setListener(&listener);

    scan(SCAN_DELETED_FILES);

    ASSERT_EQ(listener.progress.size(), 2u);
    EXPECT_EQ(listener.progress[0], -1.0);
    EXPECT_GE(listener.progress[1], 0.0);
    EXPECT_LT(analysers.log.steps.size(), 8192u);
    EXPECT_EQ(analysers.log.calls,
              (std::vector<std::string>{"begin:0", "begin:1", "end:0", "end:1", "free:0", "free:1"}));
    EXPECT_EQ(recovery.getRootItem()->getName(), "Deleted");
}

TEST_F(ScanTest, RootNameIsTranslated) {
    setUpDisk(4096, 512, 512, 0);
    AnalyserInjection analysers;
    TestListener listener;
    listener.texts["Lost"] = "Verloren";
    recovery.setListener(&listener);
    scan(SCAN_LOST_FILES);
    EXPECT_EQ(recovery.getRootItem()->getName(), "Verloren");
}

TEST(Scan, WithoutDiskLogsAndDoesNothing) {
    Recovery recovery;
    AnalyserInjection analysers;
    LogCapture logs(LOG_ERROR);
    recovery.scan();
    EXPECT_TRUE(logs.has("error: no disk selected\n"));
    EXPECT_TRUE(analysers.factoryCalls.empty());
}

TEST(Scan, DiskWithoutKnownFileSystemIsReadWhole) {
    FailingDisk disk(offsetWords(64 * 1024), 512);
    disk.setType(DISK_TYPE_FIXED);
    Recovery recovery;
    ASSERT_TRUE(recovery.selectDisk(&disk));
    AnalyserInjection analysers;
    recovery.setScanType(SCAN_DELETED_FILES);

    recovery.scan();

    ASSERT_EQ(analysers.log.steps.size(), 128u);
    for (u64 i = 0; i < 128; ++i) EXPECT_EQ(headOffset(analysers.log.steps[i]), i * 512);
}

TEST(Scan, OffsetsBeyondFourGiBAreKeptWhole) {
    ImageDisk disk(test::mediaPath("sparse_4g.img"));
    Recovery recovery;
    ASSERT_TRUE(recovery.selectDisk(&disk));
    const u64 mark = 4294967296ull - 4096;
    AnalyserInjection analysers(1, [mark](Recovery* owner) {
        if (owner->getCurrentAllocBlock() == 0) owner->seekToOffset(mark - 512);
    });
    recovery.setScanType(SCAN_LOST_VOLUMES);

    recovery.scan();

    const auto& steps = analysers.log.steps;
    ASSERT_GE(steps.size(), 3u);
    EXPECT_EQ(steps[1].offset, mark);
    EXPECT_EQ(steps[1].allocBlock, mark / 512);
    EXPECT_EQ(steps[1].block, mark / 512);
    EXPECT_EQ(headOffset(steps[1]), mark);
    EXPECT_EQ(headOffset(steps[9]), mark + 8 * 512);  // past the 4 GiB mark
    EXPECT_EQ(recovery.getAllocBlockCount(), disk.getBlockCount());
    EXPECT_EQ(steps.back().offset, (disk.getBlockCount() - 1) * 512);
}

}  // namespace
}  // namespace vorn
