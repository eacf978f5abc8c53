// The HFS Plus analyser over the generated volume placed at an odd sector: lost volumes and lost files.
#include <gtest/gtest.h>

#include "TestMedia.h"
#include "fs/ItemTestSupport.h"
#include "fs/MemoryTestDisk.h"
#include "fs/hfs/HFSAnalyser.h"
#include "fs/hfs/HFSVolume.h"
#include "fs/hfs/HfsTestSupport.h"
#include "misc/Bytes.h"
#include "recovery/Recovery.h"
#include "storage/ImageDisk.h"
#include "storage/PartitionDisk.h"

namespace vorn::test {
namespace {

TEST(HFSLostVolumes, AVolumeAtAnOddSectorBecomesALostVolumePartition) {
    const struct { u32 blockSize; u64 volOfs; } cases[] = {{512, 601 * 512}, {2048, 7 * 2048 + 512} /* mid-block */};
    const Bytes volume = genImage();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.blockSize);
        MemoryTestDisk disk(diskWith(volume, c.volOfs, 65536), c.blockSize);
        PartitionDisk* part = lostVolumeOf(disk);
        ASSERT_NE(part, nullptr);
        EXPECT_EQ(part->getName(), "GenVol");
        EXPECT_EQ(part->getFirstBlock(), c.volOfs / c.blockSize);
        EXPECT_EQ(part->getLastBlock(), (c.volOfs + volume.size() - 1) / c.blockSize);
        if (c.volOfs % c.blockSize) continue;
        Recovery browse;  // browsed like any partition
        ASSERT_TRUE(browse.selectDisk(part));
        browse.openExistingVolume();
        ASSERT_NE(browse.getRootItem(), nullptr);
        EXPECT_EQ(walkTree(browse.getRootItem()).size(), 6u);
    }
}

// The lost-files scan of disk, which must give a result.
void scanLostFiles(Recovery& recovery, Disk& disk) {
    ASSERT_TRUE(recovery.selectDisk(&disk));
    recovery.setScanType(SCAN_LOST_FILES);
    recovery.scan();
    ASSERT_NE(recovery.getRootItem(), nullptr);
}

// The same, which must find one volume: its root, in volume.
void scanForOneVolume(Recovery& recovery, Disk& disk, VolumeItem*& volume) {
    volume = nullptr;
    ASSERT_NO_FATAL_FAILURE(scanLostFiles(recovery, disk));
    ASSERT_EQ(recovery.getRootItem()->children().size(), 1u);
    volume = recovery.getRootItem()->children()[0];
}

