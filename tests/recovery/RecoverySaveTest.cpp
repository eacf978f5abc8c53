#include <gtest/gtest.h>

#include <tuple>

#include "recovery/RecoveryTestSupport.h"
#include "recovery/RecoveryUtils.h"
#include "fs/ForkedItem.h"
#include "misc/Bytes.h"
#include "fs/Volume.h"
#include "storage/DiskManager.h"
#include "storage/FailingDisk.h"

namespace vorn {
namespace {

using namespace test;
using Names = std::vector<std::string>;

class SaveTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(mkdir(target.c_str(), 0777), 0); }
    ~SaveTest() override { delete root; }
    std::string path(const std::string& rel) const { return target + "/" + rel; }
    ScratchDir scratch;
    std::string target = scratch / "target";
    Recovery recovery;
    DataItem* root = new DataItem("root", {}, true);
};

TEST_F(SaveTest, SavesFoldersFilesAndLazyFoldersByteForByte) {
    DataItem* docs = addDir(root, "docs");
    addData(docs, "a.bin", patternBytes(5000, 1));
    addData(addDir(docs, "deep"), "big.bin", patternBytes(700000, 2));
    DataItem* empty = addData(root, "empty.bin");
    DataItem* lazy = addDir(root, "lazy");
    lazy->loader = [](DataItem* f) { addData(f, "late.txt", patternBytes(10, 4)); };
    recovery.save({docs, empty, lazy}, target);
    EXPECT_TRUE(recovery.getLastSaveOk());
    EXPECT_EQ(treeOf(target), (Names{"docs/", "docs/a.bin", "docs/deep/", "docs/deep/big.bin", "empty.bin", "lazy/",
                                     "lazy/late.txt"}));
    EXPECT_EQ(fileBytes(path("docs/a.bin")), patternBytes(5000, 1));
    EXPECT_EQ(fileBytes(path("docs/deep/big.bin")), patternBytes(700000, 2));
    EXPECT_EQ(fileBytes(path("lazy/late.txt")), patternBytes(10, 4));
    EXPECT_EQ(lazy->loads, 1);
}

// A file with a resource fork, as the HFS Plus reader gives it.
struct ForkedDataItem : DataItem, ForkedItem {
    using DataItem::DataItem;
    bool isKindOf(int kind) const override { return kind == KIND_HFS_VOLUME_ITEM || DataItem::isKindOf(kind); }
    u64 getResourceForkSize() override { return fork.size(); }
    u32 readResourceFork(u64 ofs, void* buf, u32 len) override {
        if (ofs > fork.size() || len > fork.size() - ofs) return 0;
        std::copy_n(fork.begin() + static_cast<std::ptrdiff_t>(ofs), len, static_cast<u8*>(buf));
        return len;
    }
    std::vector<u8> fork;
};

TEST_F(SaveTest, ResourceForkIsSavedBesideTheFileAsAppleDoubleUnlessThatFileIsBeingRead) {
    auto* item = new ForkedDataItem("pic.jpg", patternBytes(3000, 3));
    item->fork = patternBytes(70000, 5);
    root->addChild(item);
    recovery.save({item}, target);
    EXPECT_EQ(fileBytes(path("pic.jpg")), patternBytes(3000, 3));
    const std::vector<u8> file = fileBytes(path("._pic.jpg"));
    ASSERT_EQ(file.size(), 38u + 70000u);
    const struct { size_t at; u32 value; u32 got; const char* field; } header[] = {
        {0, 0x00051607, loadBE32(&file[0]), "magic"},      {4, 0x00020000, loadBE32(&file[4]), "version"},
        {24, 1, loadBE16(&file[24]), "entry count"},       {26, 2, loadBE32(&file[26]), "entry: resource fork"},
        {30, 38, loadBE32(&file[30]), "entry: offset"},    {34, 70000, loadBE32(&file[34]), "entry: length"},
    };
    for (const auto& h : header) EXPECT_EQ(h.got, h.value) << h.field << " at " << h.at;
    EXPECT_EQ(std::vector<u8>(file.begin() + 38, file.end()), patternBytes(70000, 5)) << "the fork's bytes";

    // Saved again, another fork, while the fork file is a listed image: only the data file is written.
    DiskManager manager;
    ASSERT_TRUE(manager.addImageDisk(path("._pic.jpg")));
    recovery.setDiskManager(&manager);
    ASSERT_EQ(unlink(path("pic.jpg").c_str()), 0);
    item->fork = patternBytes(7000, 6);
    recovery.save({item}, target);
    EXPECT_EQ(fileBytes(path("pic.jpg")), patternBytes(3000, 3));
    EXPECT_EQ(fileBytes(path("._pic.jpg")), file);
    EXPECT_EQ(std::tuple(recovery.getSavedFileCount(), recovery.getFailedFileCount(), recovery.getRefusedFileCount()),
              std::tuple(1u, 1u, 1u));
    recovery.setDiskManager(nullptr);
}

