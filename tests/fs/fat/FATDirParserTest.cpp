// Directory parsing on hand-made volumes: names, labels, deleted entries,
// region ends, and every kind of damage that must end a walk.
#include <gtest/gtest.h>

#include "fs/fat/FAT.h"
#include "fs/fat/FATDirParser.h"
#include "misc/Utils.h"
#include "fs/fat/FatTestSupport.h"
#include "storage/LogCapture.h"

namespace vorn::test {
namespace {

FatImageBuilder fat16() {
    FatImageBuilder b;
    b.bits = 16;
    b.totalSectors = 8192;
    b.sectorsPerFat = 32;
    b.build();
    return b;
}

std::vector<std::string> names(VolumeItem* folder) {
    folder->loadChildren();
    std::vector<std::string> out;
    for (VolumeItem* c : folder->children()) out.push_back(c->getName());
    return out;
}

using Names = std::vector<std::string>;

TEST(FATDirParser, ShortNamesLabelAndDots) {
    FatImageBuilder b = fat16();
    FatImageBuilder::shortEntry(b.rootEntry(0), "HANDMADE   ", 0x08, 0, 0);
    FatImageBuilder::shortEntry(b.rootEntry(1), "README  TXT", 0x20, 10, 5);
    FatImageBuilder::shortEntry(b.rootEntry(2), "MAKEFILE   ", 0x20, 11, 5);
    FatImageBuilder::shortEntry(b.rootEntry(3), "\x05" "BC     TXT", 0x20, 12, 5);
    FatImageBuilder::shortEntry(b.rootEntry(4), "SUB        ", 0x10, 20, 0);
    b.setFat(20, 0xFFFF);
    FatImageBuilder::shortEntry(b.dirEntry(20, 0), ".          ", 0x10, 20, 0);
    FatImageBuilder::shortEntry(b.dirEntry(20, 1), "..         ", 0x10, 0, 0);
    FatImageBuilder::shortEntry(b.dirEntry(20, 2), "INNER   DAT", 0x20, 30, 1);
    MountedFat m = mountBytes(b.bytes);
    ASSERT_TRUE(m.mounted);
    EXPECT_EQ(names(m.root()), (Names{"HANDMADE", "README.TXT", "MAKEFILE", "\xE5" "BC.TXT", "SUB"}));
    VolumeItem* label = m.root()->children()[0];
    EXPECT_FALSE(label->isContainer());
    EXPECT_EQ(label->getSize(), 0u);
    VolumeItem* sub = m.root()->children()[4];
    EXPECT_TRUE(sub->isContainer());
    EXPECT_EQ(sub->getId(), "20");
    EXPECT_EQ(names(sub), Names{"INNER.DAT"});
    EXPECT_EQ(sub->children()[0]->getParent(), sub);
    EXPECT_EQ(sub->children()[0]->getVolume(), m.volume.get());
    EXPECT_EQ(sub->children()[0]->getPath(), "HANDMADE/SUB/");
}

TEST(FATDirParser, LongNamesNeedAMatchingChecksum) {
    FatImageBuilder b = fat16();
    const char* shortA = "LONGNA~1TXT";
    const char* shortB = "OTHERN~1TXT";
    u8 sumA = FATDirParser::shortNameChecksum(reinterpret_cast<const u8*>(shortA));
    int n = FatImageBuilder::longEntries(b.rootEntry(0), "A rather long file name.txt", sumA);
    FatImageBuilder::shortEntry(b.rootEntry(n), shortA, 0x20, 10, 1);
    int k = n + 1;
    k += FatImageBuilder::longEntries(b.rootEntry(k), "Wrong checksum.txt", static_cast<u8>(sumA + 1));
    FatImageBuilder::shortEntry(b.rootEntry(k), shortB, 0x20, 11, 1);
    // A long name is not carried over to the entry after the next short one.
    FatImageBuilder::shortEntry(b.rootEntry(k + 1), "PLAIN   TXT", 0x20, 12, 1);
    MountedFat m = mountBytes(b.bytes);
    EXPECT_EQ(names(m.root()), (Names{"A rather long file name.txt", "OTHERN~1.TXT", "PLAIN.TXT"}));
}

TEST(FATDirParser, UnicodeLongNameAndCaseFlags) {
    FatImageBuilder b = fat16();
    const char* s = "GRUSS~1 TXT";
    int n = FatImageBuilder::longEntries(b.rootEntry(0), "Gr??e.txt", FATDirParser::shortNameChecksum(reinterpret_cast<const u8*>(s)));
    // Put the real characters in: u-umlaut is U+00FC, sharp s U+00DF.
    u8* e = b.rootEntry(0);
    FatImageBuilder::put16(e + 1 + 2 * 2, 0x00FC);
    FatImageBuilder::put16(e + 1 + 2 * 3, 0x00DF);
    FatImageBuilder::shortEntry(b.rootEntry(n), s, 0x20, 10, 1);
    FatImageBuilder::shortEntry(b.rootEntry(n + 1), "LOWER   TXT", 0x20, 11, 1);
    b.rootEntry(n + 1)[12] = 0x18;  // name and extension shown in lower case
    FatImageBuilder::shortEntry(b.rootEntry(n + 2), "MIXED   TXT", 0x20, 12, 1);
    b.rootEntry(n + 2)[12] = 0x08;
    MountedFat m = mountBytes(b.bytes);
    EXPECT_EQ(names(m.root()), (Names{"Gr\xC3\xBC\xC3\x9F" "e.txt", "lower.txt", "mixed.TXT"}));
}

TEST(FATDirParser, OverlongLongNameFallsBackToTheShortName) {
    FatImageBuilder b = fat16();
    const char* s = "SHORT   TXT";
    u8 sum = FATDirParser::shortNameChecksum(reinterpret_cast<const u8*>(s));
    int n = FatImageBuilder::longEntries(b.rootEntry(0), std::string(40 * 13, 'x'), sum);
    FatImageBuilder::shortEntry(b.rootEntry(n), s, 0x20, 10, 1);
    MountedFat m = mountBytes(b.bytes);
    EXPECT_EQ(names(m.root()), Names{"SHORT.TXT"});
}

TEST(FATDirParser, DeletedEntriesOnlyWhenAsked) {
    FatImageBuilder b = fat16();
    FatImageBuilder::shortEntry(b.rootEntry(0), "\xE5" "ONE    TXT", 0x20, 10, 1);
    FatImageBuilder::shortEntry(b.rootEntry(1), "TWO     TXT", 0x20, 11, 1);
    MountedFat m = mountBytes(b.bytes);
    EXPECT_EQ(names(m.root()), Names{"TWO.TXT"});

    FATDirParser parser(m.volume.get(), 0, m.volume->getRootDirOfs(), true);
    auto records = parser.takeRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]->getName(), "\xE5" "ONE.TXT");
    EXPECT_TRUE(records[0]->isDeleted());
    EXPECT_FALSE(records[1]->isDeleted());
    for (auto& [i, item] : records) delete item;
}