// What the lost-files scan gives back of the volume at sector 601 whose primary header is wiped, with one
// more piece of damage: paths under the found volume's root, and frag.bin read through it.
TEST(HFSLostFiles, AWipedVolumeGivesBackItsTree) {
    const Bytes original = genImage();
    // dropDocs: the folder record of /Docs unreadable, its items go to "CNID 20"
    struct Case { const char* what; bool dropDocs; std::set<std::string> paths; } cases[] = {
        {"header wiped", false,
         {"/Docs/", "/Docs/Sub/", "/Docs/Sub/deep.txt", "/Docs/note.txt", "/empty.txt", "/frag.bin"}},
        {"header wiped, /Docs lost", true,
         {"/OrphanedFolders/", "/OrphanedFolders/CNID 20/", "/OrphanedFolders/CNID 20/Sub/",
          "/OrphanedFolders/CNID 20/Sub/deep.txt", "/OrphanedFolders/CNID 20/note.txt", "/empty.txt", "/frag.bin"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes volume = original;
        std::fill(volume.begin() + 1024, volume.begin() + 1536, 0);
        if (c.dropDocs) volume[recordData(volume, 2, "Docs")] = 0x7F;  // record type 0x7F..: no folder
        MemoryTestDisk disk(diskWith(volume, 601 * 512, 65536));
        Recovery recovery;
        VolumeItem* root = nullptr;
        ASSERT_NO_FATAL_FAILURE(scanForOneVolume(recovery, disk, root));
        EXPECT_EQ(root->getName(), "GenVol");
        auto* vol = dynamic_cast<HFSVolume*>(root->getVolume());
        ASSERT_NE(vol, nullptr);
        EXPECT_EQ(vol->getDiskOffset(), 601u * 512);
        std::map<std::string, VolumeItem*> tree = walkTree(root);
        std::set<std::string> paths;
        for (auto& [path, item] : tree) {
            paths.insert(path);
            EXPECT_NE(item->getParent(), nullptr) << path;
            EXPECT_TRUE(item->isContainer() || item->isLost()) << path;
        }
        EXPECT_EQ(paths, c.paths);
        MemoryTestDisk plain(original);
        HFSVolume reference(&plain);
        ASSERT_TRUE(plain.open(false));
        ASSERT_TRUE(reference.mount(true));
        Bytes data, expected;
        ASSERT_NE(tree["/frag.bin"], nullptr);
        ASSERT_TRUE(readItem(tree["/frag.bin"], data));
        ASSERT_TRUE(readItem(walkTree(reference.getRootItem())["/frag.bin"], expected));
        EXPECT_EQ(data, expected);
    }
}

// The first identifier a volume gives out is 16: xorriso gives it to /Docs. The lost-files scan of the whole
// volume places every file where Browse shows it, none under "OrphanedFolders" (empty folders it leaves out).
TEST(HFSLostFiles, TheFirstUserIdentifierIsKept) {
    ImageDisk disk(mediaPath("hfs_bare.img"));
    std::set<std::string> browsed, lost;
    {
        Recovery browse;
        ASSERT_TRUE(browse.selectDisk(&disk));
        browse.openExistingVolume();
        ASSERT_NE(browse.getRootItem(), nullptr);
        for (auto& [path, item] : walkTree(browse.getRootItem()))
            if (!item->isContainer()) browsed.insert(path);
    }
    Recovery recovery;
    VolumeItem* root = nullptr;
    ASSERT_NO_FATAL_FAILURE(scanForOneVolume(recovery, disk, root));
    for (auto& entry : walkTree(root)) lost.insert(entry.first);
    ASSERT_TRUE(lost.count("/Docs/"));
    for (const std::string& path : browsed) EXPECT_TRUE(lost.count(path)) << path;
    for (const std::string& path : lost) EXPECT_EQ(path.rfind("/OrphanedFolders/", 0), std::string::npos) << path;
}

// 2,000 folders nested one in another: the lost-files scan keeps every one, but hangs none deeper than a walk
// goes (each placement would otherwise walk the whole chain above it); the deeper ones go on under
// "OrphanedFolders", as many levels at a time.
TEST(HFSLostFiles, NestedFoldersStayWithinTheWalkDepth) {
    ImageDisk disk(mediaPath("hfs_deep.img"));
    Recovery recovery;
    ASSERT_NO_FATAL_FAILURE(scanLostFiles(recovery, disk));
    std::set<std::string> names;
    size_t deepest = 0;
    std::vector<std::pair<VolumeItem*, size_t>> stack = {{recovery.getRootItem(), 0}};
    while (!stack.empty()) {
        auto [item, depth] = stack.back();
        stack.pop_back();
        deepest = std::max(deepest, depth);
        for (VolumeItem* child : item->children()) {
            names.insert(child->getName());
            stack.emplace_back(child, depth + 1);
        }
    }
    for (int level = 0; level < 2000; ++level) {
        char name[8];
        snprintf(name, sizeof name, "d%05d", level);
        ASSERT_TRUE(names.count(name)) << name;
    }
    EXPECT_TRUE(names.count("bottom.txt"));
    EXPECT_LE(deepest, size_t(VolumeItem::kMaxDepth) + 8);
}

// The raw tests of a block: headers and leaf nodes.
TEST(HFSAnalyserProbes, LeafNodesAreRecognisedByTheirOffsetTable) {
    auto leaf = [](u32 size, std::vector<u16> offsets) {
        Bytes n(size);
        n[8] = 0xFF;
        n[11] = u8(offsets.size());
        for (size_t i = 0; i < offsets.size(); ++i) n[size - 2 * i - 2] = u8(offsets[i] >> 8), n[size - 2 * i - 1] = u8(offsets[i]);
        return n;
    };
    struct Case { const char* what; Bytes block; bool leaf; u32 blocks; } cases[] = {
        {"4096-byte leaf", leaf(4096, {14, 100, 300}), true, 8},
        {"512-byte leaf", leaf(512, {14, 40}), true, 1},
        {"3 x 512 bytes", leaf(1536, {14, 40}), false, 0},
        {"offsets not increasing", leaf(512, {14, 300, 200}), false, 0},
        {"index node", [&] { Bytes n = leaf(512, {14}); n[8] = 0; return n; }(), false, 0},
        {"no records", leaf(512, {}), false, 0},
    };
    for (Case& c : cases) {
        u32 blocks = 0;
        EXPECT_EQ(HFSAnalyser::isCatalogLeafNode(c.block.data(), u32(c.block.size()), &blocks), c.leaf) << c.what;
        EXPECT_EQ(blocks, c.blocks) << c.what;
    }
}

}  // namespace
}  // namespace vorn::test
