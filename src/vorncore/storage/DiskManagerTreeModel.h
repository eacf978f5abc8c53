// The disk list as an outline: the manager is the root ("Disks"), its disks
// are the root's children, and each disk's partitions are that disk's
// children (a partition shows the volumes found inside it the same way).
//
// The model points to the manager and owns nothing; it must not outlive the
// manager, and the front end makes a new one whenever the list changes.
#pragma once

#include <string>

#include "misc/TreeModelInterface.h"

namespace vorn {

class Disk;
class DiskManager;

class DiskManagerTreeModel : public TreeModelInterface {
public:
    explicit DiskManagerTreeModel(DiskManager* manager);

    Base* getRoot() override;
    bool isLeaf(Base* node) override;
    std::string getText(Base* node) override;
    u32 getChildCount(Base* node) override;
    Base* getChild(Base* node, u32 index) override;
    int getTag(Base* node) override;
    int getIcon(Base* node, bool expanded) override;

    // "name, size" as the outline shows a disk; "Unknown" for an empty name.
    static std::string label(Disk* disk);

private:
    bool isRoot(Base* node) const;
    // The node as a disk, or null when it is not one.
    static Disk* asDisk(Base* node);

    DiskManager* manager;
};

}  // namespace vorn
