#include "storage/PartitionTableParser.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "misc/Utils.h"
#include "storage/ImageDisk.h"
#include "fs/MemoryTestDisk.h"
#include "storage/PartitionDisk.h"
#include "LogCapture.h"
#include "storage/PartitionTestSupport.h"

namespace vorn {
namespace {

using test::ImageCopy;
using test::LogCapture;
using test::mediaPath;
using test::blankDisk;
using test::MemoryTestDisk;
using test::mmlsPartitions;

struct Found {
    u64 first;
    u64 last;
    std::string name;
    bool operator==(const Found&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Found& f) {
    return out << "{" << f.first << ".." << f.last << " '" << f.name << "'}";
}

std::vector<Found> partitionsOf(Disk& disk) {
    std::vector<Found> found;
    for (u32 i = 0; i < disk.getPartitionCount(); ++i) {
        Disk* p = disk.getPartition(i);
        EXPECT_TRUE(p->isKindOf(KIND_PARTITION_DISK));
        auto* part = static_cast<PartitionDisk*>(p);
        EXPECT_EQ(part->getParent(), &disk);
        EXPECT_FALSE(part->isWhole());
        found.push_back({part->getFirstBlock(), part->getLastBlock(), part->getName()});
    }
    return found;
}

// The windows of the found partitions next to the mmls rows that pass
// `wanted`, in 512-byte sectors, both sorted.
void expectSameAsMmls(const std::vector<Found>& found, u32 blockSize, const std::string& medium,
                      bool (*wanted)(const test::MmlsRow&)) {
    std::vector<std::pair<u64, u64>> ours, theirs;
    const u64 per = blockSize / 512;
    for (const auto& f : found) ours.push_back({f.first * per, (f.last + 1) * per - 1});
    for (const auto& r : mmlsPartitions(medium))
        if (wanted(r)) theirs.push_back({r.start, r.end});
    std::sort(ours.begin(), ours.end());
    std::sort(theirs.begin(), theirs.end());
    ASSERT_FALSE(theirs.empty()) << "no mmls rows for " << medium;
    EXPECT_EQ(ours, theirs);
}

bool anyRow(const test::MmlsRow&) { return true; }
bool appleHFSRow(const test::MmlsRow& r) { return r.description == "Apple_HFS"; }
bool hfsPlusGptRow(const test::MmlsRow& r) { return r.description == "MacData" || r.description == "MacMore"; }

// ---- MBR

TEST(PartitionTableParser, MbrGivesPrimariesThenLogicalsNamedInOrder) {
    ImageDisk disk(mediaPath("pt_mbr.img"));
    LogCapture log;
    ASSERT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
    const std::vector<Found> expected = {{2048, 4095, "Part00"},
                                         {4096, 6143, "Part01"},
                                         {8192, 9215, "Part02"},
                                         {12288, 13311, "Part03"},
                                         {16384, 17407, "Part04"}};
    EXPECT_EQ(partitionsOf(disk), expected);
    expectSameAsMmls(partitionsOf(disk), 512, "pt_mbr.img", anyRow);
    EXPECT_TRUE(log.has("PartitionTableParser::parserPartitionTable - Image file (pt_mbr.img)\n"));
    EXPECT_TRUE(log.has("PartitionTableParser::parseGUIDPartitionMap - no header\n"));
    EXPECT_TRUE(log.has("PartitionTableParser::parseApplePartitionMap - no partition map (0000)\n"));
    EXPECT_EQ(disk.getOpenCount(), 0u);
}

TEST(PartitionTableParser, MbrChainsDeeperThanTenLevelsAreListedWhole) {
    ImageDisk disk(mediaPath("pt_mbr_many.img"));
    ASSERT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
    const auto found = partitionsOf(disk);
    ASSERT_EQ(found.size(), 40u);
    EXPECT_EQ(found.front().name, "Part00");
    EXPECT_EQ(found.back().name, "Part39");
    expectSameAsMmls(found, 512, "pt_mbr_many.img", anyRow);
}

TEST(PartitionTableParser, ScanForPartitionsOfADiskRunsTheParser) {
    ImageDisk disk(mediaPath("pt_mbr.img"));
    EXPECT_TRUE(disk.scanForPartitions());
    EXPECT_EQ(disk.getPartitionCount(), 5u);
}

TEST(PartitionTableParser, ReadingATableAgainAddsNothingTwice) {
    for (const char* medium : {"pt_mbr.img", "pt_gpt.img", "pt_apm.img"}) {
        ImageDisk disk(mediaPath(medium));
        ASSERT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
        const auto first = partitionsOf(disk);
        ASSERT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
        EXPECT_EQ(partitionsOf(disk), first) << medium;
    }
}

TEST(PartitionTableParser, SelfLinkedEbrGivesItsPartitionOnce) {
    ImageCopy image("pt_mbr.img");
    // The first EBR (sector 6144) links to itself: 0 relative to the
    // extended partition's start.
    image.putLE32(6144 * 512 + 446 + 16 + 8, 0);
    ImageDisk disk(image.path());
    LogCapture log;
    ASSERT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
    const std::vector<Found> expected = {{2048, 4095, "Part00"}, {4096, 6143, "Part01"}, {8192, 9215, "Part02"}};
    EXPECT_EQ(partitionsOf(disk), expected);
    EXPECT_TRUE(log.has("MBR partition table at sector 6144 already read, link ignored\n"));
}

TEST(PartitionTableParser, EbrLoopOfTwoEndsAtTheFirstRepeat) {
    ImageCopy image("pt_mbr.img");
    image.putLE32(10240 * 512 + 446 + 16 + 8, 0);  // second EBR links back to the first
    ImageDisk disk(image.path());
    LogCapture log;
    ASSERT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
    EXPECT_EQ(partitionsOf(disk).size(), 4u);
    EXPECT_TRUE(log.has("MBR partition table at sector 6144 already read, link ignored\n"));
}

TEST(PartitionTableParser, MbrPartitionsOutsideTheDiskAreClampedOrSkipped) {
    ImageCopy image("pt_mbr.img");
    image.putLE32(446 + 12, 0x7FFFFFFF);    // first primary runs far past the end
    image.putLE32(446 + 16 + 8, 40000);     // second primary starts past the end
    ImageDisk disk(image.path());
    LogCapture log;
    ASSERT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
    const auto found = partitionsOf(disk);
    ASSERT_EQ(found.size(), 4u);
    EXPECT_EQ(found[0], (Found{2048, 32767, "Part00"}));
    EXPECT_EQ(disk.getPartition(0)->getBlockCount(), 30720u);
    EXPECT_EQ(found[1], (Found{8192, 9215, "Part01"}));
    EXPECT_TRUE(log.has("PartitionTableParser - partition at blocks 40000-42047 does not fit the disk (32768 blocks), "
                        "skipped\n"));
    EXPECT_TRUE(log.hasPrefix("PartitionDisk::PartitionDisk - last block 2147485694 beyond the end"));
}

TEST(PartitionTableParser, MbrWithNonZeroBytes444IsRefused) {
    ImageCopy image("pt_mbr.img");
    image.putLE16(444, 0x1234);
    ImageDisk disk(image.path());
    LogCapture log;
    EXPECT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
    EXPECT_EQ(disk.getPartitionCount(), 0u);
    EXPECT_TRUE(log.has("invalid MBR partition table - nulls: 1234\n"));
}

TEST(PartitionTableParser, MbrWithoutSignatureIsRefused) {
    ImageCopy image("pt_mbr.img");
    image.put(510, {0x00});
    ImageDisk disk(image.path());
    LogCapture log;
    EXPECT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
    EXPECT_EQ(disk.getPartitionCount(), 0u);
    EXPECT_TRUE(log.has("invalid MBR partition table signature: 00,AA\n"));
}

// Hand-made chains, longer than any tool makes: an MBR with one extended
// partition at sector 1 and `ebrs` EBRs, two sectors apart, each holding
// `dataEntries` one-sector partitions and a link to the next EBR.
std::vector<u8> ebrChain(u32 ebrs, int dataEntries) {
    const u32 sectors = 2 + 2 * ebrs + 2;
    std::vector<u8> bytes(sectors * 512);
    auto entry = [&](u64 sector, int i, u8 type, u32 first, u32 count) {
        u8* e = bytes.data() + sector * 512 + 446 + 16 * i;
        e[4] = type;
        for (int k = 0; k < 4; ++k) e[8 + k] = u8(first >> (8 * k)), e[12 + k] = u8(count >> (8 * k));
        bytes[sector * 512 + 510] = 0x55;
        bytes[sector * 512 + 511] = 0xAA;
    };
    entry(0, 0, 0x05, 1, sectors - 1);
    for (u32 k = 0; k < ebrs; ++k) {
        const u64 sector = 1 + 2 * k;
        for (int i = 0; i < dataEntries; ++i) entry(sector, i, 0x83, 1, 1);
        if (k + 1 < ebrs) entry(sector, 3, 0x05, 2 * (k + 1), 2);
    }
    return bytes;
}

TEST(PartitionTableParser, MbrChainIsReadTo128Levels) {
    MemoryTestDisk disk(ebrChain(140, 1), 512, DISK_TYPE_IMAGEFILE, "chain");
    LogCapture log;
    ASSERT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
    EXPECT_EQ(disk.getPartitionCount(), 128u);
    EXPECT_EQ(log.count("error: max. recursion level reached while parsing MBR partition table\n"), 1);
}

TEST(PartitionTableParser, MbrWalkStopsAt256Partitions) {
    MemoryTestDisk disk(ebrChain(100, 3), 512, DISK_TYPE_IMAGEFILE, "wide");
    LogCapture log;
    ASSERT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
    EXPECT_EQ(disk.getPartitionCount(), 256u);
    EXPECT_EQ(log.count("MBR partition table: more than 256 partitions, the rest is ignored\n"), 1);
}

TEST(PartitionTableParser, MbrOnDiskWithLargeBlocksUsesThoseBlocks) {
    std::vector<u8> bytes(16 * 4096);
    u8* e = bytes.data() + 446;
    e[4] = 0x83;
    e[8] = 2;   // first block
    e[12] = 3;  // block count
    bytes[510] = 0x55;
    bytes[511] = 0xAA;
    MemoryTestDisk disk(bytes, 4096, DISK_TYPE_IMAGEFILE, "4k");
    ASSERT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
    EXPECT_EQ(partitionsOf(disk), (std::vector<Found>{{2, 4, "Part00"}}));
}

// ---- GUID partition table

const Found kGptHfsPlus[] = {{4096, 8191, ""}, {10240, 14335, ""}};

TEST(PartitionTableParser, GptGivesOnlyHfsPlusEntriesUnnamed) {
    ImageDisk disk(mediaPath("pt_gpt.img"));
    LogCapture log;
    ASSERT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
    EXPECT_EQ(partitionsOf(disk), std::vector<Found>(std::begin(kGptHfsPlus), std::end(kGptHfsPlus)));
    expectSameAsMmls(partitionsOf(disk), 512, "pt_gpt.img", hfsPlusGptRow);
    EXPECT_TRUE(log.has("first LBA: 2048 - C12A7328-F81F-11D2-BA4B-00A0C93EC93B\n"));
    EXPECT_TRUE(log.has("first LBA: 4096 - 48465300-0000-11AA-AA11-00306543ECAC\n"));
    EXPECT_TRUE(log.has("first LBA: 8192 - 0FC63DAF-8483-4772-8E79-3D69D8477DE4\n"));
    // The protective MBR is not read.
    EXPECT_FALSE(log.hasPrefix("PartitionTableParser::parseApplePartitionMap"));
}

TEST(PartitionTableParser, GptEntryCountAbove128Or_NegativeReads128) {
    for (u32 count : {200u, 0xFFFFFFFFu}) {
        ImageCopy image("pt_gpt.img");
        image.putLE32(512 + 80, count);
        // An HFS Plus entry at index 130, past the 128 that are read.
        const u64 entry130 = 2 * 512 + 130 * 128;
        image.put(entry130, {0x00, 0x53, 0x46, 0x48, 0x00, 0x00, 0xAA, 0x11, 0xAA, 0x11, 0x00, 0x30, 0x65, 0x43,
                             0xEC, 0xAC});
        image.putLE32(entry130 + 32, 100);
        image.putLE32(entry130 + 40, 200);
        ImageDisk disk(image.path());
        LogCapture log;
        ASSERT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
        EXPECT_EQ(partitionsOf(disk), std::vector<Found>(std::begin(kGptHfsPlus), std::end(kGptHfsPlus)));
        EXPECT_FALSE(log.has("first LBA: 100 - 48465300-0000-11AA-AA11-00306543ECAC\n"));
    }
}

TEST(PartitionTableParser, GptWithUnusableEntrySizeHandsOverToMbr) {
    for (u32 size : {0u, 64u, 1u << 20}) {
        ImageCopy image("pt_gpt.img");
        image.putLE32(512 + 84, size);
        ImageDisk disk(image.path());
        LogCapture log;
        ASSERT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
        EXPECT_TRUE(log.has(format("PartitionTableParser::parseGUIDPartitionTable - invalid entry size %u\n", size)));
        // The protective MBR entry is what remains.
        EXPECT_EQ(partitionsOf(disk), (std::vector<Found>{{1, 16383, "Part00"}}));
    }
}

TEST(PartitionTableParser, GptEntryTableOutsideTheDiskIsRefused) {
    ImageCopy image("pt_gpt.img");
    image.putLE32(512 + 72, 0xFFFFFFFF);
    image.putLE32(512 + 76, 0xFFFF);
    ImageDisk disk(image.path());
    LogCapture log;
    ASSERT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
    EXPECT_TRUE(log.has("PartitionTableParser::parseGUIDPartitionTable - entry table at block 281474976710655 "
                        "outside the disk\n"));
}

TEST(PartitionTableParser, GptEntriesWithBadGeometryAreClampedOrSkipped) {
    ImageCopy image("pt_gpt.img");
    const u64 entry1 = 2 * 512 + 1 * 128;  // MacData
    const u64 entry3 = 2 * 512 + 3 * 128;  // MacMore
    image.putLE32(entry1 + 40, 100);        // last before first
    image.putLE32(entry3 + 40, 0xFFFFFFFF);  // last far past the end
    ImageDisk disk(image.path());
    LogCapture log;
    ASSERT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
    EXPECT_EQ(partitionsOf(disk), (std::vector<Found>{{10240, 16383, ""}}));
    EXPECT_TRUE(log.has("PartitionTableParser - partition at blocks 4096-100 does not fit the disk (16384 blocks), "
                        "skipped\n"));
}

// ---- Apple partition map

TEST(PartitionTableParser, AppleMapGivesNamedAppleHfsEntries) {
    ImageDisk disk(mediaPath("pt_apm.img"));
    LogCapture log;
    ASSERT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
    const std::vector<Found> expected = {{2048, 8191, "Data"}, {12288, 14335, "Second"}};
    EXPECT_EQ(partitionsOf(disk), expected);
    expectSameAsMmls(partitionsOf(disk), 512, "pt_apm.img", appleHFSRow);
    EXPECT_TRUE(log.has("-----------Scanning Apple Partition Map------------\n"));
    EXPECT_TRUE(log.has("found map entries 6\n"));
}

TEST(PartitionTableParser, AppleMapOfAHybridIsoIsReadInTheMapsBlockUnits) {
    ImageDisk disk(mediaPath("pt_hybrid.iso"));
    ASSERT_EQ(disk.getBlockSize(), 2048u);
    ASSERT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
    // The map counts 512-byte blocks: sectors 128-171 are disk blocks 32-42.
    EXPECT_EQ(partitionsOf(disk), (std::vector<Found>{{32, 42, "HFSPLUS_Hybrid"}}));
    expectSameAsMmls(partitionsOf(disk), 2048, "pt_hybrid.iso", appleHFSRow);
    Disk* part = disk.getPartition(0);
    ASSERT_TRUE(part->open(false));
    u8 signature[2];
    ASSERT_TRUE(part->read(1024, 2, signature));
    EXPECT_EQ(signature[0], 'H');
    EXPECT_EQ(signature[1], '+');
    part->close();
}

TEST(PartitionTableParser, AppleMapWithAbsurdEntryCountIsCapped) {
    ImageCopy image("pt_apm.img");
    image.putBE32(512 + 4, 0xFFFFFFFF);
    ImageDisk disk(image.path());
    LogCapture log;
    ASSERT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
    EXPECT_EQ(disk.getPartitionCount(), 2u);
    EXPECT_TRUE(log.has("PartitionTableParser::parseApplePartitionMap - 4294967295 map entries, reading 4096\n"));
    EXPECT_TRUE(log.has("found map entries 4096\n"));
}

TEST(PartitionTableParser, AppleMapWalkStopsAtTheDiskEnd) {
    ImageCopy image("pt_apm.img");
    image.putBE32(512 + 4, 1000);
    image.resize(64 * 1024);
    ImageDisk disk(image.path());
    LogCapture log;
    ASSERT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
    EXPECT_EQ(disk.getPartitionCount(), 0u);  // both lie past the cut end
    EXPECT_TRUE(log.has("PartitionTableParser::parseApplePartitionMap - map ends at the end of the disk (entry 128)\n"));
    EXPECT_TRUE(log.has("found map entries 1000\n"));
}

TEST(PartitionTableParser, AppleMapWithoutValidFirstEntryIsNotAMap) {
    ImageCopy image("pt_apm.img");
    image.put(512, {'X', 'X'});
    ImageDisk disk(image.path());
    LogCapture log;
    ASSERT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
    EXPECT_TRUE(log.has("invalid map entry signature (5858)\n"));
    EXPECT_TRUE(log.has("found map entries 0\n"));
    EXPECT_EQ(disk.getPartitionCount(), 0u);
}

TEST(PartitionTableParser, AppleMapBlockSizeZeroIsTakenAs512) {
    ImageCopy image("pt_apm.img");
    image.put(2, {0, 0});
    ImageDisk disk(image.path());
    LogCapture log;
    ASSERT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
    EXPECT_TRUE(log.has("PartitionTableParser::parseApplePartitionMap - invalid map block size 0, taking 512\n"));
    EXPECT_EQ(disk.getPartitionCount(), 2u);
}

// ---- the entry point

TEST(PartitionTableParser, DiskThatCannotOpenFails) {
    MemoryTestDisk disk = blankDisk(64, 512, "closed");
    disk.failOpen = true;
    LogCapture log;
    EXPECT_FALSE(PartitionTableParser::parserPartitionTable(&disk));
    EXPECT_TRUE(log.has("disk open error while reading partition table\n"));
}

TEST(PartitionTableParser, DiskWithoutBlockSizeIsNotRead) {
    MemoryTestDisk disk(std::vector<u8>(4096), 0, DISK_TYPE_IMAGEFILE, "zero");
    LogCapture log;
    EXPECT_FALSE(PartitionTableParser::parserPartitionTable(&disk));
    EXPECT_EQ(disk.opens, 0);
}

TEST(PartitionTableParser, TinyDiskEndsWithReadErrors) {
    MemoryTestDisk disk(std::vector<u8>(100), 512, DISK_TYPE_IMAGEFILE, "tiny");
    LogCapture log;
    EXPECT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
    EXPECT_TRUE(log.has("PartitionTableParser::parseGUIDPartitionTable - error reading block 1\n"));
    EXPECT_TRUE(log.has("PartitionTableParser::parseApplePartitionMap - error reading block 0\n"));
    EXPECT_TRUE(log.has("disk read error while parsing MBR partition table\n"));
    EXPECT_EQ(disk.getOpenCount(), 0u);
}

}  // namespace
}  // namespace vorn