TEST_F(SaveTest, ExistingFileFollowsTheAnswer) {
    using A = TestListener::Answer;
    struct Case { bool listener; A answer; bool overwritten, secondSaved; const char* log; };
    const Case cases[] = {
        {true, A::Nothing, true, true, "Overwrite\n"},  // a listener that answers nothing
        {true, A::Overwrite, true, true, "Overwrite\n"},
        {true, A::Skip, false, true, "skip\n"},
        {false, A::Nothing, false, true, "skip\n"},  // no listener
        {true, A::Cancel, false, false, "canceled during saving item list\n"},
        {true, A::SkipAndCancel, false, false, "canceled during saving item list\n"},  // cancel wins
    };
    DataItem* one = addData(root, "one.txt", patternBytes(100, 7));
    DataItem* two = addData(root, "two.txt", patternBytes(100, 8));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log + std::to_string(static_cast<int>(c.answer)));
        ASSERT_TRUE(writeFile(path("one.txt"), {'o'}));
        unlink(path("two.txt").c_str());
        TestListener listener;
        listener.answer = c.answer;
        recovery.setListener(c.listener ? &listener : nullptr);
        LogCapture logs;
        recovery.save({one, two}, target);
        EXPECT_TRUE(logs.has(c.log));
        EXPECT_EQ(fileBytes(path("one.txt")), c.overwritten ? patternBytes(100, 7) : std::vector<u8>{'o'});
        EXPECT_EQ(isFile(path("two.txt")), c.secondSaved);
        EXPECT_EQ(listener.asked, c.listener ? Names{path("one.txt")} : Names{});
        EXPECT_TRUE(listener.flagsClearWhenAsked);
        EXPECT_TRUE(recovery.getLastSaveOk());  // a cancel is no write failure
    }
}

TEST_F(SaveTest, CancelDuringAFileKeepsWhatWasWrittenAndEndsTheSave) {
    DataItem* folder = addDir(root, "folder");
    addData(folder, "big.bin", patternBytes(3 << 20, 9));
    addData(folder, "after.bin", patternBytes(10, 10));
    DataItem* later = addData(root, "later.bin");
    TestListener listener;
    listener.cancelAtProgress = 0;
    recovery.setListener(&listener);
    LogCapture logs;
    recovery.save({folder, later}, target);
    const std::vector<u8> written = fileBytes(path("folder/big.bin"));
    EXPECT_TRUE(written.size() > 0);
    EXPECT_TRUE(written.size() < (3u << 20));
    EXPECT_TRUE(std::equal(written.begin(), written.end(), patternBytes(3 << 20, 9).begin()));
    EXPECT_EQ(treeOf(target), (Names{"folder/", "folder/big.bin"}));
}

