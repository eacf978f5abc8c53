// Mounting, FAT decoding, allocation answers and chain reads on hand-made volumes.
#include <gtest/gtest.h>

#include <numeric>

#include "fs/fat/FAT.h"
#include "fs/fat/FatTestSupport.h"
#include "storage/LogCapture.h"

namespace vorn::test {
namespace {

FatImageBuilder fat16() {
    FatImageBuilder b;
    b.bits = 16;
    b.totalSectors = 8192;  // about 8150 clusters: FAT16
    b.sectorsPerFat = 32;
    return b;
}

TEST(FATVolumeMount, MediaByteF0AndFFMountButF7DoesNot) {
    for (u8 media : {0xF0, 0xF8, 0xFF}) {
        FatImageBuilder b = fat16();
        b.media = media;
        EXPECT_TRUE(mountBytes(b.build().bytes).mounted) << int(media);
    }
    FatImageBuilder b = fat16();
    b.media = 0xF7;
    LogCapture logs;
    EXPECT_FALSE(mountBytes(b.build().bytes).mounted);
    EXPECT_TRUE(logs.has("not an FAT volume!\n"));
}

TEST(FATVolumeMount, MissingSignatureOrUnreadableBootSectorFails) {
    FatImageBuilder b = fat16();
    b.build().bytes[511] = 0;
    EXPECT_FALSE(mountBytes(b.bytes).mounted);

    LogCapture logs;
    EXPECT_FALSE(mountBytes(std::vector<u8>(100, 0)).mounted);
    EXPECT_TRUE(logs.has("error reading bootsector\n"));
}

// Type by cluster count: at most 4084 FAT12, below 65525 FAT16, else FAT32.
TEST(FATVolumeMount, TypeFollowsTheClusterCount) {
    struct Case {
        u64 clusters;
        int type;
    } cases[] = {{4084, FAT_TYPE_12}, {4085, FAT_TYPE_16}, {65524, FAT_TYPE_16}, {65525, FAT_TYPE_32}};
    for (const Case& c : cases) {
        FatImageBuilder b;
        b.bits = 16;
        b.sectorsPerFat = 256;
        b.rootEntries = 512;  // 32 sectors
        b.totalSectors = 1 + 2 * 256 + 32 + c.clusters;
        b.imageSectors = 1 + 2 * 256 + 32 + 4;
        MountedFat m = mountBytes(b.build().bytes);
        ASSERT_TRUE(m.mounted);
        EXPECT_EQ(m.volume->getClusterCount(), c.clusters);
        EXPECT_EQ(m.volume->getFatType(), c.type) << c.clusters;
    }
}

TEST(FATVolumeMount, RefusedWhenTheVolumeEndsBeforeItsDataArea) {
    FatImageBuilder b = fat16();
    b.totalSectors = 1 + 2 * 32 + 4;  // exactly up to the data area
    b.imageSectors = 100;
    LogCapture logs;
    EXPECT_FALSE(mountBytes(b.build().bytes).mounted);
    EXPECT_TRUE(logs.has("not an FAT volume!\n"));
}

// Cluster 2 would start inside the boot sector: never a file's content.
TEST(FATVolumeMount, RefusedWhenTheBootSectorIsOutsideTheReservedRegion) {
    FatImageBuilder b = fat16();
    b.build();
    FatImageBuilder::put16(b.bytes.data() + 14, 0);  // no reserved sectors
    EXPECT_FALSE(mountBytes(b.bytes).mounted);
    FatImageBuilder small = fat16();
    small.bytesPerSector = 128;
    small.reservedSectors = 2;
    small.totalSectors = 30000;
    EXPECT_FALSE(mountBytes(small.build().bytes).mounted);
    small.reservedSectors = 4;
    EXPECT_TRUE(mountBytes(small.build().bytes).mounted);
}

TEST(FATVolumeMount, LayoutNameAndRootOfFat16) {
    FatImageBuilder b = fat16();
    b.sectorsPerCluster = 4;
    b.totalSectors = 40000;  // some 9980 clusters: FAT16
    b.imageSectors = 200;
    b.label = "MY DISK    ";
    LogCapture logs(LOG_INFO);
    MountedFat m = mountBytes(b.build().bytes);
    ASSERT_TRUE(m.mounted);
    EXPECT_EQ(m.volume->getName(), "MYDISK");
    EXPECT_EQ(m.volume->getAllocBlockSize(), 2048u);
    EXPECT_EQ(m.volume->getDataOffset(), b.dataOfs());
    EXPECT_EQ(m.volume->getRootDirOfs(), b.rootOfs());
    EXPECT_EQ(m.volume->getRootDirSize(), 64u * 32);
    ASSERT_NE(m.root(), nullptr);
    EXPECT_TRUE(m.root()->isContainer());
    EXPECT_EQ(m.root()->getName(), "MYDISK");
    EXPECT_EQ(m.root()->getDataCluster(), 0u);
    EXPECT_EQ(m.root()->getDataOfs(), b.rootOfs());
    EXPECT_TRUE(logs.has("BPB_BytesPSec: 512, BPB_SecPerClus: 4\n"));
    EXPECT_TRUE(logs.has("countOfClusters: 9982\n"));
    EXPECT_EQ(m.volume->getFatType(), FAT_TYPE_16);
    EXPECT_TRUE(logs.has("cluster 0: 0000FFF8 (EOF)\n"));
}

TEST(FATVolumeMount, Fat32TakesRootClusterAndLabelFromItsOwnFields) {
    FatImageBuilder b;
    b.bits = 32;
    b.rootEntries = 0;
    b.reservedSectors = 32;
    b.sectorsPerFat = 600;
    b.rootCluster = 5;
    b.totalSectors = 32 + 2 * 600 + 70000;
    b.imageSectors = 32 + 2 * 600 + 10;
    b.label = "CARD       ";
    MountedFat m = mountBytes(b.build().bytes);
    ASSERT_TRUE(m.mounted);
    EXPECT_EQ(m.volume->getFatType(), FAT_TYPE_32);
    EXPECT_EQ(m.volume->getName(), "CARD");
    EXPECT_EQ(m.volume->getRootDirCluster(), 5u);
    EXPECT_EQ(m.volume->getRootDirOfs(), 0u);
    EXPECT_EQ(m.root()->getId(), "5");
}

TEST(FATTable, AllocationAnswersByEntryClass) {
    FatImageBuilder b = fat16();
    b.build();
    b.setFat(2, 3);       // next
    b.setFat(3, 0xFFFF);  // end of chain
    b.setFat(4, 0xFFF7);  // bad
    b.setFat(5, 0);       // free
    b.setFat(6, 0xFFF8);  // end of chain, lowest value
    MountedFat m = mountBytes(b.bytes);
    ASSERT_TRUE(m.mounted);
    EXPECT_TRUE(m.volume->isAllocationBlockUsed(0));
    EXPECT_TRUE(m.volume->isAllocationBlockUsed(1));
    EXPECT_FALSE(m.volume->isAllocationBlockUsed(2));
    EXPECT_FALSE(m.volume->isAllocationBlockUsed(3));
    EXPECT_TRUE(m.volume->isAllocationBlockUsed(4));
    FATVolume unmounted(m.disk.get());
    EXPECT_FALSE(unmounted.isAllocationBlockUsed(0));
}

TEST(FATTable, Fat12EntryStraddlingTwoBlocksIsDecodedFromBoth) {
    FatImageBuilder b;
    b.bits = 12;
    b.totalSectors = 2880;
    b.sectorsPerFat = 9;
    b.rootEntries = 224;
    b.build();
    // Cluster 341 sits at bytes 511 and 512 of the FAT; 340 shares byte 510/511.
    b.setFat(341, 0xABC);
    b.setFat(340, 0x123);
    b.setFat(342, 0x456);
    MountedFat m = mountBytes(b.bytes);
    ASSERT_TRUE(m.mounted);
    ASSERT_EQ(m.volume->getFatType(), FAT_TYPE_12);
    FAT* fat = m.volume->getFat();
    EXPECT_EQ(fat->getEntry(340), 0x123u);
    EXPECT_EQ(fat->getEntry(341), 0xABCu);
    EXPECT_EQ(fat->getEntry(342), 0x456u);
    EXPECT_EQ(fat->getEntry(341), 0xABCu);  // again, from the cache
}

TEST(FATTable, SecondCopyAndNoTable) {
    FatImageBuilder b = fat16();
    b.build();
    b.setFat(10, 11);
    // Only the second copy says something else.
    FatImageBuilder::put16(b.bytes.data() + b.fatOfs(1) + 20, 0x1234);
    MountedFat m = mountBytes(b.bytes);
    FAT* fat = m.volume->getFat();
    EXPECT_EQ(fat->getEntry(10), 11u);
    fat->setUseFat(2);
    EXPECT_EQ(fat->getEntry(10), 0x1234u);
    fat->setUseFat(0);
    EXPECT_EQ(fat->getEntry(10), 11u);
    EXPECT_EQ(fat->getEntry(77), 78u);
}

TEST(FATTable, EntriesBeyondTheTableReadAsFree) {
    FatImageBuilder b = fat16();
    b.sectorsPerFat = 1;  // 256 entries for some 8000 clusters
    b.build();
    FatImageBuilder::put16(b.bytes.data() + b.fatOfs(1) + 2 * 4, 0xFFFF);  // what lies behind copy 1
    MountedFat m = mountBytes(b.bytes);
    ASSERT_TRUE(m.mounted);
    EXPECT_EQ(m.volume->getFat()->getEntry(256 + 4), 0u);
    EXPECT_FALSE(m.volume->isAllocationBlockUsed(256 + 2));
}

// A file of 4 clusters laid out as 10, 11, 20, 5 with 512-byte clusters.
struct FragmentedFile {
    FatImageBuilder b = fat16();
    std::vector<u8> content;
    MountedFat m;
    FATVolumeItem item;

