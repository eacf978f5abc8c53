// The raw scan driver fed block by block as the block scan feeds it: how
// streams open, close (next accepted start, used block, disk end, reported
// end) and are sized and capped; how finds are filed and named; and the
// offsets of a volume whose allocation block 0 does not lie at byte 0.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

#include "fs/MemoryTestDisk.h"
#include "raw/BulkStreamAnalyser.h"
#include "raw/CarveRig.h"
#include "storage/ImageDisk.h"
#include "storage/LogCapture.h"

namespace vorn::test {
namespace {

constexpr u32 kAlloc = 4096;

void putJpeg(std::vector<u8>& bytes, u64 ofs) {
    bytes[ofs] = 0xFF, bytes[ofs + 1] = 0xD8, bytes[ofs + 2] = 0xFF, bytes[ofs + 3] = 0xE0;
}

void putText(std::vector<u8>& bytes, u64 ofs, const std::string& text) {
    std::copy(text.begin(), text.end(), bytes.begin() + static_cast<std::ptrdiff_t>(ofs));
}

std::unique_ptr<Disk> memoryDisk(std::vector<u8> bytes, u32 blockSize = 512) {
    return std::make_unique<MemoryTestDisk>(std::move(bytes), blockSize);
}

// A sparse image file of the given size (zeros), removed with the object.
struct SparseImage {
    explicit SparseImage(u64 size) {
        char name[] = "/tmp/vorn_carve_sparseXXXXXX";
        const int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
        close(fd);
        path = name;
    }
    ~SparseImage() { unlink(path.c_str()); }
    std::string path;
};

TEST(RawAnalyserStreams, AStreamEndsAtTheNextStartAtAUsedBlockOrAtTheDiskEnd) {
    std::vector<u8> bytes(16 * kAlloc, 0);
    putJpeg(bytes, 1 * kAlloc);
    putJpeg(bytes, 3 * kAlloc);
    putJpeg(bytes, 7 * kAlloc);
    CarveRig rig(memoryDisk(bytes), kAlloc);
    rig.blocks->used = {5, 6};
    rig.scan();
    const auto items = rig.items();
    ASSERT_EQ(items.size(), 3u);
    ASSERT_TRUE(items.count("image/jpeg/8.jpg"));
    EXPECT_EQ(items.at("image/jpeg/8.jpg")->getSize(), 2u * kAlloc);   // up to the next JPEG
    EXPECT_EQ(items.at("image/jpeg/24.jpg")->getSize(), 2u * kAlloc);  // up to the used block 5
    EXPECT_EQ(items.at("image/jpeg/56.jpg")->getSize(), 9u * kAlloc);  // up to the disk end
    for (const auto& [path, item] : items) {
        EXPECT_EQ(item->getVolume(), rig.volume);
        EXPECT_TRUE(item->isDeleted());
        EXPECT_EQ(item->getDate(), 0u);
    }
    EXPECT_EQ(rig.root->findChild("image", false)->getFlags(), ITEM_DELETED);
    EXPECT_EQ(rig.root->findChild("image", false)->findChild("jpeg", false)->getFlags(), ITEM_DELETED);
}

TEST(RawAnalyserStreams, AnAnalyserWithoutEndIsCappedAtItsMaximumStreamSize) {
    std::vector<u8> bytes(60u << 20, 0);
    putJpeg(bytes, 2 * 65536);
    CarveRig rig(memoryDisk(std::move(bytes)), 65536);
    LogCapture logs;
    rig.scan();
    const auto items = rig.items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items.begin()->second->getSize(), 52428800u);
    EXPECT_TRUE(logs.has(">>>>> WARNING: stream truncated to: 52428800\n"));
    EXPECT_TRUE(logs.has("could not detect correct size\n"));
}

TEST(RawAnalyserStreams, AnUncappedFindIsCutToTheEnginesLimitUnlessTheLimitIsOff) {
    SparseImage image(200u << 20);
    for (bool limit : {true, false}) {
        CarveRig rig(std::make_unique<ImageDisk>(image.path), 65536);
        RecoveryTestAccess::setLimitFileSize(rig.recovery, limit);
        // One find of 150 MiB at block 0 (the marker is the zeros of the
        // image); the scan jumps to its end and meets used blocks there.
        for (u64 b = 2400; b < 3200; ++b) rig.blocks->used.insert(b);
        LogCapture logs(LOG_WARNING);
        rig.scan([&](RawAnalyser& raw) {
            raw.addAnalyser(new ScriptedAnalyser(&raw, std::string(8, '\0'), "x/big", "x/big", 150u << 20, false, false));
            raw.buildMimeMap();
        });
        const auto items = rig.items();
        ASSERT_EQ(items.size(), 1u);
        ASSERT_TRUE(items.count("x/big/0.bin"));
        if (limit) {
            EXPECT_EQ(items.at("x/big/0.bin")->getSize(), 104857600u);
            EXPECT_TRUE(logs.has("correcting item 0.bin, size: 157286400 -> 104857600\n"));
        } else {
            EXPECT_EQ(items.at("x/big/0.bin")->getSize(), 157286400u);
            EXPECT_TRUE(logs.lines.empty());
        }
    }
}

TEST(RawAnalyserStreams, AKnownEndHoldsOverLaterUsedBlocksAndIsSkippedOver) {
    std::vector<u8> bytes(16 * kAlloc, 0);
    putText(bytes, 2 * kAlloc, "SCRIPTED");
    putJpeg(bytes, 8 * kAlloc);   // inside the scripted file: never looked at
    putJpeg(bytes, 10 * kAlloc);  // after it
    CarveRig rig(memoryDisk(bytes), kAlloc);
    rig.blocks->used = {4, 5, 6};
    const u64 length = 7 * kAlloc + 100;  // ends inside block 9
    LogCapture logs;
    rig.scan([&](RawAnalyser& raw) {
        raw.addAnalyser(new ScriptedAnalyser(&raw, "SCRIPTED", "x/script", "x/script", length));
        raw.buildMimeMap();
    });
    const auto items = rig.items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items.at("x/script/16.bin")->getSize(), length);
    EXPECT_EQ(items.at("image/jpeg/80.jpg")->getSize(), 6u * kAlloc);
    EXPECT_TRUE(logs.has("stream end detected: " + std::to_string(2 * kAlloc + length - 1) + "\n"));
    EXPECT_TRUE(logs.has("stream data detected - seeking\n"));
    EXPECT_TRUE(logs.has("detected data stream size: " + std::to_string(length) + "\n"));
}