TEST_F(SaveTest, UnreadableBlocksBecomeZerosAndTheFileIsCountedDamaged) {
    const std::vector<u8> bytes = patternBytes(600000, 12);
    DataItem* item = addData(root, "damaged.bin", bytes);
    item->failingOffsets = {1000, 300000};
    DataItem* lost = addData(root, "lost.bin");
    lost->sizeOverride = 5000;  // nothing of it can be read
    DataItem* next = addData(root, "next.bin", patternBytes(10, 13));
    LogCapture logs(LOG_ERROR);
    recovery.save({item, lost, next}, target);
    std::vector<u8> expected = bytes;  // without a volume the retry pieces are 512 bytes
    std::fill(expected.begin() + 512, expected.begin() + 1024, 0);
    std::fill(expected.begin() + 299520, expected.begin() + 300032, 0);
    EXPECT_EQ(fileBytes(path("damaged.bin")), expected);
    EXPECT_EQ(fileBytes(path("lost.bin")), std::vector<u8>(5000, 0));
    EXPECT_EQ(fileBytes(path("next.bin")), patternBytes(10, 13));
    EXPECT_EQ(recovery.getDamagedFileCount(), 2u);
    EXPECT_TRUE(recovery.getLastSaveOk());
    // One line per kind of read error of a file, its repeats counted at the file's end.
    const std::string first = "error reading " + path("damaged.bin") + " at offset 0: 1 unreadable blocks written as zeros\n";
    EXPECT_EQ(logs.count(first), 1);
    EXPECT_EQ(logs.count("1 more like: " + first), 1);
    EXPECT_TRUE(logs.has("files saved with unreadable blocks written as zeros: 2\n"));
}

TEST_F(SaveTest, SizesAreHeldToTheMediumAndFilesSharingBlocksAreSavedWholeUpToFourTimesTheDisk) {
    struct Medium : Volume {
        using Volume::Volume;
        bool mount(bool) override { return false; }
        bool isAllocationBlockUsed(u64) override { return false; }
    };
    FailingDisk disk(std::vector<u8>(65536));
    Medium volume(&disk);
    volume.setDiskOffset(16384);
    // first.bin and one file listed under five names (as a disc lists hard links, or damaged entries
    // that share clusters) claiming far more than the medium; then a small file.
    DataItem* first = addData(root, "first.bin", patternBytes(40000, 21));
    std::vector<VolumeItem*> items = {first};
    for (int i = 0; i < 5; ++i) {
        DataItem* claims = addData(root, "claims" + std::to_string(i) + ".bin", patternBytes(1000, 22));
        claims->sizeOverride = u64(1) << 40;
        items.push_back(claims);
    }
    items.push_back(addData(root, "small.txt", patternBytes(10, 23)));
    for (VolumeItem* item : items) item->setVolume(&volume);
    LogCapture logs(LOG_WARNING);
    EXPECT_EQ(items[1]->boundedSize(), 49152u);
    EXPECT_EQ(first->boundedSize(), 40000u);
    recovery.save(items, target);
    EXPECT_EQ(fileBytes(path("first.bin")), patternBytes(40000, 21));
    std::vector<u8> whole = patternBytes(512, 22);  // the piece of 512 bytes past its data reads as zeros
    whole.resize(49152);
    // 40000 + 4 x 49152 bytes fit in four times the disk (262144 bytes); the fifth name would not.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(fileBytes(path("claims" + std::to_string(i) + ".bin")), whole) << i;
    EXPECT_FALSE(isFile(path("claims4.bin")));
    EXPECT_FALSE(isFile(path("small.txt"))) << "the save stops at the bound";
    EXPECT_EQ(logs.count("VolumeItem - claims0.bin: size 1099511627776 is more than its medium holds; taken as 49152\n"), 1);
    EXPECT_EQ(logs.count("error: save stopped at " + path("claims4.bin") +
                         ": it would take what is saved past four times the size of the disk it comes from (64.00 K); "
                         "the files saved before it are complete\n"),
              1);
    EXPECT_EQ(std::tuple(recovery.getSavedFileCount(), recovery.getFailedFileCount(), recovery.getLastSaveOk()),
              std::tuple(u64{5}, u64{1}, false));
    for (VolumeItem* item : items) item->setVolume(nullptr);  // the volume goes first
}

