#include "fs/VolumeItem.h"

#include <gtest/gtest.h>

#include "fs/ItemTestSupport.h"

namespace vorn {
namespace {

using test::addFile;
using test::addFolder;
using test::childNames;
using test::LogCapture;
using test::TestItem;
using test::TestVolume;

using Names = std::vector<std::string>;

// A volume with a root folder, freed in the order Recovery uses: tree first.
struct Tree {
    explicit Tree(int sortType = SORT_NAME) : volume(nullptr, sortType) { volume.createRootItem("root"); }
    ~Tree() { delete volume.getRootItem(); }
    VolumeItem* root() { return volume.getRootItem(); }
    TestVolume volume;
};

// ---- comparison

TEST(VolumeItemCompare, SortKeyDecidesBeforeEveryOtherTerm) {
    Tree t(SORT_SIZE);
    TestItem* a = addFile(t.root(), "a", 200, 1, "1");
    TestItem* b = addFile(t.root(), "b", 100, 2, "2");
    EXPECT_EQ(a->compare(b, true, true, true), 1);   // size first although the name says otherwise
    EXPECT_EQ(b->compare(a, true, true, true), -1);
    t.volume.setSortType(SORT_NAME);
    EXPECT_EQ(a->compare(b, true, true, true), -1);
    t.volume.setSortType(SORT_DATE);
    EXPECT_EQ(a->compare(b, true, true, true), -1);
    a->date = 5;
    EXPECT_EQ(a->compare(b, true, true, true), 1);
    // The sort key counts although its use flag is off.
    EXPECT_EQ(a->compare(b, false, false, false), 1);
    t.volume.setSortType(SORT_ID);
    a->id = "3";
    EXPECT_EQ(a->compare(b, true, true, true), 1);
}

TEST(VolumeItemCompare, TiesBreakByNameThenSizeThenIdThenDate) {
    Tree t(SORT_DATE);
    TestItem* a = addFile(t.root(), "same", 10, 7, "9");
    TestItem* b = addFile(t.root(), "same", 20, 7, "1");
    EXPECT_EQ(a->compare(b, true, true, true), -1);  // equal dates and names: smaller size wins over a larger id
    b->size = 10;
    EXPECT_EQ(a->compare(b, true, true, true), 1);   // then the id as text
    b->id = "9";
    EXPECT_EQ(a->compare(b, true, true, true), 0);
    b->setName("samf");
    b->id = "0";
    EXPECT_EQ(a->compare(b, true, true, true), -1);  // name before size and id
    // Terms whose use flag is off have no weight.
    b->setName("same");
    b->size = 99;
    EXPECT_EQ(a->compare(b, true, false, true), 1);  // size ignored, id "9" > "0"
    EXPECT_EQ(a->compare(b, true, false, false), 0);
}

TEST(VolumeItemCompare, DateBreaksTheLastTieAsUnsignedNumbers) {
    Tree t(SORT_NAME);
    TestItem* a = addFile(t.root(), "x", 1, 0x80000000u, "1");
    TestItem* b = addFile(t.root(), "x", 1, 1, "1");
    EXPECT_EQ(a->compare(b, true, true, true), 1);
    EXPECT_EQ(a->compare(b, false, true, true), 0);
}

TEST(VolumeItemCompare, FolderComesBeforeFileAtEqualSize) {
    Tree t(SORT_SIZE);
    TestItem* folder = addFolder(t.root(), "z");
    TestItem* file = addFile(t.root(), "a", 0);
    EXPECT_EQ(folder->compare(file, true, true, true), -1);
    EXPECT_EQ(file->compare(folder, true, true, true), 1);
    t.volume.setSortType(SORT_NAME);
    folder->setName("a");
    EXPECT_EQ(folder->compare(file, false, true, false), -1);
    EXPECT_EQ(file->compare(folder, false, true, false), 1);
    EXPECT_EQ(file->compare(folder, false, false, false), 0);
    TestItem* folder2 = addFolder(t.root(), "a");
    EXPECT_EQ(folder->compare(folder2, true, true, true), 0);
}

TEST(VolumeItemCompare, IdsCompareAsText) {
    Tree t(SORT_ID);
    TestItem* ten = addFile(t.root(), "b", 0, 0, "10");
    TestItem* nine = addFile(t.root(), "a", 0, 0, "9");
    EXPECT_EQ(ten->compare(nine, true, true, true), -1);
}

TEST(VolumeItemCompare, SizesCompareAsSignedValues) {
    Tree t(SORT_SIZE);
    TestItem* huge = addFile(t.root(), "a", u64(1) << 63);
    TestItem* one = addFile(t.root(), "b", 1);
    EXPECT_EQ(huge->compare(one, true, true, true), -1);
}

TEST(VolumeItemCompare, NullOtherIsEqualAndNoVolumeMeansName) {
    TestItem a("b", false, 1), b("a", false, 2);
    EXPECT_EQ(a.compare(nullptr, true, true, true), 0);
    EXPECT_EQ(a.compare(&b, true, true, true), 1);
}

TEST(VolumeItemCompare, InvalidSortTypeIsLoggedAndGivesNoKey) {
    LogCapture rec;
    Tree t(7);
    TestItem* a = addFile(t.root(), "a", 5);
    TestItem* b = addFile(t.root(), "b", 1);
    rec.clear();
    EXPECT_EQ(a->compare(b, true, true, true), -1);
    EXPECT_EQ(rec.lines, Names{"error: invalid sortType!\n"});
}

// ---- sorting

TEST(VolumeItemSort, SortsByTheVolumeSortTypeAndOnlyWhenItChanged) {
    Tree t(SORT_SIZE);
    addFile(t.root(), "c", 30);
    addFile(t.root(), "a", 20);
    addFolder(t.root(), "b");
    t.root()->sortChildren();
    EXPECT_EQ(childNames(t.root()), (Names{"b", "a", "c"}));
    addFile(t.root(), "0", 1);
    t.root()->sortChildren();  // same sort type: late additions keep their place
    EXPECT_EQ(childNames(t.root()), (Names{"b", "a", "c", "0"}));
    t.volume.setSortType(SORT_NAME);
    t.root()->sortChildren();
    EXPECT_EQ(childNames(t.root()), (Names{"0", "a", "b", "c"}));
}

TEST(VolumeItemSort, DateSortPutsEarlierFirstAndFallsBackToName) {
    Tree t(SORT_DATE);
    addFile(t.root(), "late", 0, 300);
    addFile(t.root(), "b", 0, 100);
    addFile(t.root(), "a", 0, 100);
    addFile(t.root(), "none", 0, 0);
    t.root()->sortChildren();
    EXPECT_EQ(childNames(t.root()), (Names{"none", "a", "b", "late"}));
}

TEST(VolumeItemSort, IdSortOrdersIdsAsText) {
    Tree t(SORT_ID);
    addFile(t.root(), "x", 0, 0, "9");
    addFile(t.root(), "y", 0, 0, "10");
    addFile(t.root(), "z", 0, 0, "100");
    t.root()->sortChildren();
    EXPECT_EQ(childNames(t.root()), (Names{"y", "z", "x"}));
}

TEST(VolumeItemSort, ChildrenOfOtherVolumesFollowTheFolderSortType) {
    // A result root holds roots of several volumes with their own sort types;
    // one sort must use one order for all of them.
    TestVolume other(nullptr, SORT_NAME);  // outlives the tree whose items point to it
    Tree t(SORT_SIZE);
    TestItem* big = addFile(t.root(), "a", 500);
    big->setVolume(&other);
    addFile(t.root(), "b", 100);
    TestItem* mid = addFile(t.root(), "c", 300);
    mid->setVolume(&other);
    t.root()->sortChildren();
    EXPECT_EQ(childNames(t.root()), (Names{"b", "c", "a"}));
}

TEST(VolumeItemSort, FolderWithoutVolumeSortsByName) {
    TestItem folder("f", true);
    addFile(&folder, "b", 1);
    addFile(&folder, "a", 2);
    folder.sortChildren();
    EXPECT_EQ(childNames(&folder), (Names{"a", "b"}));
}

TEST(VolumeItemSort, FetchesEachKeyOncePerChild) {
    Tree t(SORT_ID);
    std::vector<TestItem*> items;
    for (int i = 0; i < 2000; ++i) items.push_back(addFile(t.root(), "f", 0, 0, std::to_string((i * 7919) % 2000)));
    t.root()->sortChildren();
    for (TestItem* item : items) EXPECT_EQ(item->idCalls, 1);
    EXPECT_EQ(t.root()->getChild(0, true)->getId(), "0");
    EXPECT_EQ(t.root()->getChild(1, true)->getId(), "1");
    EXPECT_EQ(t.root()->getChild(2, true)->getId(), "10");
}

// ---- duplicates and empty folders

TEST(VolumeItemDuplicates, RenameInsertsACounterBeforeTheLastDot) {
    Tree t(SORT_SIZE);
    for (const char* name : {"c", "b.txt", "a", "b.txt", "b.txt"}) addFile(t.root(), name);
    t.root()->renameDuplicates(false);
    EXPECT_EQ(t.volume.getSortType(), SORT_NAME);
    EXPECT_EQ(childNames(t.root()), (Names{"a", "b00001.txt", "b00002.txt", "b.txt", "c"}));
}

TEST(VolumeItemDuplicates, RenameHandlesNamesWithoutDotAndLeadingDot) {
    Tree t;
    for (const char* name : {".profile", "notes", ".profile", "notes", "photo.jpg", "photo.jpg", "photo.jpg"}) {
        addFile(t.root(), name);
    }
    t.root()->renameDuplicates(false);
    EXPECT_EQ(childNames(t.root()),
              (Names{"00001.profile", ".profile", "notes00001", "notes", "photo00001.jpg", "photo00002.jpg", "photo.jpg"}));
}

TEST(VolumeItemDuplicates, RenameCountsEveryRunFromOneAndRecurses) {
    Tree t;
    addFile(t.root(), "a");
    addFile(t.root(), "a");
    addFile(t.root(), "b");
    addFile(t.root(), "b");
    TestItem* sub = addFolder(t.root(), "sub");
    addFile(sub, "x");
    addFile(sub, "x");
    t.root()->renameDuplicates(false);
    EXPECT_EQ(childNames(t.root()), (Names{"a00001", "a", "b00001", "b", "sub"}));
    EXPECT_EQ(childNames(sub), (Names{"x", "x"}));
    t.root()->renameDuplicates(true);
    EXPECT_EQ(childNames(sub), (Names{"x00001", "x"}));
}

TEST(VolumeItemDuplicates, RenameFindsDuplicatesAddedAfterTheLastSort) {
    Tree t;
    addFile(t.root(), "a");
    addFile(t.root(), "b");
    t.root()->sortChildren();
    addFile(t.root(), "a");  // not next to its twin
    t.root()->renameDuplicates(false);
    EXPECT_EQ(t.root()->getChild(0, true)->getName(), "a00001");
    EXPECT_EQ(t.root()->getChild(1, true)->getName(), "a");
}

TEST(VolumeItemDuplicates, RemoveKeepsTheLastOfARunAndFreesTheOthers) {
    Tree t;
    addFile(t.root(), "a", 5, 1, "1");
    TestItem* kept = addFile(t.root(), "a", 5, 2, "1");  // differs by date only: a duplicate
    addFile(t.root(), "a", 5, 3, "1");
    addFile(t.root(), "b", 5, 0, "1");
    int before = TestItem::live;
    t.root()->removeDuplicates(false);
    EXPECT_EQ(TestItem::live, before - 2);
    EXPECT_EQ(childNames(t.root()), (Names{"a", "b"}));
    (void)kept;
}

TEST(VolumeItemDuplicates, RemoveKeepsItemsThatDifferInIdOrSizeOrKind) {
    Tree t;
    addFile(t.root(), "a", 5, 0, "1");
    addFile(t.root(), "a", 5, 0, "2");
    addFile(t.root(), "b", 5, 0, "1");
    addFile(t.root(), "b", 6, 0, "1");
    addFile(t.root(), "c", 0, 0, "n/a");
    addFolder(t.root(), "c", "n/a");
    t.root()->removeDuplicates(false);
    EXPECT_EQ(t.root()->getChildCount(true), 6u);
}

TEST(VolumeItemDuplicates, RemoveRecursesIntoRemainingFolders) {
    Tree t;
    TestItem* sub = addFolder(t.root(), "sub");
    addFile(sub, "x", 1, 0, "1");
    addFile(sub, "x", 1, 0, "1");
    t.root()->removeDuplicates(false);
    EXPECT_EQ(sub->getChildCount(true), 2u);
    t.root()->removeDuplicates(true);
    EXPECT_EQ(sub->getChildCount(true), 1u);
}

TEST(VolumeItemEmptyFolders, RecursiveRemovalTakesFoldersThatHoldOnlyEmptyFolders) {
    Tree t;
    TestItem* outer = addFolder(t.root(), "outer");
    addFolder(outer, "inner");
    TestItem* full = addFolder(t.root(), "full");
    addFile(full, "f");
    addFolder(full, "empty");
    addFile(t.root(), "file");
    addFolder(t.root(), "empty");

    t.root()->removeEmptyFolders(false);
    EXPECT_EQ(childNames(t.root()), (Names{"outer", "full", "file"}));
    EXPECT_EQ(full->getChildCount(true), 2u);

    int before = TestItem::live;
    t.root()->removeEmptyFolders(true);
    EXPECT_EQ(childNames(t.root()), (Names{"full", "file"}));
    EXPECT_EQ(childNames(full), (Names{"f"}));
    EXPECT_EQ(TestItem::live, before - 3);
}

TEST(VolumeItemEmptyFolders, FileAndUnloadedFolderJudgedByMemoryOnly) {
    TestItem file("f");
    file.removeEmptyFolders(true);  // nothing for a file
    Tree t;
    TestItem* lazy = addFolder(t.root(), "lazy");
    lazy->loader = [](TestItem* f) { addFile(f, "x"); };
    t.root()->removeEmptyFolders(true);
    EXPECT_EQ(t.root()->getChildCount(true), 0u);
}

// ---- children

TEST(VolumeItemChildren, FolderIndexCountsFoldersInListOrder) {
    LogCapture rec;
    Tree t;
    addFile(t.root(), "f1");
    TestItem* d1 = addFolder(t.root(), "d1");
    addFile(t.root(), "f2");
    TestItem* d2 = addFolder(t.root(), "d2");
    rec.clear();
    EXPECT_EQ(t.root()->getChildCount(false), 2u);
    EXPECT_EQ(t.root()->getChildCount(true), 4u);
    EXPECT_EQ(t.root()->getChild(0, false), d1);
    EXPECT_EQ(t.root()->getChild(1, false), d2);
    EXPECT_EQ(t.root()->getChild(2, false), nullptr);
    EXPECT_TRUE(rec.lines.empty());
    EXPECT_EQ(t.root()->getChild(4, true), nullptr);
    EXPECT_EQ(rec.lines, Names{"VolumeItem::getChild - index out of range!\n"});

    // The index follows changes to the list and to a child's kind.
    TestItem* d3 = addFolder(t.root(), "d3");
    EXPECT_EQ(t.root()->getChild(2, false), d3);
    t.root()->removeChild(d1);
    EXPECT_EQ(t.root()->getChild(0, false), d2);
    static_cast<VolumeItem*>(t.root()->getChild(0, true))->setContainer(true);  // f1 becomes a folder
    EXPECT_EQ(t.root()->getChildCount(false), 3u);
    EXPECT_EQ(t.root()->getChild(0, false)->getName(), "f1");
    delete d1;
}

TEST(VolumeItemChildren, AddChildLinksNothingAndRefusesNull) {
    LogCapture rec;
    TestItem folder("f", true);
    auto* child = new TestItem("c");
    folder.addChild(child);
    EXPECT_EQ(child->getParent(), nullptr);
    EXPECT_EQ(child->getVolume(), nullptr);
    folder.addChild(nullptr);
    EXPECT_EQ(rec.count("VolumeItem::addChild - child=NULL!\n"), 1);
    EXPECT_EQ(folder.getChildCount(true), 1u);
}

TEST(VolumeItemChildren, RemoveAndClearDoNotDelete) {
    TestItem folder("f", true);
    TestItem a("a"), b("b");
    folder.addChild(&a);
    folder.addChild(&b);
    folder.addChild(&a);
    folder.removeChild(&a);
    EXPECT_EQ(childNames(&folder), Names{"b"});
    folder.removeChild(nullptr);
    folder.clearChildren();
    EXPECT_EQ(folder.getChildCount(true), 0u);
    EXPECT_EQ(b.getName(), "b");
}

TEST(VolumeItemChildren, DeletingAChildTakesItOutOfItsParent) {
    Tree t;
    TestItem* a = addFile(t.root(), "a");
    addFile(t.root(), "b");
    delete a;
    EXPECT_EQ(childNames(t.root()), Names{"b"});
}

TEST(VolumeItemChildren, FindChildMatchesBytesAndCreatesOnce) {
    Tree t;
    addFile(t.root(), "Name");
    EXPECT_EQ(t.root()->findChild("name", false), nullptr);
    VolumeItem* made = t.root()->findChild("name", true);
    ASSERT_NE(made, nullptr);
    EXPECT_TRUE(made->isContainer());
    EXPECT_EQ(made->getParent(), t.root());
    EXPECT_EQ(made->getVolume(), &t.volume);
    EXPECT_EQ(made->getId(), "n/a");
    EXPECT_EQ(t.root()->findChild("name", true), made);
    EXPECT_EQ(t.root()->getChildCount(true), 2u);
}

TEST(VolumeItemChildren, LoadChildrenLoadsAnEmptyFolderOnce) {
    TestItem folder("f", true);
    folder.loadChildren();
    folder.loadChildren();
    EXPECT_EQ(folder.loadCalls, 1);
    EXPECT_TRUE(folder.childrenLoaded());
    TestItem built("g", true);
    addFile(&built, "x");
    built.loadChildren();  // entries already in memory: nothing read
    EXPECT_EQ(built.loadCalls, 0);
}

// ---- item texts and links

TEST(VolumeItem, ExtensionIsTheTextAfterTheLastDot) {
    TestItem item("archive.tar.gz");
    EXPECT_EQ(item.getExtension(), "gz");
    item.setName("README");
    EXPECT_EQ(item.getExtension(), "README");
    item.setName("trailing.");
    EXPECT_EQ(item.getExtension(), "");
}

TEST(VolumeItem, PathHoldsTheAncestorsNamesOnly) {
    Tree t;
    t.root()->setName("A");
    TestItem* b = addFolder(t.root(), "B");
    TestItem* file = addFile(b, "file");
    EXPECT_EQ(file->getPath(), "A/B/");
    EXPECT_EQ(t.root()->getPath(), "");
}

TEST(VolumeItem, FlagsAndPlainFolderItem) {
    TestItem item("x");
    EXPECT_FALSE(item.isDeleted());
    item.setFlags(ITEM_DELETED);
    EXPECT_TRUE(item.isDeleted());
    EXPECT_FALSE(item.isLost());
    item.setFlags(ITEM_LOST);
    EXPECT_TRUE(item.isLost());
    EXPECT_FALSE(item.isDeleted());
    EXPECT_EQ(item.getFlags(), ITEM_LOST);
    DummyVolumeItem dummy;
    EXPECT_FALSE(dummy.isContainer());
    EXPECT_EQ(dummy.getId(), "n/a");
    EXPECT_EQ(dummy.getDate(), 0u);
    EXPECT_EQ(dummy.getSize(), 0u);
    EXPECT_FALSE(dummy.addChildren());
}

TEST(VolumeItem, NullParentIsLoggedForItemsBelowAVolumeRoot) {
    LogCapture rec;
    Tree t;
    TestItem* child = addFile(t.root(), "c");
    rec.clear();
    t.root()->setParent(nullptr);
    EXPECT_TRUE(rec.lines.empty());
    child->setParent(nullptr);
    EXPECT_EQ(rec.lines, Names{"VolumeItem::setParent - parent=NULL!\n"});
    EXPECT_EQ(child->getParent(), nullptr);
    child->setParent(t.root());
}

TEST(VolumeItem, DumpLogsFoldersWithTheirCountsAndFiles) {
    LogCapture rec;
    Tree t;
    TestItem* sub = addFolder(t.root(), "sub");
    addFile(sub, "f");
    rec.clear();
    t.root()->dump();
    EXPECT_EQ(rec.lines, (Names{"VolumeItem::dump - folder name: root (1 items)\n",
                                "VolumeItem::dump - folder name: sub (1 items)\n", "VolumeItem::dump - file name: f\n"}));
}

// ---- deletion

TEST(VolumeItemDelete, RootDeletionLogsTheFreedCountOfTheWholeTree) {
    LogCapture rec;
    auto* volume = new TestVolume();
    volume->createRootItem("root");
    VolumeItem* root = volume->getRootItem();
    TestItem* a = addFolder(root, "a");
    for (int i = 0; i < 4; ++i) addFile(a, "f" + std::to_string(i));
    TestItem* b = addFolder(a, "b");
    for (int i = 0; i < 4; ++i) addFile(b, "g" + std::to_string(i));  // 10 descendants in all
    rec.clear();
    delete root;
    EXPECT_EQ(rec.lines, (Names{"VolumeItem::~VolumeItem rootitem (root)\n", "VolumeItem::~VolumeItem frees:11\n"}));
    EXPECT_EQ(VolumeItem::freedItemCount(), 11u);
    EXPECT_EQ(volume->getRootItem(), nullptr);
    delete volume;
}

TEST(VolumeItemDelete, NestedVolumeRootsKeepBothCountsRight) {
    LogCapture rec;
    Tree outer;
    TestVolume lost;
    lost.createRootItem("Volume 1");
    VolumeItem* lostRoot = lost.getRootItem();
    outer.root()->addChild(lostRoot);  // as a found volume hangs under the result root
    addFile(lostRoot, "x");
    addFile(lostRoot, "y");
    addFile(outer.root(), "z");
    rec.clear();
    delete outer.root();
    EXPECT_EQ(rec.lines, (Names{"VolumeItem::~VolumeItem rootitem (root)\n",
                                "VolumeItem::~VolumeItem rootitem (Volume 1)\n", "VolumeItem::~VolumeItem frees:3\n",
                                "VolumeItem::~VolumeItem frees:5\n"}));
    EXPECT_EQ(lost.getRootItem(), nullptr);
    EXPECT_EQ(outer.volume.getRootItem(), nullptr);
}

TEST(VolumeItemDelete, ReleaseChildrenFreesOnlyWhatTheListOwns) {
    Tree t;
    TestItem* folder = addFolder(t.root(), "folder");
    TestItem* shared = addFile(folder, "shared");
    VolumeItem* results = t.root()->findChild("SearchResults", true);
    results->addChild(shared);                       // owned by its folder
    TestItem* own = addFile(results, "own");          // owned by the list
    auto* orphan = new TestItem("orphan");            // no parent: owned by the list
    results->addChild(orphan);
    int before = TestItem::live;
    results->releaseChildren();
    EXPECT_EQ(results->getChildCount(true), 0u);
    EXPECT_EQ(TestItem::live, before - 2);
    EXPECT_EQ(childNames(folder), Names{"shared"});
    (void)own;
}

// ---- walks

struct Recorder : VolumeItemCallback {
    std::vector<std::string> seen;
    std::string takeName;   // take items with this name
    std::string stopAt;     // stop at this name
    std::vector<VolumeItem*> taken;
    void onItem(VolumeItem* item, bool* stop, bool* take) override {
        seen.push_back(item->getName());
        if (item->getName() == takeName) {
            *take = true;
            taken.push_back(item);
        }
        if (item->getName() == stopAt) *stop = true;
    }
    ~Recorder() {
        for (VolumeItem* item : taken) delete item;
    }
};

TEST(VolumeItemVisit, WalksLoadedFolderInOrderAndFreesNothing) {
    Tree t;
    TestItem* a = addFolder(t.root(), "a");
    addFile(a, "a1");
    addFile(t.root(), "b");
    Recorder r;
    r.takeName = "b";
    EXPECT_TRUE(t.root()->visit(&r, true));
    EXPECT_EQ(r.seen, (Names{"a", "a1", "b"}));
    // Not loaded by the walk: taken items stay in their folder.
    EXPECT_EQ(childNames(t.root()), (Names{"a", "b"}));
    r.taken.clear();
    EXPECT_EQ(a->loadCalls, 0);
}

TEST(VolumeItemVisit, NonRecursiveWalkSeesOnlyChildren) {
    Tree t;
    TestItem* a = addFolder(t.root(), "a");
    addFile(a, "a1");
    Recorder r;
    EXPECT_TRUE(t.root()->visit(&r, false));
    EXPECT_EQ(r.seen, Names{"a"});
    TestItem file("f");
    EXPECT_TRUE(file.visit(&r, true));
}

TEST(VolumeItemVisit, FreesWhatItLoadedExceptTakenItems) {
    Tree t;
    TestItem* lazy = addFolder(t.root(), "lazy");
    lazy->loader = [](TestItem* f) {
        addFile(f, "keep");
        addFile(f, "take");
        addFile(f, "other");
    };
    int before = TestItem::live;
    Recorder r;
    r.takeName = "take";
    EXPECT_TRUE(t.root()->visit(&r, true));
    EXPECT_EQ(r.seen, (Names{"lazy", "keep", "take", "other"}));
    EXPECT_EQ(lazy->loadCalls, 1);
    EXPECT_EQ(lazy->getChildCount(true), 0u);
    EXPECT_FALSE(lazy->childrenLoaded());
    EXPECT_EQ(TestItem::live, before + 1);  // only the taken item lives on
    ASSERT_EQ(r.taken.size(), 1u);
    EXPECT_TRUE(r.taken[0]->wasTakenByWalk());
    EXPECT_EQ(r.taken[0]->getParent(), lazy);  // its folder is still alive
    // A second walk loads the folder again.
    Recorder again;
    t.root()->visit(&again, true);
    EXPECT_EQ(lazy->loadCalls, 2);
}

TEST(VolumeItemVisit, TakenItemsLoseTheirParentWhenItsFolderIsFreed) {
    Tree t;
    TestItem* a = addFolder(t.root(), "a");
    a->loader = [](TestItem* f) {
        TestItem* b = addFolder(f, "b");
        b->loader = [](TestItem* g) { addFile(g, "hit"); };
    };
    Recorder r;
    r.takeName = "hit";
    EXPECT_TRUE(t.root()->visit(&r, true));
    EXPECT_EQ(r.seen, (Names{"a", "b", "hit"}));
    ASSERT_EQ(r.taken.size(), 1u);
    EXPECT_EQ(r.taken[0]->getParent(), nullptr);  // folder b was freed by a's walk
    EXPECT_EQ(r.taken[0]->getPath(), "");
}

TEST(VolumeItemVisit, StopEndsTheWholeWalk) {
    Tree t;
    TestItem* a = addFolder(t.root(), "a");
    addFile(a, "a1");
    addFile(a, "a2");
    addFile(t.root(), "b");
    Recorder r;
    r.stopAt = "a1";
    EXPECT_FALSE(t.root()->visit(&r, true));
    EXPECT_EQ(r.seen, (Names{"a", "a1"}));
}

TEST(VolumeItemVisit, StopsAtDepth256OnAFolderThatContainsItself) {
    LogCapture rec(LOG_WARNING);
    Tree t;
    // Every load makes a fresh folder that loads the same way: endless nesting.
    int level = 0;
    std::function<void(TestItem*)> nest = [&](TestItem* f) {
        TestItem* inner = addFolder(f, "loop", std::to_string(++level));
        inner->loader = nest;
    };
    TestItem* top = addFolder(t.root(), "loop", "0");
    top->loader = nest;
    Recorder r;
    EXPECT_TRUE(top->visit(&r, true));
    EXPECT_EQ(r.seen.size(), 256u);
    EXPECT_EQ(rec.count("VolumeItem::visit - folder depth limit (256) reached at loop\n"), 1);
    EXPECT_EQ(top->getChildCount(true), 0u);  // everything loaded was freed again
}

TEST(VolumeItemDepth, TreeOperationsStopAtDepth256) {
    // A chain of 300 nested folders in memory, the deepest one empty.
    Tree t;
    VolumeItem* folder = t.root();
    for (int i = 0; i < 300; ++i) folder = addFolder(folder, "deep");
    auto depthOfChain = [&] {
        int depth = 0;
        for (VolumeItem* f = t.root(); f->getChildCount(true) != 0; f = f->getChild(0, true)) ++depth;
        return depth;
    };
    LogCapture rec(LOG_WARNING);
    t.root()->removeEmptyFolders(true);
    t.root()->removeDuplicates(true);
    t.root()->renameDuplicates(true);
    EXPECT_EQ(rec.lines, (Names{"VolumeItem::removeEmptyFolders - folder depth limit (256) reached at deep\n",
                                "VolumeItem::removeDuplicates - folder depth limit (256) reached at deep\n",
                                "VolumeItem::renameDuplicates - folder depth limit (256) reached at deep\n"}));
    // Nothing below the limit was judged: the empty folder at the bottom stays.
    EXPECT_EQ(depthOfChain(), 300);
}

TEST(VolumeItemVisit, DoesNotEnterAFolderWhoseIdLiesOnItsPath) {
    LogCapture rec(LOG_WARNING);
    Tree t;
    std::function<void(TestItem*)> same = [&](TestItem* f) {
        TestItem* inner = addFolder(f, "self", "42");
        inner->loader = same;
        addFolder(f, "twin", "42")->loader = same;
    };
    TestItem* top = addFolder(t.root(), "self", "42");
    top->loader = same;
    Recorder r;
    EXPECT_TRUE(t.root()->visit(&r, true));
    EXPECT_EQ(r.seen, (Names{"self", "self", "twin"}));
    EXPECT_EQ(rec.countPrefix("VolumeItem::visit - folder "), 2);
}

}  // namespace
}  // namespace vorn
