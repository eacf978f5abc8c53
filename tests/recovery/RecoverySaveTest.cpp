// Saving items: folder trees, answers to existing files, cancel, unreadable
// blocks, write failures, resource forks and names that try to leave the
// target folder. Items here are test items; RecoverySaveFatTest saves real
// FAT volumes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "misc/Bytes.h"
#include "misc/Log.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryTestSupport.h"
#include "recovery/RecoveryUtils.h"
#include "LogCapture.h"

namespace vorn {
namespace {

using test::addDataFile;
using test::addDataFolder;
using test::DataItem;
using test::fileBytes;
using test::LogCapture;
using test::patternBytes;
using test::ScratchDir;
using test::TestListener;

// A parentless folder holding the items of one test; freed with the test.
struct Tree {
    Tree() : root(new DataItem("root", {}, true)) {}
    ~Tree() { delete root; }
    DataItem* root;
};

class SaveTest : public ::testing::Test {
protected:
    void SetUp() override {
        target = scratch / "target";
        ASSERT_EQ(mkdir(target.c_str(), 0777), 0);
    }
    std::string path(const std::string& rel) const { return target + "/" + rel; }

    ScratchDir scratch;
    std::string target;
    Recovery recovery;
    Tree tree;
};

TEST_F(SaveTest, SavesFoldersAndFilesByteForByte) {
    DataItem* docs = addDataFolder(tree.root, "docs");
    addDataFile(docs, "a.bin", patternBytes(5000, 1));
    DataItem* deep = addDataFolder(docs, "deep");
    addDataFile(deep, "big.bin", patternBytes(700000, 2));
    addDataFile(tree.root, "top.txt", patternBytes(2048, 3));
    addDataFolder(tree.root, "empty");

    recovery.save({docs, tree.root->getChild(1, true), tree.root->getChild(2, true)}, target);

    EXPECT_TRUE(recovery.getLastSaveOk());
    EXPECT_EQ(test::treeOf(target), (std::vector<std::string>{"docs/", "docs/a.bin", "docs/deep/", "docs/deep/big.bin",
                                                               "empty/", "top.txt"}));
    EXPECT_EQ(fileBytes(path("docs/a.bin")), patternBytes(5000, 1));
    EXPECT_EQ(fileBytes(path("docs/deep/big.bin")), patternBytes(700000, 2));
    EXPECT_EQ(fileBytes(path("top.txt")), patternBytes(2048, 3));
}

TEST_F(SaveTest, FolderWhoseChildrenWereNeverLoadedIsLoadedFirst) {
    auto* lazy = new DataItem("lazy", {}, true);
    test::adopt(tree.root, lazy);
    lazy->loader = [](DataItem* f) { addDataFile(f, "late.txt", patternBytes(10, 4)); };

    recovery.save({lazy}, target);

    EXPECT_EQ(lazy->loads, 1);
    EXPECT_EQ(fileBytes(path("lazy/late.txt")), patternBytes(10, 4));
}

TEST_F(SaveTest, EmptyFileIsCreatedWithOneProgressCallAndOneEmptyRead) {
    DataItem* empty = addDataFile(tree.root, "empty.bin", {});
    TestListener listener;
    recovery.setListener(&listener);

    recovery.save({empty}, target);

    EXPECT_TRUE(test::isRegularFile(path("empty.bin")));
    EXPECT_TRUE(fileBytes(path("empty.bin")).empty());
    EXPECT_EQ(listener.progress.size(), 1u);
    ASSERT_EQ(empty->reads.size(), 1u);
    EXPECT_EQ(empty->reads[0].second, 0u);
    EXPECT_EQ(listener.saving, std::vector<std::string>{path("empty.bin")});
}

TEST_F(SaveTest, ProgressOfItemIShowsIOverCount) {
    std::vector<VolumeItem*> items;
    for (int i = 0; i < 4; ++i) items.push_back(addDataFile(tree.root, "f" + std::to_string(i), patternBytes(10, i)));
    TestListener listener;
    recovery.setListener(&listener);

    recovery.save(items, target);

    // One report per file, taken before its first chunk: 0 for the first
    // item and i / count * 100 after item i, counted from 0.
    EXPECT_EQ(listener.progress, (std::vector<double>{0, 0, 25, 50}));
}

TEST_F(SaveTest, ProgressIsReportedAboutEveryTwoMegabytes) {
    DataItem* big = addDataFile(tree.root, "big", patternBytes(5 * 1024 * 1024, 5));
    TestListener listener;
    recovery.setListener(&listener);
    recovery.save({big}, target);
    // Before the first chunk, then after every 2,048,000 bytes.
    EXPECT_EQ(listener.progress.size(), 3u);
    EXPECT_EQ(fileBytes(path("big")).size(), 5u * 1024 * 1024);
}

// ---------------------------------------------------------------- existing files

class ExistingFileTest : public SaveTest {
protected:
    void SetUp() override {
        SaveTest::SetUp();
        first = addDataFile(tree.root, "one.txt", patternBytes(100, 7));
        second = addDataFile(tree.root, "two.txt", patternBytes(100, 8));
        ASSERT_TRUE(test::writeWholeFile(path("one.txt"), {'o', 'l', 'd'}));
    }
    std::vector<u8> old{'o', 'l', 'd'};
    DataItem* first = nullptr;
    DataItem* second = nullptr;
    TestListener listener;
};

TEST_F(ExistingFileTest, ListenerThatAnswersNothingGetsAnOverwrite) {
    recovery.setListener(&listener);
    LogCapture logs;
    recovery.save({first, second}, target);
    EXPECT_EQ(listener.asked, std::vector<std::string>{path("one.txt")});
    EXPECT_TRUE(listener.flagsClearWhenAsked);
    EXPECT_TRUE(logs.has("Overwrite\n"));
    EXPECT_EQ(fileBytes(path("one.txt")), patternBytes(100, 7));
    EXPECT_EQ(fileBytes(path("two.txt")), patternBytes(100, 8));
}

TEST_F(ExistingFileTest, SkipLeavesTheFileAndGoesOn) {
    listener.answer = TestListener::Answer::Skip;
    recovery.setListener(&listener);
    LogCapture logs;
    recovery.save({first, second}, target);
    EXPECT_TRUE(logs.has("skip\n"));
    EXPECT_EQ(fileBytes(path("one.txt")), old);
    EXPECT_EQ(fileBytes(path("two.txt")), patternBytes(100, 8));
}

TEST_F(ExistingFileTest, WithoutListenerTheFileIsSkipped) {
    LogCapture logs;
    recovery.save({first, second}, target);
    EXPECT_TRUE(logs.has("skip\n"));
    EXPECT_EQ(fileBytes(path("one.txt")), old);
    EXPECT_EQ(fileBytes(path("two.txt")), patternBytes(100, 8));
}

TEST_F(ExistingFileTest, CancelEndsTheWholeSave) {
    listener.answer = TestListener::Answer::Cancel;
    recovery.setListener(&listener);
    LogCapture logs;
    recovery.save({first, second}, target);
    EXPECT_TRUE(logs.has("Cancel\n"));
    EXPECT_TRUE(logs.has("canceled during saving item list\n"));
    EXPECT_EQ(fileBytes(path("one.txt")), old);
    EXPECT_FALSE(test::isRegularFile(path("two.txt")));
    EXPECT_TRUE(recovery.getLastSaveOk());  // a cancel is no write failure
}

TEST_F(ExistingFileTest, CancelIsTestedBeforeSkip) {
    listener.answer = TestListener::Answer::SkipAndCancel;
    recovery.setListener(&listener);
    recovery.save({first, second}, target);
    EXPECT_FALSE(test::isRegularFile(path("two.txt")));
}

TEST_F(SaveTest, CancelDuringAFileLeavesItPartlyWrittenAndEndsTheSave) {
    DataItem* folder = addDataFolder(tree.root, "folder");
    addDataFile(folder, "big.bin", patternBytes(3 * 1024 * 1024, 9));
    addDataFile(folder, "after.bin", patternBytes(10, 10));
    DataItem* later = addDataFile(tree.root, "later.bin", patternBytes(10, 11));
    TestListener listener;
    listener.cancelAtProgress = 0;
    recovery.setListener(&listener);
    LogCapture logs;

    recovery.save({folder, later}, target);

    const std::vector<u8> written = fileBytes(path("folder/big.bin"));
    EXPECT_GT(written.size(), 0u);
    EXPECT_LT(written.size(), 3u * 1024 * 1024);
    EXPECT_TRUE(std::equal(written.begin(), written.end(), patternBytes(3 * 1024 * 1024, 9).begin()));
    EXPECT_TRUE(logs.has("canceled during write\n"));
    EXPECT_TRUE(logs.has("canceled during saving item list\n"));
    EXPECT_FALSE(test::isRegularFile(path("folder/after.bin")));
    EXPECT_FALSE(test::isRegularFile(path("later.bin")));
}

// ---------------------------------------------------------------- read and write failures

TEST_F(SaveTest, UnreadableBlocksAreWrittenAsZerosAndEveryReadableByteIsKept) {
    std::vector<u8> bytes = patternBytes(600000, 12);
    DataItem* item = addDataFile(tree.root, "damaged.bin", bytes);
    item->failingOffsets = {1000, 300000};
    DataItem* next = addDataFile(tree.root, "next.bin", patternBytes(10, 13));
    LogCapture logs(LOG_ERROR);

    recovery.save({item, next}, target);

    // Without a volume the retry pieces are 512 bytes.
    std::vector<u8> expected = bytes;
    std::fill(expected.begin() + 512, expected.begin() + 1024, 0);
    std::fill(expected.begin() + 299520, expected.begin() + 300032, 0);
    EXPECT_EQ(fileBytes(path("damaged.bin")), expected);
    EXPECT_EQ(fileBytes(path("next.bin")), patternBytes(10, 13));
    EXPECT_EQ(recovery.getDamagedFileCount(), 1u);
    EXPECT_TRUE(recovery.getLastSaveOk());
    EXPECT_TRUE(logs.has("error reading " + path("damaged.bin") + " at offset 0: 1 unreadable blocks written as zeros\n"));
    EXPECT_TRUE(logs.has("error reading " + path("damaged.bin") +
                         " at offset 262144: 1 unreadable blocks written as zeros\n"));
    EXPECT_TRUE(logs.has("files saved with unreadable blocks written as zeros: 1\n"));
}

TEST_F(SaveTest, AnItemThatCannotBeReadAtAllKeepsItsSize) {
    DataItem* item = addDataFile(tree.root, "lost.bin", {});
    item->sizeOverride = 5000;  // more than the item can deliver
    recovery.save({item}, target);
    EXPECT_EQ(fileBytes(path("lost.bin")), std::vector<u8>(5000, 0));
    EXPECT_EQ(recovery.getDamagedFileCount(), 1u);
}

// Writes past this size fail with EFBIG while it lives (SIGXFSZ ignored).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        m_oldHandler = signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_old);
        signal(SIGXFSZ, m_oldHandler);
    }

private:
    rlimit m_old{};
    sighandler_t m_oldHandler;
};

