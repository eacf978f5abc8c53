#include "fs/Volume.h"

#include <gtest/gtest.h>

#include <numeric>

#include "fs/ItemTestSupport.h"
#include "fs/MarkerBitmap.h"
#include "fs/MemoryTestDisk.h"

namespace vorn {
namespace {

using test::LogCapture;
using test::MemoryTestDisk;
using test::TestVolume;

std::vector<u8> countingBytes(size_t size) {
    std::vector<u8> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<u8>(i * 7 + i / 256);
    return bytes;
}

TEST(Volume, TakesItsDefaultsFromTheDisk) {
    LogCapture rec;
    MemoryTestDisk disk(std::vector<u8>(8 * 2048), 2048);
    TestVolume volume(&disk);
    EXPECT_TRUE(rec.has("Volume::Volume\n"));
    EXPECT_EQ(volume.getDisk(), &disk);
    EXPECT_EQ(volume.getName(), "Unknown");
    EXPECT_EQ(volume.getAllocBlockSize(), 2048u);
    EXPECT_EQ(volume.getSortType(), SORT_NAME);
    EXPECT_EQ(volume.getDiskOffset(), 0u);
    EXPECT_EQ(volume.getDataOffset(), 0u);
    EXPECT_EQ(volume.getRootItem(), nullptr);
    EXPECT_EQ(volume.getMarkerBitmap(), nullptr);
}

TEST(Volume, ReadAddsTheDiskOffset) {
    MemoryTestDisk disk(countingBytes(8192));
    ASSERT_TRUE(disk.open(false));
    TestVolume volume(&disk);
    volume.setDiskOffset(1024);
    u8 buf[16];
    ASSERT_TRUE(volume.read(100, sizeof buf, buf));
    for (int i = 0; i < 16; ++i) EXPECT_EQ(buf[i], disk.bytes()[1124 + i]);
    EXPECT_FALSE(volume.read(8192 - 1024 - 4, 8, buf));  // past the end of the disk
    disk.close();
}

TEST(Volume, ReadWithoutDiskFailsWithALine) {
    LogCapture rec;
    TestVolume volume(nullptr);
    u8 buf[4];
    EXPECT_FALSE(volume.read(0, 4, buf));
    EXPECT_TRUE(rec.has("Volume::read - error: no disk assigned!\n"));
}

TEST(Volume, ReadMarksTheBlocksItReadOnlyWhenAskedTo) {
    MemoryTestDisk disk(countingBytes(16 * 512));
    ASSERT_TRUE(disk.open(false));
    TestVolume volume(&disk);
    volume.setDiskOffset(512);
    volume.createMarkerBitmap();
    ASSERT_NE(volume.getMarkerBitmap(), nullptr);
    EXPECT_EQ(volume.getMarkerBitmap()->getBitCount(), 16u);
    u8 buf[600];
    ASSERT_TRUE(volume.read(0, 100, buf));
    EXPECT_FALSE(volume.getMarkerBitmap()->isBitSet(1));  // marking is off

    volume.setMarkUsedBlocks(true);
    ASSERT_TRUE(volume.read(1000, 600, buf));  // disk bytes 1512..2111: blocks 2, 3 and 4
    MarkerBitmap* bits = volume.getMarkerBitmap();
    EXPECT_FALSE(bits->isBitSet(1));
    EXPECT_TRUE(bits->isBitSet(2));
    EXPECT_TRUE(bits->isBitSet(3));
    EXPECT_TRUE(bits->isBitSet(4));
    EXPECT_FALSE(bits->isBitSet(5));

    EXPECT_FALSE(volume.read(16 * 512, 10, buf));  // a failed read marks nothing
    EXPECT_FALSE(bits->isBitSet(15));

    volume.deleteMarkerBitmap();
    EXPECT_EQ(volume.getMarkerBitmap(), nullptr);
    EXPECT_TRUE(volume.read(0, 10, buf));  // no bitmap: nothing to mark
    disk.close();
}

TEST(Volume, DiskOffsetBeyondTheDiskIsLoggedAndKept) {
    LogCapture rec;
    MemoryTestDisk disk(std::vector<u8>(4096));
    TestVolume volume(&disk);
    volume.setDiskOffset(4095);
    EXPECT_EQ(rec.countPrefix("Volume::setDiskOffset"), 0);
    volume.setDiskOffset(4096);
    EXPECT_TRUE(rec.has("Volume::setDiskOffset - offset out of disk range! (4096)\n"));
    EXPECT_EQ(volume.getDiskOffset(), 4096u);
}

TEST(Volume, CreateRootItemMakesAFolderAndDetachesTheOldRoot) {
    TestVolume volume;
    volume.createRootItem("first");
    VolumeItem* first = volume.getRootItem();
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->isContainer());
    EXPECT_EQ(first->getName(), "first");
    EXPECT_EQ(first->getVolume(), &volume);
    EXPECT_EQ(first->getParent(), nullptr);
    EXPECT_EQ(first->getId(), "n/a");

    volume.createRootItem("second");
    EXPECT_NE(volume.getRootItem(), first);
    EXPECT_EQ(first->getVolume(), nullptr);  // detached, not deleted
    delete first;
    delete volume.getRootItem();
    EXPECT_EQ(volume.getRootItem(), nullptr);
}

TEST(Volume, SetRootItemMovesTheVolumeLink) {
    TestVolume volume;
    DummyVolumeItem a(true), b(true);
    volume.setRootItem(&a);
    EXPECT_EQ(a.getVolume(), &volume);
    volume.setRootItem(&b);
    EXPECT_EQ(a.getVolume(), nullptr);
    EXPECT_EQ(b.getVolume(), &volume);
    volume.setRootItem(nullptr);
    EXPECT_EQ(b.getVolume(), nullptr);
}

TEST(Volume, DestructorDetachesTheRootAndLeavesItAlive) {
    LogCapture rec;
    auto* volume = new TestVolume();
    volume->createRootItem("root");
    VolumeItem* root = volume->getRootItem();
    volume->createMarkerBitmap();  // no disk: nothing made
    EXPECT_EQ(volume->getMarkerBitmap(), nullptr);
    delete volume;
    EXPECT_TRUE(rec.has("Volume::~Volume\n"));
    EXPECT_EQ(root->getVolume(), nullptr);
    EXPECT_EQ(root->getName(), "root");
    rec.clear();
    delete root;  // no longer a root: no root lines
    EXPECT_EQ(rec.countPrefix("VolumeItem::~VolumeItem"), 0);
}

TEST(Volume, SortTypeIsStoredWithoutSortingAnything) {
    TestVolume volume;
    volume.createRootItem("r");
    VolumeItem* root = volume.getRootItem();
    test::addFile(root, "b", 1);
    test::addFile(root, "a", 2);
    volume.setSortType(SORT_SIZE);
    EXPECT_EQ(volume.getSortType(), SORT_SIZE);
    EXPECT_EQ(test::childNames(root), (std::vector<std::string>{"b", "a"}));
    root->sortChildren();
    EXPECT_EQ(test::childNames(root), (std::vector<std::string>{"b", "a"}));
    volume.setSortType(SORT_NAME);
    root->sortChildren();
    EXPECT_EQ(test::childNames(root), (std::vector<std::string>{"a", "b"}));
    delete root;
}

}  // namespace
}  // namespace vorn
