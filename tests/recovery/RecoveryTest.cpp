#include "recovery/Recovery.h"

#include <gtest/gtest.h>

#include "fs/ItemTestSupport.h"
#include "fs/MemoryTestDisk.h"
#include "fs/UnmountedVolume.h"
#include "misc/Data.h"
#include "recovery/AbstractAnalyser.h"
#include "recovery/RecoveryEventListener.h"
#include "recovery/RecoveryTestAccess.h"
#include "recovery/VolumeFactory.h"

namespace vorn {
namespace {

using test::addFile;
using test::addFolder;
using test::LineRecorder;
using test::MemoryTestDisk;
using test::TestItem;
using test::TestVolume;

using Lines = std::vector<std::string>;

struct KeyListener : RecoveryEventListener {
    void progressEvent(double, bool*) override {}
    void fileSaving(const std::string&) override {}
    void askOverwrite(const std::string&, bool*, bool*, bool*) override {}
    void diskListChangedEvent() override {}
    void itemChangedEvent(VolumeItem*) override {}
    std::string localizedString(const std::string& key) override { return key == "Deleted" ? "Gelöscht" : key; }
};

std::vector<u8> zeros(size_t n) { return std::vector<u8>(n, 0); }

// ---- construction and setters

TEST(Recovery, StartsEmptyWithTheDocumentedOptions) {
    Recovery r;
    EXPECT_EQ(r.getDisk(), nullptr);
    EXPECT_EQ(r.getRootItem(), nullptr);
    EXPECT_EQ(r.getSearchResultsItem(), nullptr);
    EXPECT_EQ(r.getVolume(), nullptr);
    EXPECT_EQ(r.getListener(), nullptr);
    ASSERT_NE(r.getData(), nullptr);
    EXPECT_EQ(r.getData()->getSize(), 0u);
    EXPECT_TRUE(r.getLimitFileSize());
    EXPECT_EQ(r.getMaxFileSize(), 104857600u);
    EXPECT_FALSE(r.getEnableSearchText());
    EXPECT_FALSE(r.getEnableSearchKeywords());
    EXPECT_TRUE(r.getKeywords().empty());
}

TEST(Recovery, SettersLogAndStore) {
    LineRecorder rec;
    Recovery r;
    r.setEnableSearchText(true);
    r.setEnableSearchKeywords(false);
    r.setKeywords({"alpha", "beta"});
    r.setScanType(SCAN_LOST_FILES);
    r.setScanType(SCAN_DELETED_FILES);
    r.setScanType(SCAN_LOST_VOLUMES);
    r.setScanType(9);
    EXPECT_EQ(rec.lines, (Lines{"Recovery::setEnableSearchText = 1\n", "Recovery::setEnableSearchKeywords = 0\n",
                                "Recovery::setScanType  ", "Lost Files\n", "Recovery::setScanType  ",
                                "Deleted Files\n", "Recovery::setScanType  ", "Lost Volumes\n",
                                "Recovery::setScanType  "}));
    EXPECT_EQ(r.getScanType(), 9);
    EXPECT_TRUE(r.getEnableSearchText());
    EXPECT_EQ(r.getKeywords(), (Lines{"alpha", "beta"}));
}

TEST(Recovery, LocalizedStringAsksTheListenerOrReturnsTheKey) {
    Recovery r;
    EXPECT_EQ(r.localizedString("Deleted"), "Deleted");
    KeyListener listener;
    r.setListener(&listener);
    EXPECT_EQ(r.getListener(), &listener);
    EXPECT_EQ(r.localizedString("Deleted"), "Gelöscht");
    EXPECT_EQ(r.localizedString("Lost"), "Lost");
}

TEST(Recovery, DestructorLogsItsName) {
    LineRecorder rec;
    { Recovery r; }
    EXPECT_EQ(rec.count("Recovery::~Recovery\n"), 1);
}

// ---- disk selection

TEST(RecoverySelectDisk, NullOnAFreshObjectSucceedsSilently) {
    LineRecorder rec;
    Recovery r;
    EXPECT_TRUE(r.selectDisk(nullptr));
    EXPECT_TRUE(rec.lines.empty());
}

TEST(RecoverySelectDisk, WrapsTheDiskInAnOpenCache) {
    LineRecorder rec(LOG_INFO);
    MemoryTestDisk disk(zeros(64 * 512));
    {
        Recovery r;
        EXPECT_TRUE(r.selectDisk(&disk));
        ASSERT_NE(r.getDisk(), nullptr);
        EXPECT_NE(r.getDisk(), &disk);
        EXPECT_EQ(r.getDisk()->getInnerDisk(), &disk);
        EXPECT_EQ(disk.getOpenCount(), 1u);
        ASSERT_GE(rec.lines.size(), 3u);
        EXPECT_EQ(rec.lines.front(), "------- disk selected: -------\n");
        EXPECT_EQ(rec.lines.back(), "------------------------------\n");
        u8 buf[16];
        EXPECT_TRUE(r.getDisk()->read(512, sizeof buf, buf));
    }
    // Freed with the Recovery, and the medium is closed again.
    EXPECT_EQ(disk.getOpenCount(), 0u);
    EXPECT_EQ(disk.closes, 1);
}

TEST(RecoverySelectDisk, SelectingTheHeldCacheKeepsTheResultTree) {
    MemoryTestDisk disk(zeros(64 * 512));
    Recovery r;
    ASSERT_TRUE(r.selectDisk(&disk));
    TestVolume volume;
    volume.createRootItem("root");
    RecoveryTestAccess::setRootItem(r, volume.getRootItem());
    Disk* cache = r.getDisk();
    LineRecorder rec;
    EXPECT_TRUE(r.selectDisk(cache));
    EXPECT_TRUE(rec.lines.empty());
    EXPECT_EQ(r.getDisk(), cache);
    EXPECT_EQ(r.getRootItem(), volume.getRootItem());
    r.deleteRootItem();
}

TEST(RecoverySelectDisk, AnotherDiskFreesTreeVolumeAndCache) {
    MemoryTestDisk first(zeros(64 * 512));
    MemoryTestDisk second(zeros(32 * 512), 512, DISK_TYPE_FIXED, "second");
    Recovery r;
    ASSERT_TRUE(r.selectDisk(&first));
    r.openExistingVolume();
    ASSERT_NE(r.getVolume(), nullptr);
    TestVolume scratch;
    scratch.createRootItem("tree");
    addFile(scratch.getRootItem(), "f");
    RecoveryTestAccess::setRootItem(r, scratch.getRootItem());

    ASSERT_TRUE(r.selectDisk(&second));
    EXPECT_EQ(r.getRootItem(), nullptr);
    EXPECT_EQ(scratch.getRootItem(), nullptr);  // the tree was deleted
    EXPECT_EQ(r.getVolume(), nullptr);
    EXPECT_EQ(r.getDisk()->getInnerDisk(), &second);
    EXPECT_EQ(first.getOpenCount(), 0u);
    EXPECT_EQ(second.getOpenCount(), 1u);

    EXPECT_TRUE(r.selectDisk(nullptr));
    EXPECT_EQ(r.getDisk(), nullptr);
    EXPECT_EQ(second.getOpenCount(), 0u);
}

TEST(RecoverySelectDisk, FailedOpenKeepsTheUnopenedCache) {
    LineRecorder rec;
    MemoryTestDisk disk(zeros(64 * 512));
    disk.failOpen = true;
    Recovery r;
    EXPECT_FALSE(r.selectDisk(&disk));
    EXPECT_TRUE(rec.has("error opening disk!\n"));
    ASSERT_NE(r.getDisk(), nullptr);
    EXPECT_EQ(r.getDisk()->getInnerDisk(), &disk);
    u8 buf[4];
    EXPECT_FALSE(r.getDisk()->read(0, 4, buf));
    EXPECT_TRUE(r.selectDisk(nullptr));
    EXPECT_EQ(disk.closes, 0);  // never opened, never closed
}

// ---- opening the volume

TEST(RecoveryOpenVolume, WithoutDiskLogsAndDoesNothing) {
    LineRecorder rec;
    Recovery r;
    r.openExistingVolume();
    EXPECT_EQ(rec.lines, (Lines{"openExistingVolume\n", "error: no disk selected\n"}));
    EXPECT_EQ(r.getVolume(), nullptr);
}

TEST(RecoveryOpenVolume, UnknownFileSystemKeepsAnUnmountedVolumeWithoutRoot) {
    MemoryTestDisk disk(zeros(128 * 512));
    Recovery r;
    ASSERT_TRUE(r.selectDisk(&disk));
    r.openExistingVolume();
    Volume* volume = r.getVolume();
    ASSERT_NE(volume, nullptr);
    EXPECT_NE(dynamic_cast<UnmountedVolume*>(volume), nullptr);
    EXPECT_EQ(volume->getDisk(), r.getDisk());
    EXPECT_EQ(r.getRootItem(), nullptr);
    // It reads no bitmap: every block is free, blocks are disk blocks, data starts at 0.
    EXPECT_FALSE(volume->isAllocationBlockUsed(0));
    EXPECT_FALSE(volume->isAllocationBlockUsed(127));
    EXPECT_EQ(volume->getAllocBlockSize(), 512u);
    EXPECT_EQ(volume->getDataOffset(), 0u);
    EXPECT_FALSE(volume->mount(true));

    // Opening again replaces the volume and the tree.
    TestVolume scratch;
    scratch.createRootItem("old");
    RecoveryTestAccess::setRootItem(r, scratch.getRootItem());
    r.openExistingVolume();
    EXPECT_EQ(scratch.getRootItem(), nullptr);
    EXPECT_NE(r.getVolume(), nullptr);
}

TEST(RecoveryOpenVolume, FactoryAnswersNullForReadersNotBuilt) {
    MemoryTestDisk disk(zeros(8 * 512));
    for (VolumeKind kind : kReaderOrder) {
        Volume* volume = createVolume(kind, &disk);
        if (kind == VolumeKind::HFS) {
            EXPECT_NE(volume, nullptr);
        }
        delete volume;
    }
}

// ---- found volumes

TEST(RecoveryAddVolume, NeedsAResultRootAndAKnownType) {
    MemoryTestDisk disk(zeros(64 * 512));
    Recovery r;
    ASSERT_TRUE(r.selectDisk(&disk));
    EXPECT_EQ(r.addVolume(ADD_VOLUME_HFS, nullptr), nullptr);  // no root yet
    TestVolume main;
    main.createRootItem("Lost");
    RecoveryTestAccess::setRootItem(r, main.getRootItem());
    EXPECT_EQ(r.addVolume(3, nullptr), nullptr);
    EXPECT_EQ(RecoveryTestAccess::volumeCounter(r), 0u);
    r.deleteRootItem();
}

TEST(RecoveryAddVolume, HangsLabelledRootsUnderTheResultRoot) {
    LineRecorder rec;
    MemoryTestDisk disk(zeros(64 * 512));
    Recovery r;
    ASSERT_TRUE(r.selectDisk(&disk));
    TestVolume main;
    main.createRootItem("Lost");
    RecoveryTestAccess::setRootItem(r, main.getRootItem());
    rec.clear();

    Volume* first = r.addVolume(ADD_VOLUME_HFS, nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->getDisk(), r.getDisk());
    ASSERT_NE(first->getRootItem(), nullptr);
    EXPECT_EQ(first->getRootItem()->getName(), "Volume 1");
    EXPECT_EQ(first->getRootItem()->getVolume(), first);
    EXPECT_TRUE(first->getRootItem()->isContainer());
    EXPECT_NE(r.getVolume(), first);  // not the opened volume

    // A volume handed in keeps its own root.
    auto* given = new TestVolume(r.getDisk());
    given->createRootItem("Mine");
    EXPECT_EQ(r.addVolume(ADD_VOLUME_FAT, given), given);

    EXPECT_EQ(rec.count("Recovery::addVolume (1): Unknown\n"), 1);
    EXPECT_EQ(rec.count("Recovery::addVolume (2): Unknown\n"), 1);
    EXPECT_EQ(rec.countPrefix("Recovery::addVolume"), 2);
    ASSERT_EQ(r.getRootItem()->getChildCount(true), 2u);
    EXPECT_EQ(r.getRootItem()->getChild(0, true), first->getRootItem());
    EXPECT_EQ(r.getRootItem()->getChild(1, true)->getName(), "Mine");
    EXPECT_EQ(RecoveryTestAccess::addedVolumeCount(r), 2u);

    Volume* third = r.addVolume(ADD_VOLUME_HFS, nullptr);
    EXPECT_EQ(third->getRootItem()->getName(), "Volume 3");
}

TEST(RecoveryAddVolume, AddedVolumesAreAttachedOnceAndFreedAfterTheirTree) {
    MemoryTestDisk disk(zeros(64 * 512));
    int before = TestVolume::live;
    {
        Recovery r;
        ASSERT_TRUE(r.selectDisk(&disk));
        TestVolume main;
        main.createRootItem("Lost");
        RecoveryTestAccess::setRootItem(r, main.getRootItem());
        auto* found = new TestVolume(r.getDisk());
        ASSERT_EQ(r.addVolume(ADD_VOLUME_HFS, found), found);
        // Handed in again: listed once, so that its tree is freed once.
        EXPECT_EQ(r.addVolume(ADD_VOLUME_HFS, found), found);
        EXPECT_EQ(r.getRootItem()->getChildCount(true), 1u);
        EXPECT_EQ(RecoveryTestAccess::volumeCounter(r), 1u);
        addFile(found->getRootItem(), "item");
        EXPECT_EQ(TestVolume::live, before + 2);
        LineRecorder rec;
        r.deleteRootItem();
        EXPECT_TRUE(rec.has("deleteRootItem\n"));
        EXPECT_TRUE(rec.has("VolumeItem::~VolumeItem rootitem (Volume 1)\n"));
        EXPECT_TRUE(rec.has("VolumeItem::~VolumeItem frees:2\n"));
        EXPECT_EQ(TestVolume::live, before + 1);  // the found volume went with the tree
        EXPECT_EQ(RecoveryTestAccess::addedVolumeCount(r), 0u);
    }
    EXPECT_EQ(TestVolume::live, before);
}

// ---- result tree

TEST(RecoveryDeleteRoot, FreesTheTreeWithSearchHitsOnce) {
    Recovery r;
    TestVolume volume;
    volume.createRootItem("root");
    VolumeItem* root = volume.getRootItem();
    TestItem* folder = addFolder(root, "folder");
    TestItem* shared = addFile(folder, "shared hit");
    auto* attached = new TestItem("Volume hit", true);  // a found volume's root: listed, no parent
    root->addChild(attached);
    VolumeItem* results = root->findChild("SearchResults", true);
    results->addChild(shared);  // hits sit in their own folders
    results->addChild(attached);
    RecoveryTestAccess::setRootItem(r, root);
    RecoveryTestAccess::setSearchResultsItem(r, results);
    int before = TestItem::live;
    r.deleteRootItem();
    EXPECT_EQ(TestItem::live, before - 3);  // folder, shared and attached: each once
    EXPECT_EQ(r.getRootItem(), nullptr);
    EXPECT_EQ(r.getSearchResultsItem(), nullptr);
    EXPECT_EQ(volume.getRootItem(), nullptr);
}

// ---- scan position

TEST(RecoverySeek, CountsAllocationBlocksFromTheScanStart) {
    Recovery r;
    // A FAT-like scan: allocation block 0 at byte 8192, 4 KiB blocks of 8 sectors.
    RecoveryTestAccess::setScanGeometry(r, 8192, 4096, 8, 100);
    RecoveryTestAccess::setPosition(r, 2, 16 + 16, 8192 + 2 * 4096);
    r.seekToOffset(8192 + 10 * 4096 + 100);
    EXPECT_EQ(r.getCurrentAllocBlock(), 10u);
    EXPECT_EQ(r.getCurrentOffset(), 8192u + 10 * 4096);
    EXPECT_EQ(r.getCurrentBlock(), 16u + 80);
    EXPECT_EQ(r.getCurrentOffset(), r.getCurrentBlock() * 512);
}

TEST(RecoverySeek, NeverMovesBackwards) {
    LineRecorder rec;
    Recovery r;
    RecoveryTestAccess::setScanGeometry(r, 8192, 4096, 8, 100);
    RecoveryTestAccess::setPosition(r, 5, 16 + 40, 8192 + 5 * 4096);
    r.seekToOffset(8192 + 4 * 4096);
    r.seekToOffset(100);  // before the scan start
    EXPECT_EQ(r.getCurrentAllocBlock(), 5u);
    EXPECT_EQ(r.getCurrentOffset(), 8192u + 5 * 4096);
    EXPECT_EQ(r.getCurrentBlock(), 56u);
    EXPECT_EQ(rec.countPrefix("Recovery::seekToOffset - offset "), 2);
    r.seekToOffset(8192 + 5 * 4096 + 4095);  // inside the current block: stays
    EXPECT_EQ(r.getCurrentAllocBlock(), 5u);
}

TEST(RecoverySeek, LargeOffsetsStayIn64Bits) {
    Recovery r;
    RecoveryTestAccess::setScanGeometry(r, 0, 512, 1, u64(1) << 34);
    RecoveryTestAccess::setPosition(r, 0, 0, 0);
    u64 target = (u64(1) << 42) + 512;
    r.seekToOffset(target);
    EXPECT_EQ(r.getCurrentAllocBlock(), target / 512);
    EXPECT_EQ(r.getCurrentOffset(), target);
    EXPECT_EQ(r.getCurrentBlock(), target / 512);
}

// ---- analyser base

struct NullAnalyser : AbstractAnalyser {
    using AbstractAnalyser::AbstractAnalyser;
    void scanBegin() override {}
    void scanBlock() override {}
    void scanEnd() override {}
    Recovery* ownerSeen() const { return owner; }
};

TEST(AbstractAnalyser, KeepsItsOwnerAndLogsItsLifetime) {
    LineRecorder rec;
    Recovery r;
    AbstractAnalyser* analyser = new NullAnalyser(&r);
    EXPECT_EQ(static_cast<NullAnalyser*>(analyser)->ownerSeen(), &r);
    analyser->scanBegin();
    analyser->scanBlock();
    analyser->scanEnd();
    delete analyser;
    EXPECT_EQ(rec.lines, (Lines{"abstract analyser constructed\n", "freeing abstract analyser\n"}));
}

}  // namespace
}  // namespace vorn
