#include <gtest/gtest.h>

#include "fs/ItemTestSupport.h"
#include "recovery/VolumeTableModel.h"
#include "recovery/VolumeTreeModel.h"
#include "fs/RecoveryEventListener.h"
#include "recovery/RecoveryTestAccess.h"

namespace vorn {
namespace {

using namespace test;

// Translates every key by wrapping it, so tests see where translation applies.
struct BracketListener : RecoveryEventListener {
    void progressEvent(double, bool*) override {}
    void fileSaving(const std::string&) override {}
    void askOverwrite(const std::string&, bool*, bool*, bool*) override {}
    void diskListChangedEvent() override {}
    void itemChangedEvent(VolumeItem*) override {}
    std::string localizedString(const std::string& key) override { return "[" + key + "]"; }
};

// A table row as "icon:name|size|type|date|id|" (the texts first: they sort the folder).
std::string row(VolumeTableModel& model, u32 r) {
    std::string texts;
    for (u32 column = 0; column < 6; ++column) texts += model.getText(r, column) + (column < 5 ? "|" : "");
    return format("%d:", model.getIcon(r)) + texts;
}

// Each case is {result, expected}, evaluated in order: the later ones see what the earlier ones loaded.
TEST(VolumeModels, GiveTheirTextsIconsColumnsAndOrdersAndReadAFolderOnce) {
    BracketListener listener;
    Tree t;
    Recovery recovery, bare;
    RecoveryTestAccess::setRootItem(recovery, t.root());
    recovery.setListener(&listener);
    for (const Entry& e : std::vector<Entry>{{"P/"}, {"P/more", 1025, 0, "9"}, {"P/one", 1, 0, "17"}, {"P/d/"},
                                            {"P/zero", 0, 1000000000, "10"}, {"P/gone", ~u64(0)}, {"P/x/"}})
        add(t.root(), e)->setFlags(e.path == "P/d/" || e.path == "P/gone" ? ITEM_DELETED : 0);
    TestItem *lazy = add(t.root(), {"lazy/"}), *files = add(t.root(), {"files/"}), *empty = add(t.root(), {"empty/"});
    lazy->loader = [](TestItem* f) { for (const char* path : {"b/", "a/", "c"}) add(f, {path}); };
    files->loader = [](TestItem* f) { for (const char* path : {"b", "a"}) add(f, {path}); };
    VolumeItem *p = t.root()->getChild(0, true), *d = p->getChild(2, true), *results = t.root()->findChild("R", true);
    RecoveryTestAccess::setSearchResultsItem(recovery, results);
    VolumeTreeModel tree(&recovery);
    VolumeTableModel table(&recovery, p), none(&bare, nullptr), keys(&bare, p), lazyTable(&recovery, lazy);
    Base other;  // a node that is no item
    std::string columns = format("%d:", table.getColumnCount());
    for (u32 column = 0; column < 6; ++column) columns += table.getColumnName(column) + (column < 5 ? "|" : "");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {tree.getText(p) + format(" %d %d", tree.getChildCount(p), tree.isLeaf(p)), "P (6) 2 0"},
        {format("%d %d %d %d %d %d %d", tree.getIcon(p, false), tree.getIcon(p, true), tree.getIcon(d, true),
                tree.getIcon(d, false), tree.getIcon(p->getChild(0, true), true), tree.getIcon(results, true),
                tree.getIcon(nullptr, false)),
         "0 1 6 7 0 14 2"},
        {tree.getText(&other) + format("%d %d %d %d", tree.isLeaf(&other), tree.getChildCount(&other),
                                       tree.getIcon(&other, true), !VolumeTreeModel(nullptr).getRoot()), "1 0 2 1"},
        {columns, "5:Name|Size|Type|Date modified|ID|"},
        {row(table, 0), "7:d||[Folder]|[n/a]|n/a|"},  // sorted by name
        {row(table, 1), "4:gone|18014398509481984 KB|[File]|[n/a]|n/a|"},  // sizes round up to whole KB, no overflow
        {row(table, 2), "2:more|2 KB|[File]|[n/a]|9|"},
        {row(table, 3), "2:one|1 KB|[File]|[n/a]|17|"},
        {row(table, 4), "0:x||[Folder]|[n/a]|n/a|"},
        {row(table, 5), "2:zero|0 KB|[File]|" + timeToString(1000000000) + "|10|"},
        {row(table, 6) + format("%d", table.getItem(6) == nullptr), "-1:|||||1"},
        {row(none, 0) + format("%d %d", none.getColumnCount(), none.getItem(0) == nullptr), "-1:|||||5 1"},
        {row(keys, 2), "2:more|2 KB|File|n/a|9|"},  // without a listener the texts are the keys
        // The tree reads a folder the first time it needs it, and sorts it then; the table never reads one.
        {format("%d", lazyTable.getRowCount()), "0"}, {tree.getText(files), "files (2)"},
        {format("%d", tree.isLeaf(files)), "1"}, {treeText(files), "b,a"},
        {format("%d", tree.getChildCount(lazy)), "2"}, {tree.getText(tree.getChild(lazy, 0)), "a (0)"},
        {format("%d %d", lazyTable.getRowCount(), tree.isLeaf(lazy)), "3 0"},
        {tree.getText(empty) + tree.getText(empty) + format(" %d %d", tree.isLeaf(empty), tree.getChildCount(empty)),
         "empty (0)empty (0) 1 0"},
        {format("%d %d %d", lazy->loadCalls, files->loadCalls, empty->loadCalls), "1 1 1"},  // each read once
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(cases[i].first, cases[i].second);
    }
    EXPECT_TRUE(tree.getRoot() == t.root());
    EXPECT_TRUE(!VolumeTreeModel(&bare).getRoot());
    t.setSortType(SORT_SIZE);  // shows in the first cell asked for; the size of gone is -1 as a signed value
    EXPECT_EQ(table.getText(0, 0) + "," + table.getText(1, 0) + "," + table.getText(5, 0), "gone,d,more");
}

}  // namespace
}  // namespace vorn