TEST_F(SaveTest, WriteFailureIsReportedAndEndsTheSave) {
    DataItem* big = addDataFile(tree.root, "big.bin", patternBytes(400000, 14));
    DataItem* next = addDataFile(tree.root, "next.bin", patternBytes(10, 15));
    LogCapture logs(LOG_ERROR);
    {
        FileSizeLimit limit(100000);
        recovery.save({big, next}, target);
    }
    EXPECT_FALSE(recovery.getLastSaveOk());
    EXPECT_TRUE(logs.has("error writing file " + path("big.bin") + "\n"));
    EXPECT_FALSE(test::isRegularFile(path("next.bin")));
}

TEST_F(SaveTest, TargetThatCannotBeOpenedEndsTheSave) {
    DataItem* item = addDataFile(tree.root, "x.bin", patternBytes(10, 16));
    LogCapture logs(LOG_ERROR);
    recovery.save({item}, target + "/missing-folder");
    EXPECT_FALSE(recovery.getLastSaveOk());
    EXPECT_TRUE(logs.has("error writing file " + target + "/missing-folder/x.bin\n"));
}

// ---------------------------------------------------------------- resource forks

TEST_F(SaveTest, ResourceForkIsWrittenAsAppleDoubleBesideTheDataFile) {
    auto* item = test::adopt(tree.root, new test::ForkItem("Icon", patternBytes(3000, 17), patternBytes(70000, 18)));

    recovery.save({item}, target);

    EXPECT_EQ(fileBytes(path("Icon")), patternBytes(3000, 17));
    const std::vector<u8> ad = fileBytes(path("._Icon"));
    ASSERT_EQ(ad.size(), 38u + 70000u);
    EXPECT_EQ(loadBE32(ad.data()), 0x00051607u);       // magic
    EXPECT_EQ(loadBE32(ad.data() + 4), 0x00020000u);   // version 2
    EXPECT_EQ(std::vector<u8>(ad.begin() + 8, ad.begin() + 24), std::vector<u8>(16, 0));
    EXPECT_EQ(loadBE16(ad.data() + 24), 1u);           // one entry
    EXPECT_EQ(loadBE32(ad.data() + 26), 2u);           // resource fork
    EXPECT_EQ(loadBE32(ad.data() + 30), 38u);          // offset
    EXPECT_EQ(loadBE32(ad.data() + 34), 70000u);       // length
    EXPECT_EQ(std::vector<u8>(ad.begin() + 38, ad.end()), patternBytes(70000, 18));
}

