#include <sys/time.h>

#include <gtest/gtest.h>

#include "TestMedia.h"
#include "fs/Volume.h"
#include "raw/RawAnalyser.h"
#include "recovery/RecoveryTestAccess.h"
#include "recovery/RecoveryTestSupport.h"
#include "storage/FailingDisk.h"
#include "storage/ImageDisk.h"

namespace vorn {
namespace {

using namespace test;
using Lines = std::vector<std::string>;

// A volume whose geometry and used blocks the test sets; records the questions.
struct ScanVolume : Volume {
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

// Every 8-byte word holds its own offset: a step's head tells where it was read.
std::vector<u8> offsetWords(size_t size) {
    std::vector<u8> out(size);
    for (size_t at = 0; at + 8 <= size; at += 8) std::copy_n(reinterpret_cast<const u8*>(&at), 8, &out[at]);
    return out;
}

class ScanTest : public ::testing::Test {
protected:
    ScanVolume* setUp(size_t size, u32 blockSize, u32 allocSize, u64 dataOffset, int type = DISK_TYPE_IMAGEFILE) {
        recovery.selectDisk(nullptr);
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

TEST_F(ScanTest, DeletedFilesScanStartsAtTheDataAreaAndSkipsUsedBlocksUnread) {
    ScanVolume* volume = setUp(1 << 20, 512, 4096, 8192);
    volume->used = {1, 2, 5};
    AnalyserInjection analysers(2);
    LogCapture logs(LOG_INFO);
    scan(SCAN_DELETED_FILES);
    EXPECT_EQ(recovery.getBlocksPerAllocBlock(), 8u);
    EXPECT_EQ(recovery.getScanStartOffset(), 8192u);
    ASSERT_EQ(analysers.steps.size(), 254u);  // the blocks in front of the data area left out
    for (u64 i = 0; i < 254; ++i) {
        EXPECT_EQ(analysers.steps[i].allocBlock, i);
        EXPECT_EQ(analysers.steps[i].offset, 8192 + i * 4096);
        EXPECT_EQ(analysers.steps[i].block, 16 + i * 8);
        EXPECT_EQ(analysers.steps[i].dataSize, 4096u);
        // A used block is not read: the buffer still holds the last block read.
        const u64 readAt = i == 1 || i == 2 ? 0 : i == 5 ? 4 : i;
        EXPECT_EQ(analysers.steps[i].head, 8192 + readAt * 4096) << i;
    }
    EXPECT_TRUE(logs.has("scan finished\n"));
    EXPECT_EQ(recovery.getRootItem()->getName(), "Deleted");
    EXPECT_EQ(analysers.calls, (Lines{"begin:0", "begin:1", "end:0", "end:1", "free:0", "free:1"}));
    EXPECT_EQ(analysers.factoryCalls, (std::vector<std::pair<int, int>>{{SCAN_DELETED_FILES, DISK_TYPE_IMAGEFILE}}));
}

TEST_F(ScanTest, AllocationBlocksSmallerThanDiskBlocksAreAskedForTheScannedDiskBlock) {
    ScanVolume* volume = setUp(16 * 2048, 2048, 512, 0);
    volume->used = {4, 5, 6, 7, 8, 9, 11};  // disk block 1 all used; block 2 has a free one
    AnalyserInjection analysers;
    scan(SCAN_DELETED_FILES);
    EXPECT_EQ(recovery.getAllocBlockSize(), 2048u);
    ASSERT_EQ(analysers.steps.size(), 16u);
    EXPECT_EQ(analysers.steps[1].head, 0u);  // not read
    EXPECT_EQ(analysers.steps[2].head, 2u * 2048);
    EXPECT_EQ(std::count(volume->asked.begin(), volume->asked.end(), 10u), 2);  // count and scan
    EXPECT_EQ(*std::max_element(volume->asked.begin(), volume->asked.end()), 60u);
}

TEST_F(ScanTest, GeometryThatDoesNotFitTheDiskIsRefused) {
    struct Case { u32 allocSize; u64 dataOffset; int scanType; u64 blocks; const char* log; };
    const Case cases[] = {
        {3000, 0, SCAN_LOST_VOLUMES, 64, "allocation block size 3000 does not fit disk blocks of 1024 bytes, scanning disk blocks\n"},
        {16 << 20, 0, SCAN_LOST_VOLUMES, 64, "allocation block size 16777216 does not fit disk blocks of 1024 bytes, scanning disk blocks\n"},
        {1536, 0, SCAN_LOST_VOLUMES, 64, "allocation block size 1536 does not fit disk blocks of 1024 bytes, scanning disk blocks\n"},
        {4096, 64 * 1024, SCAN_DELETED_FILES, 0, "scan start offset 65536 lies at or past the disk end (65536 bytes), no blocks to scan\n"},
        {4096, 1 << 30, SCAN_DELETED_FILES, 0, "scan start offset 1073741824 lies at or past the disk end (65536 bytes), no blocks to scan\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log);
        setUp(64 * 1024, 1024, c.allocSize, c.dataOffset);
        AnalyserInjection analysers(2);
        LogCapture logs(LOG_WARNING);
        scan(c.scanType);
        EXPECT_TRUE(logs.has(c.log));
        EXPECT_EQ(recovery.getAllocBlockCount(), c.blocks);
        EXPECT_EQ(analysers.steps.size(), c.blocks);
        EXPECT_EQ(recovery.getAllocBlockSize(), c.blocks ? 1024u : 4096u);
        EXPECT_EQ(analysers.calls, (Lines{"begin:0", "begin:1", "end:0", "end:1", "free:0", "free:1"}));
    }
}

TEST_F(ScanTest, LostScansReadTheWholeDiskAndShortenTheLastReads) {
    ScanVolume* volume = setUp(100 * 1024, 512, 4096, 0, DISK_TYPE_CDDVD);
    volume->allUsed = true;  // used blocks are read too
    AnalyserInjection analysers;
    scan(SCAN_LOST_FILES);
    const auto& steps = analysers.steps;
    ASSERT_EQ(steps.size(), 25u);
    EXPECT_EQ(steps[0].offset, 0u);
    EXPECT_EQ(steps[17].dataSize, 32768u);                   // 17 * 4096 + 32 KiB = 100 KiB
    EXPECT_EQ(steps[18].dataSize, 100u * 1024 - 18 * 4096);  // cut at the disk end
    EXPECT_EQ(steps[24].head, 24u * 4096);
    EXPECT_EQ(recovery.getRootItem()->getName(), "Lost");
}

TEST_F(ScanTest, PiecesAcrossCacheLinesAndEveryStepOfALineHoldTheirOwnBytes) {
    setUp(600 * 1024, 512, 4096, 0);  // 256 KiB lines: pieces near 256 and 512 KiB span two
    AnalyserInjection analysers;
    scan(SCAN_LOST_FILES);
    ASSERT_EQ(analysers.steps.size(), 150u);
    for (const ScanStep& step : analysers.steps) {
        EXPECT_EQ(step.head, step.offset);
        EXPECT_EQ(step.dataSize, std::min<u64>(32768, 600 * 1024 - step.offset));
    }
}

TEST_F(ScanTest, UnreadableBlockIsLeftOutAndTheScanGoesOn) {
    setUp(64 * 1024, 512, 512, 4096)->allUsed = true;  // from byte 0, used blocks too
    disk->failBlock(10);
    disk->failBlock(100);
    AnalyserInjection analysers;
    LogCapture logs(LOG_ERROR);
    scan(SCAN_LOST_VOLUMES);
    EXPECT_EQ(analysers.steps.size(), 126u);
    for (const ScanStep& s : analysers.steps) {
        EXPECT_NE(s.allocBlock, 10u);
        EXPECT_NE(s.allocBlock, 100u);
    }
    EXPECT_EQ(logs.count("error reading\n"), 2);
}

TEST_F(ScanTest, CancelledScanStillEndsAndFreesEveryAnalyser) {
    setUp(4 << 20, 512, 512, 0);
    AnalyserInjection analysers(2, [](ScanContext* owner) {
        // The scan asks about progress once a whole second has passed: the
        // first block waits until the clock's second moves on.
        if (owner->getCurrentAllocBlock() != 0) return;
        timeval start{}, now{};
        gettimeofday(&start, nullptr);
        do gettimeofday(&now, nullptr);
        while (now.tv_sec < start.tv_sec + 1);
    });
    TestListener listener;
    listener.cancelAtProgress = 1;  // the first call (-1) comes before the loop
    recovery.setListener(&listener);
    scan(SCAN_DELETED_FILES);
    EXPECT_EQ(listener.progress.size(), 2u) << "one report, which cancels";
    EXPECT_LT(analysers.steps.size(), 8192u) << "the scan stopped early";
    EXPECT_EQ(analysers.calls, (Lines{"begin:0", "begin:1", "end:0", "end:1", "free:0", "free:1"}));
}

TEST_F(ScanTest, AnalyserSeekCountsFromTheScanStart) {
    setUp(256 * 1024, 512, 4096, 8192);
    AnalyserInjection analysers(1, [](ScanContext* owner) {
        if (owner->getCurrentAllocBlock() == 2) owner->seekToOffset(8192 + 10 * 4096);
    });
    scan(SCAN_DELETED_FILES);
    ASSERT_GE(analysers.steps.size(), 4u);
    EXPECT_EQ(analysers.steps[3].allocBlock, 11u);
    EXPECT_EQ(analysers.steps[3].block, (8192u + 11 * 4096) / 512);
    EXPECT_EQ(analysers.steps[3].head, 8192u + 11 * 4096);
}

TEST(Scan, EachKindGetsItsOwnAnalysersInTableOrder) {
    Recovery owner;
    auto kinds = [&](int scanType, int diskType) {
        std::vector<std::string> names;
        for (const auto& a : createAnalysers(&owner, scanType, diskType)) {
            EXPECT_NE(a, nullptr);
            if (a) names.push_back(dynamic_cast<RawAnalyser*>(a.get()) ? "raw" : typeid(*a).name());
        }
        return names;
    };
    const auto inOrderWithin = [](const Lines& part, const Lines& whole) {
        auto at = whole.begin();
        for (const std::string& name : part)
            if ((at = std::find(at, whole.end(), name)) == whole.end()) return false;
        return true;
    };
    EXPECT_TRUE(kinds(-1, DISK_TYPE_IMAGEFILE).empty()) << "no scan kind";
    EXPECT_TRUE(kinds(SCAN_LOST_VOLUMES + 1, DISK_TYPE_IMAGEFILE).empty()) << "no scan kind";
    for (int disk : {DISK_TYPE_IMAGEFILE, DISK_TYPE_FIXED, DISK_TYPE_CDDVD})
        EXPECT_EQ(kinds(SCAN_DELETED_FILES, disk), Lines{"raw"}) << "disk type " << disk;
    const Lines image = kinds(SCAN_LOST_FILES, DISK_TYPE_IMAGEFILE);
    EXPECT_GE(image.size(), 2u) << "the readers' analysers";
    EXPECT_EQ(std::count(image.begin(), image.end(), "raw"), 0) << "no carver in a lost scan";
    EXPECT_EQ(kinds(SCAN_LOST_VOLUMES, DISK_TYPE_IMAGEFILE), image);
    for (int disk : {DISK_TYPE_FIXED, DISK_TYPE_CDDVD}) {
        const Lines lost = kinds(SCAN_LOST_FILES, disk);
        EXPECT_FALSE(lost.empty()) << "disk type " << disk;
        EXPECT_TRUE(inOrderWithin(lost, image)) << "disk type " << disk;
    }
    EXPECT_NE(kinds(SCAN_LOST_FILES, DISK_TYPE_FIXED), kinds(SCAN_LOST_FILES, DISK_TYPE_CDDVD))
        << "some analyser serves only some disk types";
}

TEST(Seek, NeverMovesBackwardsAndStaysIn64Bits) {
    LogCapture logs;
    Recovery r;
    RecoveryTestAccess::setScanGeometry(r, 8192, 4096, 8, 100);
    RecoveryTestAccess::setPosition(r, 5, 16 + 40, 8192 + 5 * 4096);
    for (u64 to : {u64(8192 + 4 * 4096), u64(100), u64(8192 + 5 * 4096 + 4095)}) {
        r.seekToOffset(to);
        EXPECT_EQ(r.getCurrentAllocBlock(), 5u) << to;
        EXPECT_EQ(r.getCurrentBlock(), 56u) << to;
    }
    RecoveryTestAccess::setScanGeometry(r, 0, 512, 1, u64(1) << 34);
    RecoveryTestAccess::setPosition(r, 0, 0, 0);
    const u64 target = (u64(1) << 42) + 512;
    r.seekToOffset(target);
    EXPECT_EQ(r.getCurrentAllocBlock(), target / 512);
    EXPECT_EQ(r.getCurrentOffset(), target);
}

TEST(Scan, OffsetsBeyondFourGiBAreKeptWhole) {
    ImageDisk disk(mediaPath("sparse_4g.img"));
    Recovery recovery;
    ASSERT_TRUE(recovery.selectDisk(&disk));
    const u64 mark = 4294967296ull - 4096;
    AnalyserInjection analysers(1, [mark](ScanContext* owner) {
        if (owner->getCurrentAllocBlock() == 0) owner->seekToOffset(mark - 512);
    });
    recovery.setScanType(SCAN_LOST_VOLUMES);
    recovery.scan();
    const auto& steps = analysers.steps;
    ASSERT_GE(steps.size(), 10u);
    EXPECT_EQ(steps[1].allocBlock, mark / 512);
    EXPECT_EQ(steps[1].head, mark);
    EXPECT_EQ(steps[9].head, mark + 8 * 512);  // past the 4 GiB mark
    EXPECT_EQ(recovery.getAllocBlockCount(), disk.getBlockCount());
}

}  // namespace
}  // namespace vorn