TEST_F(SaveTest, AnEntryInTheWayGivesTheItemANumberedNameAndNothingIsWrittenThroughIt) {
    const std::string victim = scratch / "victim.txt";
    ASSERT_TRUE(writeFile(victim, {'k'}));
    ASSERT_EQ(symlink(victim.c_str(), path("link").c_str()), 0);
    ASSERT_EQ(symlink((scratch / "dangling").c_str(), path("dangling").c_str()), 0);
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0666), 0);
    ASSERT_EQ(mkdir(path("dir.txt").c_str(), 0777), 0);
    ASSERT_TRUE(writeFile(path("folder"), {'f'}));
    ASSERT_TRUE(writeFile(path("folder (2)"), {'f'}));  // the next number is taken too
    TestListener listener;
    listener.answer = TestListener::Answer::Overwrite;
    recovery.setListener(&listener);
    std::vector<VolumeItem*> items;
    for (const char* name : {"link", "dangling", "fifo", "dir.txt"}) {
        items.push_back(addData(root, name, patternBytes(10, 14)));
    }
    DataItem* folder = addDir(root, "folder");
    addData(folder, "in.txt", patternBytes(5, 17));
    // A file and a folder of one name on the disk (a disc's "SAME;1" beside "SAME").
    DataItem* sameFile = addData(root, "same", patternBytes(7, 18));
    DataItem* sameFolder = addDir(root, "same");
    addData(sameFolder, "in.txt", patternBytes(5, 19));
    items.insert(items.end(), {folder, sameFile, sameFolder});
    LogCapture logs(LOG_WARNING);
    recovery.save(items, target);
    EXPECT_TRUE(recovery.getLastSaveOk());
    for (const char* name : {"link (2)", "dangling (2)", "fifo (2)", "dir (2).txt"}) {
        EXPECT_EQ(fileBytes(path(name)), patternBytes(10, 14)) << name;
    }
    EXPECT_EQ(fileBytes(path("folder (3)/in.txt")), patternBytes(5, 17));
    EXPECT_EQ(fileBytes(path("same")), patternBytes(7, 18));
    EXPECT_EQ(fileBytes(path("same (2)/in.txt")), patternBytes(5, 19));
    EXPECT_TRUE(logs.has(path("dir.txt") + " is taken by another kind of entry, saved as dir (2).txt\n"));
    EXPECT_EQ(fileBytes(victim), std::vector<u8>{'k'});
    EXPECT_FALSE(isFile(scratch / "dangling"));
    EXPECT_EQ(fileBytes(path("folder")), std::vector<u8>{'f'});
}

TEST_F(SaveTest, WriteFailuresEndTheSave) {
    // A target folder that cannot be made (a file lies on its way) fails the save before any file.
    LogCapture missing(LOG_ERROR);
    ASSERT_TRUE(writeFile(path("a-file"), patternBytes(3, 13)));
    recovery.save({addData(root, "x", patternBytes(10, 14))}, path("a-file/missing-folder"));
    EXPECT_FALSE(recovery.getLastSaveOk());
    EXPECT_EQ(recovery.getSavedFileCount(), 0u);
    EXPECT_TRUE(missing.has("error: cannot create folder " + path("a-file/missing-folder") + " (Not a directory)\n"));
    // A write that fails (file size limit) ends the save.
    DataItem* big = addData(root, "big.bin", patternBytes(400000, 15));
    DataItem* next = addData(root, "next.bin", patternBytes(10, 16));
    LogCapture logs(LOG_ERROR);
    {
        FileSizeLimit limit(100000);
        recovery.save({big, next}, target);
    }
    EXPECT_FALSE(recovery.getLastSaveOk());
    EXPECT_TRUE(logs.has("error writing file " + path("big.bin") + "\n"));
    EXPECT_FALSE(isFile(path("next.bin")));
}

