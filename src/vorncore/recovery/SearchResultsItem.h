// The "SearchResults" folder of the name search: lists the hits of the last
// search without owning them.
//
// Every hit stays owned by its own folder in the result tree (a walk that
// had items taken keeps that folder's children in memory), so the hits are
// freed exactly once, with the result tree. This folder therefore never
// deletes its children, and the tree operations that would delete them
// (removeEmptyFolders, removeDuplicates) or rename them (renameDuplicates)
// leave this list alone.
//
// The folder itself is owned by the result root. When it is freed, it clears
// the slot of its owner that points at it (Recovery's searchResultsItem).
#pragma once

#include "fs/VolumeItem.h"

namespace vorn {

class SearchResultsItem : public DummyVolumeItem {
public:
    // slot: the owner's pointer to this folder, cleared when it is freed; may be null.
    explicit SearchResultsItem(VolumeItem** slot) : DummyVolumeItem(true), slot(slot) {}
    ~SearchResultsItem() override {
        clearChildren();
        if (slot && *slot == this) *slot = nullptr;
    }

    void deleteChildren() override { clearChildren(); }
    void removeEmptyFolders(bool) override {}
    void removeDuplicates(bool) override {}
    void renameDuplicates(bool) override {}

private:
    VolumeItem** slot;
};

}  // namespace vorn