    FragmentedFile() {
        b.build();
        std::vector<u64> clusters = {10, 11, 20, 5};
        b.chain(clusters);
        content.resize(4 * 512);
        for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<u8>(i * 7 + i / 512);
        for (size_t k = 0; k < clusters.size(); ++k) memcpy(b.cluster(clusters[k]), content.data() + 512 * k, 512);
        m = mountBytes(b.bytes);
        item.setDataCluster(10);
        item.setSize(content.size());
        item.setVolume(m.volume.get());
    }
};

TEST(FATRead, UnalignedReadOverThreeClustersEqualsAlignedPieces) {
    FragmentedFile f;
    ASSERT_TRUE(f.m.mounted);
    std::vector<u8> whole(1200);
    ASSERT_EQ(f.item.read(300, whole.data(), 1200), 1200u);
    EXPECT_TRUE(std::equal(whole.begin(), whole.end(), f.content.begin() + 300));

    std::vector<u8> pieces(3 * 512);
    for (int k = 0; k < 3; ++k) ASSERT_EQ(f.item.read(512 * k, pieces.data() + 512 * k, 512), 512u);
    EXPECT_TRUE(std::equal(whole.begin(), whole.end(), pieces.begin() + 300));
}

TEST(FATRead, EveryOffsetAndLengthMatches) {
    FragmentedFile f;
    std::vector<u8> buf(f.content.size());
    for (u64 ofs = 0; ofs < f.content.size(); ofs += 37) {
        for (u32 len : {1u, 2u, 511u, 512u, 513u, 1024u}) {
            if (ofs + len > f.content.size()) continue;
            ASSERT_EQ(f.item.read(ofs, buf.data(), len), len) << ofs << "+" << len;
            ASSERT_EQ(memcmp(buf.data(), f.content.data() + ofs, len), 0) << ofs << "+" << len;
        }
    }
    // Backwards and interleaved with another chain: same answers.
    FATVolumeItem other;
    other.setDataCluster(20);
    other.setVolume(f.m.volume.get());
    for (u64 ofs = f.content.size() - 100; ofs > 0; ofs -= 300) {
        ASSERT_EQ(f.item.read(ofs, buf.data(), 100), 100u);
        ASSERT_EQ(memcmp(buf.data(), f.content.data() + ofs, 100), 0);
        ASSERT_EQ(other.read(0, buf.data(), 10), 10u);
        ASSERT_EQ(memcmp(buf.data(), f.content.data() + 1024, 10), 0);
        if (ofs < 300) break;
    }
}

TEST(FATRead, ChainEndingBeforeTheRangeFails) {
    FragmentedFile f;
    std::vector<u8> buf(4096);
    LogCapture logs(LOG_INFO);
    // The chain holds 2048 bytes; the last cluster's slack is part of the chain.
    EXPECT_EQ(f.item.read(2047, buf.data(), 1), 1u);
    EXPECT_EQ(f.item.read(2000, buf.data(), 100), 0u);
    EXPECT_EQ(f.item.read(4096, buf.data(), 1), 0u);
    EXPECT_TRUE(logs.has("readFileAt error: cannot get data offset: 4096\n"));
    EXPECT_TRUE(f.m.volume->readFileAt(10, buf.data(), 99999, 0));
}

TEST(FATRead, ClustersOutsideTheVolumeNeverReadMetadata) {
    FatImageBuilder b = fat16();
    b.build();
    b.setFat(3, 1);        // link to a reserved cluster number
    b.setFat(4, 9000);     // link past the last cluster
    b.setFat(6, 0xFFF7);   // bad cluster in a chain
    MountedFat m = mountBytes(b.bytes);
    const u64 last = m.volume->getClusterCount() + 1;
    std::vector<u8> buf(1024);
    for (u64 first : {u64(0), u64(1), last + 1, u64(1) << 40}) {
        FATVolumeItem item;
        item.setDataCluster(first);
        item.setVolume(m.volume.get());
        EXPECT_EQ(item.read(0, buf.data(), 16), 0u) << first;
    }
    for (u64 first : {u64(3), u64(4), u64(6)}) {
        FATVolumeItem item;
        item.setDataCluster(first);
        item.setVolume(m.volume.get());
        EXPECT_EQ(item.read(0, buf.data(), 16), 16u);
        EXPECT_EQ(item.read(0, buf.data(), 1024), 0u) << first;
    }
    FATVolumeItem lastItem;
    lastItem.setDataCluster(last);
    lastItem.setVolume(m.volume.get());
    EXPECT_EQ(lastItem.read(0, buf.data(), 16), 16u);
    EXPECT_FALSE(FATVolume(m.disk.get()).readFileAt(2, buf.data(), 0, 1));
}

TEST(FATRead, LoopingChainFailsPastTheVolumeSize) {
    FatImageBuilder b = fat16();
    b.build();
    b.setFat(7, 8);
    b.setFat(8, 7);
    MountedFat m = mountBytes(b.bytes);
    FATVolumeItem item;
    item.setDataCluster(7);
    item.setVolume(m.volume.get());
    std::vector<u8> buf(16);
    EXPECT_EQ(item.read(512 * 101, buf.data(), 16), 16u);  // the loop is followed as far as asked
    EXPECT_EQ(item.read(~0ULL - 100, buf.data(), 16), 0u);  // but never further than the volume holds
}

// Sequential small reads follow each link once: device reads grow with the
// file's clusters, not with their square.
TEST(FATRead, SequentialReadCostIsLinear) {
    FatImageBuilder b = fat16();
    b.build();
    std::vector<u64> clusters(3000);
    std::iota(clusters.begin(), clusters.end(), 2);
    b.chain(clusters);
    for (u64 c : clusters) b.cluster(c)[0] = static_cast<u8>(c);
    MountedFat m = mountBytes(b.bytes);
    auto* disk = static_cast<FatMemoryDisk*>(m.disk.get());
    FATVolumeItem item;
    item.setDataCluster(2);
    item.setVolume(m.volume.get());
    u64 before = disk->deviceReads;
    std::vector<u8> buf(512);
    for (u64 k = 0; k < clusters.size(); ++k) {
        ASSERT_EQ(item.read(k * 512, buf.data(), 512), 512u);
        ASSERT_EQ(buf[0], static_cast<u8>(k + 2));
    }
    EXPECT_LT(disk->deviceReads - before, 3200u);
}

}  // namespace
}  // namespace vorn::test
