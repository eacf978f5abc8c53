// The crafted HFS Plus volumes of tests/fixtures/hfs_gen.py (a folder listed twice on each of 30 levels, a
// self-linked catalog index root with a fork that claims 2^50 bytes, 20,000 hard links, a sound catalog of
// three levels whose folders' records straddle two index nodes, and that catalog with a header that names
// its first leaf as the root and a leaf in the middle of the chain as the first leaf): each walked, saved,
// searched and scanned for lost files through Recovery within a generous hang guard, with as many items as
// the volume holds and every file byte for byte as written.
#include <gtest/gtest.h>

#include <set>

#include "LogCapture.h"
#include "TestMedia.h"
#include "fs/ItemTestSupport.h"
#include "fs/MemoryTestDisk.h"
#include "fs/hfs/HFSBTree.h"
#include "fs/hfs/HFSVolume.h"
#include "fs/hfs/HfsTestSupport.h"
#include "misc/Bytes.h"
#include "recovery/RecoveryTestSupport.h"
#include "storage/ImageDisk.h"

namespace vorn::test {
namespace {

TEST(HFSCraftedVolumes, BrowsedWalkedSearchedSavedAndScannedInSecondsWithEveryFileIntact) {
    HangGuard guard(180);
    const struct { const char* image; const char* search; /* a part of some file names */ } shapes[] = {
        {"hfs_twins.img", "level"},  {"hfs_selfloop.img", "file3"}, {"hfs_links.img", "f0001"},
        {"hfs_many.img", "file03"}, {"hfs_rootleaf.img", "file03"}};
    for (const auto& shape : shapes) {
        SCOPED_TRACE(shape.image);
        const std::map<std::string, ExpectedFile> expected = readExpected(shape.image);
        ASSERT_FALSE(expected.empty()) << mediaPath(shape.image) << ".expect";
        std::set<std::string> paths;  // every file and folder, folders ending in '/'
        size_t hits = 0;
        for (auto& [path, file] : expected) {
            paths.insert(path);
            for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
                paths.insert(path.substr(0, at + 1));
            hits += path.substr(path.rfind('/') + 1).find(shape.search) != std::string::npos;
        }
        ImageDisk disk(mediaPath(shape.image));
        Recovery recovery;
        ASSERT_TRUE(recovery.selectDisk(&disk));
        recovery.openExistingVolume();
        VolumeItem* root = recovery.getRootItem();
        ASSERT_NE(root, nullptr);
        // First a walk that stops itself: a volume that shows a folder twice over would go on and on below.
        ItemCounter walk(4 * paths.size());
        root->visit(&walk, true);
        ASSERT_EQ(walk.items, paths.size());

        // The walk freed its folders: the save and the search load them again.
        ScratchDir scratch(paths.size());
        recovery.save({root}, scratch.path);
        const std::string top = scratch / root->getName();
        std::set<std::string> saved;
        for (const std::string& p : treeOf(top)) saved.insert("/" + p);
        EXPECT_EQ(saved, paths);
        for (auto& [path, file] : expected) EXPECT_EQ(sha256Hex(fileBytes(top + path)), file.sha) << path;
        recovery.searchItems(shape.search);
        ASSERT_NE(recovery.getSearchResultsItem(), nullptr);
        EXPECT_EQ(recovery.getSearchResultsItem()->getChildCount(true), hits);

        recovery.setScanType(SCAN_LOST_FILES);
        recovery.scan();
        ASSERT_NE(recovery.getRootItem(), nullptr);
        // The leaf records, each once: at most two items per file or folder (the twin records).
        const size_t found = walkTree(recovery.getRootItem()).size();
        EXPECT_GE(found, expected.size());
        EXPECT_LE(found, 2 * paths.size() + 2);
    }
}

// A catalog whose header names the first leaf as its root (an index that leads every search to the start of
// the leaf chain), its first leaf as it was, 0, a leaf in the middle of the chain or the last leaf: loading
// all 40 folders reads the leaf chain about once, not once per folder, and finds every file.
TEST(HFSBTreeSearch, ABrokenIndexCostsOneWalkOfTheLeavesNotOnePerFolder) {
    const Bytes sound = readFileBytes(mediaPath("hfs_many.img"));
    ASSERT_GT(sound.size(), 4096u);
    const size_t catalog = size_t(loadBE32(sound.data() + 1024 + 272 + 16)) * 512;  // 512-byte nodes
    const size_t header = catalog + 14;
    std::vector<u32> chain;  // the leaves in chain order
    for (u32 n = loadBE32(sound.data() + header + 10); n != 0 && chain.size() < 10000;
         n = loadBE32(sound.data() + catalog + size_t(n) * 512))
        chain.push_back(n);
    ASSERT_GT(chain.size(), 8u);
    for (const u32 firstLeaf : {chain.front(), 0u, chain[chain.size() / 2], chain.back()}) {
        SCOPED_TRACE(firstLeaf);
        Bytes bytes = sound;
        put16(bytes, header, 1), put32(bytes, header + 2, chain.front()), put32(bytes, header + 10, firstLeaf);
        FailingDisk disk(bytes);
        ASSERT_TRUE(disk.open(false));
        HFSVolume vol(&disk);
        ASSERT_TRUE(vol.mount(true));
        disk.clearRequests();
        ItemCounter walk(10000);
        vol.getRootItem()->visit(&walk, true);
        EXPECT_EQ(walk.items, 40u * 13 + 1);
        // The folders' own leaves, the runs of the chain once, a few more per folder: 40 x 260 without the jumps.
        EXPECT_LT(disk.requestCount(), 3 * vol.getCatalog()->nodeCount());
        disk.close();
    }
}

// Hard links: the private-data folder is read once per volume. Listing 10,000 links with their sizes reads
// fewer catalog nodes than the catalog holds, however many links there are. A link whose inode record is
// gone reads nothing; the others still read their own inode's bytes.
TEST(HFSHardLinks, ResolveInOneReadOfThePrivateFolder) {
    {
        ImageDisk image(mediaPath("hfs_links.img"));
        FailingDisk disk(&image);
        ASSERT_TRUE(disk.open(false));
        HFSVolume vol(&disk);
        ASSERT_TRUE(vol.mount(true));
        vol.getRootItem()->loadChildren();
        VolumeItem* a = vol.getRootItem()->findChild("a", false);
        ASSERT_NE(a, nullptr);
        disk.clearRequests();
        a->loadChildren();
        u64 bytes = 0;
        for (VolumeItem* link : a->children()) bytes += link->getSize();
        EXPECT_EQ(a->children().size(), 10000u);
        EXPECT_EQ(bytes, 10000u * 36);
        EXPECT_LT(disk.requestCount(), vol.getCatalog()->nodeCount());
        disk.close();
    }
    Bytes bytes = readFileBytes(mediaPath("hfs_links_seed.img"));
    // The key (private folder 17, "iNode21") of the inode that a/f00000 and b/f00000 stand for.
    Bytes key = {0, 20, 0, 0, 0, 17, 0, 7};
    for (char c : std::string("iNode21")) key.push_back(0), key.push_back(u8(c));
    auto at = std::search(bytes.begin(), bytes.end(), key.begin(), key.end());
    ASSERT_NE(at, bytes.end());
    at[9] = 'j';  // "jNode21"
    MemoryTestDisk disk(bytes);
    ASSERT_TRUE(disk.open(false));
    HFSVolume vol(&disk);
    ASSERT_TRUE(vol.mount(true));
    LogCapture logs(LOG_WARNING);
    std::map<std::string, VolumeItem*> tree = walkTree(vol.getRootItem());
    for (auto& [path, file] : readExpected("hfs_links_seed.img")) {
        const bool gone = path.ends_with("/f00000");
        ASSERT_TRUE(tree.count(path)) << path;
        Bytes data;
        EXPECT_EQ(tree[path]->getSize(), gone ? 0 : file.size) << path;
        EXPECT_TRUE(readItem(tree[path], data) && (gone || sha256Hex(data) == file.sha)) << path;
    }
    EXPECT_TRUE(logs.has("hard link f00000: iNode21 not found\n"));
}

}  // namespace
}  // namespace vorn::test