TEST(RawAnalyserStreams, AMinimumEndIsJumpedToAndThenForgotten) {
    std::vector<u8> bytes(16 * kAlloc, 0);
    putText(bytes, 2 * kAlloc, "SCRIPTED");
    putJpeg(bytes, 4 * kAlloc);  // skipped by the jump
    putJpeg(bytes, 8 * kAlloc);
    CarveRig rig(memoryDisk(bytes), kAlloc);
    LogCapture logs;
    rig.scan([&](RawAnalyser& raw) {
        raw.addAnalyser(new ScriptedAnalyser(&raw, "SCRIPTED", "x/script", "x/script", 3 * kAlloc + 10, true));
        raw.buildMimeMap();
    });
    const auto items = rig.items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items.at("x/script/16.bin")->getSize(), 6u * kAlloc);  // the default end, before block 8
    EXPECT_TRUE(items.count("image/jpeg/64.jpg"));
    EXPECT_TRUE(logs.has("stream end is just a minimum value => discarding end pos\n"));
}

TEST(RawAnalyserStreams, AnEndAtOrPastTheDiskEndOrBeforeTheStartIsDropped) {
    for (u64 endFromDiskEnd : {0, 1}) {
        std::vector<u8> bytes(16 * kAlloc, 0);
        putText(bytes, 2 * kAlloc, "SCRIPTED");
        putJpeg(bytes, 12 * kAlloc);
        CarveRig rig(memoryDisk(bytes), kAlloc);
        // An end exactly at the disk size is one byte too far; one before it
        // is the last byte and stands.
        const u64 length = rig.diskBytes() - 2 * kAlloc + 1 - endFromDiskEnd;
        LogCapture logs;
        rig.scan([&](RawAnalyser& raw) {
            raw.addAnalyser(new ScriptedAnalyser(&raw, "SCRIPTED", "x/script", "x/script", length));
            raw.buildMimeMap();
        });
        const auto items = rig.items();
        if (endFromDiskEnd == 0) {
            EXPECT_TRUE(logs.has(">>> ERROR: invalid size or end pos\n"));
            ASSERT_EQ(items.size(), 2u);
            EXPECT_EQ(items.at("x/script/16.bin")->getSize(), 10u * kAlloc);  // closed by the JPEG
        } else {
            EXPECT_FALSE(logs.has(">>> ERROR: invalid size or end pos\n"));
            ASSERT_EQ(items.size(), 1u);
            EXPECT_EQ(items.at("x/script/16.bin")->getSize(), 14u * kAlloc);  // to the last byte
        }
    }
}

