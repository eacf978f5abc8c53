#include <gtest/gtest.h>

#include "fs/ItemTestSupport.h"
#include "fs/VolumeTableModel.h"
#include "fs/VolumeTreeModel.h"
#include "misc/Utils.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryEventListener.h"
#include "recovery/RecoveryTestAccess.h"

namespace vorn {
namespace {

using test::addFile;
using test::addFolder;
using test::TestItem;
using test::TestVolume;

// Translates every key by wrapping it, so tests see where translation applies.
struct BracketListener : RecoveryEventListener {
    void progressEvent(double, bool*) override {}
    void fileSaving(const std::string&) override {}
    void askOverwrite(const std::string&, bool*, bool*, bool*) override {}
    void diskListChangedEvent() override {}
    void itemChangedEvent(VolumeItem*) override {}
    std::string localizedString(const std::string& key) override { return "[" + key + "]"; }
};

// A Recovery whose result root is a test volume's root.
struct Fixture : ::testing::Test {
    void SetUp() override {
        volume.createRootItem("root");
        RecoveryTestAccess::setRootItem(recovery, volume.getRootItem());
        recovery.setListener(&listener);
    }
    void TearDown() override {
        recovery.deleteRootItem();
        recovery.setListener(nullptr);
    }
    VolumeItem* root() { return volume.getRootItem(); }

