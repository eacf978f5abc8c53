// The shared tool-made FAT volumes (tests/fixtures/make_fat.sh): geometry,
// listings and contents agree with their manifests and with The Sleuth Kit's
// fls, and every file reads back byte-identical at any offset and length.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <set>

#include "fs/fat/FAT.h"
#include "fs/fat/FatManifest.h"
#include "fs/fat/FatTestSupport.h"
#include "storage/Disk.h"

namespace vorn::test {
namespace {

// Volume names: the manifest (and fls output) is NAME.manifest (NAME.fls.txt).
const char* const kVolumes[] = {"fat12_floppy.img", "fat12_s2048.img", "fat16_s512.img",  "fat16_s4096.img",
                                "fat16_c16k.img",   "fat32_s512.img",  "fat32_s2048.img", "fat32_s4096.img",
                                "camera_card.img",  "mbr_fat.img.p1",  "mbr_fat.img.p2"};

// Volumes are written in UTC; dates are read as local time.
class UtcZone {
public:
    UtcZone() {
        if (const char* tz = getenv("TZ")) m_saved = tz, m_had = true;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    ~UtcZone() {
        if (m_had) setenv("TZ", m_saved.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

private:
    std::string m_saved;
    bool m_had = false;
};

struct Loaded {
    FatManifest manifest;
    MountedFat m;
    std::map<std::string, VolumeItem*> tree;  // "/Docs/", "/Docs/x.txt"
};

// Mounts the volume of a manifest and loads its whole tree.
void load(const std::string& name, Loaded& out) {
    out.manifest = loadFatManifest(mediaPath(name + ".manifest"));
    ASSERT_TRUE(out.manifest.ok) << name;
    out.m = mountImage(mediaPath(out.manifest.str("image")), out.manifest.num("volume_offset"));
    ASSERT_TRUE(out.m.mounted) << name;
    collectTree(out.m.root(), "/", out.tree);
}

class FATMediaTest : public ::testing::TestWithParam<const char*> {};

std::string paramName(const ::testing::TestParamInfo<const char*>& info) {
    std::string s = info.param;
    for (char& c : s)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return s;
}

TEST_P(FATMediaTest, GeometryAgreesWithTheBootSectorAndFsstat) {
    Loaded v;
    ASSERT_NO_FATAL_FAILURE(load(GetParam(), v));
    const FatManifest& mf = v.manifest;
    FATVolume* vol = v.m.volume.get();
    EXPECT_EQ(vol->getName(), mf.str("label_bpb"));
    EXPECT_EQ(vol->getAllocBlockSize(), mf.num("cluster_size"));
    EXPECT_EQ(vol->getDataOffset(), mf.num("data_offset"));
    EXPECT_EQ(vol->getRootDirOfs(), mf.num("root_dir_offset"));
    EXPECT_EQ(vol->getRootDirSize(), mf.num("root_dir_size"));
    EXPECT_EQ(vol->getRootDirCluster(), mf.num("root_cluster"));
    EXPECT_EQ(vol->getClusterCount(), mf.num("cluster_count"));
    EXPECT_STREQ(FAT::typeName(vol->getFatType()), mf.str("tsk_fs_type").c_str());
    EXPECT_EQ(vol->getFat()->getFatCount(), static_cast<int>(mf.num("fat_count")));
}

// Live entries plus the label (an empty file named by it); no deleted entry.
TEST_P(FATMediaTest, ListingIsTheLiveEntriesAndTheLabel) {
    Loaded v;
    ASSERT_NO_FATAL_FAILURE(load(GetParam(), v));
    std::map<std::string, u64> expected, ours;
    for (const FatRecord& r : v.manifest.records)
        if (r.live) expected[r.path + (r.folder ? "/" : "")] = r.size;
    expected["/" + v.manifest.str("label_bpb")] = 0;
    for (auto& [path, item] : v.tree) ours[path] = item->getSize();
    EXPECT_EQ(ours, expected);
}

TEST_P(FATMediaTest, EveryFileReadsBackWithItsHashAndDate) {
    UtcZone utc;
    Loaded v;
    ASSERT_NO_FATAL_FAILURE(load(GetParam(), v));
    int files = 0;
    for (const FatRecord& r : v.manifest.records) {
        if (!r.live) continue;
        auto it = v.tree.find(r.path + (r.folder ? "/" : ""));
        ASSERT_NE(it, v.tree.end()) << r.path;
        EXPECT_EQ(it->second->getDate(), utcSeconds(r.mtime)) << r.path;
        if (r.folder) continue;
        std::vector<u8> got;
        ASSERT_TRUE(readItem(it->second, got, 2048)) << r.path;
        EXPECT_EQ(sha256Hex(got), r.sha256) << r.path;
        ++files;
    }
    EXPECT_GE(files, 5);
}

// Random offsets and lengths with a fixed seed, and reads around the first
// cluster edges of every file, against the whole file read in one go.
TEST_P(FATMediaTest, AnyOffsetAndLengthReadsExactly) {
    Loaded v;
    ASSERT_NO_FATAL_FAILURE(load(GetParam(), v));
    std::mt19937_64 rng(20240611);
    const u64 cs = v.m.volume->getAllocBlockSize();
    std::vector<u8> whole, buf;
    for (const FatRecord& r : v.manifest.records) {
        if (!r.live || r.folder || r.size == 0) continue;
        VolumeItem* item = v.tree[r.path];
        ASSERT_NE(item, nullptr);
        whole.resize(r.size);
        ASSERT_EQ(item->read(0, whole.data(), static_cast<u32>(r.size)), r.size) << r.path;
        ASSERT_EQ(sha256Hex(whole), r.sha256) << r.path;
        auto check = [&](u64 ofs, u64 len) {
            if (ofs >= r.size) return;
            len = std::min(len, r.size - ofs);
            buf.assign(len, 0xCC);
            ASSERT_EQ(item->read(ofs, buf.data(), static_cast<u32>(len)), len) << r.path << " @" << ofs << "+" << len;
            ASSERT_EQ(memcmp(buf.data(), whole.data() + ofs, len), 0) << r.path << " @" << ofs << "+" << len;
        };
        for (int i = 0; i < 20; ++i) check(rng() % r.size, 1 + rng() % std::min<u64>(r.size, 3 * cs + 17));
        for (u64 edge = cs; edge < std::min<u64>(r.size, 6 * cs); edge += cs) {
            for (u64 len : {u64(1), u64(2), cs - 1, cs, cs + 1, 2 * cs + 3}) {
                check(edge - 1, len);
                check(edge, len);
            }
        }
        check(r.size - 1, 1);
    }
}

// The Sleuth Kit's listing, made when the volume was made: the same live
// paths (fls shows its virtual files, the label entry and deleted entries
// too; those are left out, as is the 255-character name that fls cuts).
TEST_P(FATMediaTest, ListingAgreesWithFls) {
    Loaded v;
    ASSERT_NO_FATAL_FAILURE(load(GetParam(), v));
    std::ifstream in(mediaPath(std::string(GetParam()) + ".fls.txt"));
    ASSERT_TRUE(in.good());
    std::set<std::string> fls, ours;
    std::string line;
    while (std::getline(in, line)) {
        size_t tab = line.find('\t');
        if (tab == std::string::npos || line.find(" * ") != std::string::npos) continue;
        std::string name = line.substr(tab + 1);
        if (name.rfind("$", 0) == 0 || name.find("(Volume Label Entry)") != std::string::npos) continue;
        if (name.find("Longest abcdefghij") != std::string::npos) continue;
        fls.insert("/" + name + (line.rfind("d/d", 0) == 0 ? "/" : ""));
    }
    for (auto& [path, item] : v.tree) {
        if (path == "/" + v.manifest.str("label_bpb") || path.find("Longest abcdefghij") != std::string::npos) continue;
        ours.insert(path);
    }
    EXPECT_EQ(ours, fls);
}

INSTANTIATE_TEST_SUITE_P(SharedVolumes, FATMediaTest, ::testing::ValuesIn(kVolumes), paramName);

TEST(FATMedia, FragmentedAndLargeFilesFollowTheirChains) {
    if (!haveMedia("fat32_s512.img.manifest")) GTEST_SKIP();
    Loaded v;
    ASSERT_NO_FATAL_FAILURE(load("fat32_s512.img", v));
    FAT* fat = v.m.volume->getFat();
    int fragmented = 0;
    for (const FatRecord& r : v.manifest.records) {
        if (!r.live || r.flags.find("fragmented") == std::string::npos) continue;
        auto* item = dynamic_cast<FATVolumeItem*>(v.tree[r.path]);
        ASSERT_NE(item, nullptr);
        u64 c = item->getDataCluster(), jumps = 0;
        for (u64 n = fat->getEntry(c); fat->isLink(n); c = n, n = fat->getEntry(c)) jumps += (n != c + 1);
        EXPECT_GE(jumps, 1u) << r.path;
        ++fragmented;
    }
    EXPECT_GE(fragmented, 1);
    ASSERT_TRUE(v.tree.count("/Video/Big file.bin"));
    EXPECT_EQ(v.tree["/Video/Big file.bin"]->getSize(), 12u * 1024 * 1024);
}

TEST(FATMedia, LowerCaseFlagsAndLongNamesShowTheUsersNames) {
    if (!haveMedia("fat12_floppy.img.manifest")) GTEST_SKIP();
    Loaded v;
    ASSERT_NO_FATAL_FAILURE(load("fat12_floppy.img", v));
    EXPECT_TRUE(v.tree.count("/lower.txt"));
    EXPECT_TRUE(v.tree.count("/README.TXT"));
    EXPECT_TRUE(v.tree.count("/R\xC3\xA9sum\xC3\xA9 \xC3\xA9t\xC3\xA9.txt"));
    for (auto& [path, item] : v.tree) {
        if (path.find("Longest abcdefghij") != std::string::npos) {
            EXPECT_EQ(item->getName().size(), 255u);
        }
    }
}

TEST(FATMedia, UsedClustersAreThoseOfTheLiveEntries) {
    if (!haveMedia("fat12_floppy.img.manifest")) GTEST_SKIP();
    Loaded v;
    ASSERT_NO_FATAL_FAILURE(load("fat12_floppy.img", v));
    FAT* fat = v.m.volume->getFat();
    std::set<u64> owned;
    for (auto& [path, item] : v.tree) {
        auto* f = dynamic_cast<FATVolumeItem*>(item);
        for (u64 c = f->getDataCluster(); v.m.volume->isValidCluster(c) && owned.insert(c).second;) {
            u64 n = fat->getEntry(c);
            if (!fat->isLink(n)) break;
            c = n;
        }
    }
    u64 used = 0;
    for (u64 b = 0; b < v.m.volume->getClusterCount(); ++b) used += v.m.volume->isAllocationBlockUsed(b);
    EXPECT_EQ(used, owned.size());
    for (u64 c : owned) EXPECT_TRUE(v.m.volume->isAllocationBlockUsed(c - 2)) << c;
}

TEST(FATMedia, FolderWithThousandsOfEntries) {
    if (!haveMedia("fat16_s512.img.manifest")) GTEST_SKIP();
    Loaded v;
    ASSERT_NO_FATAL_FAILURE(load("fat16_s512.img", v));
    VolumeItem* many = v.tree["/Many/"];
    ASSERT_NE(many, nullptr);
    EXPECT_EQ(many->getChildCount(true), 3000u);
    EXPECT_TRUE(v.tree.count("/Many/N3000 entry.txt"));
}

// The MBR disk's partitions, found by the partition-table parser, browse
// like the volumes at their offsets; the third (empty) one does not mount.
TEST(FATMedia, PartitionsOfAnMbrDiskBrowse) {
    if (!haveMedia("mbr_fat.img")) GTEST_SKIP();
    ImageDisk disk(mediaPath("mbr_fat.img"));
    ASSERT_TRUE(disk.open(false));
    ASSERT_TRUE(disk.scanForPartitions());
    ASSERT_EQ(disk.getPartitionCount(), 3u);
    for (u32 i = 0; i < 3; ++i) {
        Disk* part = disk.getPartition(i);
        ASSERT_TRUE(part->open(false));
        FATVolume volume(part);
        if (i == 2) {
            EXPECT_FALSE(volume.mount(true));
            part->close();
            continue;
        }
        ASSERT_TRUE(volume.mount(true));
        FatManifest mf = loadFatManifest(mediaPath("mbr_fat.img.p" + std::to_string(i + 1) + ".manifest"));
        EXPECT_EQ(volume.getName(), mf.str("label_bpb"));
        std::map<std::string, VolumeItem*> tree;
        collectTree(volume.getRootItem(), "/", tree);
        for (const FatRecord& r : mf.records) {
            if (!r.live || r.folder) continue;
            ASSERT_TRUE(tree.count(r.path)) << r.path;
            std::vector<u8> got;
            ASSERT_TRUE(readItem(tree[r.path], got));
            EXPECT_EQ(sha256Hex(got), r.sha256) << r.path;
        }
        part->close();
    }
}

}  // namespace
}  // namespace vorn::test
