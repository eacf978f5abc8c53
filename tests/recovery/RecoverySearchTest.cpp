// The name search: hits by name without letter case, the "SearchResults"
// folder that lists but never owns its hits, folders loaded for the walk,
// cancel, and trees freed exactly once.
#include <gtest/gtest.h>

#include "fs/Volume.h"
#include "misc/Log.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryTestAccess.h"
#include "recovery/RecoveryTestSupport.h"
#include "LogCapture.h"

namespace vorn {
namespace {

using test::addDataFile;
using test::addDataFolder;
using test::DataItem;
using test::LogCapture;
using test::TestListener;

std::vector<std::string> names(VolumeItem* folder) {
    std::vector<std::string> out;
    if (!folder) return out;
    for (VolumeItem* child : folder->children()) out.push_back(child->getName());
    return out;
}

class SearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        liveBefore = DataItem::live;
        root = new DataItem("root", {}, true);
        RecoveryTestAccess::setRootItem(*recovery, root);
    }
    void TearDown() override {
        recovery->deleteRootItem();
        recovery.reset();
        EXPECT_EQ(DataItem::live, liveBefore) << "every item is freed once, with the tree";
    }

    std::unique_ptr<Recovery> recovery = std::make_unique<Recovery>();
    DataItem* root = nullptr;
    int liveBefore = 0;
};

TEST_F(SearchTest, FindsNamesThatDifferOnlyInLetterCase) {
    addDataFile(root, "Photo.JPG", {});
    DataItem* sub = addDataFolder(root, "sub");
    addDataFile(sub, "my photo.jpeg", {});
    addDataFile(sub, "other.txt", {});

    recovery->searchItems("PHOTO");

    VolumeItem* results = recovery->getSearchResultsItem();
    ASSERT_NE(results, nullptr);
    EXPECT_EQ(results->getName(), "SearchResults");
    EXPECT_EQ(root->children().back(), results);
    EXPECT_EQ(results->getParent(), root);
    EXPECT_TRUE(results->isContainer());
    EXPECT_EQ(names(results), (std::vector<std::string>{"Photo.JPG", "my photo.jpeg"}));
    EXPECT_EQ(recovery->getSearchText(), "PHOTO");
}

TEST(SearchLazyRoot, RootWhoseChildrenWereNeverLoadedIsLoadedAndSearched) {
    Recovery recovery;
    auto* root = new DataItem("root", {}, true);
    root->loader = [](DataItem* f) { addDataFile(f, "found", {}); };
    RecoveryTestAccess::setRootItem(recovery, root);
    recovery.searchItems("found");
    EXPECT_EQ(names(recovery.getSearchResultsItem()), std::vector<std::string>{"found"});
    EXPECT_EQ(names(root), (std::vector<std::string>{"found", "SearchResults"}));
    recovery.deleteRootItem();
}

TEST_F(SearchTest, CaseIsFoldedForAsciiLettersOnly) {
    addDataFile(root, "\xc3\x89t\xc3\xa9", {});  // "Été"
    recovery->searchItems("\xc3\xa9t\xc3\xa9");
    EXPECT_TRUE(names(recovery->getSearchResultsItem()).empty());
}

TEST_F(SearchTest, HitsStayInTheirFoldersAndKeepTheirParent) {
    DataItem* shown = addDataFolder(root, "shown");
    DataItem* hitInShown = addDataFile(shown, "hit-1", {});
    auto* lazy = test::adopt(root, new DataItem("lazy", {}, true));
    lazy->loader = [](DataItem* f) {
        addDataFile(f, "hit-2", {});
        addDataFile(f, "miss", {});
    };

    recovery->searchItems("hit");

    VolumeItem* results = recovery->getSearchResultsItem();
    ASSERT_EQ(names(results), (std::vector<std::string>{"hit-1", "hit-2"}));
    EXPECT_EQ(hitInShown->getParent(), shown);
    EXPECT_EQ(names(shown), std::vector<std::string>{"hit-1"});
    // The folder loaded for the search keeps its children: a hit came from it.
    VolumeItem* hit2 = results->getChild(1, true);
    EXPECT_EQ(hit2->getParent(), lazy);
    EXPECT_EQ(names(lazy), (std::vector<std::string>{"hit-2", "miss"}));
    EXPECT_EQ(hit2->getPath(), "root/lazy/");
}

TEST_F(SearchTest, FoldersLoadedOnlyForTheSearchAreFreedAgain) {
    auto* lazy = test::adopt(root, new DataItem("lazy", {}, true));
    lazy->loader = [](DataItem* f) {
        for (int i = 0; i < 10; ++i) addDataFile(f, "file" + std::to_string(i), {});
    };
    const int live = DataItem::live;

    recovery->searchItems("nothing matches");

    EXPECT_EQ(lazy->loads, 1);
    EXPECT_TRUE(lazy->children().empty());
    EXPECT_FALSE(lazy->childrenLoaded());
    EXPECT_EQ(DataItem::live, live);
}