TEST_F(SaveTest, ItemWithoutForkWritesNoAppleDoubleFile) {
    auto* item = test::adopt(tree.root, new test::ForkItem("plain", patternBytes(10, 19), {}));
    recovery.save({item}, target);
    EXPECT_EQ(test::listDir(target), std::vector<std::string>{"plain"});
}

TEST_F(SaveTest, ForkFileThatCannotBeCreatedLeavesTheDataFile) {
    auto* item = test::adopt(tree.root, new test::ForkItem("doc", patternBytes(10, 20), patternBytes(10, 21)));
    auto* next = addDataFile(tree.root, "next", patternBytes(10, 22));
    ASSERT_EQ(mkdir(path("._doc").c_str(), 0777), 0);
    LogCapture logs(LOG_ERROR);

    recovery.save({item, next}, target);

    EXPECT_TRUE(logs.has("error writing resoure file " + path("doc") + "\n"));
    EXPECT_EQ(fileBytes(path("doc")), patternBytes(10, 20));
    EXPECT_EQ(fileBytes(path("next")), patternBytes(10, 22));
    EXPECT_TRUE(recovery.getLastSaveOk());
}

// ---------------------------------------------------------------- unsafe names and links

TEST_F(SaveTest, NamesFromTheDiskStayInsideTheTargetFolder) {
    std::string longName;
    for (int i = 0; i < 200; ++i) longName += "\xc3\xa9";  // 400 bytes of "é"
    longName += ".jpeg";
    const std::vector<std::string> names = {"..", ".", "", "a/b", "../../escape", "<script>x</script>",
                                            std::string("nul\0byte", 8), "ctl\x01\x1f\n", longName};
    std::vector<VolumeItem*> items;
    for (const std::string& name : names) items.push_back(addDataFile(tree.root, name, patternBytes(5, 23)));
    DataItem* dots = addDataFolder(tree.root, "..");
    addDataFile(dots, "inside.txt", patternBytes(5, 24));
    items.push_back(dots);

    recovery.save(items, target);

    // Only the target folder exists in the scratch folder: nothing escaped.
    EXPECT_EQ(test::listDir(scratch.path), std::vector<std::string>{"target"});
    std::string cutName;
    for (int i = 0; i < 125; ++i) cutName += "\xc3\xa9";  // 250 bytes + ".jpeg" = 255
    cutName += ".jpeg";
    std::vector<std::string> expected = {"_..", "_.", "_", "a:b", "..:..:escape", "<script>x<:script>",
                                         "nul_byte", "ctl\x01\x1f\n", cutName};
    std::sort(expected.begin(), expected.end());
    // The folder ".." and the file ".." both become "_..": the folder is
    // refused because a file of that name is there already.
    EXPECT_EQ(test::listDir(target), expected);
    EXPECT_FALSE(recovery.getLastSaveOk());
}

