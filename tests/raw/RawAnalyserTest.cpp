// The raw scan driver fed block by block as the block scan feeds it: how
// streams open, close (next accepted start, used block, disk end, reported
// end) and are sized and capped; how finds are filed and named; and the
// offsets of a volume whose allocation block 0 does not lie at byte 0.
#include <gtest/gtest.h>

#include <unistd.h>

#include "fs/MemoryTestDisk.h"
#include "raw/RawTestSupport.h"
#include "storage/ImageDisk.h"
#include "storage/LogCapture.h"

namespace vorn::test {
namespace {

constexpr u32 kAlloc = 4096;
const std::string kJpeg = "\xFF\xD8\xFF\xE0";

std::unique_ptr<Disk> memoryDisk(std::vector<u8> bytes) { return std::make_unique<MemoryTestDisk>(std::move(bytes)); }

// A driver set-up that adds a scripted analyser behind the others.
std::function<void(RawAnalyser&)> with(const std::string& mime, u64 length = 0, bool minimum = false,
                                       bool cap = true, const std::string& marker = "SCRIPTED") {
    return [=](RawAnalyser& raw) {
        raw.addAnalyser(new ScriptedAnalyser(&raw, marker, mime, mime, length, minimum, cap));
        raw.buildMimeMap();
    };
}

TEST(RawAnalyserStreams, AStreamEndsAtTheNextStartAtAUsedBlockOrAtTheDiskEnd) {
    std::vector<u8> bytes(16 * kAlloc, 0);
    for (u64 block : {1, 3, 7}) put(bytes, block * kAlloc, kJpeg);
    CarveRig rig(memoryDisk(bytes), kAlloc);
    rig.blocks->used = {5, 6};
    rig.scan();
    const auto items = rig.items();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items.at("image/jpeg/8.jpg")->getSize(), 2u * kAlloc);   // up to the next JPEG
    EXPECT_EQ(items.at("image/jpeg/24.jpg")->getSize(), 2u * kAlloc);  // up to the used block 5
    EXPECT_EQ(items.at("image/jpeg/56.jpg")->getSize(), 9u * kAlloc);  // up to the disk end
    EXPECT_TRUE(items.at("image/jpeg/8.jpg")->isDeleted());
    EXPECT_EQ(rig.root->findChild("image", false)->getFlags(), ITEM_DELETED);
    EXPECT_EQ(rig.root->findChild("image", false)->findChild("jpeg", false)->getFlags(), ITEM_DELETED);
}

TEST(RawAnalyserStreams, WithoutEndAFindIsCappedAtTheAnalysersMaximum) {
    std::vector<u8> bytes(60u << 20, 0);
    put(bytes, 2 * 65536, kJpeg);
    CarveRig rig(memoryDisk(std::move(bytes)), 65536);
    LogCapture logs;
    rig.scan();
    ASSERT_EQ(rig.items().size(), 1u);
    EXPECT_EQ(rig.items().begin()->second->getSize(), 52428800u);
    EXPECT_TRUE(logs.has("could not detect correct size\n"));
}

TEST(RawAnalyserStreams, AnUncappedFindIsCutToTheEnginesLimitUnlessTheLimitIsOff) {
    char name[] = "/tmp/vorn_carve_sparseXXXXXX";  // 200 MiB of zeros, sparse
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 200 << 20), 0);
    close(fd);
    for (bool limit : {true, false}) {
        CarveRig rig(std::make_unique<ImageDisk>(name), 65536);
        RecoveryTestAccess::setLimitFileSize(rig.recovery, limit);
        // One find of 150 MiB at block 0 (its marker: the zeros); the scan
        // jumps to its end and meets used blocks there.
        for (u64 b = 2400; b < 3200; ++b) rig.blocks->used.insert(b);
        LogCapture logs(LOG_WARNING);
        rig.scan(with("x/big", 150u << 20, false, false, std::string(8, '\0')));
        ASSERT_EQ(rig.items().size(), 1u);
        EXPECT_EQ(rig.items().at("x/big/0.bin")->getSize(), limit ? 104857600u : 157286400u);
        EXPECT_EQ(logs.has("correcting item 0.bin, size: 157286400 -> 104857600\n"), limit);
    }
    unlink(name);
}