    TestVolume volume;
    Recovery recovery;
    BracketListener listener;
};

using VolumeTreeModelTest = Fixture;
using VolumeTableModelTest = Fixture;

TEST_F(VolumeTreeModelTest, ShowsFoldersOnlyAndCountsAllEntriesInTheText) {
    VolumeItem* photos = addFolder(root(), "Photos");
    for (int i = 0; i < 3; ++i) addFile(photos, "f" + std::to_string(i));
    addFolder(photos, "x");
    addFolder(photos, "y");
    VolumeTreeModel model(&recovery);
    EXPECT_EQ(model.getRoot(), root());
    EXPECT_EQ(model.getChildCount(photos), 2u);
    EXPECT_EQ(model.getText(photos), "Photos (5)");
    EXPECT_FALSE(model.isLeaf(photos));
    EXPECT_EQ(model.getChild(photos, 0), photos->getChild(0, false));
    EXPECT_EQ(model.getChild(photos, 2), nullptr);
    EXPECT_EQ(model.getTag(photos), 0);
    EXPECT_EQ(VolumeTableModel(&recovery, photos).getRowCount(), 5u);
}

TEST_F(VolumeTreeModelTest, LoadsAndSortsAFolderTheFirstTimeOnly) {
    TestItem* lazy = addFolder(root(), "lazy");
    lazy->loader = [](TestItem* f) {
        addFolder(f, "b");
        addFolder(f, "a");
    };
    TestItem* empty = addFolder(root(), "empty");
    VolumeTreeModel model(&recovery);
    EXPECT_EQ(model.getChildCount(lazy), 2u);
    EXPECT_EQ(model.getChild(lazy, 0)->isKindOf(KIND_VOLUME_ITEM), true);
    EXPECT_EQ(static_cast<VolumeItem*>(model.getChild(lazy, 0))->getName(), "a");
    model.getChildCount(lazy);
    model.isLeaf(lazy);
    EXPECT_EQ(lazy->loadCalls, 1);
    // An empty folder is read once, not on every question.
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(model.isLeaf(empty));
        EXPECT_EQ(model.getChildCount(empty), 0u);
        EXPECT_EQ(model.getText(empty), "empty (0)");
    }
    EXPECT_EQ(empty->loadCalls, 1);
}

TEST_F(VolumeTreeModelTest, TextLoadsWithoutSorting) {
    TestItem* lazy = addFolder(root(), "lazy");
    lazy->loader = [](TestItem* f) {
        addFile(f, "b");
        addFile(f, "a");
    };
    VolumeTreeModel model(&recovery);
    EXPECT_EQ(model.getText(lazy), "lazy (2)");
    EXPECT_EQ(test::childNames(lazy), (std::vector<std::string>{"b", "a"}));
    EXPECT_TRUE(model.isLeaf(lazy));  // files only; no reload, no sort
    EXPECT_EQ(lazy->loadCalls, 1);
    EXPECT_EQ(test::childNames(lazy), (std::vector<std::string>{"b", "a"}));
}

TEST_F(VolumeTreeModelTest, IconsFollowKindStateAndTheSearchResults) {
    VolumeTreeModel model(&recovery);
    VolumeItem* folder = addFolder(root(), "f");
    VolumeItem* deleted = addFolder(root(), "d");
    deleted->setFlags(ITEM_DELETED);
    VolumeItem* file = addFile(root(), "file");
    VolumeItem* results = root()->findChild("SearchResults", true);
    RecoveryTestAccess::setSearchResultsItem(recovery, results);
    EXPECT_EQ(model.getIcon(folder, false), 0);
    EXPECT_EQ(model.getIcon(folder, true), 1);
    EXPECT_EQ(model.getIcon(deleted, true), 6);
    EXPECT_EQ(model.getIcon(deleted, false), 7);
    EXPECT_EQ(model.getIcon(file, true), 0);
    EXPECT_EQ(model.getIcon(results, true), 14);
    EXPECT_EQ(model.getIcon(nullptr, false), 2);
}

TEST_F(VolumeTreeModelTest, NodesThatAreNotItemsAreLeavesWithoutText) {
    VolumeTreeModel model(&recovery);
    Base other;
    EXPECT_TRUE(model.isLeaf(&other));
    EXPECT_EQ(model.getText(&other), "");
    EXPECT_EQ(model.getChildCount(&other), 0u);
    EXPECT_EQ(model.getChild(&other, 0), nullptr);
    EXPECT_EQ(model.getIcon(&other, true), 2);
    VolumeTreeModel none(nullptr);
    EXPECT_EQ(none.getRoot(), nullptr);
    Recovery empty;
    EXPECT_EQ(VolumeTreeModel(&empty).getRoot(), nullptr);
}

TEST_F(VolumeTableModelTest, ColumnsAndCellTexts) {
    VolumeItem* sub = addFolder(root(), "sub");
    addFile(root(), "one", 1, 0, "17");
    addFile(root(), "zero", 0, 1000000000, "10");
    addFile(root(), "more", 1025, 0, "9");
    VolumeTableModel model(&recovery, root());
    EXPECT_EQ(model.getColumnCount(), 5u);
    EXPECT_EQ(model.getColumnName(0), "Name");
    EXPECT_EQ(model.getColumnName(1), "Size");
    EXPECT_EQ(model.getColumnName(2), "Type");
    EXPECT_EQ(model.getColumnName(3), "Date modified");
    EXPECT_EQ(model.getColumnName(4), "ID");
    EXPECT_EQ(model.getColumnName(5), "");
    EXPECT_EQ(model.getRowCount(), 4u);

    // Sorted by name: more, one, sub, zero.
    EXPECT_EQ(model.getText(0, 0), "more");
    EXPECT_EQ(model.getText(0, 1), "2 KB");
    EXPECT_EQ(model.getText(1, 1), "1 KB");
    EXPECT_EQ(model.getText(3, 1), "0 KB");
    EXPECT_EQ(model.getText(2, 0), "sub");
    EXPECT_EQ(model.getText(2, 1), "");
    EXPECT_EQ(model.getText(2, 2), "[Folder]");
    EXPECT_EQ(model.getText(0, 2), "[File]");
    EXPECT_EQ(model.getText(0, 3), "[n/a]");
    EXPECT_EQ(model.getText(3, 3), timeToString(1000000000));
    EXPECT_EQ(model.getText(0, 4), "9");
    EXPECT_EQ(model.getText(2, 4), "n/a");
    EXPECT_EQ(model.getText(0, 5), "");
    EXPECT_EQ(model.getText(4, 0), "");
    EXPECT_EQ(model.getItem(2), sub);
    EXPECT_EQ(model.getItem(4), nullptr);
}

TEST_F(VolumeTableModelTest, SizeRoundsUpToWholeKilobytesWithoutOverflow) {
    addFile(root(), "a", 1024);
    addFile(root(), "b", 1023);
    addFile(root(), "c", ~u64(0));
    VolumeTableModel model(&recovery, root());
    EXPECT_EQ(model.getText(0, 1), "1 KB");
    EXPECT_EQ(model.getText(1, 1), "1 KB");
    EXPECT_EQ(model.getText(2, 1), "18014398509481984 KB");
}

TEST_F(VolumeTableModelTest, IconsPerRow) {
    addFolder(root(), "a");
    addFolder(root(), "b")->setFlags(ITEM_DELETED);
    addFile(root(), "c");
    addFile(root(), "d")->setFlags(ITEM_DELETED);
    VolumeTableModel model(&recovery, root());
    model.getText(0, 0);
    EXPECT_EQ(model.getIcon(0), 0);
    EXPECT_EQ(model.getIcon(1), 7);
    EXPECT_EQ(model.getIcon(2), 2);
    EXPECT_EQ(model.getIcon(3), 4);
    EXPECT_EQ(model.getIcon(4), -1);
}

TEST_F(VolumeTableModelTest, NewSortTypeShowsInTheFirstCellAskedFor) {
    addFile(root(), "a", 300);
    addFile(root(), "b", 100);
    addFile(root(), "c", 200);
    VolumeTableModel model(&recovery, root());
    EXPECT_EQ(model.getText(0, 0), "a");
    volume.setSortType(SORT_SIZE);
    EXPECT_EQ(model.getText(0, 0), "b");
    EXPECT_EQ(model.getText(2, 0), "a");
}

TEST_F(VolumeTableModelTest, NeverLoadsAFolder) {
    TestItem* lazy = addFolder(root(), "lazy");
    lazy->loader = [](TestItem* f) { addFile(f, "x"); };
    VolumeTableModel model(&recovery, lazy);
    EXPECT_EQ(model.getRowCount(), 0u);
    EXPECT_EQ(model.getText(0, 0), "");
    EXPECT_EQ(lazy->loadCalls, 0);
    VolumeTreeModel tree(&recovery);
    tree.getChildCount(lazy);
    EXPECT_EQ(model.getRowCount(), 1u);
}

TEST(VolumeTableModelEmpty, NoFolderMeansNoRowsAndNoIcons) {
    Recovery recovery;
    VolumeTableModel model(&recovery, nullptr);
    EXPECT_EQ(model.getRowCount(), 0u);
    EXPECT_EQ(model.getColumnCount(), 5u);
    EXPECT_EQ(model.getText(0, 0), "");
    EXPECT_EQ(model.getIcon(0), -1);
    EXPECT_EQ(model.getItem(0), nullptr);
}

TEST(VolumeTableModelEmpty, TextsAreKeysWithoutListener) {
    Recovery recovery;
    TestVolume volume;
    volume.createRootItem("r");
    addFile(volume.getRootItem(), "f", 5);
    VolumeTableModel model(&recovery, volume.getRootItem());
    EXPECT_EQ(model.getText(0, 2), "File");
    EXPECT_EQ(model.getText(0, 3), "n/a");
    delete volume.getRootItem();
}

}  // namespace
}  // namespace vorn
