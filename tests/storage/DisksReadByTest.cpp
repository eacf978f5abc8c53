#include "storage/DisksReadBy.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "TestMedia.h"
#include "storage/FailingDisk.h"
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


// A block device as its node names it, of a given size; never read.
struct NodeDisk : test::FailingDisk {
    NodeDisk(const std::string& node, u64 blocks) : FailingDisk(std::vector<u8>()), node(node) {
        setBlockCount(blocks);
    }
    std::string getPath() override { return node; }
    std::string node;
};

// Puts a table in place of the kernel for as long as it lives.
struct BeneathTable {
    BeneathTable() : before(setMediumBeneathQuery([this](u64 device, MediumBeneath& beneath) {
        ++asked;
        const auto found = table.find(device);
        if (found == table.end()) return false;
        beneath = found->second;
        return true;
    })) {}
    ~BeneathTable() { setMediumBeneathQuery(before); }
    std::map<u64, MediumBeneath> table;
    int asked = 0;
    MediumBeneathQuery before;
};

// Bytes behind a set of the given members, one stripe of each.
u64 behindSetOf(const std::vector<Disk*>& members) {
    RAIDDisk set;
    set.setParameters(RAIDParameters(static_cast<u8>(members.size()), 0, 16, PARITY_NONE));
    for (u32 i = 0; i < members.size(); ++i) EXPECT_TRUE(set.setMember(i, members[i])) << i;
    return mediaBytesBehind(&set);
}

// Up to count block device nodes of distinct devices in /dev and their numbers; false when fewer.
bool blockNodes(size_t count, std::vector<std::string>& nodes, std::vector<u64>& numbers) {
    for (const auto& entry : std::filesystem::directory_iterator("/dev")) {
        struct stat st {};
        if (stat(entry.path().c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) continue;
        if (std::find(numbers.begin(), numbers.end(), u64(st.st_rdev)) != numbers.end()) continue;
        nodes.push_back(entry.path());
        numbers.push_back(st.st_rdev);
        if (nodes.size() == count) break;
    }
    return nodes.size() == count;
}

// A disk (10,000 blocks), its two partitions (from block 1,000 and 5,000), a loop device over an
// image file and one over the first partition, as nodes of this machine that a table maps the
// way the kernel would: a medium seen through several of them counts once, different bytes keep
// their sum, and a table that lies ends.
TEST(MediaBehind, ADeviceAndWhatItShowsPartOfCountTheMediumOnceAndDifferentBytesKeepTheirSum) {
    std::vector<std::string> nodes;
    std::vector<u64> numbers;
    if (!blockNodes(5, nodes, numbers)) GTEST_SKIP() << "needs five block device nodes in /dev";
    const std::string path = test::mediaPath("guard/disk.img");
    ImageDisk file(path);
    FileIdentity identity;
    ASSERT_TRUE(file.getFileIdentity(identity));
    const u64 fileBlocks = file.getBlockCount();
    ASSERT_GT(fileBlocks, 0u);
    NodeDisk disk(nodes[0], 10000), first(nodes[1], 3000), second(nodes[2], 4000), loop(nodes[3], fileBlocks),
        overFirst(nodes[4], 3000);
    const Medium whole{true, {0, numbers[0]}}, firstMedium{true, {0, numbers[1]}};
    {
        BeneathTable kernel;
        kernel.table = {{numbers[1], {whole, 4000 * 512}},
                        {numbers[2], {whole, 9000 * 512}},
                        {numbers[3], {Medium{false, identity}, fileBlocks * 512}},
                        {numbers[4], {firstMedium, 3000 * 512}}};
        EXPECT_EQ(behindSetOf({&loop, &file}), fileBlocks * 512) << "a loop device and its file";
        EXPECT_EQ(behindSetOf({&file, &loop, &loop}), fileBlocks * 512);
        EXPECT_EQ(behindSetOf({&disk, &first}), 10000u * 512) << "a disk and its partition";
        EXPECT_EQ(behindSetOf({&first, &disk, &second}), 10000u * 512);
        EXPECT_EQ(behindSetOf({&first, &second}), 7000u * 512) << "two partitions of one disk";
        EXPECT_EQ(behindSetOf({&overFirst, &first}), 3000u * 512) << "a loop over a partition, and the partition";
        EXPECT_EQ(behindSetOf({&overFirst, &second}), 7000u * 512);
        EXPECT_EQ(behindSetOf({&overFirst, &disk, &loop}), (10000u + fileBlocks) * 512);
        EXPECT_EQ(behindSetOf({&first, &file}), (3000u + fileBlocks) * 512) << "different media";
        RAIDDisk set;  // the set itself holds no more
        ASSERT_TRUE(set.setMember(0, &file) && set.setMember(1, &loop));
        set.setParameters(RAIDParameters(2, 0, 16, PARITY_NONE));
        EXPECT_EQ(set.getBlockCount(), fileBlocks);

        // Where a partition ends is not known: it counts its own size, unless its disk is in the set.
        kernel.table[numbers[2]].end = 0;
        EXPECT_EQ(behindSetOf({&first, &second}), 7000u * 512);
        EXPECT_EQ(behindSetOf({&second, &disk}), 10000u * 512);

        // A table that leads in a ring, or ever deeper, ends: every medium at most once.
        kernel.table = {{numbers[1], {Medium{true, {0, numbers[2]}}, 4000 * 512}},
                        {numbers[2], {firstMedium, 3000 * 512}}};
        EXPECT_EQ(behindSetOf({&first, &second}), 4000u * 512);
        kernel.table.clear();
        for (u64 n = 0; n < 1000; ++n) kernel.table[n == 0 ? numbers[0] : ~n] = {Medium{true, {0, ~(n + 1)}}, 0};
        kernel.asked = 0;
        EXPECT_EQ(behindSetOf({&disk, &first}), 13000u * 512);
        EXPECT_LE(kernel.asked, 64);
    }
    // Without a table each device counts on its own.
    EXPECT_EQ(behindSetOf({&disk, &first}), 13000u * 512);
}

// What the members' media hold does not depend on the layout: the probe, which tries some two
// hundred layouts on the same members, has them asked once, for the layout it settles on.
TEST(MediaBehind, TheProbeAsksTheMembersMediaOnceNotForEveryLayoutItTries) {
    std::vector<std::string> nodes;
    std::vector<u64> numbers;
    if (!blockNodes(2, nodes, numbers)) GTEST_SKIP() << "needs two block device nodes in /dev";
    NodeDisk a(nodes[0], 4000), b(nodes[1], 3000);
    BeneathTable kernel;  // two whole disks
    RAIDDisk set;
    set.setParameters(RAIDParameters(2, 0, 16, PARITY_NONE));
    ASSERT_TRUE(set.setMember(0, &a) && set.setMember(1, &b));
    kernel.table[numbers[1]] = {Medium{true, {0, numbers[0]}}, 3000 * 512};  // b turns out to lie in a
    kernel.asked = 0;
    set.probeLayout();
    EXPECT_EQ(kernel.asked, 2) << "each member once";
    EXPECT_LE(set.getBlockCount(), 4000u) << "the media as they are after the probe";
}

}  // namespace
}  // namespace vorn