TEST(RawAnalyserStreams, AKnownEndHoldsOverUsedBlocksAMinimumEndIsJumpedToAndForgotten) {
    for (bool minimum : {false, true}) {
        std::vector<u8> bytes(16 * kAlloc, 0);
        put(bytes, 2 * kAlloc, "SCRIPTED");
        put(bytes, 8 * kAlloc, kJpeg);   // inside the reported length: never looked at
        put(bytes, 10 * kAlloc, kJpeg);  // after it
        CarveRig rig(memoryDisk(bytes), kAlloc);
        rig.blocks->used = {4, 5, 6};
        const u64 length = 7 * kAlloc + 100;  // ends inside block 9
        LogCapture logs;
        rig.scan(with("x/script", length, minimum));
        const auto items = rig.items();
        ASSERT_EQ(items.size(), 2u);
        // The jump passes the used blocks either way; then a known end stands,
        // and a minimum end gives way to the default end: the JPEG's block.
        EXPECT_EQ(items.at("x/script/16.bin")->getSize(), minimum ? 8u * kAlloc : length);
        EXPECT_EQ(items.at("image/jpeg/80.jpg")->getSize(), 6u * kAlloc);
        EXPECT_TRUE(logs.has("stream data detected - seeking\n"));
        EXPECT_EQ(logs.has("stream end is just a minimum value => discarding end pos\n"), minimum);
    }
}

TEST(RawAnalyserStreams, AnEndAtOrPastTheDiskEndIsDropped) {
    for (u64 back : {0, 1}) {
        std::vector<u8> bytes(16 * kAlloc, 0);
        put(bytes, 2 * kAlloc, "SCRIPTED");
        put(bytes, 12 * kAlloc, kJpeg);
        CarveRig rig(memoryDisk(bytes), kAlloc);
        // An end at the disk size is one byte too far; the byte before is the
        // disk's last byte and stands.
        LogCapture logs;
        rig.scan(with("x/script", 14 * kAlloc + 1 - back));
        const auto items = rig.items();
        EXPECT_EQ(logs.has(">>> ERROR: invalid size or end pos\n"), back == 0);
        EXPECT_EQ(items.size(), back == 0 ? 2u : 1u);
        EXPECT_EQ(items.at("x/script/16.bin")->getSize(), back == 0 ? 10u * kAlloc : 14u * kAlloc);
    }
}

TEST(RawAnalyserFiling, FindsOfInactiveTypesAreIgnoredAndTheNextAnalyserIsAsked) {
    std::vector<u8> bytes(8 * kAlloc, 0);
    put(bytes, kAlloc, "SCRIPTED");
    CarveRig rig(memoryDisk(bytes), kAlloc);
    LogCapture logs;
    rig.scan([](RawAnalyser& raw) {
        raw.addAnalyser(new ScriptedAnalyser(&raw, "SCRIPTED", "x/registered", "x/unregistered"));
        raw.addAnalyser(new ScriptedAnalyser(&raw, "SCRIPT", "oddtype", "oddtype"));
        raw.buildMimeMap();
    });
    EXPECT_EQ(logs.count("WARNING: ignoring (mime type not active)\n"), 1);
    ASSERT_EQ(rig.items().size(), 1u);
    EXPECT_TRUE(rig.items().count("oddtype/8.bin"));  // no category: right under the root
}

TEST(RawAnalyserFiling, CategoriesAreTranslatedAndTheListenerHearsOfEachFolder) {
    std::vector<u8> bytes(8 * kAlloc, 0);
    put(bytes, 0, kJpeg);
    put(bytes, 2 * kAlloc, "GIF89a");
    put(bytes, 4 * kAlloc, kJpeg);
    CarveRig rig(memoryDisk(bytes), kAlloc);
    rig.listener.texts["Category_image"] = "Pictures";
    rig.scan();
    const auto items = rig.items();
    EXPECT_EQ(items.size(), 3u);
    EXPECT_TRUE(items.count("Pictures/jpeg/0.jpg") && items.count("Pictures/gif/16.gif") &&
                items.count("Pictures/jpeg/32.jpg"));
    VolumeItem* jpeg = rig.root->findChild("Pictures", false)->findChild("jpeg", false);
    ASSERT_EQ(rig.listener.changed.size(), 3u);
    EXPECT_EQ(rig.listener.changed[0], jpeg);
}