TEST(FATDirParser, DateIsTheModificationTimeAndZeroWhenMissing) {
    FatImageBuilder b = fat16();
    // 2010-01-01 12:04:04: date (30 << 9) | (1 << 5) | 1, time (12 << 11) | (4 << 5) | 2
    FatImageBuilder::shortEntry(b.rootEntry(0), "DATED   TXT", 0x20, 10, 1, (30 << 9) | (1 << 5) | 1,
                                (12 << 11) | (4 << 5) | 2);
    FatImageBuilder::shortEntry(b.rootEntry(1), "UNDATED TXT", 0x20, 11, 1, 0, 0);
    MountedFat m = mountBytes(b.bytes);
    names(m.root());
    EXPECT_EQ(m.root()->children()[0]->getDate(), static_cast<u32>(toTimeLocal(1, 1, 2010, 12, 4, 4)));
    EXPECT_EQ(m.root()->children()[1]->getDate(), 0u);
}

TEST(FATDirParser, FullFixedRootEndsAtItsRegion) {
    FatImageBuilder b = fat16();
    for (u32 i = 0; i < b.rootEntries; ++i) {
        char name[32];
        snprintf(name, sizeof name, "F%07u   ", i);
        FatImageBuilder::shortEntry(b.rootEntry(i), name, 0x20, 10, 1);
    }
    // Right behind the region lies cluster 2: an entry there is not part of the root.
    FatImageBuilder::shortEntry(b.cluster(2), "BEHIND     ", 0x20, 10, 1);
    MountedFat m = mountBytes(b.bytes);
    Names n = names(m.root());
    ASSERT_EQ(n.size(), 64u);
    EXPECT_EQ(n.back(), "F0000063");
}