TEST_F(SaveTest, FolderOverASymbolicLinkIsRefused) {
    const std::string outside = scratch / "outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0777), 0);
    ASSERT_EQ(symlink(outside.c_str(), path("evil").c_str()), 0);
    DataItem* evil = addDataFolder(tree.root, "evil");
    addDataFile(evil, "payload", patternBytes(10, 25));
    LogCapture logs(LOG_ERROR);

    recovery.save({evil}, target);

    EXPECT_TRUE(test::listDir(outside).empty());
    EXPECT_TRUE(logs.has("error creating dir: " + path("evil") + "\n"));
    EXPECT_FALSE(recovery.getLastSaveOk());
}

TEST_F(SaveTest, FileOverASymbolicLinkIsNotFollowed) {
    const std::string victim = scratch / "victim.txt";
    ASSERT_TRUE(test::writeWholeFile(victim, {'k', 'e', 'e', 'p'}));
    ASSERT_EQ(symlink(victim.c_str(), path("f.txt").c_str()), 0);
    ASSERT_EQ(symlink((scratch / "dangling.txt").c_str(), path("g.txt").c_str()), 0);
    DataItem* f = addDataFile(tree.root, "f.txt", patternBytes(10, 26));
    DataItem* g = addDataFile(tree.root, "g.txt", patternBytes(10, 27));
    TestListener listener;
    listener.answer = TestListener::Answer::Overwrite;
    recovery.setListener(&listener);
    LogCapture logs(LOG_ERROR);

    recovery.save({f}, target);
    recovery.save({g}, target);

    EXPECT_EQ(fileBytes(victim), (std::vector<u8>{'k', 'e', 'e', 'p'}));
    EXPECT_FALSE(test::isRegularFile(scratch / "dangling.txt"));
    EXPECT_TRUE(logs.has("error writing file " + path("f.txt") + "\n"));
    EXPECT_TRUE(logs.has("error writing file " + path("g.txt") + "\n"));
}

