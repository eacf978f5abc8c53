// The raw scan driver fed block by block: where streams end, caps, filing and volume offsets.
#include <gtest/gtest.h>

#include <unistd.h>

#include "fs/MemoryTestDisk.h"
#include "raw/RawTestSupport.h"
#include "storage/ImageDisk.h"
#include "LogCapture.h"

namespace vorn::test {
namespace {

using namespace std::string_literals;

constexpr u32 kAlloc = 4096;
const std::string kJpeg = "\xFF\xD8\xFF\xE0";

std::unique_ptr<Disk> memoryDisk(std::vector<u8> bytes) { return std::make_unique<MemoryTestDisk>(std::move(bytes)); }

// Adds a scripted analyser behind the others.
std::function<void(RawAnalyser&)> with(const std::string& mime, u64 length, bool minimum = false, bool cap = true,
                                       const std::string& marker = "SCRIPTED", const std::string& reported = "") {
    return [=](RawAnalyser& raw) {
        raw.addAnalyser(new ScriptedAnalyser(&raw, marker, mime, reported.empty() ? mime : reported, length,
                                             minimum, cap));
        raw.buildMimeMap();
    };
}

// A find at block 2 of 16, JPEGs at blocks 8 and 10, blocks 4 to 6 used: without a reported end a stream
// ends at the next start, a used block or the disk end.
TEST(RawAnalyserStreams, AReportedEndIsJumpedToAMinimumIsForgottenAnEndAtTheDiskSizeDropped) {
    const struct { u64 length; bool minimum; std::map<std::string, u64> sizes; std::string log; } cases[] = {
        {7 * kAlloc + 100, false, {{"x/s/16.bin", 7 * kAlloc + 100}, {"image/jpeg/80.jpg", 6 * kAlloc}},
         "stream data detected - seeking\n"},
        {7 * kAlloc + 100, true, {{"x/s/16.bin", 8 * kAlloc}, {"image/jpeg/80.jpg", 6 * kAlloc}},
         "stream end is just a minimum value => discarding end pos\n"},
        {14 * kAlloc, false, {{"x/s/16.bin", 14 * kAlloc}}, "stream data detected - seeking\n"},  // the last byte
        {14 * kAlloc + 1, false,  // the disk size: the default end, the used block 4
         {{"x/s/16.bin", 2 * kAlloc}, {"image/jpeg/64.jpg", 2 * kAlloc}, {"image/jpeg/80.jpg", 6 * kAlloc}},
         ">>> ERROR: invalid size or end pos\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        std::vector<u8> bytes(16 * kAlloc, 0);
        put(bytes, 2 * kAlloc, "SCRIPTED");
        put(bytes, 8 * kAlloc, kJpeg);
        put(bytes, 10 * kAlloc, kJpeg);
        CarveRig rig(memoryDisk(bytes), kAlloc);
        rig.blocks->used = {4, 5, 6};
        LogCapture logs;
        rig.scan(with("x/s", c.length, c.minimum));
        std::map<std::string, u64> sizes;
        for (const auto& [path, item] : rig.items()) {
            sizes[path] = item->getSize();
            EXPECT_TRUE(item->isDeleted()) << path;
            EXPECT_EQ(item->getParent()->getFlags(), ITEM_DELETED) << path;
        }
        EXPECT_EQ(sizes, c.sizes);
        EXPECT_TRUE(logs.has(c.log));
    }
}

// 250 MiB of zeros (sparse): a scripted find of 150 MiB at block 0 without
// the analyser's cap, a JPEG without end at 160 MiB (capped at 50 MiB).
TEST(RawAnalyserStreams, FindsAreCappedAtTheAnalysersMaximumAndTheEnginesLimitUnlessItIsOff) {
    char name[] = "/tmp/vorn_carve_sparseXXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(ftruncate(fd, 250 << 20) == 0);
    ASSERT_TRUE(pwrite(fd, "SCRIPTED", 8, 0) == 8);
    ASSERT_EQ(pwrite(fd, kJpeg.data(), 4, 160 << 20), 4);
    close(fd);
    for (bool limit : {true, false}) {
        CarveRig rig(std::make_unique<ImageDisk>(name), 65536);
        RecoveryTestAccess::setLimitFileSize(rig.recovery, limit);
        for (u64 b = 2400; b < 2500; ++b) rig.blocks->used.insert(b);  // where the 150 MiB find ends
        LogCapture logs;
        rig.scan(with("x/big", 150u << 20, false, false));
        const auto items = rig.items();
        ASSERT_EQ(items.size(), 2u);
        EXPECT_EQ(items.at("x/big/0.bin")->getSize(), limit ? 104857600u : 157286400u);
        EXPECT_EQ(items.at("image/jpeg/327680.jpg")->getSize(), 52428800u);
        EXPECT_EQ(logs.has("correcting item 0.bin, size: 157286400 -> 104857600\n"), limit);
    }
    unlink(name);
}

// A volume at disk byte 4096 whose data area begins 1000 bytes in: no start
// lies on a disk block boundary; items read from their exact first byte and
// only their names count disk blocks.
TEST(RawAnalyserFiling, OffsetsAreAbsoluteOnAVolumeNotAtTheDisksStart) {
    const u64 alloc = 2048, first = 4096 + 1000 + 3 * alloc, second = first + 6 * alloc;
    std::vector<u8> disk(64 * alloc, 0);
    put(disk, first, kJpeg + "first file");
    put(disk, second, "%PDF-1.5 second");
    CarveRig rig(memoryDisk(disk), alloc, 4096, 1000);
    rig.scan();
    const auto items = rig.items();
    ASSERT_EQ(items.size(), 2u);
    RawVolumeItem* jpeg = items.at("image/jpeg/" + std::to_string(first / 512) + ".jpg");
    EXPECT_EQ(jpeg->getId(), std::to_string(first / 512));
    EXPECT_EQ(jpeg->getStartOffset(), first);
    std::vector<u8> got(second - first);
    ASSERT_EQ(jpeg->getSize(), got.size());
    ASSERT_EQ(jpeg->read(0, got.data(), static_cast<u32>(got.size())), got.size());
    EXPECT_EQ(0, memcmp(got.data(), disk.data() + first, got.size()));
    EXPECT_EQ(items.at("document/pdf/" + std::to_string(second / 512) + ".pdf")->getSize(), disk.size() - second);
    LogCapture logs;
    EXPECT_EQ(jpeg->read(disk.size() - first - 10, got.data(), 20), 0u);  // runs past the disk end
    EXPECT_EQ(jpeg->read(~u64(0) - 10, got.data(), 4), 0u);               // offset overflow
    EXPECT_EQ(logs.count("RawVolumeItem - read error\n"), 2);
}

TEST(RawAnalyserDriver, InactiveTypesAreIgnoredAndCallsTimedOnlyWhenDebugLinesAreWritten) {
    CarveRig rig(memoryDisk(std::vector<u8>(8 * kAlloc, 0)), kAlloc);
    {
        LogCapture logs(LOG_INFO);
        rig.scan(with("x/registered", 0, false, true, "\0\0"s, "x/unregistered"));
        EXPECT_EQ(rig.callTimes, std::vector<u64>(rig.callTimes.size(), 0));
        EXPECT_TRUE(logs.has("WARNING: ignoring (mime type not active)\n"));
        EXPECT_TRUE(rig.items().empty());
    }
    LogCapture logs(LOG_DEBUG);
    rig.scan();
    EXPECT_TRUE(logs.has("#3, RIFFStreamAnalyser, max stream size:52428800\n"));
    EXPECT_TRUE(logs.has("\tmime type: audio/rmid, file extension: mid\n"));
}

}  // namespace
}  // namespace vorn::test
