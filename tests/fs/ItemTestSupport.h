// Item-tree doubles: items with settable id, date and size, folders loading through a callback; small trees; a
// counting walk.
#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "LogCapture.h"
#include "fs/Volume.h"
#include "fs/VolumeItem.h"
#include "misc/Utils.h"

namespace vorn::test {

class TestItem : public VolumeItem {
public:
    explicit TestItem(std::string name, bool folder = false, u64 size = 0, u32 date = 0, std::string id = "n/a")
        : VolumeItem(folder), id(std::move(id)), date(date), size(size) { setName(std::move(name)); ++live; }
    ~TestItem() override { --live; }
    std::string getId() override { ++idCalls; return id; }
    u32 getDate() override { return date; }
    u64 getSize() override { return size; }
    u32 read(u64, void*, u32) override { return 0; }
    bool addChildren() override { ++loadCalls; if (loader) loader(this); return true; }

    std::string id;
    u32 date;
    u64 size;
    int loadCalls = 0, idCalls = 0;
    std::function<void(TestItem*)> loader;  // fills the folder when it is loaded, with fresh items each time
    static inline int live = 0;
};

// Adds an item under parent as the readers do: list, parent link and volume.
inline TestItem* addFile(VolumeItem* parent, const std::string& name, u64 size = 0, u32 date = 0,
                         const std::string& id = "n/a", bool folder = false) {
    auto* child = new TestItem(name, folder, size, date, id);
    parent->addChild(child);
    child->setParent(parent);
    child->setVolume(parent->getVolume());
    return child;
}

inline TestItem* addFolder(VolumeItem* parent, const std::string& name, const std::string& id = "n/a") {
    return addFile(parent, name, 0, 0, id, true);
}

// An item at a path below root ("dir/name"; a folder's path ends with '/'), added with addFile.
struct Entry { std::string path; u64 size = 0; u32 date = 0; std::string id = "n/a"; };

inline TestItem* add(VolumeItem* root, const Entry& e) {
    std::vector<std::string> pieces = split(e.path, "/");
    for (size_t i = 0; i + 1 < pieces.size(); ++i) root = root->findChild(pieces[i], false);
    return addFile(root, pieces.back(), e.size, e.date, e.id, e.path.back() == '/');
}

// The tree below folder as text: "name" for a file, "name{children}" for a folder.
inline std::string treeText(VolumeItem* folder) {
    std::string out;
    for (VolumeItem* child : folder->children())
        out += (out.empty() ? "" : ",") + child->getName() + (child->isContainer() ? "{" + treeText(child) + "}" : "");
    return out;
}

class TestVolume : public Volume {
public:
    explicit TestVolume(Disk* disk = nullptr, int sort = SORT_NAME) : Volume(disk) { setSortType(sort); ++live; }
    ~TestVolume() override { --live; }
    bool mount(bool) override { return false; }
    bool isAllocationBlockUsed(u64) override { return false; }
    static inline int live = 0;
};

// A test volume with a root folder; the tree goes first, as Recovery frees them.
struct Tree : TestVolume {
    explicit Tree(int sortType = SORT_NAME) : TestVolume(nullptr, sortType) { createRootItem("root"); }
    ~Tree() override { delete getRootItem(); }
    VolumeItem* root() { return getRootItem(); }
};

// Counts the items a walk hands over, and stops the walk past `limit` of them.
struct ItemCounter : VolumeItemCallback {
    explicit ItemCounter(u64 limit) : limit(limit) {}
    void onItem(VolumeItem*, bool* stop, bool*) override { *stop = ++items > limit; }
    u64 items = 0, limit;
};

// Every item below a folder of a mounted volume by its path ("dir/" for folders).
inline void collectTree(VolumeItem* folder, const std::string& prefix, std::map<std::string, VolumeItem*>& out,
                        int depth = 0) {
    if (depth > 64) return;
    folder->loadChildren();
    for (VolumeItem* child : folder->children()) {
        const std::string path = prefix + child->getName() + (child->isContainer() ? "/" : "");
        out[path] = child;
        if (child->isContainer()) collectTree(child, path, out, depth + 1);
    }
}

// Reads a whole item in pieces of `piece` bytes; false when a read fails.
inline bool readItem(VolumeItem* item, std::vector<u8>& out, u32 piece = 65536) {
    out.assign(item->getSize(), 0);
    for (u64 ofs = 0; ofs < out.size(); ofs += piece) {
        const u32 n = static_cast<u32>(std::min<u64>(piece, out.size() - ofs));
        if (item->read(ofs, out.data() + ofs, n) != n) return false;
    }
    return true;
}

}  // namespace vorn::test