TEST_F(SaveTest, NamesFromTheDiskStayInsideTheTargetFolder) {
    std::string longName;
    for (int i = 0; i < 200; ++i) longName += "\xc3\xa9";  // 400 bytes
    const std::vector<std::string> names = {"..", ".", "", "a/b", "../../escape", "<script>x</script>",
                                            std::string("nul\0byte", 8), "ctl\x01\x1f\n", longName + ".jpeg"};
    std::vector<VolumeItem*> items;
    for (const std::string& name : names) items.push_back(addData(root, name, patternBytes(5, 23)));
    const std::string outside = scratch / "outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0777), 0);
    ASSERT_EQ(symlink(outside.c_str(), path("evil").c_str()), 0);
    DataItem* evil = addDir(root, "evil");  // never saved through the link
    addData(evil, "payload", patternBytes(10, 25));
    DataItem* dots = addDir(root, "..");  // the file ".." took "_.." already
    addData(dots, "inside.txt", patternBytes(5, 24));
    items.insert(items.end(), {evil, dots});
    LogCapture logs(LOG_ERROR);
    recovery.save(items, target);
    EXPECT_TRUE(treeOf(outside).empty());
    for (const std::string& p : treeOf(scratch.path)) EXPECT_TRUE(p.rfind("target/", 0) == 0 || p == "outside/") << p;
    Names expected = {"_..", "_.", "_", "a:b", "..:..:escape", "<script>x<:script>", "nul_byte", "ctl\x01\x1f\n",
                      longName.substr(0, 250) + ".jpeg", "evil", "evil (2)/", "evil (2)/payload", "_.. (2)/",
                      "_.. (2)/inside.txt"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(treeOf(target), expected);
    EXPECT_TRUE(recovery.getLastSaveOk());
}

TEST(SaveTargetName, NeutralisesNamesAndCutsAtACharacterBoundaryKeepingTheExtension) {
    std::string euro;
    for (int i = 0; i < 100; ++i) euro += "\xe2\x82\xac";
    const std::pair<std::string, std::string> cases[] = {
        {"a/b/c", "a:b:c"}, {std::string("x\0y", 3), "x_y"}, {"", "_"}, {".", "_."}, {"..", "_.."},
        {"...", "..."}, {".profile", ".profile"}, {std::string(300, 'a'), std::string(255, 'a')},
        {std::string(300, 'a') + ".txt", std::string(251, 'a') + ".txt"},
        {euro + ".txt", euro.substr(0, 249) + ".txt"},  // 83 whole 3-byte characters
        {"a." + std::string(300, 'b'), ("a." + std::string(300, 'b')).substr(0, 255)},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(saveTargetName(in), out) << in.size();
    EXPECT_EQ(numberedTargetName(std::string(300, 'a') + ".txt", 12), std::string(246, 'a') + " (12).txt");
}

TEST_F(SaveTest, EndlessOrSelfContainingFoldersStop) {
    DataItem* top = addEndlessNesting(root);
    DataItem* loop = addDir(root, "loop");
    loop->id = "77";
    loop->loader = [](DataItem* f) {
        addData(f, "file", patternBytes(3, 29));
        DataItem* again = addDir(f, "again");
        again->id = "77";
        again->loader = f->loader;
    };
    LogCapture logs(LOG_ERROR);
    recovery.save({top, loop}, target);
    EXPECT_EQ(logs.countPrefix("folder nested too deep, not saved: "), 1);
    EXPECT_TRUE(logs.has("folder contains itself, not saved again: " + path("loop/again") + "\n"));
    int levels = 0;
    for (std::string at = path("d"); isDir(at); at += "/d") ++levels;
    EXPECT_EQ(levels, VolumeItem::kMaxDepth);
    EXPECT_TRUE(isFile(path("loop/file")));
    EXPECT_FALSE(isDir(path("loop/again")));
}

}  // namespace
}  // namespace vorn
