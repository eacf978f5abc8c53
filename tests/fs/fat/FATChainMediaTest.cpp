// Volumes of make_fat_chains.sh: many entries whose first clusters lie along a few chains that merge, share a
// tail, loop, jump about the table or run past the volume's end, each entry claiming more than its chain holds.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "TestMedia.h"
#include "fs/MemoryTestDisk.h"
#include "fs/fat/FAT.h"
#include "fs/fat/FATVolume.h"
#include "fs/fat/FATVolumeItem.h"
#include "storage/StorageTestUtil.h"

namespace vorn::test {
namespace {

void listSizes(VolumeItem* folder, const std::string& path, std::map<std::string, u64>& sizes) {
    folder->loadChildren();
    for (VolumeItem* c : folder->children()) {
        if (c->isContainer()) listSizes(c, path + "/" + c->getName(), sizes);
        else sizes[path + "/" + c->getName()] = c->getSize();
    }
}

// Every file shows the size fat_chain.py worked out (its entry's, held to the clusters of its chain up to the end or
// the first repeat), and listing them all reads each table entry about once: a chain many files share is walked once,
// not once per file (which took some 480,000 reads of the table on big32.img, and one per link on /JUMP).
TEST(FATChains, EveryFileEndsWithItsChainAndAListingWalksEachChainOnce) {
    for (const char* name : {"big32.img", "chains16.img", "chainseed12.img"}) {
        SCOPED_TRACE(name);
        const std::string path = mediaPath(std::string("fatchain/") + name);
        std::ifstream expectFile(path + ".expect");
        std::map<std::string, u64> expected;
        std::string line;
        while (std::getline(expectFile, line)) {
            const size_t tab = line.find('\t');
            if (tab != std::string::npos) expected[line.substr(0, tab)] = std::stoull(line.substr(tab + 1));
        }
        ASSERT_GT(expected.size(), 20u) << "run tests/fixtures/make_fat_chains.sh";
        MemoryTestDisk disk(readFileBytes(path));
        ASSERT_TRUE(disk.open(false));
        FATVolume volume(&disk);
        ASSERT_TRUE(volume.mount(true));
        std::map<std::string, u64> sizes;
        listSizes(volume.getRootItem(), "", sizes);
        for (const auto& [file, size] : expected) {
            ASSERT_TRUE(sizes.count(file)) << file;
            EXPECT_EQ(sizes[file], size) << file;
        }
        EXPECT_EQ(sizes.size(), expected.size() + 1);  // and the label, an empty file
        const u64 directoryBlocks = expected.size() * 32 / 512;
        EXPECT_LT(disk.requestCount(), volume.getClusterCount() + directoryBlocks + 200);
    }
}

}  // namespace
}  // namespace vorn::test