TEST_F(SearchTest, SecondSearchEmptiesTheResultsAndKeepsEarlierHitsInTheirFolders) {
    auto* lazy = test::adopt(root, new DataItem("lazy", {}, true));
    lazy->loader = [](DataItem* f) {
        addDataFile(f, "alpha", {});
        addDataFile(f, "beta", {});
    };
    recovery->searchItems("alpha");
    ASSERT_EQ(names(recovery->getSearchResultsItem()), std::vector<std::string>{"alpha"});

    recovery->searchItems("beta");

    EXPECT_EQ(names(recovery->getSearchResultsItem()), std::vector<std::string>{"beta"});
    EXPECT_EQ(names(lazy), (std::vector<std::string>{"alpha", "beta"}));
    EXPECT_EQ(lazy->loads, 1);  // kept from the first search, not loaded twice
    EXPECT_EQ(std::count(root->children().begin(), root->children().end(), recovery->getSearchResultsItem()), 1);
}

TEST_F(SearchTest, EmptyTextEmptiesTheResultsAndFindsNothing) {
    addDataFile(root, "a", {});
    recovery->searchItems("a");
    recovery->searchItems("");
    EXPECT_TRUE(names(recovery->getSearchResultsItem()).empty());
}

TEST_F(SearchTest, FolderOfTheVolumeNamedSearchResultsIsNotTakenForTheResults) {
    DataItem* own = addDataFolder(root, "SearchResults");
    addDataFile(own, "keep me", {});

    recovery->searchItems("keep");

    VolumeItem* results = recovery->getSearchResultsItem();
    ASSERT_NE(results, own);
    EXPECT_EQ(names(own), std::vector<std::string>{"keep me"});
    EXPECT_EQ(names(results), std::vector<std::string>{"keep me"});
}

TEST_F(SearchTest, ItemsAddedToTheRootAfterTheResultsFolderAreNotSearched) {
    addDataFile(root, "before", {});
    recovery->searchItems("e");
    addDataFile(root, "after", {});
    recovery->searchItems("e");
    EXPECT_EQ(names(recovery->getSearchResultsItem()), std::vector<std::string>{"before"});
}

TEST_F(SearchTest, ListenerSeesEveryItemAndCanCancel) {
    for (int i = 0; i < 5; ++i) addDataFile(root, "hit" + std::to_string(i), {});
    TestListener listener;
    listener.cancelAtProgress = 1;
    recovery->setListener(&listener);

    recovery->searchItems("hit");

    EXPECT_EQ(names(recovery->getSearchResultsItem()), (std::vector<std::string>{"hit0", "hit1"}));
    EXPECT_EQ(listener.progress, (std::vector<double>{-1.0, -1.0}));
    ASSERT_EQ(listener.changed.size(), 2u);
    EXPECT_EQ(listener.changed[0], recovery->getSearchResultsItem());
}

TEST_F(SearchTest, TranslatedResultsFolderName) {
    TestListener listener;
    listener.texts["SearchResults"] = "Suchergebnisse";
    recovery->setListener(&listener);
    recovery->searchItems("x");
    EXPECT_EQ(recovery->getSearchResultsItem()->getName(), "Suchergebnisse");
}

TEST_F(SearchTest, ResultsFolderFreedWithTheTreeDoesNotFreeItsHits) {
    DataItem* folder = addDataFolder(root, "f");
    addDataFile(folder, "hit", {});
    // A parentless child of the root, as a volume root that addVolume attached.
    auto* volumeRoot = new DataItem("Volume hit", {}, true);
    root->addChild(volumeRoot);
    recovery->searchItems("hit");
    EXPECT_EQ(names(recovery->getSearchResultsItem()), (std::vector<std::string>{"hit", "Volume hit"}));

    recovery->deleteRootItem();  // TearDown checks that each item went once

    EXPECT_EQ(recovery->getSearchResultsItem(), nullptr);
    EXPECT_EQ(recovery->getRootItem(), nullptr);
}

TEST_F(SearchTest, EndlessNestingStopsAtTheDepthLimit) {
    auto* top = test::adopt(root, new DataItem("d", {}, true));
    std::function<void(DataItem*)> nest = [&nest](DataItem* f) {
        test::adopt(f, new DataItem("d", {}, true))->loader = nest;
    };
    top->loader = nest;
    LogCapture logs(LOG_WARNING);
    recovery->searchItems("d");
    EXPECT_EQ(logs.countPrefix("folder nested too deep, not searched: "), 1);
    EXPECT_EQ(recovery->getSearchResultsItem()->getChildCount(true), static_cast<u32>(VolumeItem::kMaxDepth));
}

TEST(SearchWithoutTree, LogsAndDoesNothing) {
    Recovery recovery;
    LogCapture logs(LOG_ERROR);
    recovery.searchItems("x");
    EXPECT_TRUE(logs.has("error: no items to search\n"));
    EXPECT_EQ(recovery.getSearchResultsItem(), nullptr);
}

}  // namespace
}  // namespace vorn
