// Test doubles for the item tree: an item with settable id, date and size
// whose folder loads its entries through a callback (counting the loads),
// and a volume whose mount answer is chosen by the test.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "fs/Volume.h"
#include "fs/VolumeItem.h"
#include "LogCapture.h"

namespace vorn::test {

class TestItem : public VolumeItem {
public:
    explicit TestItem(std::string name, bool folder = false, u64 size = 0, u32 date = 0, std::string id = "n/a")
        : VolumeItem(folder), id(std::move(id)), date(date), size(size) {
        setName(std::move(name));
        ++live;
    }
    ~TestItem() override { --live; }

    std::string getId() override {
        ++idCalls;
        return id;
    }
    u32 getDate() override { return date; }
    u64 getSize() override { return size; }
    u32 read(u64, void*, u32) override { return 0; }
    bool addChildren() override {
        ++loadCalls;
        if (loader) loader(this);
        return true;
    }

    std::string id;
    u32 date;
    u64 size;
    int loadCalls = 0;
    int idCalls = 0;
    // Fills the folder when it is loaded; the items it adds are fresh each time.
    std::function<void(TestItem*)> loader;

    // Items alive now, so tests can see what a walk or a deletion freed.
    static inline int live = 0;
};

// Adds child under parent as the readers do: list, parent link and volume.
template <typename T>
T* addTo(VolumeItem* parent, T* child) {
    parent->addChild(child);
    child->setParent(parent);
    child->setVolume(parent->getVolume());
    return child;
}

inline TestItem* addFile(VolumeItem* parent, const std::string& name, u64 size = 0, u32 date = 0,
                         const std::string& id = "n/a") {
    return addTo(parent, new TestItem(name, false, size, date, id));
}

inline TestItem* addFolder(VolumeItem* parent, const std::string& name, const std::string& id = "n/a") {
    return addTo(parent, new TestItem(name, true, 0, 0, id));
}

inline std::vector<std::string> childNames(VolumeItem* folder) {
    std::vector<std::string> names;
    for (VolumeItem* child : folder->children()) names.push_back(child->getName());
    return names;
}

class TestVolume : public Volume {
public:
    explicit TestVolume(Disk* disk = nullptr, int sortType = SORT_NAME) : Volume(disk) {
        setSortType(sortType);
        ++live;
    }
    ~TestVolume() override { --live; }
    bool mount(bool) override { return mountResult; }
    bool isAllocationBlockUsed(u64) override { return false; }

    bool mountResult = false;
    static inline int live = 0;
};

// The shared log capture, under the name the item tests know it by.
using LineRecorder = LogCapture;

}  // namespace vorn::test
