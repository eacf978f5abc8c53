// The generated volume (tests/fixtures/hfs_gen.py) with one piece of damage each.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "LogCapture.h"
#include "fs/MemoryTestDisk.h"
#include "fs/hfs/HFSBTree.h"
#include "fs/hfs/HFSBTreeNode.h"
#include "fs/hfs/HFSForkData.h"
#include "fs/hfs/HFSVolume.h"
#include "fs/hfs/HFSVolumeItem.h"
#include "fs/hfs/HfsTestSupport.h"
#include "fs/hfs/KeyedRecordComparator.h"
#include "misc/Bytes.h"

namespace vorn::test {
namespace {

const std::set<std::string> kAll = {"/Docs/", "/Docs/Sub/", "/Docs/Sub/deep.txt", "/Docs/note.txt", "/empty.txt",
                                    "/frag.bin"};

struct Damage {
    const char* what;
    std::function<void(Bytes&)> apply;
    bool mounts, named;
    std::set<std::string> listing;
    bool fragReadsWhole;
    const char* logged;  // a line that starts so, or ""
};

TEST(HFSDamage, WalksEndAndKeepWhatIsSound) {
    const u32 fragTail = 15 * 4096 + 7;  // inside the extents overflow record, past its first block
    const std::vector<Damage> cases = {
        {"none", [](Bytes&) {}, true, true, kAll, true, ""},
        {"leaf 1 links to itself", [](Bytes& b) { put32(b, node(1), 1); }, true, true,
         {"/Docs/", "/Docs/note.txt", "/empty.txt", "/frag.bin"}, true,
         "HFSBTreeNode::findLeafRecord - leaf node 1 met twice"},
        // A search leaves an index node through its children only, so the link is never taken.
        {"index root is its own forward link, the catalog fork claims 2^50 bytes",
         [](Bytes& b) { put32(b, node(3), 3), claimHugeCatalog(b); }, true, true, kAll, true, ""},
        {"index root without records, its own forward link",
         [](Bytes& b) { put16(b, node(3) + 10, 0), put32(b, node(3), 3); }, true, false, {}, false,
         "HFSBTreeNode::findLeafRecord - index node 3 met twice"},
        {"a folder listed in two folders shows under the first to list it",
         [](Bytes& b) {
             const size_t data = recordData(b, 2, "empty.txt");  // the file record becomes folder 23 (/Docs/Sub)
             put16(b, data, 1), put32(b, data + 8, 23);
         },
         true, true, {"/Docs/", "/Docs/note.txt", "/empty.txt/", "/empty.txt/deep.txt", "/frag.bin"}, true,
         "HFSVolumeItem::addChildren - folder Sub (id=23) is shown elsewhere"},
        {"index root names itself as child",
         [](Bytes& b) { put32(b, node(3) + 14 + 24 + 14, 3); /* after the key (20,Sub) */ }, true,
         true, {"/Docs/", "/Docs/Sub/", "/Docs/note.txt", "/empty.txt", "/frag.bin"}, true,
         "HFSBTreeNode::findLeafRecord - node 3 met twice, stopped"},
        {"record count beyond the node", [](Bytes& b) { put16(b, node(1) + 10, 0xFFFF); }, true, false, {}, false, ""},
        {"record offset inside the offset table", [](Bytes& b) { put16(b, node(2) - 2, kNode - 4); }, true, false, {},
         false, ""},
        {"key shorter than a catalog key", [](Bytes& b) { put16(b, recordData(b, 20, "Sub") - 14, 4); }, true, true,
         {"/Docs/", "/Docs/note.txt", "/empty.txt", "/frag.bin"}, true, ""},
        {"folder with its parent's id", [](Bytes& b) { put32(b, recordData(b, 20, "Sub") + 8, 20); }, true, true,
         {"/Docs/", "/Docs/note.txt", "/empty.txt", "/frag.bin"}, true,
         "HFSVolumeItem::addChildren - folder Sub (id=20) is its own ancestor"},
        {"overflow record of another file", [](Bytes& b) { put32(b, kExtentsLeaf + 14 + 4, 99); }, true, true, kAll,
         false, ""},
        {"overflow record of the resource fork", [](Bytes& b) { b[kExtentsLeaf + 14 + 2] = 0xFF; }, true, true, kAll,
         false, ""},
        {"catalog node size 1000", [](Bytes& b) { put16(b, kCatalog + 14 + 18, 1000); }, true, false, {}, false,
         ""},
        {"allocation block size 3072", [](Bytes& b) { put32(b, 1024 + 40, 3072); }, false, false, {}, false, ""},
    };
    for (const Damage& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes bytes = genImage();
        ASSERT_EQ(bytes.size(), 2u << 20);
        c.apply(bytes);
        MemoryTestDisk disk(bytes);
        ASSERT_TRUE(disk.open(false));
        LogCapture logs(LOG_WARNING);
        HFSVolume vol(&disk);
        ASSERT_EQ(vol.mount(true), c.mounts);
        if (!c.mounts) continue;
        EXPECT_EQ(vol.isNameFound(), c.named);
        std::set<std::string> listed;
        std::map<std::string, VolumeItem*> tree = walkTree(vol.getRootItem());
        for (auto& [path, item] : tree) listed.insert(path);
        EXPECT_EQ(listed, c.listing);
        if (tree.count("/frag.bin")) {
            VolumeItem* frag = tree["/frag.bin"];
            Bytes buf(frag->getSize());
            EXPECT_EQ(frag->read(0, buf.data(), 4096), 4096u);  // the fork record's own extents
            EXPECT_EQ(frag->read(fragTail, buf.data(), 100) == 100, c.fragReadsWhole);
        }
        if (*c.logged) { EXPECT_TRUE(logs.hasPrefix(c.logged)) << c.logged; }
    }
}

// A 4 GiB extent (2^20 blocks of 4 KiB) maps a whole read at once, and a read past the disk fails at once.
TEST(HFSDamage, HugeExtentsNeitherWrapNorHang) {
    Bytes bytes = genImage();
    const size_t fork = recordData(bytes, 2, "frag.bin") + 88;
    put32(bytes, fork + 12, 1u << 20);  // totalBlocks
    put32(bytes, fork + 20, 1u << 20);  // first extent's blockCount
    put32(bytes, fork, 0x10);           // logicalSize: 64 GiB
    put32(bytes, fork + 4, 0);
    MemoryTestDisk disk(bytes);
    ASSERT_TRUE(disk.open(false));
    HFSVolume vol(&disk);
    ASSERT_TRUE(vol.mount(true));
    VolumeItem* frag = walkTree(vol.getRootItem())["/frag.bin"];
    ASSERT_NE(frag, nullptr);
    EXPECT_EQ(frag->getSize(), u64(0x10) << 32);
    const Bytes original = genImage();
    Bytes buf(8192);
    ASSERT_EQ(frag->read(0, buf.data(), 8192), 8192u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), original.begin() + 16 * 4096));
    EXPECT_EQ(frag->read((u64(1) << 32) - 100, buf.data(), 50), 0u);  // past the disk, not wrapped into it
}

