// Outline of the result tree that Recovery holds: folders only, each shown
// as its name and the number of its entries. Folders are read from their
// volume the first time the outline asks about them, and sorted by the
// volume's sort type then.
//
// Ownership: owns nothing; the Recovery outlives the model.
#pragma once

#include "misc/TreeModelInterface.h"

namespace vorn {

class Recovery;

class VolumeTreeModel : public TreeModelInterface {
public:
    explicit VolumeTreeModel(Recovery* recovery);

    Base* getRoot() override;
    bool isLeaf(Base* node) override;
    std::string getText(Base* node) override;
    u32 getChildCount(Base* node) override;
    Base* getChild(Base* node, u32 index) override;
    int getTag(Base* node) override;
    int getIcon(Base* node, bool expanded) override;

private:
    Recovery* recovery;
};

}  // namespace vorn