TEST_F(SaveTest, ExistingFifoIsNotWrittenAndDoesNotHang) {
    ASSERT_EQ(mkfifo(path("pipe").c_str(), 0666), 0);
    DataItem* item = addDataFile(tree.root, "pipe", patternBytes(10, 28));
    TestListener listener;  // answers nothing: overwrite
    recovery.setListener(&listener);
    LogCapture logs(LOG_ERROR);
    recovery.save({item}, target);
    EXPECT_TRUE(logs.has("error writing file " + path("pipe") + "\n"));
}

// ---------------------------------------------------------------- damaged trees

TEST_F(SaveTest, EndlessFolderNestingStopsAtTheDepthLimit) {
    auto* top = new DataItem("d", {}, true);
    test::adopt(tree.root, top);
    std::function<void(DataItem*)> nest = [&nest](DataItem* f) {
        auto* child = test::adopt(f, new DataItem("d", {}, true));
        child->loader = nest;
    };
    top->loader = nest;
    LogCapture logs(LOG_ERROR);

    recovery.save({top}, target);

    EXPECT_EQ(logs.countPrefix("folder nested too deep, not saved: "), 1);
    std::string deepest = target;
    int levels = 0;
    while (test::isRealDir(deepest + "/d")) {
        deepest += "/d";
        ++levels;
    }
    EXPECT_EQ(levels, VolumeItem::kMaxDepth);
}

TEST_F(SaveTest, FolderThatContainsItselfIsNotSavedAgain) {
    auto* loop = new DataItem("loop", {}, true);
    loop->id = "77";
    test::adopt(tree.root, loop);
    loop->loader = [](DataItem* f) {
        addDataFile(f, "file", patternBytes(3, 29));
        auto* again = test::adopt(f, new DataItem("again", {}, true));
        again->id = "77";
        again->loader = f->loader;
    };
    LogCapture logs(LOG_ERROR);

    recovery.save({loop}, target);

    EXPECT_EQ(test::treeOf(target), (std::vector<std::string>{"loop/", "loop/file"}));
    EXPECT_TRUE(logs.has("folder contains itself, not saved again: " + path("loop/again") + "\n"));
}

// ---------------------------------------------------------------- names

TEST(SaveTargetName, ReplacesSlashesAndNulAndNeutralisesDotNames) {
    EXPECT_EQ(saveTargetName("a/b/c"), "a:b:c");
    EXPECT_EQ(saveTargetName(std::string("x\0y", 3)), "x_y");
    EXPECT_EQ(saveTargetName(""), "_");
    EXPECT_EQ(saveTargetName("."), "_.");
    EXPECT_EQ(saveTargetName(".."), "_..");
    EXPECT_EQ(saveTargetName("..."), "...");
    EXPECT_EQ(saveTargetName(".profile"), ".profile");
}

TEST(SaveTargetName, LongNamesAreCutAtACharacterBoundaryKeepingTheExtension) {
    const std::string ascii(300, 'a');
    EXPECT_EQ(saveTargetName(ascii), std::string(255, 'a'));
    EXPECT_EQ(saveTargetName(ascii + ".txt"), std::string(251, 'a') + ".txt");
    // 3-byte characters: 251 bytes of room hold 83 whole characters (249 bytes).
    std::string euro;
    for (int i = 0; i < 100; ++i) euro += "\xe2\x82\xac";
    const std::string cut = saveTargetName(euro + ".txt");
    EXPECT_EQ(cut.size(), 249u + 4u);
    EXPECT_EQ(cut.substr(0, 249), euro.substr(0, 249));
    EXPECT_EQ(cut.substr(249), ".txt");
    // An "extension" too long to keep is cut like the rest of the name.
    EXPECT_EQ(saveTargetName("a." + std::string(300, 'b')).size(), 255u);
}

}  // namespace
}  // namespace vorn