// A tree's node count is what its fork's extents hold inside the volume (on the medium): a claimed size
// alone never raises it. A fork's blocks on the volume count its extents in the overflow file too.
TEST(HFSBTreeBounds, NodeCountAndForkBlocksAreWhatTheVolumeHolds) {
    const Bytes intact = genImage();
    const struct { const char* what; std::function<void(Bytes&)> apply; u64 nodes, fragBlocks; } cases[] = {
        {"as written", [](Bytes&) {}, 4, 18},
        {"2^50 bytes claimed", claimHugeCatalog, 4 + (512 - 8), 18},
        {"2^50 bytes claimed on a disk cut to 1 MiB", [](Bytes& b) { claimHugeCatalog(b), b.resize(1 << 20); },
         4 + (256 - 8), 18},
        // frag.bin's overflow extents: 36+1, 38+2, 41+1, 43+2; a volume of 42 blocks keeps 36, 38, 39, 41.
        {"a volume of 42 blocks", [](Bytes& b) { claimHugeCatalog(b), put32(b, 1024 + 44, 42); }, 4 + (42 - 8), 12 + 4},
        {"a volume of 6 blocks", [](Bytes& b) { put32(b, 1024 + 44, 6); }, 2, 0},
        {"eight extents over the whole volume", [](Bytes& b) {
             claimHugeCatalog(b);
             for (size_t e = 0; e < 8; ++e) put32(b, 1024 + 288 + 8 * e, 4), put32(b, 1024 + 292 + 8 * e, 600);
         }, 512, 18},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes bytes = intact;
        c.apply(bytes);
        MemoryTestDisk disk(bytes);
        ASSERT_TRUE(disk.open(false));
        HFSVolume vol(&disk);
        ASSERT_TRUE(vol.mount(true));
        EXPECT_EQ(vol.getCatalog()->nodeCount(), c.nodes);
        HFSForkData frag(&vol, intact.data() + recordData(intact, 2, "frag.bin") + 88);
        EXPECT_EQ(vol.forkBlocksOnVolume(21, 0, &frag, 100), c.fragBlocks);
    }
}

