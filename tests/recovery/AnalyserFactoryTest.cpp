// The analysers of each scan kind, in the order the scan feeds them.
#include <gtest/gtest.h>

#include <memory>

#include "fs/fat/FATAnalyser.h"
#include "recovery/AnalyserFactory.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryTestSupport.h"
#include "storage/Disk.h"

namespace vorn {
namespace {

// How many analysers of the list are FAT analysers; frees the list.
size_t fatAnalysers(std::vector<AbstractAnalyser*> list, size_t* total) {
    size_t fat = 0;
    *total = list.size();
    for (AbstractAnalyser* a : list) {
        fat += dynamic_cast<FATAnalyser*>(a) != nullptr;
        delete a;
    }
    return fat;
}

TEST(AnalyserFactory, LostScansGetTheFatAnalyserOnEveryDiskButACdDvd) {
    Recovery owner;
    size_t total = 0;
    for (int scanType : {SCAN_LOST_FILES, SCAN_LOST_VOLUMES}) {
        EXPECT_EQ(fatAnalysers(createAnalysers(&owner, scanType, DISK_TYPE_IMAGEFILE), &total), 1u);
        EXPECT_EQ(fatAnalysers(createAnalysers(&owner, scanType, DISK_TYPE_FIXED), &total), 1u);
        EXPECT_EQ(fatAnalysers(createAnalysers(&owner, scanType, DISK_TYPE_REMOVABLE), &total), 1u);
        EXPECT_EQ(fatAnalysers(createAnalysers(&owner, scanType, DISK_TYPE_CDDVD), &total), 0u);
    }
    EXPECT_EQ(fatAnalysers(createAnalysers(&owner, SCAN_DELETED_FILES, DISK_TYPE_IMAGEFILE), &total), 0u);
}

TEST(AnalyserFactory, TestFactoryReplacesTheRegistryUntilCleared) {
    Recovery owner;
    {
        test::AnalyserInjection injected(3);
        std::vector<AbstractAnalyser*> list = createScanAnalysers(&owner, SCAN_LOST_FILES, DISK_TYPE_IMAGEFILE);
        EXPECT_EQ(list.size(), 3u);
        for (AbstractAnalyser* a : list) delete a;
        EXPECT_EQ(injected.factoryCalls, (std::vector<std::pair<int, int>>{{SCAN_LOST_FILES, DISK_TYPE_IMAGEFILE}}));
    }
    size_t total = 0;
    EXPECT_EQ(fatAnalysers(createScanAnalysers(&owner, SCAN_LOST_FILES, DISK_TYPE_IMAGEFILE), &total), 1u);
}

}  // namespace
}  // namespace vorn
