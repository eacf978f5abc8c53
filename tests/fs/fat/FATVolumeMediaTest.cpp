// The tool-made volumes of make_fatvols.sh: listings agree with the files
// copied in (and with The Sleuth Kit's fls), and every file reads back
// byte-identical at any offset and length.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>

#include "fs/fat/FAT.h"
#include "fs/fat/FatTestSupport.h"
#include "storage/Disk.h"

namespace vorn::test {
namespace {

struct MediaVolume {
    const char* image;
    const char* src;
    u64 offset;
    const char* label;
    int type;
    u32 clusterSize;
};

const MediaVolume kVolumes[] = {
    {"fatv12_floppy.img", "fatv12_floppy.src", 0, "FLOPPY", FAT_TYPE_12, 512},
    {"fatv16_2k.img", "fatv16_2k.src", 0, "SECT2K", FAT_TYPE_16, 4096},
    {"fatv32_cam.img", "fatv32_cam.src", 0, "CANON_DC", FAT_TYPE_32, 4096},
    {"fatv32_4k.img", "fatv32_4k.src", 0, "SECT4K", FAT_TYPE_32, 4096},
    {"fatv_mbr.img", "fatv_mbr_p1.src", 2048 * 512, "PART_ONE", FAT_TYPE_12, 2048},
    {"fatv_mbr.img", "fatv_mbr_p2.src", 10240 * 512, "PART_TWO", FAT_TYPE_16, 2048},
};

class FATMediaTest : public ::testing::TestWithParam<MediaVolume> {};

std::string paramName(const ::testing::TestParamInfo<MediaVolume>& info) {
    std::string s = info.param.src;
    for (char& c : s)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return s;
}

TEST_P(FATMediaTest, MountsWithTheToolsGeometry) {
    const MediaVolume& v = GetParam();
    MountedFat m = mountImage(mediaPath(v.image), v.offset);
    ASSERT_TRUE(m.mounted);
    EXPECT_EQ(m.volume->getName(), v.label);
    EXPECT_EQ(m.volume->getFatType(), v.type);
    EXPECT_EQ(m.volume->getAllocBlockSize(), v.clusterSize);
}

// The listing is the copied tree plus the label, shown as an empty file.
TEST_P(FATMediaTest, ListingMatchesTheCopiedFiles) {
    const MediaVolume& v = GetParam();
    MountedFat m = mountImage(mediaPath(v.image), v.offset);
    ASSERT_TRUE(m.mounted);
    std::map<std::string, VolumeItem*> tree;
    collectTree(m.root(), "", tree);
    std::map<std::string, u64> host = listHostTree(mediaPath(v.src));
    host[v.label] = 0;
    std::map<std::string, u64> ours;
    for (auto& [path, item] : tree) ours[path] = item->getSize();
    EXPECT_EQ(ours, host);
}

TEST_P(FATMediaTest, EveryFileReadsBackExactly) {
    const MediaVolume& v = GetParam();
    MountedFat m = mountImage(mediaPath(v.image), v.offset);
    ASSERT_TRUE(m.mounted);
    std::map<std::string, VolumeItem*> tree;
    collectTree(m.root(), "", tree);
    int files = 0;
    for (auto& [path, item] : tree) {
        if (item->isContainer() || path == v.label) continue;
        std::vector<u8> expected = readHostFile(mediaPath(v.src) + "/" + path);
        std::vector<u8> got;
        ASSERT_TRUE(readItem(item, got, 2048)) << path;
        ASSERT_TRUE(got == expected) << path;
        ++files;
    }
    EXPECT_GT(files, 5);
}

// Random offsets and lengths with a fixed seed, and reads around every
// cluster edge of the first clusters of each file.
TEST_P(FATMediaTest, AnyOffsetAndLengthReadsExactly) {
    const MediaVolume& v = GetParam();
    MountedFat m = mountImage(mediaPath(v.image), v.offset);
    ASSERT_TRUE(m.mounted);
    std::map<std::string, VolumeItem*> tree;
    collectTree(m.root(), "", tree);
    std::mt19937_64 rng(20240611);
    const u64 cs = m.volume->getAllocBlockSize();
    std::vector<u8> buf;
    for (auto& [path, item] : tree) {
        if (item->isContainer() || item->getSize() == 0) continue;
        std::vector<u8> expected = readHostFile(mediaPath(v.src) + "/" + path);
        const u64 size = expected.size();
        auto check = [&](u64 ofs, u64 len) {
            if (ofs >= size) return;
            len = std::min(len, size - ofs);
            buf.assign(len, 0xCC);
            ASSERT_EQ(item->read(ofs, buf.data(), static_cast<u32>(len)), len) << path << " @" << ofs << "+" << len;
            ASSERT_EQ(memcmp(buf.data(), expected.data() + ofs, len), 0) << path << " @" << ofs << "+" << len;
        };
        for (int i = 0; i < 40; ++i) {
            u64 ofs = rng() % size;
            u64 len = 1 + rng() % std::min<u64>(size, 3 * cs + 17);
            check(ofs, len);
        }
        for (u64 edge = cs; edge < std::min<u64>(size, 8 * cs); edge += cs) {
            for (u64 len : {u64(1), u64(2), cs - 1, cs, cs + 1, 2 * cs + 3}) {
                check(edge - 1, len);
                check(edge, len);
            }
        }
        check(size - 1, 1);
        check(0, size);
    }
}

// The Sleuth Kit lists the same paths (it adds its virtual files and the
// label entry, which are left out here).
TEST_P(FATMediaTest, ListingAgreesWithFls) {
    const MediaVolume& v = GetParam();
    if (system("command -v fls >/dev/null 2>&1") != 0) GTEST_SKIP() << "fls not installed";
    MountedFat m = mountImage(mediaPath(v.image), v.offset);
    ASSERT_TRUE(m.mounted);
    std::string cmd = "fls -r -p -u -o " + std::to_string(v.offset / 512) + " '" + mediaPath(v.image) + "'";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::set<std::string> fls;
    char line[4096];
    while (fgets(line, sizeof line, p)) {
        std::string s(line);
        if (!s.empty() && s.back() == '\n') s.pop_back();
        size_t tab = s.find('\t');
        if (tab == std::string::npos) continue;
        std::string name = s.substr(tab + 1);
        if (name.rfind("$", 0) == 0 || name.find("(Volume Label Entry)") != std::string::npos) continue;
        fls.insert(s.rfind("d/d", 0) == 0 ? name + "/" : name);
    }
    pclose(p);
    std::map<std::string, VolumeItem*> tree;
    collectTree(m.root(), "", tree);
    std::set<std::string> ours;
    for (auto& [path, item] : tree) {
        if (path != v.label) ours.insert(path);
    }
    EXPECT_EQ(ours, fls);
}

INSTANTIATE_TEST_SUITE_P(Volumes, FATMediaTest, ::testing::ValuesIn(kVolumes), paramName);

TEST(FATMedia, CameraCardFragmentedFilesAndDates) {
    if (!haveMedia("fatv32_cam.img")) GTEST_SKIP();
    MountedFat m = mountImage(mediaPath("fatv32_cam.img"));
    ASSERT_TRUE(m.mounted);
    std::map<std::string, VolumeItem*> tree;
    collectTree(m.root(), "", tree);
    for (const char* name : {"DCIM/100CANON/FRAG_A.JPG", "DCIM/100CANON/FRAG_B.JPG", "MISC/BIGVIDEO.MOV"}) {
        ASSERT_TRUE(tree.count(name)) << name;
        auto* item = dynamic_cast<FATVolumeItem*>(tree[name]);
        // Fragmented: the chain leaves the run of clusters at least once.
        FAT* fat = m.volume->getFat();
        u64 c = item->getDataCluster(), jumps = 0;
        for (u64 n = fat->getEntry(c); fat->isLink(n); c = n, n = fat->getEntry(c)) jumps += (n != c + 1);
        if (std::string(name).find("FRAG") != std::string::npos) {
            EXPECT_GE(jumps, 1u) << name;
        }
        std::vector<u8> got;
        ASSERT_TRUE(readItem(item, got, 2048));
        EXPECT_TRUE(got == readHostFile(mediaPath("fatv32_cam.src") + "/" + name)) << name;
    }
    EXPECT_EQ(tree["MISC/BIGVIDEO.MOV"]->getSize(), 12u * 1024 * 1024);

    // Dates were fixed at 2010-01-01 12:04:05 UTC; FAT keeps even seconds.
    const char* oldTz = getenv("TZ");
    std::string saved = oldTz ? oldTz : "";
    setenv("TZ", "UTC", 1);
    tzset();
    MountedFat again = mountImage(mediaPath("fatv32_cam.img"));
    std::map<std::string, VolumeItem*> tree2;
    collectTree(again.root(), "", tree2);
    EXPECT_EQ(tree2["DCIM/100CANON/IMG_0001.JPG"]->getDate(), 1262347444u);
    if (oldTz) setenv("TZ", saved.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

TEST(FATMedia, UsedClustersAreThoseOfTheFiles) {
    if (!haveMedia("fatv12_floppy.img")) GTEST_SKIP();
    MountedFat m = mountImage(mediaPath("fatv12_floppy.img"));
    ASSERT_TRUE(m.mounted);
    std::map<std::string, VolumeItem*> tree;
    collectTree(m.root(), "", tree);
    // Clusters of files and folders (each file's chain), counted once.
    std::set<u64> owned;
    for (auto& [path, item] : tree) {
        auto* f = dynamic_cast<FATVolumeItem*>(item);
        FAT* fat = m.volume->getFat();
        for (u64 c = f->getDataCluster(); m.volume->isValidCluster(c) && owned.insert(c).second;) {
            u64 n = fat->getEntry(c);
            if (!fat->isLink(n)) break;
            c = n;
        }
    }
    u64 used = 0;
    for (u64 b = 0; b < m.volume->getClusterCount(); ++b) used += m.volume->isAllocationBlockUsed(b);
    EXPECT_EQ(used, owned.size());
    for (u64 c : owned) EXPECT_TRUE(m.volume->isAllocationBlockUsed(c - 2)) << c;
}

// The MBR image's partitions, found by the partition-table parser, browse
// like the volumes at those offsets.
TEST(FATMedia, PartitionsOfAnMbrDiskBrowse) {
    if (!haveMedia("fatv_mbr.img")) GTEST_SKIP();
    ImageDisk disk(mediaPath("fatv_mbr.img"));
    ASSERT_TRUE(disk.open(false));
    if (!disk.scanForPartitions()) GTEST_SKIP() << "no partition-table parser in this build";
    ASSERT_EQ(disk.getPartitionCount(), 2u);
    const char* labels[] = {"PART_ONE", "PART_TWO"};
    const char* srcs[] = {"fatv_mbr_p1.src", "fatv_mbr_p2.src"};
    for (u32 i = 0; i < 2; ++i) {
        Disk* part = disk.getPartition(i);
        ASSERT_TRUE(part->open(false));
        FATVolume volume(part);
        ASSERT_TRUE(volume.mount(true));
        EXPECT_EQ(volume.getName(), labels[i]);
        std::map<std::string, VolumeItem*> tree;
        collectTree(volume.getRootItem(), "", tree);
        std::vector<u8> got;
        ASSERT_TRUE(tree.count("Sub/Deeper/deepest.txt"));
        ASSERT_TRUE(readItem(tree["Sub/Deeper/deepest.txt"], got));
        EXPECT_TRUE(got == readHostFile(mediaPath(srcs[i]) + "/Sub/Deeper/deepest.txt"));
        EXPECT_EQ(tree.size(), listHostTree(mediaPath(srcs[i])).size() + 1);
        part->close();
    }
}

TEST(FATMedia, FolderWithThousandsOfEntries) {
    if (!haveMedia("fatv16_2k.img")) GTEST_SKIP();
    MountedFat m = mountImage(mediaPath("fatv16_2k.img"));
    ASSERT_TRUE(m.mounted);
    VolumeItem* many = m.root()->findChild("MANY", false);
    m.root()->loadChildren();
    many = m.root()->findChild("MANY", false);
    ASSERT_NE(many, nullptr);
    many->loadChildren();
    EXPECT_EQ(many->getChildCount(true), 2999u);
    EXPECT_EQ(many->findChild("n0100 entry.txt", false), nullptr);  // deleted
    VolumeItem* last = many->findChild("n2999 entry.txt", false);
    ASSERT_NE(last, nullptr);
    char buf[16] = {0};
    ASSERT_EQ(last->read(0, buf, 11), 11u);
    EXPECT_STREQ(buf, "entry 2999\n");
}

}  // namespace
}  // namespace vorn::test
