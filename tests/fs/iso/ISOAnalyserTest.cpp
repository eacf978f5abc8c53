// The directory reader and probe on hand-made sectors; lost-volume and lost-file scans over tool-made images.
#include <gtest/gtest.h>

#include "fs/MemoryTestDisk.h"
#include "fs/iso/IsoTestSupport.h"
#include "fs/iso/ISOAnalyser.h"
#include "fs/iso/ISOVolume.h"
#include "fs/iso/ISOVolumeItem.h"
#include "recovery/Recovery.h"
#include "storage/ImageDisk.h"
#include "storage/PartitionDisk.h"

namespace vorn::test {
namespace {

using Bytes = std::vector<u8>;

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(ISOAnalyserTest, DirectoryStartNeedsSoundDotRecords) {
    const Bytes dot = isoRecord(40, 2048, true, std::string(1, '\0')), dotdot = isoRecord(39, 2048, true, "\x01");
    Bytes halves = dot, shortRecord = dot, longName = dot, padded = isoRecord(39, 2048, true, "\x01", 10);
    halves[9] = 7, shortRecord[0] = 33, longName[32] = 2;
    struct Case { const char* what; Bytes bytes; bool start; };
    const Case cases[] = {
        {"dot and dotdot", join({dot, dotdot}), true},
        {"two-byte names", join({isoRecord(40, 2048, true, std::string("\0\0", 2)),
                                 isoRecord(39, 2048, true, std::string("\0\1", 2))}), true},
        {"extent halves differ", join({halves, dotdot}), false},
        {"dotdot no folder", join({dot, isoRecord(39, 2048, false, "\x01")}), false},
        {"record below 34 bytes", join({shortRecord, dotdot}), false},
        {"name past the record", join({longName, dotdot}), false},
        {"dotdot cut short", join({dot, Bytes(dotdot.begin(), dotdot.begin() + 20)}), false},
        {"dotdot longer than the bytes", join({dot, Bytes(padded.begin(), padded.begin() + 36)}), false},
        {"file names", join({isoRecord(40, 2048, true, "A"), dotdot}), false},
    };
    for (const Case& c : cases) {
        u64 own = 0, parent = 0;
        EXPECT_EQ(ISOAnalyser::isDirectoryStart(c.bytes.data(), u32(c.bytes.size()), &own, &parent), c.start) << c.what;
        if (!c.start) continue;
        EXPECT_EQ(own, 40u) << c.what;
        EXPECT_EQ(parent, 39u) << c.what;
    }
}

TEST(ISOAnalyserTest, DirectoryRecordsAcrossSectorsAndDamage) {
    std::vector<Bytes> full;  // after "." and "..", 25 records of 76 bytes and one of 80 fill a sector exactly
    for (int i = 0; i < 25; ++i) full.push_back(isoRecord(100 + i, 1, false, format("FILE%02d.TXT;1", i), 30));
    full.push_back(isoRecord(200, 1, false, "LAST.TXT;1", 36));
    Bytes halves = isoRecord(300, 1, false, "BAD;1");
    halves[15] = 9;
    struct Case { const char* what; Bytes bytes; u64 size; std::string names; };
    const Case cases[] = {
        {"a full sector goes on in the next",
         join({isoSector(full, 40, 39), isoSector({isoRecord(60, 1, false, "NEXT;1")})}), 0, "NEXT"},
        {"another directory's start ends it",
         join({isoSector(full, 40, 39), isoSector({isoRecord(60, 1, false, "NEXT;1")}, 41, 40)}), 0, ""},
        {"padding, size known: next sector",
         join({isoSector({isoRecord(50, 1, false, "A;1")}, 40, 39), isoSector({isoRecord(60, 1, false, "B;1")})}),
         4096, "A,B"},
        {"padding, size unknown: the end",
         join({isoSector({isoRecord(50, 1, false, "A;1")}, 40, 39), isoSector({isoRecord(60, 1, false, "B;1")})}), 0,
         "A"},
        {"disagreeing halves end it", isoSector({isoRecord(50, 1, false, "A;1"), halves, isoRecord(51, 1, false, "C")},
                                                40, 39), 0, "A"},
    };
    for (const Case& c : cases) {
        Bytes bytes = c.bytes;
        bytes.resize(bytes.size() + 2048, 0);
        MemoryTestDisk disk(bytes, 512);
        disk.open(false);
        std::vector<std::unique_ptr<ISOVolumeItem>> items;
        ASSERT_TRUE(ISOAnalyser::parseDir(&disk, 0, items, c.size)) << c.what;
        std::string names;
        for (auto& item : items)
            if (item->getExtent() < 100 || item->getExtent() > 200)
                names += (names.empty() ? "" : ",") + item->getName();
        EXPECT_EQ(names, c.names) << c.what;
    }
}

// Every volume and session of an image becomes a lost-volume partition that browses as the tools wrote it.
TEST(ISOAnalyserTest, LostVolumesAreFoundWithTheirSessions) {
    struct Case { const char* image; std::vector<std::tuple<u64, const char*, std::string>> found; };
    const Case cases[] = {
        {"iso_embedded.img", {{1001, "JOLIET_ONLY", "iso_joliet.iso.manifest"}}},
        {"iso_multi.iso",
         {{0, "MULTI_TWO", "iso_multi.iso.s2.manifest"}, {0, "MULTI_ONE", "iso_multi.iso.s1.manifest"}}},
    };
    for (const Case& c : cases) {
        ImageDisk image(mediaPath(c.image));
        Recovery recovery;
        ASSERT_TRUE(recovery.selectDisk(&image));
        recovery.setScanType(SCAN_LOST_VOLUMES);
        recovery.scan();
        ASSERT_EQ(image.getPartitionCount(), c.found.size()) << c.image;
        for (u32 i = 0; i < c.found.size(); ++i) {
            auto* part = dynamic_cast<PartitionDisk*>(image.getPartition(i));
            auto [first, name, manifest] = c.found[i];
            ASSERT_NE(part, nullptr);
            EXPECT_EQ(part->getFirstBlock(), first) << name;
            EXPECT_EQ(part->getName(), name);
            EXPECT_TRUE(part->isLostVolume()) << name;
            Recovery browse;
            ASSERT_TRUE(browse.selectDisk(part));
            browse.openExistingVolume();
            ASSERT_NE(browse.getRootItem(), nullptr) << name;
            EXPECT_EQ(isoListing(browse.getRootItem()), manifestListing(loadFatManifest(mediaPath(manifest)))) << name;
        }
    }
}

// Directories found on a whole disk hang under the entries that name them; the roots' entries under
// OrphanedFolders/Extent N of a volume named after the disc, on 2048- and 512-byte disks alike.
TEST(ISOAnalyserTest, LostFilesAreLinkedUnderTheirFolders) {
    for (const char* name : {"iso_joliet.iso", "iso_embedded.img"}) {
        ImageDisk image(mediaPath(name));
        Recovery recovery;
        ASSERT_TRUE(recovery.selectDisk(&image));
        recovery.setScanType(SCAN_LOST_FILES);
        recovery.scan();
        VolumeItem* lost = recovery.getRootItem();
        ASSERT_NE(lost, nullptr);
        ASSERT_EQ(lost->getChildCount(true), 1u) << name;
        VolumeItem* disc = lost->getChild(0, true);
        EXPECT_EQ(disc->getName(), "JOLIET_ONLY");
        VolumeItem* orphans = disc->findChild("OrphanedFolders", false);
        ASSERT_NE(orphans, nullptr);
        // The Joliet root's folder holds the listing (a directory read without its size ends with its first
        // sector); the primary root's holds upper-case names.
        const auto all = manifestListing(loadFatManifest(mediaPath("iso_joliet.iso.manifest")));
        std::map<std::string, std::string> joliet, want;
        for (VolumeItem* extent : orphans->children())
            if (extent->findChild("big.bin", false)) joliet = isoListing(extent);
        for (auto& [path, value] : all)
            if (!path.starts_with("many/")) want[path] = value;
        std::erase_if(joliet, [&](const auto& entry) {
            const bool many = entry.first.starts_with("many/");
            if (many) { EXPECT_EQ(all.count(entry.first) ? all.at(entry.first) : "-", entry.second) << entry.first; }
            return many;
        });
        EXPECT_EQ(joliet, want) << name;
    }
}

// Two directories that name each other: one goes under the other, which goes to its orphan folder.
TEST(ISOAnalyserTest, DirectoriesThatNameEachOtherMakeNoLoop) {
    Bytes bytes(20 * 2048, 0);
    for (const Bytes& s : {isoSector({isoRecord(21, 2048, true, "B")}, 20, 19),
                           isoSector({isoRecord(20, 2048, true, "A"), isoRecord(30, 3, false, "F;1")}, 21, 20)})
        bytes.insert(bytes.end(), s.begin(), s.end());
    bytes.resize(24 * 2048, 0);
    MemoryTestDisk disk(bytes, 2048);
    Recovery recovery;
    ASSERT_TRUE(recovery.selectDisk(&disk));
    recovery.setScanType(SCAN_LOST_FILES);
    recovery.scan();
    ASSERT_EQ(recovery.getRootItem()->getChildCount(true), 1u);
    EXPECT_EQ(treeText(recovery.getRootItem()->getChild(0, true)), "OrphanedFolders{Extent 21{A{B{F}}}}");
}

}  // namespace
}  // namespace vorn::test
