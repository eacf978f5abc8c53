#include "storage/DisksReadBy.h"

#include <gtest/gtest.h>

#include "TestMedia.h"
#include "misc/OutputFile.h"
#include "storage/CachedDisk.h"
#include "storage/DiskManager.h"
#include "storage/ImageDisk.h"
#include "storage/PartitionDisk.h"
#include "storage/RAIDDisk.h"
#include "storage/RAIDSimulator.h"

namespace vorn {
namespace {

TEST(DisksReadBy, FollowsEveryLinkToTheImageOnceAndEndsOnSetsThatReadEachOther) {
    const std::string path = test::mediaPath("guard/disk.img");
    ImageDisk image(path);
    // Two partitions of one image in one set: two links to one target.
    PartitionDisk first(&image, 0, 1023), second(&image, 1024, 2047);
    RAIDDisk set;
    ASSERT_TRUE(set.setMember(0, &first) && set.setMember(1, &second));
    CachedDisk cache(&set, 65536, 4096);
    EXPECT_EQ(disksReadBy(&cache), (std::vector<Disk*>{&cache, &set, &first, &image, &second}));
    ProtectedFiles files;
    addFilesReadBy(&cache, files);
    EXPECT_TRUE(isProtectedTarget(path, files, false));
    EXPECT_EQ(files.size(), 1u) << "the image once, however many ways lead to it";

    RAIDDisk a, b;  // each a member of the other
    ASSERT_TRUE(b.setMember(0, &first) && a.setMember(0, &b) && b.setMember(1, &a));
    EXPECT_EQ(disksReadBy(&a), (std::vector<Disk*>{&a, &b, &first, &image}));

    // Simulated members read the simulator's source.
    DiskManager manager;
    RAIDSimulator simulator(&manager, &second, RAIDParameters(3, 0, 16, PARITY_FORWARD));
    ASSERT_EQ(manager.getDiskCount(), 3u);
    for (u32 i = 0; i < 3; ++i) EXPECT_TRUE(readsThrough(manager.getDisk(i), &image)) << i;
    EXPECT_FALSE(readsThrough(&first, &second));
    EXPECT_TRUE(disksReadBy(nullptr).empty());
    manager.deleteDisks();  // the simulated members go before their simulator
}

}  // namespace
}  // namespace vorn
