// The crafted HFS Plus volumes of tests/fixtures/hfs_gen.py (a folder listed twice on each of 30 levels, a
// self-linked catalog index root with a fork that claims 2^50 bytes, 20,000 hard links): each browsed,
// walked, searched, saved and scanned for lost files through Recovery within a generous hang guard, with as
// many items as the volume holds and every file byte for byte as written.
#include <gtest/gtest.h>

#include <sys/statvfs.h>

#include <set>

#include "LogCapture.h"
#include "TestMedia.h"
#include "fs/ItemTestSupport.h"
#include "fs/MemoryTestDisk.h"
#include "fs/hfs/HFSBTree.h"
#include "fs/hfs/HFSVolume.h"
#include "fs/hfs/HfsTestSupport.h"
#include "recovery/RecoveryTestSupport.h"
#include "storage/ImageDisk.h"

namespace vorn::test {
namespace {

struct Shape {
    const char* image;
    const char* search;  // a part of some file names
    const char* logged;  // a line that starts so, or ""
};

void PrintTo(const Shape& shape, std::ostream* out) { *out << shape.image; }

// Counts the items a walk hands over, and stops the walk past a limit.
struct Counter : VolumeItemCallback {
    explicit Counter(u64 limit) : limit(limit) {}
    void onItem(VolumeItem*, bool* stop, bool*) override {
        if (++items > limit) *stop = true;
    }
    u64 items = 0, limit;
};

std::string lastPart(const std::string& path) { return path.substr(path.rfind('/') + 1); }

class HFSCraftedVolumes : public ::testing::TestWithParam<Shape> {};

TEST_P(HFSCraftedVolumes, BrowsedWalkedSearchedSavedAndScannedInSecondsWithEveryFileIntact) {
    const Shape& shape = GetParam();
    HangGuard guard(180, shape.image);
    const std::map<std::string, ExpectedFile> expected = readExpected(shape.image);
    ASSERT_FALSE(expected.empty()) << mediaPath(shape.image) << ".expect";
    std::set<std::string> paths;  // every file and folder, folders ending in '/'
    for (auto& [path, file] : expected) {
        paths.insert(path);
        for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
            paths.insert(path.substr(0, at + 1));
    }
    LogCapture logs(LOG_WARNING);
    ImageDisk disk(mediaPath(shape.image));

    {
        SCOPED_TRACE("walk and search");
        Recovery recovery;
        ASSERT_TRUE(recovery.selectDisk(&disk));
        recovery.openExistingVolume();
        ASSERT_NE(recovery.getRootItem(), nullptr);
        // First, as it stops itself: a volume that shows a folder twice over would go on and on below.
        Counter counter(4 * paths.size());
        recovery.getRootItem()->visit(&counter, true);
        ASSERT_EQ(counter.items, paths.size());
        recovery.searchItems(shape.search);
        size_t hits = 0;
        for (auto& [path, file] : expected) hits += lastPart(path).find(shape.search) != std::string::npos;
        ASSERT_NE(recovery.getSearchResultsItem(), nullptr);
        EXPECT_EQ(recovery.getSearchResultsItem()->getChildCount(true), hits);
    }
    {
        SCOPED_TRACE("browse: every folder opened and kept");
        Recovery recovery;
        ASSERT_TRUE(recovery.selectDisk(&disk));
        recovery.openExistingVolume();
        ASSERT_NE(recovery.getRootItem(), nullptr);
        std::set<std::string> listed;
        for (auto& [path, item] : walkTree(recovery.getRootItem())) {
            listed.insert(path);
            if (!item->isContainer() && expected.count(path)) {
                EXPECT_EQ(item->getSize(), expected.at(path).size) << path;
            }
        }
        EXPECT_EQ(listed, paths);
    }
    {
        SCOPED_TRACE("save");
        Recovery recovery;
        ASSERT_TRUE(recovery.selectDisk(&disk));
        recovery.openExistingVolume();
        VolumeItem* root = recovery.getRootItem();
        ASSERT_NE(root, nullptr);
        // Thousands of small files: in memory where there is room for them (other programs fill it at times).
        ScratchDir scratch;
        struct statvfs shmRoom {};
        char shm[] = "/dev/shm/vorn_hfs_XXXXXX";
        const bool inMemory = statvfs("/dev/shm", &shmRoom) == 0 && shmRoom.f_favail > 4 * paths.size() &&
                              shmRoom.f_bavail * shmRoom.f_frsize > (u64(256) << 20) && mkdtemp(shm);
        const std::string target = inMemory ? std::string(shm) : scratch.path;
        recovery.save({root}, target);
        const std::string top = target + "/" + root->getName();
        std::set<std::string> saved;
        for (const std::string& p : treeOf(top)) saved.insert("/" + p);
        EXPECT_EQ(saved, paths);
        for (auto& [path, file] : expected) EXPECT_EQ(sha256Hex(fileBytes(top + path)), file.sha) << path;
        if (inMemory) commandOutput("rm -rf '" + target + "'");
    }
    {
        SCOPED_TRACE("lost-files scan");
        Recovery recovery;
        ASSERT_TRUE(recovery.selectDisk(&disk));
        recovery.setScanType(SCAN_LOST_FILES);
        recovery.scan();
        ASSERT_NE(recovery.getRootItem(), nullptr);
        // The leaf records, each once: at most two items per file or folder (the twin records).
        const size_t found = walkTree(recovery.getRootItem()).size();
        EXPECT_GE(found, expected.size());
        EXPECT_LE(found, 2 * paths.size() + 2);
    }
    if (*shape.logged) { EXPECT_TRUE(logs.hasPrefix(shape.logged)) << shape.logged; }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, HFSCraftedVolumes,
    ::testing::Values(Shape{"hfs_twins.img", "level", "HFSVolumeItem::addChildren - folder b (id="},
                      Shape{"hfs_selfloop.img", "file3", "HFSBTreeNode::findLeafRecord - index node "},
                      Shape{"hfs_links.img", "f0001", ""}),
    [](const ::testing::TestParamInfo<Shape>& info) {
        std::string name = info.param.image;
        return name.substr(4, name.find('.') - 4);
    });

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
    const std::map<std::string, ExpectedFile> expected = readExpected("hfs_links_seed.img");
    for (const char* path : {"/a/f00000", "/b/f00000", "/a/f00001", "/b/f00019", "/plain.txt"}) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(tree.count(path));
        Bytes data;
        if (std::string(path).ends_with("f00000")) {
            EXPECT_EQ(tree[path]->getSize(), 0u);
            u8 byte = 0;
            EXPECT_EQ(tree[path]->read(0, &byte, 1), 0u);
            continue;
        }
        EXPECT_EQ(tree[path]->getSize(), expected.at(path).size);
        ASSERT_TRUE(readItem(tree[path], data));
        EXPECT_EQ(sha256Hex(data), expected.at(path).sha);
    }
    EXPECT_TRUE(logs.has("hard link f00000: iNode21 not found\n"));
}

}  // namespace
}  // namespace vorn::test