TEST(FATDirParser, FolderWithClusterZeroIsEmpty) {
    FatImageBuilder b = fat16();
    FatImageBuilder::shortEntry(b.rootEntry(0), "NOWHERE    ", 0x10, 0, 0);
    FatImageBuilder::shortEntry(b.rootEntry(1), "FILE    TXT", 0x20, 10, 1);
    MountedFat m = mountBytes(b.bytes);
    names(m.root());
    VolumeItem* nowhere = m.root()->children()[0];
    EXPECT_TRUE(names(nowhere).empty());
}

TEST(FATDirParser, FolderEntriesOutsideTheVolumeAreEmpty) {
    FatImageBuilder b = fat16();
    FatImageBuilder::shortEntry(b.rootEntry(0), "FAR        ", 0x10, 0x00FF0000, 0);
    FatImageBuilder::shortEntry(b.rootEntry(1), "ONE        ", 0x10, 1, 0);
    MountedFat m = mountBytes(b.bytes);
    names(m.root());
    for (VolumeItem* c : m.root()->children()) EXPECT_TRUE(names(c).empty());
}

TEST(FATDirParser, FoldersContainingThemselvesOrAnAncestorAreSkipped) {
    FatImageBuilder b = fat16();
    FatImageBuilder::shortEntry(b.rootEntry(0), "A          ", 0x10, 20, 0);
    b.setFat(20, 0xFFFF);
    b.setFat(21, 0xFFFF);
    FatImageBuilder::shortEntry(b.dirEntry(20, 0), "SELF       ", 0x10, 20, 0);
    FatImageBuilder::shortEntry(b.dirEntry(20, 1), "B          ", 0x10, 21, 0);
    FatImageBuilder::shortEntry(b.dirEntry(21, 0), "BACKTOA    ", 0x10, 20, 0);
    FatImageBuilder::shortEntry(b.dirEntry(21, 1), "KEEP    TXT", 0x20, 30, 1);
    MountedFat m = mountBytes(b.bytes);
    LogCapture logs(LOG_WARNING);
    EXPECT_EQ(names(m.root()), Names{"A"});
    VolumeItem* a = m.root()->children()[0];
    EXPECT_EQ(names(a), Names{"B"});
    EXPECT_EQ(names(a->children()[0]), Names{"KEEP.TXT"});
    EXPECT_EQ(logs.lines.size(), 2u);
}

TEST(FATDirParser, Fat32FolderPointingAtTheRootIsSkipped) {
    FatImageBuilder b;
    b.bits = 32;
    b.rootEntries = 0;
    b.reservedSectors = 32;
    b.sectorsPerFat = 600;
    b.totalSectors = 32 + 2 * 600 + 70000;
    b.build();
    FatImageBuilder::shortEntry(b.rootSlot(0), "LOOP       ", 0x10, 2, 0);
    FatImageBuilder::shortEntry(b.rootSlot(1), "FILE    TXT", 0x20, 9, 1);
    MountedFat m = mountBytes(b.bytes);
    ASSERT_EQ(m.volume->getFatType(), FAT_TYPE_32);
    EXPECT_EQ(names(m.root()), Names{"FILE.TXT"});
}

TEST(FATDirParser, CrossLinkedFolderIsShownOnce) {
    FatImageBuilder b = fat16();
    b.setFat(20, 0xFFFF);
    b.setFat(21, 0xFFFF);
    FatImageBuilder::shortEntry(b.rootEntry(0), "FIRST      ", 0x10, 20, 0);
    FatImageBuilder::shortEntry(b.rootEntry(1), "SECOND     ", 0x10, 20, 0);
    FatImageBuilder::shortEntry(b.dirEntry(20, 0), "X          ", 0x10, 21, 0);
    FatImageBuilder::shortEntry(b.dirEntry(20, 1), "Y          ", 0x10, 21, 0);
    MountedFat m = mountBytes(b.bytes);
    EXPECT_EQ(names(m.root()), Names{"FIRST"});
    VolumeItem* first = m.root()->children()[0];
    EXPECT_EQ(names(first), Names{"X"});
    // Loading the folder again (after a walk freed it) shows the same entries.
    first->deleteChildren();
    first->setChildrenLoaded(false);
    EXPECT_EQ(names(first), Names{"X"});
}