TEST(RawAnalyserFiling, NamesCountDiskBlocksAndItemsReadTheirExactFirstByte) {
    std::vector<u8> bytes(9u << 20, 0);
    put(bytes, 8388608, kJpeg);
    CarveRig big(memoryDisk(bytes), kAlloc);
    big.scan();
    RawVolumeItem* item = big.items().at("image/jpeg/16384.jpg");
    EXPECT_EQ(item->getId(), "16384");
    EXPECT_EQ(item->getDate(), 0u);

    // A volume at disk byte 4096 whose data area begins 1000 bytes in: no
    // start lies on a disk block boundary; only the names count blocks.
    const u64 volumeOffset = 4096, dataOffset = 1000, alloc = 2048;
    std::vector<u8> disk(64 * alloc, 0);
    const u64 first = volumeOffset + dataOffset + 3 * alloc, second = first + 6 * alloc;
    put(disk, first, kJpeg + "first file");
    put(disk, second, "%PDF-1.5 second");
    CarveRig rig(memoryDisk(disk), alloc, volumeOffset, dataOffset);
    rig.scan();
    const auto items = rig.items();
    ASSERT_EQ(items.size(), 2u);
    RawVolumeItem* jpeg = items.at("image/jpeg/" + std::to_string(first / 512) + ".jpg");
    EXPECT_EQ(jpeg->getStartOffset(), first);
    EXPECT_EQ(jpeg->getSize(), second - first);
    std::vector<u8> got(jpeg->getSize());
    ASSERT_EQ(jpeg->read(0, got.data(), static_cast<u32>(got.size())), got.size());
    EXPECT_EQ(0, memcmp(got.data(), disk.data() + first, got.size()));
    EXPECT_EQ(items.at("document/pdf/" + std::to_string(second / 512) + ".pdf")->getSize(), disk.size() - second);

    LogCapture logs;
    EXPECT_EQ(jpeg->read(disk.size() - first - 10, got.data(), 20), 0u);  // runs past the disk end
    EXPECT_EQ(jpeg->read(~u64(0) - 10, got.data(), 4), 0u);               // offset overflow
    EXPECT_EQ(logs.count("RawVolumeItem - read error\n"), 2);
}

TEST(RawAnalyserDriver, TheAnalysersAreListedAndCallsTimedOnlyWhenDebugLinesAreWritten) {
    CarveRig rig(memoryDisk(std::vector<u8>(8 * kAlloc, 0)), kAlloc);
    rig.blocks->used = {3};
    {
        LogCapture logs(LOG_INFO);
        rig.scan();
        EXPECT_EQ(rig.callCounts, (std::vector<u64>{7, 7, 7}));
        EXPECT_EQ(rig.callTimes, (std::vector<u64>{0, 0, 0}));
    }
    LogCapture logs(LOG_DEBUG);
    rig.scan();
    EXPECT_TRUE(logs.has("#1, RIFFStreamAnalyser, max stream size:52428800\n"));
    EXPECT_TRUE(logs.has("\tmime type: audio/rmid, file extension: mid\n"));
    EXPECT_TRUE(logs.hasPrefix("average analyser call time (BulkStreamAnalyser): "));
    RawAnalyser raw(&rig.recovery);
    ASSERT_EQ(raw.getActiveAnalysers().size(), 3u);
    EXPECT_EQ(raw.analyserForMime("riff/riff"), raw.getAnalysers()[1]);
    EXPECT_EQ(raw.analyserForMime("video/avi"), raw.getAnalysers()[2]);  // the later registration wins
    EXPECT_EQ(raw.analyserForMime("text/plain"), nullptr);
}

}  // namespace
}  // namespace vorn::test
