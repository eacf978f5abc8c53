// The block scan: geometry taken from the volume (refused when it does not
// fit the disk), the position the analysers read back, used blocks skipped
// unread, seeks, read errors, cancel, the analyser life cycle and offsets
// beyond 4 GiB.
#include <gtest/gtest.h>

#include <thread>

#include "LogCapture.h"
#include "TestMedia.h"
#include "fs/Volume.h"
#include "misc/Bytes.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryTestAccess.h"
#include "recovery/RecoveryTestSupport.h"
#include "storage/FailingDisk.h"
#include "storage/ImageDisk.h"

namespace vorn {
namespace {

using test::AnalyserInjection;
using test::FailingDisk;
using test::LogCapture;
using Calls = std::vector<std::string>;

// A volume of the test's geometry and used blocks; records every question.
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

// Every 8-byte word holds its own offset, so a block's bytes tell where they were read.
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
    // A selected disk of `size` bytes with a volume of the given geometry in
    // place of the one scan would open.
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

TEST_F(ScanTest, GeometryComesFromTheVolumeWhenItFitsTheDisk) {
    struct Case {
        const char* what;
        size_t diskSize;
        u32 blockSize, volumeAlloc;
        u64 dataOffset;
        int scanType;
        u32 alloc, perAlloc;
        u64 count, start;
        u32 analyseSize;
        const char* warning;
    } cases[] = {
        {"deleted files from the data area", 1 << 20, 512, 4096, 8192, SCAN_DELETED_FILES, 4096, 8, 254, 8192, 4096, ""},
        {"allocation blocks below a disk block", 16 * 2048, 2048, 512, 0, SCAN_DELETED_FILES, 2048, 1, 16, 0, 2048, ""},
        {"no whole number of disk blocks", 64 * 1024, 1024, 3000, 0, SCAN_LOST_VOLUMES, 1024, 1, 64, 0, 1024,
         "allocation block size 3000 does not fit disk blocks of 1024 bytes, scanning disk blocks\n"},
        {"over 8 MiB", 64 * 1024, 1024, 16 << 20, 0, SCAN_LOST_VOLUMES, 1024, 1, 64, 0, 1024,
         "allocation block size 16777216 does not fit disk blocks of 1024 bytes, scanning disk blocks\n"},
        {"lost volumes from byte 0", 64 * 1024, 512, 4096, 8192, SCAN_LOST_VOLUMES, 4096, 8, 16, 0, 4096, ""},
        {"lost files in 32 KiB pieces", 100 * 1024, 512, 4096, 0, SCAN_LOST_FILES, 4096, 8, 25, 0, 32768, ""},
        {"pieces across cache lines", 600 * 1024, 512, 4096, 0, SCAN_LOST_FILES, 4096, 8, 150, 0, 32768, ""},
        {"data area at the disk end", 64 * 1024, 512, 4096, 64 * 1024, SCAN_DELETED_FILES, 4096, 8, 0, 65536, 4096,
         "scan start offset 65536 lies at or past the disk end (65536 bytes), no blocks to scan\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        setUpDisk(c.diskSize, c.blockSize, c.volumeAlloc, c.dataOffset);
        AnalyserInjection analysers(2);
        LogCapture logs(LOG_INFO);

        scan(c.scanType);

        EXPECT_EQ(recovery.getAllocBlockSize(), c.alloc);
        EXPECT_EQ(recovery.getBlocksPerAllocBlock(), c.perAlloc);
        EXPECT_EQ(recovery.getAllocBlockCount(), c.count);
        EXPECT_EQ(recovery.getScanStartOffset(), c.start);
        EXPECT_TRUE(logs.has("analyseSize: " + std::to_string(c.analyseSize) + "\n"));
        if (*c.warning) {
            EXPECT_TRUE(logs.has(c.warning));
        }
        const auto& steps = analysers.log.steps;
        ASSERT_EQ(steps.size(), c.count);
        for (u64 i = 0; i < steps.size(); ++i) {
            const u64 offset = c.start + i * c.alloc;
            EXPECT_EQ(steps[i].allocBlock, i);
            EXPECT_EQ(steps[i].offset, offset);
            EXPECT_EQ(steps[i].block, offset / c.blockSize);
            EXPECT_EQ(steps[i].dataSize, std::min<u64>(c.analyseSize, c.diskSize - offset));  // the last read is cut
            EXPECT_EQ(headOffset(steps[i]), offset);
        }
        EXPECT_EQ(analysers.log.calls, (Calls{"begin:0", "begin:1", "end:0", "end:1", "free:0", "free:1"}));
        EXPECT_EQ(analysers.factoryCalls, (std::vector<std::pair<int, int>>{{c.scanType, DISK_TYPE_IMAGEFILE}}));
        VolumeItem* root = recovery.getRootItem();
        ASSERT_NE(root, nullptr);
        EXPECT_TRUE(root->isContainer());
        EXPECT_EQ(root->getName(), c.scanType == SCAN_DELETED_FILES ? "Deleted" : "Lost");
        EXPECT_EQ(root->getFlags(), c.scanType == SCAN_DELETED_FILES ? ITEM_DELETED : ITEM_LOST);
    }
}

TEST_F(ScanTest, LogsTheGeometryBeforeTheFirstBlock) {
    ScanVolume* volume = setUpDisk(64 * 1024, 512, 1024, 2048);
    volume->used = {1, 2, 5};
    AnalyserInjection analysers;
    LogCapture logs(LOG_INFO);
    scan(SCAN_DELETED_FILES);
    const Calls expected = {"skipUsedAllocationBlocks: 1\n", "used allocation blocks: 3\n", "allocBlockCount: 62\n",
                            "allocBlockSize: 1024\n",       "blocksPerAllocBlock: 2\n",    "percent used: 4.84\n",
                            "analyseSize: 1024\n",          "analyseOfs: 2048\n",          "start scan\n"};
    auto first = std::find(logs.lines.begin(), logs.lines.end(), expected[0]);
    ASSERT_NE(first, logs.lines.end());
    EXPECT_EQ(Calls(first, first + static_cast<std::ptrdiff_t>(expected.size())), expected);
    EXPECT_TRUE(logs.has("end scan\n"));
    EXPECT_TRUE(logs.has("scan finished\n"));
}

TEST_F(ScanTest, UsedBlocksAreNotReadButEveryAnalyserIsCalled) {
    ScanVolume* volume = setUpDisk(16 * 2048, 2048, 512, 0);
    // Disk block 1 holds volume blocks 4..7, all used; disk block 2 holds
    // 8..11 of which 10 is free, so it is read.
    volume->used = {4, 5, 6, 7, 8, 9, 11};
    AnalyserInjection analysers;
    scan(SCAN_DELETED_FILES);
    const auto& steps = analysers.log.steps;
    ASSERT_EQ(steps.size(), 16u);
    EXPECT_EQ(headOffset(steps[1]), 0u);  // not read: the buffer holds the last block read
    EXPECT_EQ(headOffset(steps[2]), 2u * 2048);
    EXPECT_EQ(std::count(volume->asked.begin(), volume->asked.end(), 10u), 2);  // counted, then scanned

    volume = setUpDisk(64 * 1024, 512, 512, 0);
    volume->allUsed = true;
    disk->clearRequests();
    AnalyserInjection full;
    scan(SCAN_DELETED_FILES);
    EXPECT_EQ(full.log.steps.size(), 128u);
    EXPECT_EQ(disk->requestCount(), 0u);  // a full volume reads nothing
    EXPECT_EQ(full.log.steps[0].dataSize, 0u);  // and shows nothing of the disk read before
}

TEST_F(ScanTest, AnalyserSeekSkipsBlocksCountingFromTheStartOffset) {
    setUpDisk(256 * 1024, 512, 4096, 8192);
    AnalyserInjection analysers(1, [](Recovery* owner) {
        // Behind a "file" that ends at disk byte 8192 + 10 * 4096.
        if (owner->getCurrentAllocBlock() == 2) owner->seekToOffset(8192 + 10 * 4096);
    });
    scan(SCAN_DELETED_FILES);
    const auto& steps = analysers.log.steps;
    ASSERT_GE(steps.size(), 4u);
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
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 10u) + std::count(seen.begin(), seen.end(), 100u), 0);
    EXPECT_EQ(logs.count("error reading\n"), 2);
}

TEST_F(ScanTest, CancelAtTheFirstReportStillEndsEveryAnalyser) {
    setUpDisk(4 << 20, 512, 512, 0);
    AnalyserInjection analysers(2, [](Recovery* owner) {
        // The first block takes over a second, so the next clock check reports.
        if (owner->getCurrentAllocBlock() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    });
    test::TestListener listener;
    listener.cancelAtProgress = 1;  // the first call (-1) is not tested
    listener.texts["Deleted"] = "Gel\xc3\xb6scht";
    recovery.setListener(&listener);

    scan(SCAN_DELETED_FILES);

    ASSERT_EQ(listener.progress.size(), 2u);
    EXPECT_EQ(listener.progress[0], -1.0);
    EXPECT_GE(listener.progress[1], 0.0);
    EXPECT_LT(analysers.log.steps.size(), 8192u);
    EXPECT_EQ(analysers.log.calls, (Calls{"begin:0", "begin:1", "end:0", "end:1", "free:0", "free:1"}));
    EXPECT_EQ(recovery.getRootItem()->getName(), "Gel\xc3\xb6scht");
}

TEST(Scan, WithoutDiskLogsAndDoesNothing) {
    Recovery recovery;
    AnalyserInjection analysers;
    LogCapture logs(LOG_ERROR);
    recovery.scan();
    EXPECT_TRUE(logs.has("error: no disk selected\n"));
    EXPECT_TRUE(analysers.factoryCalls.empty());
}

TEST(Scan, DiskWithoutKnownFileSystemIsReadWholeOffsetsBeyondFourGiBIncluded) {
    ImageDisk disk(test::mediaPath("sparse_4g.img"));
    Recovery recovery;
    ASSERT_TRUE(recovery.selectDisk(&disk));
    const u64 mark = 4294967296ull - 4096;  // offset words from here on
    AnalyserInjection analysers(1, [mark](Recovery* owner) {
        if (owner->getCurrentAllocBlock() == 0) owner->seekToOffset(mark - 512);
    });
    recovery.setScanType(SCAN_DELETED_FILES);

    recovery.scan();

    const auto& steps = analysers.log.steps;
    ASSERT_GE(steps.size(), 10u);
    EXPECT_EQ(recovery.getAllocBlockCount(), disk.getBlockCount());
    EXPECT_EQ(steps[1].offset, mark);
    EXPECT_EQ(steps[1].allocBlock, mark / 512);
    EXPECT_EQ(steps[1].block, mark / 512);
    EXPECT_EQ(headOffset(steps[1]), mark);
    EXPECT_EQ(headOffset(steps[9]), mark + 8 * 512);  // past the 4 GiB mark
    EXPECT_EQ(steps.back().offset, (disk.getBlockCount() - 1) * 512);
    recovery.selectDisk(nullptr);
}

}  // namespace
}  // namespace vorn
