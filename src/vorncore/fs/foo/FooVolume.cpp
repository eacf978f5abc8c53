#include "fs/foo/FooVolume.h"

#include "fs/foo/FooVolumeItem.h"
#include "misc/Log.h"

namespace vorn {

bool FooVolume::mount(bool buildTree) {
    log(LOG_DEBUG, "FooVolume::mount\n");
    if (!buildTree) return false;
    // A root made by an earlier mount is kept: its owner may already hold it.
    if (!m_root) setRootItem(new FooVolumeItem());
    m_root->setContainer(true);
    m_root->setName(getName());
    m_root->setVolume(this);
    m_root->setParent(nullptr);
    return false;
}

}  // namespace vorn
