// Hand-made FAT volumes for damage no tool makes: boot sectors, tables, chains, directories, names, the probe.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <sstream>

#include "fs/fat/FATAnalyser.h"
#include "fs/fat/FATDirParser.h"
#include "fs/fat/FatTestSupport.h"
#include "LogCapture.h"

namespace vorn::test {
namespace {

TEST(FATVolumeMount, TypeFollowsTheClusterCountAndUnusableLayoutsAreRefused) {
    for (auto [n, type] :
         {std::pair{4084, FAT_TYPE_12}, {4085, FAT_TYPE_16}, {65524, FAT_TYPE_16}, {65525, FAT_TYPE_32}}) {
        FatImage b;
        b.fatSectors = 256, b.total = 514 + n;  // n clusters
        EXPECT_EQ(MountedFat(b.build().bytes).volume->getFatType(), type) << n;
    }
    const struct { const char* what; std::function<void(FatImage&)> make; bool mounts; } cases[] = {
        {"media FF", [](FatImage& b) { b.build().bytes[21] = 0xFF; }, true},
        {"media F7", [](FatImage& b) { b.build().bytes[21] = 0xF7; }, false},
        {"no signature", [](FatImage& b) { b.build().bytes[511] = 0; }, false},
        {"shorter than a sector", [](FatImage& b) { b.bytes.assign(100, 0); }, false},
        {"ends at its data area: no count underflow", [](FatImage& b) { b.total = 66, b.build(); }, false},
        {"holds one cluster", [](FatImage& b) { b.total = 67, b.build(); }, true},
        {"no reserved sector: cluster 2 in the boot sector", [](FatImage& b) { b.reserved = 0, b.build(); }, false},
        {"2 x 128 reserved bytes", [](FatImage& b) { b.sector = 128, b.reserved = 2, b.build(); }, false}};
    for (const auto& c : cases) {
        FatImage b;
        c.make(b);
        LogCapture logs;
        EXPECT_EQ(MountedFat(b.bytes).mounted, c.mounts) << c.what;
        EXPECT_TRUE(c.mounts || logs.has(b.bytes.size() < 512 ? "error reading bootsector\n" : "not an FAT volume!\n"));
    }
}

// FAT12 (entries 341, 682, ... straddle table blocks): a file of clusters 10, 11, 20, 5; 3000 clusters from 100
// starting with their number; links 3 -> 1 (reserved), 4 -> 4000 (past the end), 6 -> bad, 9 -> end, 7 -> 8 -> 7.
TEST(FATRead, ChainsReadExactlyInAnyOrderAndFailWhereTheyLeaveTheVolume) {
    FatImage b;
    b.bits = 12, b.total = 4000, b.made = 0;
    const std::vector<u64> file = {10, 11, 20, 5};
    std::vector<u8> content(2048), buf(2048);
    b.build().chain(file);
    for (size_t i = 0; i < content.size(); ++i) content[i] = b.cluster(file[i / 512])[i % 512] = u8(i * 7 + i / 512);
    std::vector<u64> longChain(3000);
    std::iota(longChain.begin(), longChain.end(), 100);
    b.chain(longChain);
    for (u64 c : longChain) b.cluster(c)[0] = u8(c);
    b.setFat(3, 1), b.setFat(4, 4000), b.setFat(6, 0xFF7), b.setFat(7, 8), b.setFat(8, 7), b.setFat(9, 0xFF8);
    b.bytes[b.fatOfs(1) + 18] = 0x34;  // cluster 12 in the second table only
    MountedFat m(b.bytes);
    ASSERT_EQ(m.volume->getFatType(), FAT_TYPE_12);
    std::map<u64, FATVolumeItem> items;  // one per first cluster, for the whole test
    auto read = [&](u64 cluster, u64 ofs, u32 len) {
        items[cluster].setDataCluster(cluster), items[cluster].setVolume(m.volume.get());
        return items[cluster].read(ofs, buf.data(), len);
    };
    // Backwards, over cluster edges, between reads of the tail: the kept position never changes an answer.
    for (int ofs = 2047; ofs >= 0; ofs -= 37) {
        for (u32 len : {1u, 2u, 511u, 512u, 513u, 1100u, 2048u}) {
            len = std::min<u32>(len, 2048 - ofs);
            ASSERT_EQ(read(10, ofs, len), len) << ofs << "+" << len;
            ASSERT_EQ(memcmp(buf.data(), &content[ofs], len), 0) << ofs << "+" << len;
        }
        ASSERT_EQ(read(20, 0, 10), 10u);
        ASSERT_EQ(memcmp(buf.data(), &content[1024], 10), 0);
    }
    // Sequential reads cost device reads in proportion to the clusters, not their square.
    const size_t before = m.disk->requestCount();
    for (u64 k = 0; k < 3000; ++k) {
        ASSERT_EQ(read(100, k * 512, 512), 512u) << k;
        ASSERT_EQ(buf[0], u8(k + 100)) << k;
    }
    EXPECT_LT(m.disk->requestCount() - before, 3200u);

    LogCapture logs;
    EXPECT_EQ(read(10, 2047, 1), 1u);  // the last cluster's slack is part of the chain
    EXPECT_EQ(read(10, 2000, 100) + read(10, 4096, 1), 0u);
    EXPECT_TRUE(logs.has("readFileAt error: cannot get data offset: 4096\n"));
    EXPECT_TRUE(m.volume->readFileAt(10, buf.data(), 99999, 0));
    const u64 last = m.volume->getClusterCount() + 1;
    for (u64 first : {u64(0), u64(1), last + 1, u64(1) << 40}) EXPECT_EQ(read(first, 0, 16), 0u) << first;
    EXPECT_EQ(read(last, 0, 16), 16u);
    for (u64 first : {3, 4, 6}) EXPECT_EQ(read(first, 0, 16) + read(first, 0, 1024), 16u) << first;
    EXPECT_EQ(read(7, 512 * 101, 16), 16u);   // a loop is followed as far as asked,
    EXPECT_EQ(read(7, ~0ULL - 100, 16), 0u);  // never further than the volume holds
    EXPECT_FALSE(FATVolume(m.disk.get()).readFileAt(2, buf.data(), 0, 1));

    // Links and ends are in use, free and bad clusters and entries past the table not; the second copy is read
    // when chosen, and "no table" links every cluster to the next.
    for (u64 block : {8, 3, 7}) EXPECT_TRUE(m.volume->isAllocationBlockUsed(block)) << block;
    for (u64 block : {4, 11, 10923 - 2}) EXPECT_FALSE(m.volume->isAllocationBlockUsed(block)) << block;
    for (auto [copy, cluster, entry] : {std::tuple{2, 12, 0x34}, {0, 77, 78}, {1, 12, 0}})
        EXPECT_EQ((m.volume->getFat()->setUseFat(copy), m.volume->getFat()->getEntry(cluster)), u64(entry)) << copy;
    EXPECT_FALSE(FATVolume(m.disk.get()).isAllocationBlockUsed(0));
}

// Sizes from the entries, held to the cluster chain (live files, its end or its first repeat) and the data
// area (every entry); the image is 1 MiB of a 10 MB volume, so the engine takes no more than that.
TEST(FATSize, EntriesHoldNoMoreThanTheirChainAndTheVolume) {
    FatImage b;
    b.build();
    b.chain({20, 21, 22}), b.chain({30, 31}), b.chain({40, 41, 42, 43}), b.chain({50, 51, 52}), b.setFat(52, 51);
    const u64 area = 19934 * 512, medium = 2048 * 512;
    const struct { const char* name; u8 attr; u32 cluster, size; u64 want; bool logged; } cases[] = {
        {"WHOLE   BIN", 0x20, 20, 1300, 1300, false},
        {"SHORT   BIN", 0x20, 30, 5000, 1024, true},      // the chain ends early
        {"HUGE    BIN", 0x20, 40, ~0u, 2048, true},
        {"LOOP    BIN", 0x20, 50, ~0u, 1536, true},       // 50, 51, 52, then 51 again
        {"NOWHERE BIN", 0x20, 0, 100, 0, true},           // no cluster, no data
        {"FAR     BIN", 0x20, 30000, 100, 0, true},       // past the last cluster
        {"\xE5" "ELETED BIN", 0x20, 60, ~0u, area, true},  // deleted: its chain is gone, the data area holds
        {"DIR        ", 0x10, 70, ~0u, area, true},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        FatImage::entry(b.root(u32(i)), cases[i].name, cases[i].attr, cases[i].cluster, cases[i].size);
    MountedFat m(b.bytes);
    ASSERT_EQ(m.volume->getClusterCount() * 512, area);
    LogCapture logs(LOG_WARNING);
    FATDirParser parser(m.volume.get(), 0, m.volume->getRootDirOfs(), true);
    std::map<u32, std::unique_ptr<FATVolumeItem>> items = parser.takeRecords();
    ASSERT_EQ(items.size(), std::size(cases));
    for (auto& [index, item] : items) {
        const auto& c = cases[index];
        SCOPED_TRACE(c.name);
        item->setVolume(m.volume.get());
        EXPECT_EQ(item->getSize(), c.want);
        EXPECT_EQ(item->getSize(), c.want);  // asked again: no second line
        EXPECT_EQ(item->boundedSize(), std::min(c.want, medium));
        EXPECT_EQ(logs.countPrefix("FATVolumeItem - " + item->getName() + ":"), int(c.logged));
    }
    EXPECT_TRUE(logs.has("FATVolumeItem - SHORT.BIN: size 5000, but its cluster chain ends after 1024 bytes; "
                         "the file ends there\n"));
}

// A random table of 6000 clusters, mostly links to anywhere (merging chains, loops of every length), some ends, free,
// bad and reserved entries and links past the volume; the second copy differs. Lengths asked in any order, of either
// copy, are those of a walk from each start up to its end or first repeat, as are the last cluster and whether an end
// mark follows it; asking all of them reads each entry about once (a walk per question read some 100,000 table
// blocks).
TEST(FATChainLength, AnyOrderOfQuestionsGivesEachWalksLengthAndReadsEachEntryOnce) {
    FatImage b;
    b.total = 66 + 6000, b.made = 0;
    b.build();
    const u64 last = 6001;
    std::mt19937 rng(5);
    std::vector<std::vector<u32>> tables(2, std::vector<u32>(last + 1, 0));
    for (u32 copy = 0; copy < 2; ++copy)
        for (u64 c = 2; c <= last; ++c) {
            const u32 r = rng() % 100;
            u32& v = tables[copy][c];
            v = r < 78 ? 2 + rng() % 6000 : r < 93 ? u32(c + 1) : r < 95 ? 0xFFFF : r < 97 ? 0 : r < 98 ? 0xFFF7
                : r < 99 ? u32(last + 1 + rng() % 50) : 1;
            FatImage::put(b.bytes.data() + b.fatOfs(copy) + 2 * c, 2, v);
        }
    MountedFat m(b.bytes);
    ASSERT_EQ(m.volume->getClusterCount(), 6000u);
    FAT* fat = m.volume->getFat();
    // Clusters up to max, and how the whole chain ends: an end mark after its last cluster, a loop (last 0) or
    // anything else.
    struct Walk { u64 count = 0, last = 0; bool marked = false; };
    auto walk = [&](const std::vector<u32>& table, u64 c, u64 max) {
        std::set<u64> seen;
        Walk w;
        while (c >= 2 && c <= last && seen.insert(c).second) w.last = c, c = table[c];
        w.marked = c == 0xFFFF;
        if (c >= 2 && c <= last) w.last = 0;
        w.count = std::min<u64>(seen.size(), max);
        return w;
    };
    std::vector<u64> starts(last + 60);
    std::iota(starts.begin(), starts.end(), 0);
    for (u32 copy : {1u, 2u}) {
        SCOPED_TRACE(copy);
        fat->setUseFat(int(copy));
        std::shuffle(starts.begin(), starts.end(), rng);
        const size_t before = m.disk->requestCount();
        for (u64 c : starts) {
            const u64 max = c % 3 == 0 ? 1 + rng() % 40 : ~0ULL;
            const Walk w = walk(tables[copy - 1], c, max);
            u64 length = 0, end = 0;
            if (c % 2) {
                ASSERT_EQ(fat->chainEnd(c, &length, &end), w.marked) << c;
                ASSERT_EQ(length, walk(tables[copy - 1], c, ~0ULL).count) << c;
                ASSERT_EQ(end, w.last) << c;
            }
            ASSERT_EQ(fat->chainLength(c, max), w.count) << c << " up to " << max;
        }
        EXPECT_LT(m.disk->requestCount() - before, last + 100);
    }
}

// The tree below folder as text, folders with their entries in brackets: "A/(B/(KEEP.TXT)) FILE.TXT".
std::string render(VolumeItem* folder, int depth = 0) {
    std::string s;
    folder->loadChildren();
    for (VolumeItem* c : folder->children()) {
        std::string inside = c->isContainer() && depth < 16 ? render(c, depth + 1) : "";
        s += (s.empty() ? "" : " ") + c->getName();
        s += !c->isContainer() ? "" : inside.empty() ? "/" : "/(" + inside + ")";
    }
    return s;
}

// A short entry per token: "NAME.EXT@cluster" a file, "NAME/@cluster" a folder; cluster 30 when left out.
void dir(u8* at, const std::string& tokens) {
    std::istringstream in(tokens);
    for (std::string t; in >> t; at += 32) {
        const size_t mark = std::min(t.find('@'), t.size());
        const bool folder = t[mark - 1] == '/';
        const std::string n = t.substr(0, mark - folder);
        const size_t dot = n[0] == '.' ? n.size() : std::min(n.find('.'), n.size());
        const std::string name = (n.substr(0, dot) + "        ").substr(0, 8) + n.substr(std::min(dot + 1, n.size()));
        const u32 cluster = mark < t.size() ? std::stoul(t.substr(mark + 1)) : 30;
        FatImage::entry(at, (name + "   ").c_str(), folder ? 0x10 : 0x20, cluster, !folder);
    }
}
std::string files16(char p) {  // 16 files fill a 512-byte cluster
    std::string s;
    for (int i = 0; i < 16; ++i) s += (i ? " " : "") + std::string(1, p) + char('A' + i) + ".BIN";
    return s;
}

// Each case on FAT16, FAT32 or (bits 0) both: the tree shown, and a log line.
TEST(FATDirParser, NamesAndDamageGiveTheExpectedPartialTree) {
    const struct { const char* what; int bits; std::function<void(FatImage&)> fill; std::string tree, line; }
        cases[] = {
        {"8.3 names, label, dots, 0x05 lead byte, case flags, deleted entry", 0, [](FatImage& b) {
             FatImage::entry(b.root(0), "HANDMADE   ", 0x08, 0, 0), b.chain({20});
             dir(b.root(1), "README.TXT \x05" "BC.TXT LOWER.TXT MIXED.TXT \xE5ONE.TXT SUB/@20");
             b.root(3)[12] = 0x18, b.root(4)[12] = 0x08, dir(b.cluster(20), "./@20 ../@0 INNER.DAT");
         }, "HANDMADE README.TXT \xE5" "BC.TXT lower.txt mixed.TXT SUB/(INNER.DAT)", ""},
        {"long names only with their checksum and up to 255 characters", 0, [](FatImage& b) {
             dir(b.root(0), "LONG/@20"), b.chain({20, 21, 22, 23});
             u8* at = b.cluster(20);
             at += 32 * FatImage::longName(at, u"Grüße.txt", "GRUSSE~1TXT");
             at += 32 * FatImage::longName(at, u"Wrong checksum.txt", "OTHERN~1TXT", 1);
             FatImage::longName(at, std::u16string(40 * 13, u'x'), "SHORT   TXT");
         }, "LONG/(Grüße.txt OTHERN~1.TXT SHORT.TXT)", ""},
        {"a full fixed root ends at its region", 16,
         [](FatImage& b) { dir(b.root(0), files16('F')), dir(b.cluster(2), "NOT.ME"); }, files16('F'), ""},
        {"folders at cluster 0 (not the root), outside the volume or unreadable are empty", 0,
         [](FatImage& b) { dir(b.root(0), "NOWHERE/@0 FAR/@16711680 ONE/@1 GONE/@15000 FILE.TXT"); },
         "NOWHERE/ FAR/ ONE/ GONE/ FILE.TXT", "error reading directory cluster 15000\n"},
        {"folders holding themselves or an ancestor are skipped", 0, [](FatImage& b) {
             dir(b.root(0), "A/@20"), dir(b.cluster(20), "SELF/@20 B/@21"), dir(b.cluster(21), "BACKTOA/@20 KEEP.TXT");
             b.chain({20}), b.chain({21});
         }, "A/(B/(KEEP.TXT))", "FATVolumeItem::addChildren - folder SELF (cluster=20) contains itself, skipped\n"},
        {"a FAT32 folder holding the root is skipped", 32, [](FatImage& b) { dir(b.root(0), "LOOP/@5 FILE.TXT"); },
         "FILE.TXT", "FATVolumeItem::addChildren - folder LOOP (cluster=5) contains itself, skipped\n"},
        {"a cross-linked folder is shown once", 0, [](FatImage& b) {
             dir(b.root(0), "FIRST/@20 SECOND/@20"), dir(b.cluster(20), "X/@21 Y/@21"), b.chain({20}), b.chain({21});
         }, "FIRST/(X/)", "FATVolumeItem::addChildren - folder SECOND (cluster=20) is shown elsewhere, skipped\n"},
        {"a looping directory chain stops", 0, [](FatImage& b) {
             dir(b.root(0), "LOOP/@20"), dir(b.cluster(20), files16('E')), b.setFat(20, 20);
         },
         "LOOP/(" + files16('E') + ")", "FATDirParser - directory at cluster 20 loops back to cluster 20, stopped\n"},
        {"a directory chain running into another folder's stops, as does a folder starting there", 0, [](FatImage& b) {
             dir(b.root(0), "A/@20 B/@21 C/@22"), b.chain({20, 22}), b.chain({21, 22});
             dir(b.cluster(20), files16('A')), dir(b.cluster(21), files16('B')), dir(b.cluster(22), files16('T'));
         }, "A/(" + files16('A') + " " + files16('T') + ") B/(" + files16('B') + ") C/",
         "FATDirParser - directory at cluster 21 runs into another folder at cluster 22, stopped\n"},
        {"a directory stops after 65536 entries", 16, [](FatImage& b) {
             b.perCluster = 64, b.total = 300000, b.made = 66 + 70 * 64;  // 32 KiB clusters, FAT16
             std::vector<u64> chain(66);  // 66 x 1024 entries
             std::iota(chain.begin(), chain.end(), 2);
             b.build().chain(chain), dir(b.root(0), "BIG/@2");
             for (u32 i = 0; i < 66 * 1024; ++i) dir(b.cluster(2) + 32 * i, "\xE5" "ELETED.BIN");
             dir(b.cluster(2) + 32 * 65535, "LASTSEEN.BIN NEVERSEE.BIN");
         }, "BIG/(LASTSEEN.BIN)", "FATDirParser - directory at cluster 2 has more than 65536 entries, stopped\n"}};
    for (const auto& c : cases)
        for (int bits : c.bits ? std::vector{c.bits} : std::vector{16, 32}) {
            SCOPED_TRACE(std::string(c.what) + (bits == 32 ? " (FAT32)" : " (FAT16)"));
            FatImage b;
            if (bits == 32)
                b.bits = 32, b.rootEntries = 0, b.reserved = 32, b.fatSectors = 600, b.total = 71232, b.rootCluster = 5;
            c.fill(b.build());
            MountedFat m(b.bytes);
            ASSERT_EQ(m.volume->getFatType(), bits == 32 ? FAT_TYPE_32 : FAT_TYPE_16);
            LogCapture logs(LOG_WARNING);
            EXPECT_EQ(render(m.volume->getRootItem()), c.tree);
            EXPECT_TRUE(c.line.empty() || logs.has(c.line));
            m.volume->getRootItem()->deleteChildren();  // loaded again after a walk freed them: the same
            m.volume->getRootItem()->setChildrenLoaded(false);
            EXPECT_EQ(render(m.volume->getRootItem()), c.tree);
        }
}

bool probe(const std::vector<u8>& x) { return FATAnalyser::probeDirectoryBlock(x.data(), u32(x.size())); }

TEST(FATAnalyser, DirectoryProbeRefusesEveryFieldOutOfRule) {
    std::vector<u8> d(512, 0);  // two 8.3 names with 4 fill spaces, one with a creation time, and a label
    FatImage::entry(&d[0], "README  TXT", 0x20, 5, 10), FatImage::put(&d[14], 2, 0x6000);
    FatImage::entry(&d[32], "README  BIN", 0x20, 6, 10), FatImage::entry(&d[64], "MYLABELNAME", 0x08, 0, 0);
    EXPECT_TRUE(probe(d));
    const struct { int at, width; u32 value; const char* what; } changes[] = {
        {1, 1, 'e', "lower case"}, {0, 1, ' ', "leading space"}, {3, 1, ' ', "space inside"},
        {11, 1, 0x40, "attributes above 63"}, {26, 2, 0, "no cluster"}, {32 + 26, 2, 5, "same cluster"},
        {32 + 8, 3, 'T' | 'X' << 8 | 'T' << 16, "same name"}, {22, 2, 30, "60 seconds"}, {24, 2, 0x3C00, "day 0"},
        {24, 2, 0, "no date"}, {16, 2, 0x3DA1, "created in month 13"}, {13, 1, 200, "creation time fraction 200"},
        {96 + 5, 1, 1, "bytes after a zero byte 0"}, {160, 1, 'A', "an entry after the end"},
        {32 + 4, 4, 'A' | 'B' << 8 | 'C' << 16 | 'D' << 24, "2 fill spaces"}, {64 + 26, 2, 4, "label with cluster"}};
    for (const auto& c : changes) {
        std::vector<u8> x = d;
        FatImage::put(&x[c.at], c.width, c.value);
        EXPECT_FALSE(probe(x)) << c.what;
    }
    std::vector<u8> x = d;  // a long-name entry without cluster makes up for few fill spaces
    memcpy(&x[32], "ABCDEFGHBIN", 11), x[96] = 0x41, x[96 + 11] = 0x0F;
    EXPECT_TRUE(probe(x));
    x[96 + 26] = 7;
    EXPECT_FALSE(probe(x));
    FatImage::entry(&d[96], "OTHER      ", 0x08, 0, 0);
    EXPECT_FALSE(probe(d));  // a second label
    std::vector<u8> noise(4096);
    std::generate(noise.begin(), noise.end(), std::mt19937(7));
    for (const auto& block : {noise, std::vector<u8>(4096, 0), std::vector<u8>(31, 0)}) EXPECT_FALSE(probe(block));
    EXPECT_FALSE(FATAnalyser::probeDirectoryBlock(nullptr, 0));
}

}  // namespace
}  // namespace vorn::test
