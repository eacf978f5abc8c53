// Random sequences of item-tree operations (adds, lazy folders, sorts, duplicates, empty
// removal, takes into results, deletes, index); the sanitizers catch ownership faults.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fs/Volume.h"
#include "fs/VolumeItem.h"
#include "misc/Log.h"

namespace vorn {
namespace {

struct Input {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    bool empty() const { return pos >= size; }
    uint8_t next() { return pos < size ? data[pos++] : 0; }
};

class FuzzItem : public VolumeItem {
public:
    FuzzItem(std::string name, bool folder, u64 size, u32 date, std::string id)
        : VolumeItem(folder), m_size(size), m_date(date), m_id(std::move(id)) {
        setName(std::move(name));
    }
    std::string getId() override { return m_id; }
    u32 getDate() override { return m_date; }
    u64 getSize() override { return m_size; }
    u32 read(u64, void*, u32) override { return 0; }
    // Reads `load` entries, folders among them loading the same way.
    bool addChildren() override {
        for (int i = 0; i < m_load; ++i) {
            bool folder = (m_seed + i) % 3 == 0;
            auto* child = new FuzzItem(std::string(1, char('a' + (m_seed + i) % 4)), folder, u64((m_seed * i) % 5),
                                       u32(i % 2), std::to_string((m_seed + i) % 6));
            child->m_load = folder ? m_load - 1 : 0;  // shrinks, so every load ends
            child->m_seed = m_seed + i + 1;
            addChild(child);
            child->setParent(this);
            child->setVolume(getVolume());
        }
        return true;
    }
    int m_load = 0;
    int m_seed = 0;

private:
    u64 m_size;
    u32 m_date;
    std::string m_id;
};

class FuzzVolume : public Volume {
public:
    FuzzVolume() : Volume(nullptr) {}
    bool mount(bool) override { return true; }
    bool isAllocationBlockUsed(u64) override { return false; }
};

// Folders of the in-memory tree in pre-order, at most `limit` of them.
void collectFolders(VolumeItem* folder, std::vector<VolumeItem*>& out, size_t limit, int depth) {
    if (out.size() >= limit || depth > 64) return;
    out.push_back(folder);
    for (VolumeItem* child : folder->children()) {
        if (child->isContainer()) collectFolders(child, out, limit, depth + 1);
    }
}

struct TakingWalk : VolumeItemCallback {
    uint8_t rule = 0;
    int calls = 0;
    std::vector<VolumeItem*> candidates;
    void onItem(VolumeItem* item, bool* stop, bool* taken) override {
        if (++calls > 2000) {
            *stop = true;
            return;
        }
        std::string name = item->getName();
        if (!name.empty() && (name[0] + rule) % 3 == 0) {
            *taken = true;
            candidates.push_back(item);
        }
    }
};

}  // namespace
}  // namespace vorn

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vorn;
    setLogLevel(-1);
    Input in{data, size};
    FuzzVolume volume;
    volume.createRootItem("root");
    VolumeItem* root = volume.getRootItem();
    // Holds the items walks hand over, like the search results folder.
    VolumeItem* results = new DummyVolumeItem(true);

    int steps = 0;
    while (!in.empty() && ++steps < 200) {
        std::vector<VolumeItem*> folders;
        collectFolders(root, folders, 64, 0);
        VolumeItem* folder = folders[in.next() % folders.size()];
        uint8_t op = in.next() % 10;
        uint8_t arg = in.next();
        switch (op) {
            case 0:
            case 1: {
                bool isFolder = op == 1;
                auto* item = new FuzzItem(std::string(1, char('a' + arg % 4)) + (arg & 0x10 ? ".x" : ""), isFolder,
                                          u64(arg % 3), u32(arg % 2), std::to_string(arg % 5));
                if (isFolder) {
                    item->m_load = arg % 4;
                    item->m_seed = arg;
                }
                folder->addChild(item);
                item->setParent(folder);
                item->setVolume(folder->getVolume());
                break;
            }
            case 2:
                volume.setSortType(arg % 6);
                folder->sortChildren();
                break;
            case 3: folder->removeDuplicates(arg & 1); break;
            case 4: folder->renameDuplicates(arg & 1); break;
            case 5: folder->removeEmptyFolders(arg & 1); break;
            case 6: {
                TakingWalk walk;
                walk.rule = arg;
                folder->visit(&walk, arg & 1);
                // Only items the walk handed over move; the others stay in their folders.
                for (VolumeItem* item : walk.candidates) {
                    if (item->wasTakenByWalk()) results->addChild(item);
                }
                break;
            }
            case 7:
                if (folder != root) delete folder;
                break;
            case 8: results->releaseChildren(); break;
            case 9: {
                folder->loadChildren();
                u32 folderCount = folder->getChildCount(false);
                if (folderCount) folder->getChild(arg % folderCount, false);
                folder->getChild(arg, true);
                break;
            }
        }
    }
    results->releaseChildren();
    delete results;
    delete root;
    return 0;
}
