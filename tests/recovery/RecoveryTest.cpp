#include <gtest/gtest.h>

#include "fs/ItemTestSupport.h"
#include "fs/MemoryTestDisk.h"
#include "fs/hfs/HFSVolume.h"
#include "recovery/RecoveryTestAccess.h"
#include "recovery/RecoveryTestSupport.h"

namespace vorn {
namespace {

using namespace test;
using Names = std::vector<std::string>;

Names names(VolumeItem* folder) {
    Names out;
    for (VolumeItem* child : folder->children()) out.push_back(child->getName());
    return out;
}

TEST(RecoverySelectDisk, OpensACacheAndFreesTreeVolumeAndCacheOnTheNextDisk) {
    MemoryTestDisk first(std::vector<u8>(64 * 512)), second(std::vector<u8>(32 * 512)), broken(std::vector<u8>(512));
    broken.failOpen = true;
    Recovery r;
    EXPECT_TRUE(r.selectDisk(nullptr));
    ASSERT_TRUE(r.selectDisk(&first));
    ASSERT_EQ(r.getDisk()->getInnerDisk(), &first);
    EXPECT_EQ(first.getOpenCount(), 1u);
    r.openExistingVolume();  // no file system: an unmounted HFS Plus volume that reads every block as free
    ASSERT_NE(dynamic_cast<HFSVolume*>(r.getVolume()), nullptr);
    EXPECT_EQ(r.getRootItem(), nullptr);
    EXPECT_FALSE(r.getVolume()->isAllocationBlockUsed(63));
    EXPECT_EQ(r.getVolume()->getDataOffset(), 0u);
    TestVolume tree;
    tree.createRootItem("tree");
    RecoveryTestAccess::setRootItem(r, tree.getRootItem());
    EXPECT_TRUE(r.selectDisk(r.getDisk()));  // the held cache: the tree stays
    EXPECT_EQ(r.getRootItem(), tree.getRootItem());
    ASSERT_TRUE(r.selectDisk(&second));
    EXPECT_EQ(tree.getRootItem(), nullptr);  // deleted with the old disk
    EXPECT_EQ(r.getVolume(), nullptr);
    EXPECT_EQ(first.getOpenCount(), 0u);
    LogCapture logs(LOG_ERROR);
    EXPECT_FALSE(r.selectDisk(&broken));
    EXPECT_TRUE(logs.has("error opening disk!\n"));
    EXPECT_EQ(second.getOpenCount(), 0u);
    EXPECT_TRUE(r.selectDisk(nullptr));
    EXPECT_EQ(broken.closes, 0);  // never opened, never closed
}

TEST(RecoveryAddVolume, HangsNumberedRootsUnderTheResultRootOnceAndFreesThemWithIt) {
    MemoryTestDisk disk(std::vector<u8>(64 * 512));
    const int before = TestVolume::live;
    {
        Recovery r;
        ASSERT_TRUE(r.selectDisk(&disk));
        EXPECT_EQ(r.addVolume(ADD_VOLUME_HFS, nullptr), nullptr);  // no result root yet
        TestVolume main;
        main.createRootItem("Lost");
        RecoveryTestAccess::setRootItem(r, main.getRootItem());
        EXPECT_EQ(r.addVolume(3, nullptr), nullptr);  // unknown type
        Volume* first = r.addVolume(ADD_VOLUME_HFS, nullptr);
        ASSERT_TRUE(first);
        ASSERT_TRUE(first->getRootItem());
        EXPECT_EQ(first->getRootItem()->getName(), "Volume 1");
        EXPECT_NE(r.getVolume(), first);
        auto* given = new TestVolume(r.getDisk());
        given->createRootItem("Mine");
        EXPECT_EQ(r.addVolume(ADD_VOLUME_FAT, given), given);
        EXPECT_EQ(r.addVolume(ADD_VOLUME_FAT, given), given);  // listed once, freed once
        EXPECT_EQ(r.addVolume(ADD_VOLUME_HFS, nullptr)->getRootItem()->getName(), "Volume 3");
        EXPECT_EQ(names(r.getRootItem()), (Names{"Volume 1", "Mine", "Volume 3"}));
        EXPECT_EQ(TestVolume::live, before + 2);
        r.deleteRootItem();
        EXPECT_EQ(TestVolume::live, before + 1);  // the given volume went with the tree
        EXPECT_EQ(RecoveryTestAccess::addedVolumeCount(r), 0u);
    }
    EXPECT_EQ(TestVolume::live, before);
}

struct SearchTest : ::testing::Test {
    SearchTest() { RecoveryTestAccess::setRootItem(*recovery, root); }
    ~SearchTest() override {
        recovery->deleteRootItem();
        recovery.reset();
        EXPECT_EQ(DataItem::live, liveBefore) << "every item is freed once, with the tree";
    }
    int liveBefore = DataItem::live;
    std::unique_ptr<Recovery> recovery = std::make_unique<Recovery>();
    DataItem* root = new DataItem("root", {}, true);
};

TEST_F(SearchTest, HitsStayInTheirFoldersAndFoldersLoadedOnlyForTheSearchAreFreed) {
    addData(root, "Photo.JPG");
    addData(root, "\xc3\x89t\xc3\xa9 photo");  // letter case folded for ASCII only
    DataItem* shown = addDir(root, "SearchResults");  // the volume's own folder of that name
    DataItem* hit1 = addData(shown, "my photo");
    DataItem* lazy = addDir(root, "lazy");
    lazy->loader = [](DataItem* f) { addData(f, "photo 2"); addData(f, "miss"); };
    DataItem* empty = addDir(root, "noHits");
    empty->loader = [](DataItem* f) { addData(f, "other"); };
    auto* volumeRoot = new DataItem("Volume photo", {}, true);  // a found volume's root: listed, no parent
    root->addChild(volumeRoot);
    recovery->searchItems("PHOTO");
    VolumeItem* results = recovery->getSearchResultsItem();
    ASSERT_TRUE(results);
    ASSERT_TRUE(results != shown);
    ASSERT_TRUE(root->children().back() == results);
    EXPECT_EQ(names(results), (Names{"Photo.JPG", "\xc3\x89t\xc3\xa9 photo", "my photo", "photo 2", "Volume photo"}));
    EXPECT_EQ(hit1->getParent(), shown);
    EXPECT_EQ(names(lazy), (Names{"photo 2", "miss"}));
    EXPECT_EQ(results->getChild(3, true)->getPath(), "root/lazy/");
    EXPECT_FALSE(empty->childrenLoaded());
    recovery->searchItems("miss");  // empties the results, keeps the loaded folder
    EXPECT_EQ(names(recovery->getSearchResultsItem()), Names{"miss"});
    EXPECT_EQ(lazy->loads, 1);
    recovery->searchItems("\xc3\xa9t\xc3\xa9");
    EXPECT_TRUE(names(recovery->getSearchResultsItem()).empty());

    // A name stored decomposed (e + combining acute) is found by the text
    // typed composed only when its decomposed spelling is passed too.
    addData(shown, "cafe\xcc\x81.txt");
    recovery->searchItems("CAF\xc3\xa9");
    EXPECT_TRUE(names(recovery->getSearchResultsItem()).empty());
    recovery->searchItems("CAF\xc3\xa9", {"", "CAFE\xcc\x81"});
    EXPECT_EQ(names(recovery->getSearchResultsItem()), Names{"cafe\xcc\x81.txt"});
    EXPECT_EQ(recovery->getSearchText(), "CAF\xc3\xa9");
}

TEST_F(SearchTest, EndlessNestingStopsAtTheDepthLimitAndCancelStops) {
    addEndlessNesting(root);
    LogCapture logs(LOG_WARNING);
    recovery->searchItems("d");
    EXPECT_EQ(logs.countPrefix("folder nested too deep, not searched: "), 1);
    EXPECT_EQ(recovery->getSearchResultsItem()->getChildCount(true), static_cast<u32>(VolumeItem::kMaxDepth));
    TestListener listener;
    listener.cancelAtProgress = 1;
    recovery->setListener(&listener);
    recovery->searchItems("d");
    EXPECT_EQ(recovery->getSearchResultsItem()->getChildCount(true), 2u);
}

}  // namespace
}  // namespace vorn
