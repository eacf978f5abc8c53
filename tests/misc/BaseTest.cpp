#include "misc/Base.h"

#include <gtest/gtest.h>

#include "fs/MemoryTestDisk.h"
#include "fs/hfs/HFSVolume.h"
#include "fs/VolumeItem.h"
#include "storage/CachedDisk.h"
#include "storage/PartitionDisk.h"

namespace vorn {
namespace {

TEST(KindQuery, EveryKindAnswersForItsOwnAndItsBasesIdsOnly) {
    test::MemoryTestDisk memory(std::vector<u8>(64 * 512));
    PartitionDisk partition(&memory, 8, 15);
    CachedDisk cache(&partition, 4096, 512);  // a disk, not the partition it wraps
    DummyVolumeItem item;
    HFSVolume volume(&memory);
    // The answers for the ids disk, partition disk, RAID disk, volume and volume item.
    const std::vector<std::pair<Base*, std::string>> cases = {
        {&memory, "10000"}, {&partition, "11000"}, {&cache, "10000"}, {&item, "00001"}};
    for (int id = KIND_DISK; id <= KIND_VOLUME_ITEM; ++id) {
        for (const auto& [object, kinds] : cases) EXPECT_EQ(object->isKindOf(id), kinds[id] == '1') << kinds << id;
        EXPECT_EQ(volume.isKindOf(id), id == KIND_VOLUME);
    }
    EXPECT_FALSE(Base().isKindOf(KIND_DISK));
    EXPECT_FALSE(item.isKindOf(KIND_HFS_VOLUME_ITEM));
}

}  // namespace
}  // namespace vorn