TEST(FATDirParser, LoopingDirectoryChainStops) {
    FatImageBuilder b = fat16();
    b.setFat(20, 20);  // the folder's only cluster links to itself
    FatImageBuilder::shortEntry(b.rootEntry(0), "LOOP       ", 0x10, 20, 0);
    for (u32 i = 0; i < 16; ++i) {
        char name[32];
        snprintf(name, sizeof name, "E%02u     BIN", i);
        FatImageBuilder::shortEntry(b.dirEntry(20, i), name, 0x20, 30 + i, 1);
    }
    MountedFat m = mountBytes(b.bytes);
    LogCapture logs(LOG_WARNING);
    names(m.root());
    VolumeItem* loop = m.root()->children()[0];
    loop->loadChildren();
    EXPECT_EQ(loop->children().size(), 16u);
    EXPECT_TRUE(logs.has("FATDirParser - directory at cluster 20 loops back to cluster 20, stopped\n"));
}

TEST(FATDirParser, DirectoryChainRunningIntoAnotherFolderStops) {
    FatImageBuilder b = fat16();
    b.chain({20, 22});
    b.chain({21, 22});
    FatImageBuilder::shortEntry(b.rootEntry(0), "A          ", 0x10, 20, 0);
    FatImageBuilder::shortEntry(b.rootEntry(1), "B          ", 0x10, 21, 0);
    for (u32 i = 0; i < 16; ++i) {
        char name[32];
        snprintf(name, sizeof name, "A%02u     BIN", i);
        FatImageBuilder::shortEntry(b.dirEntry(20, i), name, 0x20, 30, 1);
        snprintf(name, sizeof name, "B%02u     BIN", i);
        FatImageBuilder::shortEntry(b.dirEntry(21, i), name, 0x20, 30, 1);
        snprintf(name, sizeof name, "T%02u     BIN", i);
        FatImageBuilder::shortEntry(b.dirEntry(22, i), name, 0x20, 30, 1);
    }
    MountedFat m = mountBytes(b.bytes);
    LogCapture logs(LOG_WARNING);
    names(m.root());
    EXPECT_EQ(names(m.root()->children()[0]).size(), 32u);
    EXPECT_EQ(names(m.root()->children()[1]).size(), 16u);
    EXPECT_TRUE(logs.has("FATDirParser - directory at cluster 21 runs into another folder at cluster 22, stopped\n"));
    // Reloading a folder is not a cross-link with itself.
    VolumeItem* a = m.root()->children()[0];
    a->deleteChildren();
    a->setChildrenLoaded(false);
    EXPECT_EQ(names(a).size(), 32u);
}

TEST(FATDirParser, WalkStopsAfter65536Entries) {
    FatImageBuilder b;
    b.bits = 16;
    b.sectorsPerCluster = 64;  // 32 KiB clusters
    b.sectorsPerFat = 64;
    b.totalSectors = 1 + 2 * 64 + 4 + 5000 * 64;
    b.imageSectors = 1 + 2 * 64 + 4 + 70 * 64;
    b.build();
    std::vector<u64> chain;
    for (u64 c = 2; c < 2 + 66; ++c) chain.push_back(c);  // 66 x 1024 entries
    b.chain(chain);
    FatImageBuilder::shortEntry(b.rootEntry(0), "BIG        ", 0x10, 2, 0);
    for (u64 i = 0; i < 66 * 1024; ++i) {
        u8* e = b.cluster(2) + 32 * i;
        FatImageBuilder::shortEntry(e, "\xE5" "ELETED BIN", 0x20, 3, 1);
    }
    FatImageBuilder::shortEntry(b.cluster(2) + 32 * 65535, "LASTSEENBIN", 0x20, 3, 1);
    FatImageBuilder::shortEntry(b.cluster(2) + 32 * 65536, "NEVERSEEBIN", 0x20, 3, 1);
    MountedFat m = mountBytes(b.bytes);
    ASSERT_TRUE(m.mounted);
    LogCapture logs(LOG_WARNING);
    names(m.root());
    EXPECT_EQ(names(m.root()->children()[0]), Names{"LASTSEEN.BIN"});
    EXPECT_TRUE(logs.has("FATDirParser - directory at cluster 2 has more than 65536 entries, stopped\n"));
}

TEST(FATDirParser, UnreadableDirectoryClusterEndsTheDirectory) {
    FatImageBuilder b = fat16();
    b.totalSectors = 20000;  // more clusters than the image holds
    b.imageSectors = 8192;
    b.build();
    FatImageBuilder::shortEntry(b.rootEntry(0), "GONE       ", 0x10, 15000, 0);
    MountedFat m = mountBytes(b.bytes);
    LogCapture logs;
    names(m.root());
    EXPECT_TRUE(names(m.root()->children()[0]).empty());
    EXPECT_TRUE(logs.has("error reading directory cluster 15000\n"));
}

}  // namespace
}  // namespace vorn::test