TEST(RawAnalyserFiling, AFindOfAnInactiveTypeIsIgnoredAndTheNextAnalyserAsked) {
    std::vector<u8> bytes(8 * kAlloc, 0);
    putText(bytes, kAlloc, "SCRIPTED");
    CarveRig rig(memoryDisk(bytes), kAlloc);
    LogCapture logs;
    rig.scan([&](RawAnalyser& raw) {
        raw.addAnalyser(new ScriptedAnalyser(&raw, "SCRIPTED", "x/registered", "x/unregistered"));
        raw.addAnalyser(new ScriptedAnalyser(&raw, "SCRIPT", "x/second", "x/second"));
        raw.buildMimeMap();
    });
    EXPECT_EQ(logs.count("WARNING: ignoring (mime type not active)\n"), 1);
    const auto items = rig.items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_TRUE(items.count("x/second/8.bin"));
}

TEST(RawAnalyserFiling, ATypeWithoutCategoryLiesDirectlyUnderTheRoot) {
    std::vector<u8> bytes(8 * kAlloc, 0);
    putText(bytes, kAlloc, "SCRIPTED");
    CarveRig rig(memoryDisk(bytes), kAlloc);
    rig.scan([&](RawAnalyser& raw) {
        raw.addAnalyser(new ScriptedAnalyser(&raw, "SCRIPTED", "oddtype", "oddtype"));
        raw.buildMimeMap();
    });
    const auto items = rig.items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_TRUE(items.count("oddtype/8.bin"));
    EXPECT_EQ(rig.root->findChild("oddtype", false)->getFlags(), ITEM_DELETED);
}

TEST(RawAnalyserFiling, CategoriesAreTranslatedAndTheListenerHearsOfEachFolder) {
    std::vector<u8> bytes(8 * kAlloc, 0);
    putJpeg(bytes, 0);
    putText(bytes, 2 * kAlloc, "GIF89a");
    putJpeg(bytes, 4 * kAlloc);
    CarveRig rig(memoryDisk(bytes), kAlloc);
    rig.listener.texts["Category_image"] = "Pictures";
    rig.scan();
    const auto items = rig.items();
    EXPECT_EQ(items.size(), 3u);
    EXPECT_TRUE(items.count("Pictures/jpeg/0.jpg"));
    EXPECT_TRUE(items.count("Pictures/gif/16.gif"));
    EXPECT_TRUE(items.count("Pictures/jpeg/32.jpg"));
    VolumeItem* jpeg = rig.root->findChild("Pictures", false)->findChild("jpeg", false);
    ASSERT_EQ(rig.listener.changed.size(), 3u);
    EXPECT_EQ(rig.listener.changed[0], jpeg);
    EXPECT_EQ(jpeg->getChildCount(true), 2u);
}

TEST(RawAnalyserFiling, NamesCountDiskBlocksNotAllocationBlocks) {
    std::vector<u8> bytes(9u << 20, 0);
    putJpeg(bytes, 8388608);
    CarveRig rig(memoryDisk(bytes, 512), kAlloc);
    rig.scan();
    const auto items = rig.items();
    ASSERT_EQ(items.size(), 1u);
    RawVolumeItem* item = items.at("image/jpeg/16384.jpg");
    EXPECT_EQ(item->getId(), "16384");
    EXPECT_EQ(item->getStartBlock(), 16384u);
    u8 head[4];
    ASSERT_EQ(item->read(0, head, 4), 4u);
    EXPECT_EQ(0, memcmp(head, bytes.data() + 8388608, 4));
}

