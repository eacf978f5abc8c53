// The template of a scan analyser: makes one lost item per block, or, in a
// lost-volumes scan, one lost volume of 1025 blocks per block. Built and
// tested, but no scan creates it.
//
// Ownership: the items it makes stay in its list and go with it; the
// volumes it finds are added to the scanned disk, which owns them.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "fs/AbstractAnalyser.h"
#include "fs/foo/FooVolumeItem.h"
#include "misc/Types.h"

namespace vorn {

class FooAnalyser : public AbstractAnalyser {
public:
    explicit FooAnalyser(ScanContext* owner) : AbstractAnalyser(owner) {}

    void scanBegin() override {}
    void scanBlock() override;
    void scanEnd() override {}

    // The items found, each with the identifier of its parent.
    const std::vector<std::pair<std::unique_ptr<FooVolumeItem>, u64>>& items() const { return m_items; }

private:
    std::vector<std::pair<std::unique_ptr<FooVolumeItem>, u64>> m_items;
};

}  // namespace vorn