// Enumerating one parent's records crosses the leaf boundary; a search with returnHighest and no exact match
// answers the last record below the key in the same leaf; unsigned identifiers compare as such.
TEST(HFSBTreeSearch, EnumeratesAcrossLeavesAndReturnsTheHighestBelow) {
    Bytes bytes = genImage();
    MemoryTestDisk disk(bytes);
    ASSERT_TRUE(disk.open(false));
    HFSVolume vol(&disk);
    ASSERT_TRUE(vol.mount(false));
    HFSBTree* catalog = vol.getCatalog();
    auto names = [&](u64 parent) {
        HFSBTreeNode cursor(catalog, catalog->header().rootNode);
        CatalogFileComparator key;
        key.setParentID(parent);
        std::vector<std::string> found;
        for (HFSBTreeRecord* rec = nullptr; cursor.findLeafRecord(&key, &rec);)
            found.push_back(CatalogFileComparator::keyName(*rec));
        return found;
    };
    EXPECT_EQ(names(20), (std::vector<std::string>{"", "note.txt", "Sub"}));  // leaf 1, then leaf 2
    EXPECT_EQ(names(0xFFFFFFF0u), std::vector<std::string>{});
    // Leaf 2 linking back to leaf 1: a walk over every record sees each once.
    put32(bytes, node(2), 1);
    MemoryTestDisk looped(bytes);
    ASSERT_TRUE(looped.open(false));
    HFSVolume loopedVol(&looped);
    ASSERT_TRUE(loopedVol.mount(false));
    HFSBTreeNode all(loopedVol.getCatalog(), 1);
    AnyMatchRecordComparator any;
    int count = 0;
    for (HFSBTreeRecord* rec = nullptr; all.findLeafRecord(&any, &rec);) ++count;
    EXPECT_EQ(count, 14);

    HFSBTreeNode cursor(catalog, catalog->header().rootNode);
    CatalogFileComparator named;
    named.setParentID(2);
    named.setName("e");  // between "Docs" and "empty.txt" in byte order
    named.setReturnHighest(true);
    HFSBTreeRecord* rec = nullptr;
    ASSERT_TRUE(cursor.findLeafRecord(&named, &rec));
    EXPECT_EQ(CatalogFileComparator::keyName(*rec), "Docs");

    HFSBTree* extents = vol.getExtentsOverflow();
    HFSBTreeNode ext(extents, extents->header().rootNode);
    ExtentsFileComparator key;
    key.setKey(21, 0, 100);
    key.setReturnHighest(true);
    rec = nullptr;
    ASSERT_TRUE(ext.findLeafRecord(&key, &rec));
    EXPECT_EQ(loadBE32(rec->keyData + 6), 12u);  // the record starting at block 12, the last of the tree
    key.setKey(u64(1) << 31, 0, 0);              // above every file id, not below
    key.setReturnHighest(false);
    rec = nullptr;
    EXPECT_FALSE(ext.findLeafRecord(&key, &rec));
}

// Node splitting: bounds of the record count, the offsets and the keys; an odd key moves the data on.
TEST(HFSBTreeSplit, RecordsStayInsideTheNode) {
    auto leaf = [](std::vector<std::pair<u32, u32>> recs /* offset, key length */) {
        Bytes n(512);
        n[8] = 0xFF;
        put16(n, 10, u32(recs.size()));
        for (size_t i = 0; i < recs.size(); ++i) {
            put16(n, 512 - 2 * (i + 1), recs[i].first);
            if (recs[i].first + 2 <= 512) put16(n, recs[i].first, recs[i].second);
        }
        return n;
    };
    struct Case { const char* what; Bytes node; SplitResult result; size_t records; u32 firstDataOfs; } cases[] = {
        {"two records", leaf({{14, 6}, {40, 7}}), SplitResult::Ok, 2, 22},
        {"odd key moves the data on", leaf({{14, 7}}), SplitResult::Ok, 1, 24},
        {"offset inside the descriptor", leaf({{10, 6}}), SplitResult::BadOffset, 0, 0},
        {"offset in the offset table", leaf({{14, 6}, {508, 6}}), SplitResult::BadOffset, 1, 22},
        {"key too short", leaf({{14, 6}, {40, 5}}), SplitResult::BadKey, 1, 22},
        {"key ends in the offset table", leaf({{14, 495}}), SplitResult::BadKey, 0, 0},
        {"more records than the node holds", [&] { Bytes n = leaf({}); put16(n, 10, 250); return n; }(),
         SplitResult::BadOffset, 0, 0},
    };
    for (Case& c : cases) {
        std::vector<HFSBTreeRecord> records;
        EXPECT_EQ(HFSBTree::splitRecords(c.node.data(), 512, 0, 6, records), c.result) << c.what;
        ASSERT_EQ(records.size(), c.records) << c.what;
        if (c.records) { EXPECT_EQ(records[0].data - c.node.data(), c.firstDataOfs) << c.what; }
        for (const HFSBTreeRecord& r : records) EXPECT_LE(r.data + r.dataLength, c.node.data() + 512 - 2 * records.size());
    }
}

}  // namespace
}  // namespace vorn::test
