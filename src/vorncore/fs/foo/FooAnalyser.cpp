#include "fs/foo/FooAnalyser.h"

#include "fs/RecoveryEventListener.h"
#include "fs/ScanContext.h"
#include "misc/Data.h"
#include "misc/Log.h"
#include "storage/Disk.h"
#include "storage/PartitionDisk.h"

namespace vorn {

namespace {

constexpr u64 kFoundVolumeBlocks = 1024;
constexpr u64 kFoundItemParent = 2945;

}  // namespace

void FooAnalyser::scanBlock() {
    const Data* data = owner->getData();
    if (!data || data->getSize() < 512) {
        log(LOG_ERROR, "FooAnalyser: dunno, we need at least some data...\n");
        return;
    }
    if (owner->getScanType() != SCAN_LOST_VOLUMES) {
        auto item = std::make_unique<FooVolumeItem>();
        item->setContainer(true);
        item->setName("child");
        item->setFlags(ITEM_LOST);
        m_items.emplace_back(std::move(item), kFoundItemParent);
        return;
    }
    Disk* disk = owner->getDisk();
    const u64 block = owner->getCurrentBlock();
    Disk* parent = getInnermostDisk(disk);
    if (!PartitionDisk::fitsParent(parent, block, block + kFoundVolumeBlocks)) return;
    auto volume = std::make_unique<PartitionDisk>(parent, block, block + kFoundVolumeBlocks);
    volume->setLostVolume(true);
    volume->setName("foo");
    if (!disk->addPartition(volume.get())) return;
    volume.release();  // the disk owns it now
    log(LOG_INFO, "adding lost volume at block: %lld\n", (long long)block);
    if (RecoveryEventListener* listener = owner->getListener()) listener->diskListChangedEvent();
}

}  // namespace vorn
