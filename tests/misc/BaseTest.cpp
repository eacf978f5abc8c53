// The kind query on every kind of engine object: each answers true for its
// own type id and its bases' ids, and false for every other id.
#include "misc/Base.h"

#include <gtest/gtest.h>

#include <set>

#include "LogCapture.h"
#include "TestMedia.h"
#include "fs/MemoryTestDisk.h"
#include "fs/UnmountedVolume.h"
#include "fs/VolumeItem.h"
#include "storage/CachedDisk.h"
#include "storage/DiskManager.h"
#include "storage/ImageDisk.h"
#include "storage/PartitionDisk.h"

#if __has_include("storage/RAIDDisk.h")
#include "storage/RAIDDisk.h"
#define VORN_HAVE_RAID_DISK 1
#endif

namespace vorn {
namespace {

// The ids 0 to 5 and two that no kind uses.
const int kIds[] = {-1, KIND_DISK, KIND_PARTITION_DISK, KIND_RAID_DISK, KIND_VOLUME, KIND_VOLUME_ITEM,
                    KIND_HFS_VOLUME_ITEM, 6};

template <typename T>
std::set<int> kindsOf(T& object) {
    std::set<int> kinds;
    for (int id : kIds)
        if (object.isKindOf(id)) kinds.insert(id);
    return kinds;
}

TEST(KindQuery, EveryKindAnswersForItsOwnIdsOnly) {
    test::LogCapture quiet(LOG_ERROR);
    Base base;
    EXPECT_EQ(kindsOf(base), std::set<int>{});
    DiskManager manager;
    EXPECT_EQ(kindsOf(manager), std::set<int>{});

    test::MemoryTestDisk memory(std::vector<u8>(64 * 512));
    EXPECT_EQ(kindsOf(memory), std::set<int>{KIND_DISK});
    ImageDisk image(test::mediaPath("rand_1m.img"));
    EXPECT_EQ(kindsOf(image), std::set<int>{KIND_DISK});
    PartitionDisk partition(&memory, 8, 15);
    EXPECT_EQ(kindsOf(partition), (std::set<int>{KIND_DISK, KIND_PARTITION_DISK}));
    // A cache answers as a disk, not as the partition it wraps.
    CachedDisk cache(&partition, 4096, 512);
    EXPECT_EQ(kindsOf(cache), std::set<int>{KIND_DISK});
#ifdef VORN_HAVE_RAID_DISK
    RAIDDisk raid;
    EXPECT_EQ(kindsOf(raid), (std::set<int>{KIND_DISK, KIND_RAID_DISK}));
#endif

    DummyVolumeItem item;
    EXPECT_EQ(kindsOf(item), std::set<int>{KIND_VOLUME_ITEM});
    UnmountedVolume volume(&memory);
    EXPECT_EQ(kindsOf(volume), std::set<int>{KIND_VOLUME});
}

}  // namespace
}  // namespace vorn
