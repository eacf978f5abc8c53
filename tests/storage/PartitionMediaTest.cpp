// Partitions of the shared tool-made media (sfdisk, sgdisk, fdisk, parted,
// xorriso, mkfs.fat), listed the way a user gets them: the image is added to
// the disk manager, which reads its table. The expected list comes from each
// medium's manifest by the rules of the three schemes (every MBR entry that
// is not an extended partition, named Part00.. in walk order; HFS Plus GUID
// entries, unnamed; "Apple_HFS" map entries, named, converted from map blocks
// to disk blocks), is checked against The Sleuth Kit's `mmls`, and each
// partition's first and last block must hold the marker lines the fixture
// script wrote there.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "fs/MemoryTestDisk.h"
#include "misc/Bytes.h"
#include "misc/Utils.h"
#include "storage/CachedDisk.h"
#include "storage/DiskManager.h"
#include "storage/DiskManagerTreeModel.h"
#include "storage/ImageDisk.h"
#include "storage/PartitionDisk.h"
#include "storage/PartitionTestSupport.h"
#include "storage/StorageTestUtil.h"

namespace vorn::test {
namespace {

constexpr const char* kHfsPlusGuid = "48465300-0000-11AA-AA11-00306543ECAC";

struct Expected {
    u64 first;
    u64 last;
    std::string name;
    int index;  // the manifest's partition index (marker lines name it)
    bool operator==(const Expected& o) const { return first == o.first && last == o.last && name == o.name; }
};

std::ostream& operator<<(std::ostream& out, const Expected& e) {
    return out << "{" << e.first << ".." << e.last << " '" << e.name << "'}";
}

// What the parser must list for a medium, in disk blocks of diskBlockSize.
std::vector<Expected> expectedPartitions(const PartitionManifest& manifest, u32 diskBlockSize) {
    const std::string scheme = manifest.params.at("scheme");
    const u64 bs = manifest.blockSize();
    std::vector<Expected> out;
    auto add = [&](const ManifestPart& p, const std::string& name) {
        out.push_back({p.start * bs / diskBlockSize, (p.start + p.count) * bs / diskBlockSize - 1, name, p.index});
    };
    if (scheme == "dos") {
        // Slots in order; an extended slot stands for its logical partitions.
        for (const ManifestPart& p : manifest.parts) {
            if (p.index > 4) break;
            if (p.kind != "extended") {
                add(p, format("Part%02d", static_cast<int>(out.size())));
                continue;
            }
            for (const ManifestPart& l : manifest.parts)
                if (l.kind == "logical") add(l, format("Part%02d", static_cast<int>(out.size())));
        }
    } else if (scheme == "gpt") {
        for (const ManifestPart& p : manifest.parts)
            if (p.type == kHfsPlusGuid) add(p, "");
    } else if (scheme == "apm") {
        for (const ManifestPart& p : manifest.parts)
            if (p.type.rfind("Apple_HFS", 0) == 0) add(p, p.name);
    }
    return out;
}

std::vector<Expected> foundPartitions(Disk* disk) {
    std::vector<Expected> found;
    for (u32 i = 0; i < disk->getPartitionCount(); ++i) {
        Disk* p = disk->getPartition(i);
        EXPECT_TRUE(p->isKindOf(KIND_PARTITION_DISK));
        auto* part = static_cast<PartitionDisk*>(p);
        EXPECT_EQ(part->getParent(), disk);
        EXPECT_FALSE(part->isWhole());
        EXPECT_EQ(part->getBlockSize(), disk->getBlockSize());
        found.push_back({part->getFirstBlock(), part->getLastBlock(), part->getName(), 0});
    }
    return found;
}

// The found windows in bytes next to the mmls rows in bytes, in order.
void expectSameWindowsAsMmls(const std::vector<Expected>& found, u32 blockSize, const std::string& listing,
                             const std::vector<std::string>& descriptions) {
    const MmlsListing mmls = mmlsListing(listing);
    std::vector<std::pair<u64, u64>> ours, theirs;
    for (const Expected& f : found) ours.push_back({f.first * blockSize, (f.last + 1) * blockSize});
    for (const MmlsRow& r : mmls.rows) {
        bool wanted = descriptions.empty();
        for (const std::string& d : descriptions) wanted = wanted || r.description == d;
        if (wanted) theirs.push_back({r.start * mmls.unit, (r.end + 1) * mmls.unit});
    }
    EXPECT_EQ(ours, theirs) << listing;
}

// The line at byteOffset of disk, read through the block cache that the
// engine puts in front of a selected disk.
std::string lineAt(Disk* disk, u64 byteOffset) {
    CachedDisk cache(disk, 4194304, 262144);
    if (!cache.open(false)) return "(open failed)";
    char text[32] = {};
    const bool ok = cache.read(byteOffset, sizeof text - 1, text);
    cache.close();
    if (!ok) return "(read failed)";
    const std::string all(text);
    return all.substr(0, all.find('\n') + 1);
}

void expectMarkers(Disk* disk, const std::vector<Expected>& expected, u32 markerBlockSize) {
    for (u32 i = 0; i < disk->getPartitionCount() && i < expected.size(); ++i) {
        Disk* part = disk->getPartition(i);
        const u64 bytes = part->getBlockCount() * part->getBlockSize();
        EXPECT_EQ(lineAt(part, 0), format("VORN-PART %d FIRST\n", expected[i].index)) << part->getName();
        EXPECT_EQ(lineAt(part, bytes - markerBlockSize), format("VORN-PART %d LAST\n", expected[i].index))
            << part->getName();
    }
}

struct Medium {
    const char* name;
    std::vector<std::string> mmlsRows;  // mmls descriptions of the listed partitions; empty: all
};

class PartitionMedia : public ::testing::TestWithParam<Medium> {};

TEST_P(PartitionMedia, TheDiskManagerListsThePartitionsOfTheToolMadeTable) {
    const Medium& medium = GetParam();
    const PartitionManifest manifest = readPartitionManifest(medium.name);
    ASSERT_FALSE(manifest.parts.empty()) << "no manifest for " << medium.name;

    DiskManager manager;
    Disk* disk = manager.addImageDisk(mediaPath(medium.name));
    ASSERT_NE(disk, nullptr);
    const std::vector<Expected> expected = expectedPartitions(manifest, disk->getBlockSize());
    const std::vector<Expected> found = foundPartitions(disk);
    EXPECT_EQ(found, expected);
    expectSameWindowsAsMmls(found, disk->getBlockSize(), std::string(medium.name) + ".mmls.txt", medium.mmlsRows);
    if (manifest.hasMarkers()) expectMarkers(disk, expected, manifest.blockSize());
    // The parser leaves the image closed; the partitions open it again.
    EXPECT_EQ(disk->getOpenCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    ToolMade, PartitionMedia,
    ::testing::Values(Medium{"mbr_logical.img", {}}, Medium{"mbr_ext_lba.img", {}}, Medium{"mbr_fat.img", {}},
                      Medium{"gpt_mixed.img", {"Mac HD", "Mac Backup"}}, Medium{"apm_parted.img", {"Apple_HFS"}},
                      Medium{"apm_iso2048.iso", {"Apple_HFS"}}, Medium{"apm_iso512.iso", {"Apple_HFS"}}),
    [](const ::testing::TestParamInfo<Medium>& info) {
        std::string name = info.param.name;
        for (char& c : name)
            if (!isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

TEST(PartitionMediaGpt, AGuidTableWithoutHfsPlusEntriesListsNothingAndHidesTheHybridMbr) {
    DiskManager manager;
    LogCapture log;
    Disk* disk = manager.addImageDisk(mediaPath("gpt_hybrid.img"));
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(disk->getPartitionCount(), 0u);
    EXPECT_TRUE(log.has("first LBA: 2048 - EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n"));
    EXPECT_TRUE(log.has("first LBA: 18432 - 0FC63DAF-8483-4772-8E79-3D69D8477DE4\n"));
    EXPECT_FALSE(log.hasPrefix("PartitionTableParser::parseApplePartitionMap"));
    // mmls reads the hybrid MBR's entries, which the parser never looks at.
    EXPECT_FALSE(mmlsListing("gpt_hybrid.img.mmls-dos.txt").rows.empty());
}

TEST(PartitionMediaGpt, AGuidTableOn4096ByteBlocksIsReadInThoseBlocks) {
    // fdisk -b 4096 wrote it; an image file is a disk of 512-byte blocks, so
    // the table is read here from a disk of 4096-byte blocks over its bytes.
    const PartitionManifest manifest = readPartitionManifest("gpt_4k.img");
    ASSERT_EQ(manifest.blockSize(), 4096u);
    MemoryTestDisk disk(readFileBytes(mediaPath("gpt_4k.img")), 4096, DISK_TYPE_FIXED, "4k");
    ASSERT_TRUE(disk.scanForPartitions());
    const std::vector<Expected> expected = expectedPartitions(manifest, 4096);
    ASSERT_EQ(expected.size(), 2u);
    EXPECT_EQ(foundPartitions(&disk), expected);
    expectSameWindowsAsMmls(foundPartitions(&disk), 4096, "gpt_4k.img.mmls.txt", {"Mac HD 4K", "Second HFS 4K"});
    expectMarkers(&disk, expected, 4096);
}

TEST(PartitionMediaFat, TheFatVolumesOfAnMbrImageStartAtTheirPartitions) {
    DiskManager manager;
    Disk* disk = manager.addImageDisk(mediaPath("mbr_fat.img"));
    ASSERT_NE(disk, nullptr);
    ASSERT_EQ(disk->getPartitionCount(), 3u);
    // mkfs.fat wrote each volume's start sector into its hidden-sectors field.
    const struct {
        u64 first;
        const char* fsType;
        size_t fsTypeOffset;
    } volumes[] = {{2048, "FAT16   ", 54}, {67584, "FAT32   ", 82}};
    for (u32 i = 0; i < 2; ++i) {
        Disk* part = disk->getPartition(i);
        ASSERT_TRUE(part->open(false));
        u8 boot[512];
        ASSERT_TRUE(part->read(0, sizeof boot, boot));
        part->close();
        EXPECT_EQ(static_cast<PartitionDisk*>(part)->getFirstBlock(), volumes[i].first);
        EXPECT_EQ(loadLE32(boot + 28), volumes[i].first);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(boot + volumes[i].fsTypeOffset), 8), volumes[i].fsType);
        EXPECT_EQ(boot[510], 0x55);
        EXPECT_EQ(boot[511], 0xAA);
    }
    EXPECT_EQ(DiskManagerTreeModel::label(disk->getPartition(0)), "Part00, 32.00 M");
}

TEST(PartitionMediaOpens, AnOpenPartitionKeepsTheImageOpenWhileOthersOpenAndClose) {
    const std::string path = mediaPath("mbr_fat.img");
    DiskManager manager;
    Disk* disk = manager.addImageDisk(path);
    ASSERT_NE(disk, nullptr);
    ASSERT_EQ(disk->getPartitionCount(), 3u);
    Disk* first = disk->getPartition(0);
    Disk* second = disk->getPartition(1);
    const u64 lastByte = first->getBlockCount() * first->getBlockSize() - 512;

    // The partition is selected: the engine reads it through a cache.
    CachedDisk selected(first, 4194304, 262144);
    ASSERT_TRUE(selected.open(false));
    EXPECT_EQ(first->getOpenCount(), 1u);
    EXPECT_EQ(disk->getOpenCount(), 1u);

    // Meanwhile the table is read again and another partition comes and goes.
    manager.scanForPartitions();
    EXPECT_EQ(disk->getPartitionCount(), 3u);
    ASSERT_TRUE(second->open(false));
    second->close();
    EXPECT_EQ(disk->getOpenCount(), 1u);
    EXPECT_EQ(fdsOpenOn(path).size(), 1u);
    u8 block[512];
    EXPECT_TRUE(selected.read(lastByte, sizeof block, block));
    EXPECT_EQ(disk->getReadErrors(), 0u);

    selected.close();
    EXPECT_EQ(first->getOpenCount(), 0u);
    EXPECT_EQ(disk->getOpenCount(), 0u);
    EXPECT_TRUE(fdsOpenOn(path).empty());
}

TEST(PartitionMediaWrites, NoWriteReachesTheImageThroughPartitionOrCache) {
    const std::string path = mediaPath("mbr_fat.img");
    const std::vector<u8> before = readFileBytes(path);
    DiskManager manager;
    Disk* disk = manager.addImageDisk(path);
    ASSERT_NE(disk, nullptr);
    ASSERT_GE(disk->getPartitionCount(), 1u);
    Disk* part = disk->getPartition(0);
    CachedDisk cache(part, 4194304, 262144);
    ASSERT_TRUE(cache.open(true));  // even an open asking for writing
    std::vector<u8> zeros(4096);
    EXPECT_FALSE(cache.writeBlocks(0, 8, zeros.data()));
    EXPECT_FALSE(part->writeBlocks(0, 8, zeros.data()));
    EXPECT_FALSE(part->writeBlocksImpl(0, 8, zeros.data()));
    EXPECT_FALSE(disk->writeBlocks(2048, 8, zeros.data()));
    cache.close();
    EXPECT_EQ(readFileBytes(path), before);
}

}  // namespace
}  // namespace vorn::test