// A volume inside the disk whose allocation block 0 does not begin at a
// disk block boundary (data area at 1000 bytes into a volume at disk byte
// 4096): every offset is the absolute disk offset, and only the names
// count whole disk blocks.
TEST(RawAnalyserOffsets, FindsInAVolumeAtAnOffsetReadFromTheirExactFirstByte) {
    const u64 volumeOffset = 4096, dataOffset = 1000, alloc = 2048;
    std::vector<u8> bytes(64 * alloc, 0);
    const u64 first = volumeOffset + dataOffset + 3 * alloc;
    const u64 second = volumeOffset + dataOffset + 9 * alloc;
    putJpeg(bytes, first);
    putText(bytes, first + 4, "first file");
    putText(bytes, second, "%PDF-1.5 second");
    CarveRig rig(memoryDisk(bytes, 512), alloc, volumeOffset, dataOffset);
    rig.scan();
    const auto items = rig.items();
    ASSERT_EQ(items.size(), 2u);
    RawVolumeItem* jpeg = items.at("image/jpeg/" + std::to_string(first / 512) + ".jpg");
    RawVolumeItem* pdf = items.at("document/pdf/" + std::to_string(second / 512) + ".pdf");
    EXPECT_EQ(jpeg->getStartOffset(), first);
    EXPECT_EQ(jpeg->getSize(), second - first);
    EXPECT_EQ(pdf->getSize(), bytes.size() - second);
    std::vector<u8> got(jpeg->getSize());
    ASSERT_EQ(jpeg->read(0, got.data(), static_cast<u32>(got.size())), got.size());
    EXPECT_EQ(0, memcmp(got.data(), bytes.data() + first, got.size()));
    u8 head[8];
    ASSERT_EQ(pdf->read(0, head, 8), 8u);
    EXPECT_EQ(0, memcmp(head, "%PDF-1.5", 8));
}

TEST(RawAnalyserDriver, TheAnalysersAreListedAndTheLaterRegistrationOfATypeWins) {
    CarveRig rig(memoryDisk(std::vector<u8>(8 * kAlloc, 0)), kAlloc);
    LogCapture logs;
    RawAnalyser raw(&rig.recovery);
    EXPECT_TRUE(logs.has("raw recovery engine initialized\n"));
    EXPECT_TRUE(logs.has("#0, JPEGStreamAnalyser, max stream size:52428800\n"));
    EXPECT_TRUE(logs.has("#1, RIFFStreamAnalyser, max stream size:52428800\n"));
    EXPECT_TRUE(logs.has("#2, BulkStreamAnalyser, max stream size:52428800\n"));
    EXPECT_TRUE(logs.has("\tmime type: audio/rmid, file extension: mid\n"));
    EXPECT_TRUE(logs.has("matching: image/cdr\n"));
    ASSERT_EQ(raw.getActiveAnalysers().size(), 3u);
    EXPECT_EQ(raw.analyserForMime("riff/riff"), raw.getAnalysers()[1]);
    EXPECT_EQ(raw.analyserForMime("video/avi"), raw.getAnalysers()[2]);
    EXPECT_EQ(raw.analyserForMime("image/jpeg"), raw.getAnalysers()[2]);
    EXPECT_EQ(raw.analyserForMime("text/plain"), nullptr);
}

TEST(RawAnalyserDriver, CallsAreTimedOnlyWhenDebugLinesAreWritten) {
    std::vector<u8> bytes(8 * kAlloc, 0);
    CarveRig rig(memoryDisk(bytes), kAlloc);
    rig.blocks->used = {3};
    {
        LogCapture logs(LOG_INFO);
        rig.scan();
        EXPECT_EQ(rig.callCounts, (std::vector<u64>{7, 7, 7}));
        EXPECT_EQ(rig.callTimes, (std::vector<u64>{0, 0, 0}));
        EXPECT_FALSE(logs.hasPrefix("average analyser call time"));
    }
    LogCapture logs(LOG_DEBUG);
    rig.scan();
    EXPECT_EQ(rig.callCounts, (std::vector<u64>{7, 7, 7}));
    EXPECT_TRUE(logs.hasPrefix("average analyser call time (JPEGStreamAnalyser): "));
    EXPECT_TRUE(logs.hasPrefix("average analyser call time (BulkStreamAnalyser): "));
    EXPECT_TRUE(logs.has("RawAnalyser::scanEnd\n"));
}

TEST(RawVolumeItem, AFailedReadIsReportedOncePerCall) {
    CarveRig rig(memoryDisk(std::vector<u8>(8 * kAlloc, 0)), kAlloc);
    RawVolumeItem item;
    item.setVolume(rig.volume);
    item.setStartOffset(7 * kAlloc);
    item.setSize(2 * kAlloc);
    std::vector<u8> buffer(2 * kAlloc);
    LogCapture logs;
    EXPECT_EQ(item.read(0, buffer.data(), 2 * kAlloc), 0u);  // runs past the disk end
    EXPECT_EQ(item.read(~u64(0) - 10, buffer.data(), 4), 0u);  // offset overflow
    EXPECT_EQ(logs.count("RawVolumeItem - read error\n"), 2);
    EXPECT_EQ(item.read(0, buffer.data(), kAlloc), kAlloc);
    EXPECT_FALSE(item.addChildren());
}

}  // namespace
}  // namespace vorn::test
