#include "fs/VolumeItem.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "fs/ItemTestSupport.h"

namespace vorn {
namespace {

using namespace test;
using Lines = std::vector<std::string>;

// Operations on a root's entries: "compare" the first two (terms d date, s size, i id), else the tree text; then
// error lines. "sorted": sorted before the entries came; "other": the first two on a volume sorted by name.
TEST(VolumeItem, ComparisonsSortsAndDuplicateAndEmptyFolderRemovalGoAsTheExamplesShow) {
    struct Case { std::string op; int sortType; std::vector<Entry> entries; std::string expected; };
    const std::vector<Entry> nested = {{"o/"}, {"o/in/"}, {"full/"}, {"full/f"}, {"full/e/"}, {"file"}, {"e/"}};
    const std::vector<Case> cases = {
        {"compare dsi", SORT_SIZE, {{"a", 200, 1, "1"}, {"b", 100, 2, "2"}}, "1"},  // the key first
        {"compare", SORT_DATE, {{"a", 200, 5, "1"}, {"b", 100, 2, "2"}}, "1"},      // the key although unused
        {"compare dsi", SORT_DATE, {{"s", 10, 7, "9"}, {"s", 20, 7, "1"}}, "-1"},   // size before id
        {"compare dsi", SORT_DATE, {{"s", 10, 7, "9"}, {"t", 0, 7, "0"}}, "-1"},    // name before size and id
        {"compare di", SORT_DATE, {{"s", 10, 7, "9"}, {"s", 99, 7, "0"}}, "1"},     // unused terms weigh nothing
        {"compare dsi", SORT_NAME, {{"x", 1, 0x80000000u}, {"x", 1, 1}}, "1"},     // dates last, unsigned
        {"compare dsi", SORT_SIZE, {{"z/"}, {"a"}}, "-1"},                         // a folder first at equal size
        {"compare dsi", SORT_SIZE, {{"a", u64(1) << 63}, {"b", 1}}, "-1"},         // sizes compare signed
        {"compare dsi", 7, {{"a", 5}, {"b", 1}}, "-1 error: invalid sortType!\n"},  // an invalid sort type: no key
        {"order, other", SORT_SIZE, {{"c", 30}, {"a", 500}, {"d", 20}, {"b/"}}, "b{},d,c,a"},  // one order for all
        {"order", SORT_ID, {{"9", 0, 0, "9"}, {"10", 0, 0, "10"}, {"1", 0, 0, "1"}}, "1,10,9"},  // ids as text
        {"sorted, order", SORT_NAME, {{"b"}, {"a"}}, "b,a"},  // sorted by this type already: no sort again
        {"rename", SORT_SIZE, {{"c"}, {"b.txt"}, {"a"}, {"b.txt"}, {"b.txt"}}, "a,b00001.txt,b00002.txt,b.txt,c"},
        {"rename", SORT_NAME, {{".p"}, {"notes"}, {".p"}, {"notes"}}, "00001.p,.p,notes00001,notes"},  // dot rules
        {"rename", SORT_NAME, {{"a"}, {"a"}, {"b"}, {"b"}, {"s/"}, {"s/x"}, {"s/x"}}, "a00001,a,b00001,b,s{x,x}"},
        {"rename recursive", SORT_NAME, {{"s/"}, {"s/x"}, {"s/x"}}, "s{x00001,x}"},
        {"sorted, rename", SORT_NAME, {{"a"}, {"b"}, {"a"}}, "a00001,a,b"},  // entries added after a sort by name
        // Same name, size and id are duplicates whatever the date; the last of a run stays.
        {"remove", SORT_NAME, {{"a", 5, 1, "1"}, {"a", 5, 2, "1"}, {"a", 5, 3, "1"}, {"b", 5, 0, "1"}}, "a,b"},
        {"remove", SORT_NAME, {{"a", 5, 0, "1"}, {"a", 5, 0, "2"}, {"b", 5}, {"b", 6}, {"c"}, {"c/"}}, "a,a,b,b,c{},c"},
        {"remove recursive", SORT_NAME, {{"s/"}, {"s/x", 1, 0, "1"}, {"s/x", 1, 0, "1"}}, "s{x}"},
        {"remove", SORT_NAME, {{"s/"}, {"s/a"}, {"s/"}}, "s{a}"},  // a duplicate folder's items stay, moved
        {"empty", SORT_NAME, nested, "o{in{}},full{f,e{}},file"},
        {"empty recursive", SORT_NAME, nested, "full{f},file"},
    };
    TestVolume other(nullptr, SORT_NAME);  // outlives the trees whose items point to it
    for (const Case& c : cases) {
        SCOPED_TRACE(c.op + " " + c.expected);
        auto has = [&](const char* word) { return c.op.find(word) != std::string::npos; };
        Tree t(c.sortType);
        if (has("sorted")) t.root()->sortChildren();
        std::vector<TestItem*> items;
        for (const Entry& e : c.entries) items.push_back(add(t.root(), e));
        for (TestItem* item : items)  // a folder that an operation reads shows it
            if (item->isContainer()) item->loader = [](TestItem* f) { addFile(f, "loaded"); };
        if (has("other")) for (int i : {0, 1}) items[i]->setVolume(&other);
        LogCapture rec(LOG_ERROR);
        std::string result;
        if (has("compare")) result = format("%d", items[0]->compare(items[1], has("d"), has("s"), has("i")));
        if (has("order")) t.root()->sortChildren();
        if (has("rename")) t.root()->renameDuplicates(has("recursive"));
        if (has("remove")) t.root()->removeDuplicates(has("recursive"));  // what leaves is freed: see the sanitizers
        if (has("empty")) t.root()->removeEmptyFolders(has("recursive"));
        if (result.empty()) result = treeText(t.root());
        for (const std::string& line : rec.lines) result += " " + line;
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(t.getSortType(), has("rename") || has("remove") ? SORT_NAME : c.sortType);
        for (TestItem* item : items) EXPECT_TRUE(!has("order") || item->idCalls <= 1);  // keys fetched once a sort
    }
    TestItem a("b", false, 1), b("a", false, 2);  // without a volume: by name; nothing to compare: equal
    EXPECT_EQ(a.compare(&b, true, true, true) * 2 + a.compare(nullptr, true, true, true), 2);
}

TEST(VolumeItem, FolderIndexFollowsTheListAndRootDeletionCountsWhatItFrees) {
    Tree t;
    TestVolume lost;  // a found volume hangs under the result root
    lost.createRootItem("Volume 1");
    for (const char* path : {"f1", "d1/", "f2", "d2/"}) add(t.root(), {path});
    LogCapture rec;
    EXPECT_EQ(t.root()->getChild(1, false)->getName(), "d2");  // the index of folder children
    t.root()->getChild(0, true)->setContainer(true);            // f1 becomes a folder
    EXPECT_EQ(t.root()->getChildCount(false), 3u);
    EXPECT_EQ(t.root()->getChild(3, false), t.root()->getChild(4, true));  // null, and a line for the latter
    delete t.root()->getChild(1, true);  // d1 leaves its parent's list
    t.root()->addChild(lost.getRootItem());
    add(t.root(), {"Volume 1/x"});
    EXPECT_EQ(t.root()->getChild(0, false)->getName() + t.root()->getChild(2, false)->getName(), "f1Volume 1");
    VolumeItem* made = t.root()->findChild("Results", true);  // made once, as a folder in the tree
    EXPECT_TRUE(made->isContainer());
    EXPECT_TRUE(made->getParent() == t.root());
    EXPECT_TRUE(made == t.root()->findChild("Results", true));
    EXPECT_EQ(TestItem("a.b.c").getExtension() + TestItem("RE").getExtension() + TestItem("x.").getExtension(), "cRE");
    delete t.root();
    const std::string freed = "VolumeItem::~VolumeItem ";
    EXPECT_EQ(rec.lines, (Lines{"VolumeItem::getChild - index out of range!\n", freed + "rootitem (root)\n",
                                freed + "rootitem (Volume 1)\n", freed + "frees:2\n", freed + "frees:7\n"}));
    EXPECT_EQ(VolumeItem::freedItemCount(), 7u);
    EXPECT_TRUE(lost.getRootItem() == nullptr);
    EXPECT_TRUE(t.getRootItem() == nullptr);
}

// Records the names a walk shows, takes those named in `take`, stops at `stopAt`; frees what it was given.
struct Walker : VolumeItemCallback {
    Lines seen, take;
    std::string stopAt;
    std::vector<VolumeItem*> taken;
    void onItem(VolumeItem* item, bool* stop, bool* took) override {
        seen.push_back(item->getName());
        if ((*took = std::count(take.begin(), take.end(), item->getName()) > 0)) taken.push_back(item);
        *stop = item->getName() == stopAt;
    }
    ~Walker() { for (VolumeItem* item : taken) if (item->wasTakenByWalk()) delete item; }
};

TEST(VolumeItem, VisitFreesWhatItLoadedAndHandsOverTakenItems) {
    Tree t;
    for (const char* path : {"mem/", "mem/m1", "lazy/", "last"}) add(t.root(), {path});
    auto* lazy = static_cast<TestItem*>(t.root()->getChild(1, true));
    lazy->loader = [](TestItem* f) {
        for (const char* path : {"keep", "take", "other"}) add(f, {path});
        addFolder(f, "sub")->loader = [](TestItem* g) { addFile(g, "hit"); };
    };
    const int before = TestItem::live;
    Walker w, stop;
    w.take = {"m1", "take", "hit"};
    EXPECT_TRUE(t.root()->visit(&w, true));
    EXPECT_EQ(w.seen, (Lines{"mem", "m1", "lazy", "keep", "take", "other", "sub", "hit", "last"}));
    EXPECT_EQ(treeText(t.root()), "mem{m1},lazy{},last");  // only what the walk loaded is handed over
    EXPECT_EQ(TestItem::live, before + 2);
    ASSERT_EQ(w.taken.size(), 3u);
    EXPECT_TRUE(w.taken[1]->wasTakenByWalk());  // its folder lives on
    EXPECT_TRUE(w.taken[1]->getParent() == lazy);
    EXPECT_EQ(w.taken[2]->getParent(), nullptr);                                   // folder sub was freed
    stop.stopAt = "keep";
    EXPECT_FALSE(t.root()->visit(&stop, true));
    EXPECT_EQ(stop.seen, (Lines{"mem", "m1", "lazy", "keep"}));
    EXPECT_EQ(lazy->loadCalls, 2);  // loaded again, and freed again although the walk stopped
    EXPECT_EQ(TestItem::live, before + 2);
}

TEST(VolumeItem, WalksAndTreeOperationsStopAtDepth256AndAtAFolderInsideItself) {
    LogCapture rec(LOG_WARNING);
    Tree t, chain;
    int level = 0;
    // Every load makes fresh folders that load the same way: endless nesting, or one id on its own path.
    std::function<void(TestItem*)> nest = [&](TestItem* f) {
        addFolder(f, "loop", std::to_string(++level))->loader = nest;
    };
    std::function<void(TestItem*)> same = [&](TestItem* f) {
        for (const char* name : {"self", "twin"}) addFolder(f, name, "42")->loader = same;
    };
    addFolder(t.root(), "loop", "0")->loader = nest;
    addFolder(t.root(), "self", "42")->loader = same;
    Walker w;
    EXPECT_TRUE(t.root()->visit(&w, true));
    EXPECT_EQ(w.seen.size(), 256u + 3);
    EXPECT_EQ(treeText(t.root()), "loop{},self{}");  // everything loaded was freed again
    VolumeItem* folder = chain.root();
    for (int i = 0; i < 300; ++i) folder = addFolder(folder, "deep");
    for (auto op : {&VolumeItem::removeEmptyFolders, &VolumeItem::removeDuplicates, &VolumeItem::renameDuplicates})
        (chain.root()->*op)(true);
    EXPECT_EQ(treeText(chain.root()).size(), 300u * 6);  // nothing below the limit was judged
    EXPECT_EQ(rec.lines, (Lines{"VolumeItem::visit - folder depth limit (256) reached at loop\n",
                                "VolumeItem::visit - folder self (id 42) lies inside itself, not entered\n",
                                "VolumeItem::visit - folder twin (id 42) lies inside itself, not entered\n",
                                "VolumeItem::removeEmptyFolders - folder depth limit (256) reached at deep\n",
                                "VolumeItem::removeDuplicates - folder depth limit (256) reached at deep\n",
                                "VolumeItem::renameDuplicates - folder depth limit (256) reached at deep\n"}));
}

// A chain of nested folders far deeper than any walk goes (a lost-files scan of a deep tree builds one) is
// freed with its root without a destructor nesting per level, which would run out of stack.
TEST(VolumeItem, AChainOfNestedFoldersOfAnyDepthIsFreed) {
    Tree t;
    VolumeItem* folder = t.root();
    for (int i = 0; i < 200000; ++i) folder = addFolder(folder, "deep");
    LogCapture rec;
    delete t.root();
    EXPECT_EQ(VolumeItem::freedItemCount(), 200001u);
}

}  // namespace
}  // namespace vorn
