// The name search: hits by name without letter case, the "SearchResults"
// folder that lists but never owns its hits, folders loaded for the walk,
// cancel, and trees freed exactly once.
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryTestAccess.h"
#include "recovery/RecoveryTestSupport.h"

namespace vorn {
namespace {

using test::addDataFile;
using test::addDataFolder;
using test::DataItem;
using Names = std::vector<std::string>;

Names names(VolumeItem* folder) {
    Names out;
    if (folder) {
        for (VolumeItem* child : folder->children()) out.push_back(child->getName());
    }
    return out;
}

class SearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        liveBefore = DataItem::live - 1;  // the root is made already
        RecoveryTestAccess::setRootItem(*recovery, root);
    }
    void TearDown() override {
        recovery->deleteRootItem();
        recovery.reset();
        EXPECT_EQ(DataItem::live, liveBefore) << "every item is freed once, with the tree";
    }
    Names results() { return names(recovery->getSearchResultsItem()); }

    int liveBefore = 0;
    DataItem* root = new DataItem("root", {}, true);
    std::unique_ptr<Recovery> recovery = std::make_unique<Recovery>();
};

TEST_F(SearchTest, FindsNamesThatDifferInAsciiLetterCaseOnly) {
    addDataFile(root, "Photo.JPG");
    DataItem* sub = addDataFolder(root, "sub");
    addDataFile(sub, "my photo.jpeg");
    addDataFile(sub, "\xc3\x89T\xc3\x89 photo");  // "ÉTÉ": only ASCII letters are folded
    addDataFile(sub, "other.txt");

    recovery->searchItems("PHOTO");
    EXPECT_EQ(results(), (Names{"Photo.JPG", "my photo.jpeg", "\xc3\x89T\xc3\x89 photo"}));
    recovery->searchItems("\xc3\xa9t\xc3\xa9");
    EXPECT_EQ(results(), Names{});

    VolumeItem* folder = recovery->getSearchResultsItem();
    EXPECT_EQ(folder->getName(), "SearchResults");
    EXPECT_EQ(folder->getParent(), root);
    EXPECT_EQ(root->children().back(), folder);
    EXPECT_EQ(std::count(root->children().begin(), root->children().end(), folder), 1);
}

TEST_F(SearchTest, HitsStayInTheirFoldersWhichStayLoadedOthersAreFreedAgain) {
    DataItem* shown = addDataFolder(root, "shown");
    DataItem* first = addDataFile(shown, "hit-1");
    DataItem* lazy = addDataFolder(root, "lazy");
    lazy->loader = [](DataItem* f) {
        addDataFile(f, "hit-2");
        addDataFile(f, "miss");
    };
    DataItem* empty = addDataFolder(root, "nothing here");
    empty->loader = [](DataItem* f) {
        for (int i = 0; i < 10; ++i) addDataFile(f, "file" + std::to_string(i));
    };

    recovery->searchItems("hit");

    ASSERT_EQ(results(), (Names{"hit-1", "hit-2"}));
    EXPECT_EQ(first->getParent(), shown);
    EXPECT_EQ(names(shown), Names{"hit-1"});
    VolumeItem* second = recovery->getSearchResultsItem()->getChild(1, true);
    EXPECT_EQ(second->getPath(), "root/lazy/");
    EXPECT_EQ(names(lazy), (Names{"hit-2", "miss"}));
    EXPECT_TRUE(empty->children().empty());  // loaded for the walk and freed again
    EXPECT_FALSE(empty->childrenLoaded());

    // The next search empties the list first; earlier hits stay where they are.
    recovery->searchItems("miss");
    EXPECT_EQ(results(), Names{"miss"});
    EXPECT_EQ(names(lazy), (Names{"hit-2", "miss"}));
    EXPECT_EQ(lazy->loads, 1);
    EXPECT_EQ(empty->loads, 2);
    recovery->searchItems("");
    EXPECT_EQ(results(), Names{});
}

TEST_F(SearchTest, OnlyItsOwnResultsFolderIsReusedAndEndsTheWalk) {
    DataItem* own = addDataFolder(root, "SearchResults");  // a folder of the volume
    addDataFile(own, "keep me");
    recovery->searchItems("keep");
    EXPECT_NE(recovery->getSearchResultsItem(), own);
    EXPECT_EQ(names(own), Names{"keep me"});
    EXPECT_EQ(results(), Names{"keep me"});

    addDataFile(root, "keep after");  // behind the results folder: not searched
    recovery->searchItems("keep");
    EXPECT_EQ(results(), Names{"keep me"});
}

TEST_F(SearchTest, ListenerSeesEveryItemTranslatesAndCanCancel) {
    for (int i = 0; i < 5; ++i) addDataFile(root, "hit" + std::to_string(i));
    test::TestListener listener;
    listener.cancelAtProgress = 1;
    listener.texts["SearchResults"] = "Suchergebnisse";
    recovery->setListener(&listener);

    recovery->searchItems("hit");

    EXPECT_EQ(recovery->getSearchResultsItem()->getName(), "Suchergebnisse");
    EXPECT_EQ(results(), (Names{"hit0", "hit1"}));
    EXPECT_EQ(listener.progress, (std::vector<double>{-1.0, -1.0}));
    EXPECT_EQ(listener.changed, (std::vector<VolumeItem*>(2, recovery->getSearchResultsItem())));
}

TEST_F(SearchTest, TreeWithHitsIsFreedOnce) {
    addDataFile(addDataFolder(root, "f"), "hit");
    root->addChild(new DataItem("Volume hit", {}, true));  // a found volume's root: no parent
    recovery->searchItems("hit");
    EXPECT_EQ(results(), (Names{"hit", "Volume hit"}));
    recovery->deleteRootItem();  // TearDown counts the items
    EXPECT_EQ(recovery->getSearchResultsItem(), nullptr);
}

TEST_F(SearchTest, EndlessNestingStopsAtTheDepthLimit) {
    test::addEndlessFolder(root, "d");
    test::LogCapture logs(LOG_WARNING);
    recovery->searchItems("d");
    EXPECT_EQ(logs.countPrefix("folder nested too deep, not searched: "), 1);
    EXPECT_EQ(recovery->getSearchResultsItem()->getChildCount(true), static_cast<u32>(VolumeItem::kMaxDepth));
}

TEST(Search, RootNeverLoadedIsLoadedFirstAndNoRootIsLogged) {
    Recovery recovery;
    test::LogCapture logs(LOG_ERROR);
    recovery.searchItems("x");
    EXPECT_TRUE(logs.has("error: no items to search\n"));

    auto* root = new DataItem("root", {}, true);
    root->loader = [](DataItem* f) { addDataFile(f, "found"); };
    RecoveryTestAccess::setRootItem(recovery, root);
    recovery.searchItems("found");
    EXPECT_EQ(names(recovery.getSearchResultsItem()), Names{"found"});
    EXPECT_EQ(names(root), (Names{"found", "SearchResults"}));
    recovery.deleteRootItem();
}

}  // namespace
}  // namespace vorn
