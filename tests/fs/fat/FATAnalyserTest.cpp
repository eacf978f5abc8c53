// The FAT analyser's probes for boot sectors and directory blocks.
#include <gtest/gtest.h>

#include <random>

#include "fs/fat/FAT.h"
#include "fs/fat/FATAnalyser.h"
#include "fs/fat/FatTestSupport.h"
#include "storage/LogCapture.h"

namespace vorn::test {
namespace {

std::vector<u8> readAt(Disk* disk, u64 ofs, u32 len) {
    std::vector<u8> b(len);
    EXPECT_TRUE(disk->read(ofs, len, b.data()));
    return b;
}

TEST(FATAnalyserProbe, BootSectorOfARealVolumeAndOfAPartition) {
    if (!haveMedia("mbr_fat.img")) GTEST_SKIP();
    ImageDisk disk(mediaPath("mbr_fat.img"));
    ASSERT_TRUE(disk.open(false));
    for (u64 ofs : {u64(2048) * 512, u64(67584) * 512}) {
        std::vector<u8> b = readAt(&disk, ofs, 512);
        EXPECT_TRUE(FATAnalyser::probeBootSector(&disk, ofs, b.data(), 512)) << ofs;
    }
    // The MBR itself has the signature but no FAT geometry.
    std::vector<u8> mbr = readAt(&disk, 0, 512);
    EXPECT_FALSE(FATAnalyser::probeBootSector(&disk, 0, mbr.data(), 512));
}

TEST(FATAnalyserProbe, BootSectorFieldChecks) {
    FatImageBuilder b;
    b.totalSectors = 8192;
    b.sectorsPerFat = 32;
    b.build();
    FatMemoryDisk disk(b.bytes);
    disk.open(false);
    std::vector<u8> boot(b.bytes.begin(), b.bytes.begin() + 512);
    EXPECT_TRUE(FATAnalyser::probeBootSector(&disk, 0, boot.data(), 512));
    EXPECT_FALSE(FATAnalyser::probeBootSector(&disk, 0, boot.data(), 511));
    EXPECT_FALSE(FATAnalyser::probeBootSector(nullptr, 0, boot.data(), 512));
    auto altered = [&](size_t at, u8 value) {
        std::vector<u8> x = boot;
        x[at] = value;
        return FATAnalyser::probeBootSector(&disk, 0, x.data(), 512);
    };
    EXPECT_FALSE(altered(510, 0));         // signature
    EXPECT_FALSE(altered(12, 0x03));       // 768 bytes per sector, not a multiple of 512
    EXPECT_FALSE(altered(13, 0));          // no sectors per cluster
    EXPECT_FALSE(altered(16, 3));          // three FATs
    EXPECT_FALSE(altered(16, 0));
    // Fields pass but the volume does not mount (media byte).
    FatImageBuilder bad = b;
    bad.bytes[21] = 0x12;
    FatMemoryDisk badDisk(bad.bytes);
    badDisk.open(false);
    EXPECT_FALSE(FATAnalyser::probeBootSector(&badDisk, 0, bad.bytes.data(), 512));
}

TEST(FATAnalyserProbe, DirectoryBlocksOfRealVolumes) {
    if (!haveMedia("camera_card.img") || !haveMedia("fat16_s512.img")) GTEST_SKIP();
    MountedFat m = mountImage(mediaPath("camera_card.img"));
    ASSERT_TRUE(m.mounted);
    const u32 cs = m.volume->getAllocBlockSize();
    // The root: the label and two 8.3 folder names.
    std::vector<u8> root = readAt(m.disk.get(), m.volume->clusterOffset(m.volume->getRootDirCluster()), cs);
    EXPECT_TRUE(FATAnalyser::probeDirectoryBlock(root.data(), cs));
    // A subfolder's first cluster starts with "." and "..".
    m.root()->loadChildren();
    auto* dcim = dynamic_cast<FATVolumeItem*>(m.root()->findChild("DCIM", false));
    ASSERT_NE(dcim, nullptr);
    std::vector<u8> cluster = readAt(m.disk.get(), m.volume->clusterOffset(dcim->getDataCluster()), cs);
    EXPECT_TRUE(FATAnalyser::probeDirectoryBlock(cluster.data(), cs));
    // File content is not a directory.
    dcim->loadChildren();
    auto* photos = dcim->children().at(0);
    photos->loadChildren();
    auto* photo = dynamic_cast<FATVolumeItem*>(photos->findChild("IMG_0001.JPG", false));
    ASSERT_NE(photo, nullptr);
    std::vector<u8> content = readAt(m.disk.get(), m.volume->clusterOffset(photo->getDataCluster()), cs);
    EXPECT_FALSE(FATAnalyser::probeDirectoryBlock(content.data(), cs));

    // The middle of a large folder: long names, no dots.
    MountedFat big = mountImage(mediaPath("fat16_s512.img"));
    ASSERT_TRUE(big.mounted);
    big.root()->loadChildren();
    auto* many = dynamic_cast<FATVolumeItem*>(big.root()->findChild("Many", false));
    ASSERT_NE(many, nullptr);
    u64 second = big.volume->getFat()->getEntry(many->getDataCluster());
    ASSERT_TRUE(big.volume->isValidCluster(second));
    const u32 bcs = big.volume->getAllocBlockSize();
    std::vector<u8> middle = readAt(big.disk.get(), big.volume->clusterOffset(second), bcs);
    EXPECT_TRUE(FATAnalyser::probeDirectoryBlock(middle.data(), bcs));
}

struct DirBlock {
    std::vector<u8> bytes = std::vector<u8>(512, 0);
    u8* entry(int i) { return bytes.data() + 32 * i; }
    bool probe() { return FATAnalyser::probeDirectoryBlock(bytes.data(), static_cast<u32>(bytes.size())); }
};

TEST(FATAnalyserProbe, DirectoryRules) {
    // Two 8.3 entries with 5 fill spaces: a directory.
    DirBlock d;
    FatImageBuilder::shortEntry(d.entry(0), "README  TXT", 0x20, 5, 10);
    FatImageBuilder::shortEntry(d.entry(1), "DATA    BIN", 0x20, 6, 10);
    EXPECT_TRUE(d.probe());

    DirBlock few;  // too few fill spaces and no long name
    FatImageBuilder::shortEntry(few.entry(0), "ABCDEFGHTXT", 0x20, 5, 10);
    FatImageBuilder::shortEntry(few.entry(1), "ABCDEFG BIN", 0x20, 6, 10);
    EXPECT_FALSE(few.probe());
    few.entry(2)[11] = 0x0F;  // plus a long-name entry
    few.entry(2)[0] = 0x41;
    EXPECT_TRUE(few.probe());
    FatImageBuilder::put16(few.entry(2) + 26, 7);  // with a cluster: no long-name entry
    EXPECT_FALSE(few.probe());

    auto fails = [&](const std::function<void(DirBlock&)>& change) {
        DirBlock x = d;
        change(x);
        return !x.probe();
    };
    EXPECT_TRUE(fails([](DirBlock& x) { x.entry(0)[1] = 'e'; }));                 // lower case
    EXPECT_TRUE(fails([](DirBlock& x) { x.entry(0)[0] = ' '; }));                 // leading space
    EXPECT_TRUE(fails([](DirBlock& x) { x.entry(0)[3] = ' '; }));                 // space inside
    EXPECT_TRUE(fails([](DirBlock& x) { x.entry(0)[11] = 0x40; }));               // attributes above 63
    EXPECT_TRUE(fails([](DirBlock& x) { FatImageBuilder::put16(x.entry(0) + 26, 0); }));  // no cluster
    EXPECT_TRUE(fails([](DirBlock& x) { FatImageBuilder::put16(x.entry(1) + 26, 5); }));  // same cluster
    EXPECT_TRUE(fails([](DirBlock& x) { memcpy(x.entry(1), "README  TXT", 11); }));       // same name
    EXPECT_TRUE(fails([](DirBlock& x) { FatImageBuilder::put16(x.entry(0) + 22, 30); }));  // 60 seconds
    EXPECT_TRUE(fails([](DirBlock& x) { FatImageBuilder::put16(x.entry(0) + 24, 0x3C00); }));  // day 0
    EXPECT_TRUE(fails([](DirBlock& x) { FatImageBuilder::put16(x.entry(0) + 24, 0); }));  // no date
    EXPECT_TRUE(fails([](DirBlock& x) { FatImageBuilder::put16(x.entry(0) + 16, 0x3DA1); }));  // month 13
    EXPECT_TRUE(fails([](DirBlock& x) { x.entry(0)[13] = 200; FatImageBuilder::put16(x.entry(0) + 14, 0x6000); }));
    EXPECT_TRUE(fails([](DirBlock& x) { x.entry(3)[5] = 1; }));                   // zero byte 0, other bytes set
    EXPECT_TRUE(fails([](DirBlock& x) { x.entry(5)[0] = 'A'; }));                 // entry after the end
    // Deleted duplicates are allowed.
    EXPECT_FALSE(fails([](DirBlock& x) {
        FatImageBuilder::shortEntry(x.entry(2), "\xE5" "EADME  TXT", 0x20, 5, 10);
    }));

    // Labels: one without cluster is fine, a second one or one with a cluster is not.
    DirBlock l = d;
    FatImageBuilder::shortEntry(l.entry(2), "MY LABEL   ", 0x08, 0, 0);
    EXPECT_FALSE(l.probe());  // a space inside the name
    FatImageBuilder::shortEntry(l.entry(2), "MYLABEL    ", 0x08, 0, 0);
    LogCapture logs;
    EXPECT_TRUE(l.probe());
    EXPECT_TRUE(logs.has("found volume name: MYLABEL\n"));
    FatImageBuilder::shortEntry(l.entry(3), "OTHER      ", 0x08, 0, 0);
    EXPECT_FALSE(l.probe());
    FatImageBuilder::shortEntry(l.entry(3), "DATA2   BIN", 0x20, 9, 1);
    FatImageBuilder::put16(l.entry(2) + 26, 4);
    EXPECT_FALSE(l.probe());
}

TEST(FATAnalyserProbe, DotEntriesMakeADirectory) {
    DirBlock d;
    FatImageBuilder::shortEntry(d.entry(0), ".          ", 0x10, 9, 0);
    FatImageBuilder::shortEntry(d.entry(1), "..         ", 0x10, 0, 0);
    EXPECT_TRUE(d.probe());
    FatImageBuilder::shortEntry(d.entry(2), "bad name   ", 0x20, 5, 1);
    EXPECT_FALSE(d.probe());
    d.entry(1)[11] = 0x20;  // ".." without the folder attribute: the dots are names
    d.entry(2)[0] = 0;
    memset(d.entry(2), 0, 32);
    EXPECT_FALSE(d.probe());
}

TEST(FATAnalyserProbe, NoiseAndEmptyBlocksAreNotDirectories) {
    std::mt19937 rng(7);
    std::vector<u8> noise(4096);
    for (u8& c : noise) c = static_cast<u8>(rng());
    EXPECT_FALSE(FATAnalyser::probeDirectoryBlock(noise.data(), 4096));
    std::vector<u8> zeros(4096, 0);
    EXPECT_FALSE(FATAnalyser::probeDirectoryBlock(zeros.data(), 4096));
    EXPECT_FALSE(FATAnalyser::probeDirectoryBlock(nullptr, 0));
    EXPECT_FALSE(FATAnalyser::probeDirectoryBlock(zeros.data(), 31));
}

TEST(FATAnalyserScan, ScanEndReportsTheEmptyMap) {
    FATAnalyser analyser(nullptr);
    LogCapture logs;
    analyser.scanBegin();
    analyser.scanBlock();
    analyser.scanEnd();
    EXPECT_TRUE(logs.has("dirEntryMap size: 0\n"));
}

}  // namespace
}  // namespace vorn::test
