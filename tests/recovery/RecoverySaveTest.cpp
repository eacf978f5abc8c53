// Saving items: trees, answers to existing files, cancel, unreadable blocks,
// write failures, resource forks, and names and links that try to lead out
// of the target folder. RecoveryFatTest saves real FAT volumes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "LogCapture.h"
#include "misc/Bytes.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryTestSupport.h"
#include "recovery/RecoveryUtils.h"

namespace vorn {
namespace {

using test::addDataFile;
using test::addDataFolder;
using test::DataItem;
using test::fileBytes;
using test::LogCapture;
using test::patternBytes;
using test::TestListener;
using Answer = TestListener::Answer;
using Names = std::vector<std::string>;

class SaveTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(mkdir(target.c_str(), 0777), 0); }
    ~SaveTest() override { delete root; }
    std::string path(const std::string& rel) const { return target + "/" + rel; }

    test::ScratchDir scratch;
    std::string target = scratch / "target";
    DataItem* root = new DataItem("root", {}, true);
    Recovery recovery;
    TestListener listener;
};

TEST_F(SaveTest, FoldersAreMadeLoadedAndFilledByteForByte) {
    DataItem* docs = addDataFolder(root, "docs");
    addDataFile(docs, "a.bin", patternBytes(5000, 1));
    addDataFolder(docs, "empty");
    DataItem* lazy = addDataFolder(docs, "lazy");
    lazy->loader = [](DataItem* f) { addDataFile(f, "big.bin", patternBytes(700000, 2)); };
    DataItem* none = addDataFile(root, "zero.bin");
    recovery.setListener(&listener);

    recovery.save({docs, none}, target);

    EXPECT_TRUE(recovery.getLastSaveOk());
    EXPECT_EQ(test::treeOf(target), (Names{"docs/", "docs/a.bin", "docs/empty/", "docs/lazy/", "docs/lazy/big.bin",
                                           "zero.bin"}));
    EXPECT_EQ(fileBytes(path("docs/a.bin")), patternBytes(5000, 1));
    EXPECT_EQ(fileBytes(path("docs/lazy/big.bin")), patternBytes(700000, 2));
    EXPECT_EQ(lazy->loads, 1);
    // An empty file: one progress call and one read of length 0.
    EXPECT_TRUE(test::isRegularFile(path("zero.bin")));
    EXPECT_EQ(none->reads, std::vector<u32>{0});
    EXPECT_EQ(listener.saving.back(), path("zero.bin"));
    // One progress call per file before its first chunk (big.bin: 700,000
    // bytes, no second call); the percent is that of the list: 0 during item
    // 0, then i / count * 100 after item i.
    EXPECT_EQ(listener.progress, (std::vector<double>{0, 0, 0}));
}

TEST_F(SaveTest, ProgressIsReportedAboutEveryTwoMegabytesAndPerItem) {
    std::vector<VolumeItem*> items = {addDataFile(root, "big", patternBytes(5 << 20, 5))};
    for (int i = 0; i < 3; ++i) items.push_back(addDataFile(root, "f" + std::to_string(i), {1}));
    recovery.setListener(&listener);
    recovery.save(items, target);
    EXPECT_EQ(listener.progress, (std::vector<double>{0, 0, 0, 0, 25, 50}));
}

TEST_F(SaveTest, AnswersToAnExistingFile) {
    const std::vector<u8> old = {'o', 'l', 'd'};
    struct Case {
        const char* what;
        bool withListener;
        Answer answer;
        bool overwritten, goesOn;
        const char* line;
    } cases[] = {
        {"answer nothing: overwrite", true, Answer::Nothing, true, true, "Overwrite\n"},
        {"skip", true, Answer::Skip, false, true, "skip\n"},
        {"no listener: skip", false, Answer::Nothing, false, true, "skip\n"},
        {"cancel", true, Answer::Cancel, false, false, "Cancel\n"},
        {"cancel wins over skip", true, Answer::SkipAndCancel, false, false, "Cancel\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        unlink(path("two.txt").c_str());
        ASSERT_TRUE(test::writeWholeFile(path("one.txt"), old));
        DataItem* one = addDataFile(root, "one.txt", patternBytes(100, 7));
        DataItem* two = addDataFile(root, "two.txt", patternBytes(100, 8));
        TestListener answers;
        answers.answer = c.answer;
        recovery.setListener(c.withListener ? &answers : nullptr);
        LogCapture logs;

        recovery.save({one, two}, target);

        EXPECT_EQ(fileBytes(path("one.txt")), c.overwritten ? patternBytes(100, 7) : old);
        EXPECT_EQ(test::isRegularFile(path("two.txt")), c.goesOn);
        EXPECT_TRUE(logs.has(c.line));
        EXPECT_EQ(logs.has("canceled during saving item list\n"), !c.goesOn);
        EXPECT_TRUE(answers.flagsClearWhenAsked);
        EXPECT_TRUE(recovery.getLastSaveOk());  // a cancel is no write failure
    }
}

TEST_F(SaveTest, CancelDuringAFileLeavesItPartlyWrittenAndEndsTheSave) {
    DataItem* folder = addDataFolder(root, "folder");
    addDataFile(folder, "big.bin", patternBytes(3 << 20, 9));
    addDataFile(folder, "after.bin", {1});
    DataItem* later = addDataFile(root, "later.bin", {1});
    listener.cancelAtProgress = 0;
    recovery.setListener(&listener);
    LogCapture logs;

    recovery.save({folder, later}, target);

    const std::vector<u8> written = fileBytes(path("folder/big.bin"));
    EXPECT_EQ(written.size(), 262144u);  // the chunk in hand
    EXPECT_TRUE(std::equal(written.begin(), written.end(), patternBytes(3 << 20, 9).begin()));
    EXPECT_TRUE(logs.has("canceled during write\n"));
    EXPECT_TRUE(logs.has("canceled during saving item list\n"));
    EXPECT_EQ(test::treeOf(target), (Names{"folder/", "folder/big.bin"}));
}

TEST_F(SaveTest, UnreadableBlocksBecomeZerosAndEveryReadableByteIsKept) {
    const std::vector<u8> bytes = patternBytes(600000, 12);
    DataItem* damaged = addDataFile(root, "damaged.bin", bytes);
    damaged->failingOffsets = {1000, 300000};
    DataItem* lost = addDataFile(root, "lost.bin");
    lost->size = 5000;  // claims more than it can deliver
    DataItem* next = addDataFile(root, "next.bin", {1});
    LogCapture logs(LOG_ERROR);

    recovery.save({damaged, lost, next}, target);

    // Without a volume the retry pieces are 512 bytes.
    std::vector<u8> expected = bytes;
    std::fill(expected.begin() + 512, expected.begin() + 1024, 0);
    std::fill(expected.begin() + 299520, expected.begin() + 300032, 0);
    EXPECT_EQ(fileBytes(path("damaged.bin")), expected);
    EXPECT_EQ(fileBytes(path("lost.bin")), std::vector<u8>(5000, 0));
    EXPECT_EQ(fileBytes(path("next.bin")), std::vector<u8>{1});
    EXPECT_EQ(recovery.getDamagedFileCount(), 2u);
    EXPECT_TRUE(recovery.getLastSaveOk());
    EXPECT_TRUE(logs.has("error reading " + path("damaged.bin") + " at offset 262144: 1 unreadable blocks written as zeros\n"));
    EXPECT_TRUE(logs.has("files saved with unreadable blocks written as zeros: 2\n"));
}

TEST_F(SaveTest, WriteFailureIsReportedAndEndsTheSave) {
    DataItem* big = addDataFile(root, "big.bin", patternBytes(400000, 14));
    DataItem* next = addDataFile(root, "next.bin", {1});
    LogCapture logs(LOG_ERROR);
    {
        test::FileSizeLimit limit(100000);
        recovery.save({big, next}, target);
    }

    EXPECT_FALSE(recovery.getLastSaveOk());
    EXPECT_TRUE(logs.has("error writing file " + path("big.bin") + "\n"));
    EXPECT_FALSE(test::isRegularFile(path("next.bin")));
}

TEST_F(SaveTest, ResourceForkIsWrittenAsAppleDoubleBesideTheDataFile) {
    auto* icon = test::adopt(root, new test::ForkItem("Icon", patternBytes(3000, 17), patternBytes(70000, 18)));
    auto* plain = test::adopt(root, new test::ForkItem("plain", {1}, {}));

    recovery.save({icon, plain}, target);

    EXPECT_EQ(test::listDir(target), (Names{"._Icon", "Icon", "plain"}));
    EXPECT_EQ(fileBytes(path("Icon")), patternBytes(3000, 17));
    const std::vector<u8> ad = fileBytes(path("._Icon"));
    ASSERT_EQ(ad.size(), 38u + 70000u);
    EXPECT_EQ(loadBE32(ad.data()), 0x00051607u);      // magic
    EXPECT_EQ(loadBE32(ad.data() + 4), 0x00020000u);  // version 2
    EXPECT_EQ(std::count(ad.begin() + 8, ad.begin() + 24, 0), 16);
    EXPECT_EQ(loadBE16(ad.data() + 24), 1u);   // one entry:
    EXPECT_EQ(loadBE32(ad.data() + 26), 2u);   // the resource fork,
    EXPECT_EQ(loadBE32(ad.data() + 30), 38u);  // its offset
    EXPECT_EQ(loadBE32(ad.data() + 34), 70000u);
    EXPECT_EQ(std::vector<u8>(ad.begin() + 38, ad.end()), patternBytes(70000, 18));
}

TEST_F(SaveTest, ForkFileThatCannotBeMadeLeavesTheDataFile) {
    auto* doc = test::adopt(root, new test::ForkItem("doc", {1}, {2}));
    DataItem* next = addDataFile(root, "next", {3});
    ASSERT_EQ(mkdir(path("._doc").c_str(), 0777), 0);
    LogCapture logs(LOG_ERROR);
    recovery.save({doc, next}, target);
    EXPECT_TRUE(logs.has("error writing resoure file " + path("doc") + "\n"));
    EXPECT_EQ(fileBytes(path("doc")), std::vector<u8>{1});
    EXPECT_EQ(fileBytes(path("next")), std::vector<u8>{3});
    EXPECT_TRUE(recovery.getLastSaveOk());
}

TEST_F(SaveTest, NamesFromTheDiskStayInsideTheTargetFolder) {
    std::string longName, cutName;
    for (int i = 0; i < 200; ++i) longName += "\xc3\xa9";  // 400 bytes of "é"
    for (int i = 0; i < 125; ++i) cutName += "\xc3\xa9";   // 250 bytes + ".jpeg" = 255
    const std::vector<std::pair<std::string, std::string>> names = {
        {"..", "_.."}, {".", "_."}, {"", "_"}, {"a/b", "a:b"}, {"../../escape", "..:..:escape"},
        {"<script>x</script>", "<script>x<:script>"}, {std::string("nul\0byte", 8), "nul_byte"},
        {"ctl\x01\x1f\n", "ctl\x01\x1f\n"}, {longName + ".jpeg", cutName + ".jpeg"}};
    std::vector<VolumeItem*> items;
    Names expected;
    for (const auto& [name, saved] : names) {
        items.push_back(addDataFile(root, name, {1}));
        expected.push_back(saved);
    }
    DataItem* dots = addDataFolder(root, "..");  // "_.." again: a file of that name is there
    addDataFile(dots, "inside.txt", {1});
    items.push_back(dots);
    LogCapture logs(LOG_ERROR);

    recovery.save(items, target);

    EXPECT_EQ(test::listDir(scratch.path), Names{"target"});  // nothing escaped
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(test::listDir(target), expected);
    EXPECT_TRUE(logs.has("error creating dir: " + path("_..") + "\n"));
}

TEST_F(SaveTest, LinksAndSpecialFilesInTheTargetAreNeverFollowed) {
    const std::string outside = scratch / "outside", victim = scratch / "victim.txt";
    ASSERT_EQ(mkdir(outside.c_str(), 0777), 0);
    ASSERT_TRUE(test::writeWholeFile(victim, {'k'}));
    ASSERT_EQ(symlink(outside.c_str(), path("dir").c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), path("f.txt").c_str()), 0);
    ASSERT_EQ(symlink((scratch / "dangling").c_str(), path("g.txt").c_str()), 0);
    ASSERT_EQ(mkfifo(path("pipe").c_str(), 0666), 0);
    DataItem* dir = addDataFolder(root, "dir");
    addDataFile(dir, "payload", {1});
    listener.answer = Answer::Overwrite;
    recovery.setListener(&listener);
    LogCapture logs(LOG_ERROR);

    for (const char* name : {"f.txt", "g.txt", "pipe"}) recovery.save({addDataFile(root, name, {1})}, target);
    recovery.save({dir}, target);

    EXPECT_TRUE(test::listDir(outside).empty());
    EXPECT_EQ(fileBytes(victim), std::vector<u8>{'k'});
    EXPECT_FALSE(test::isRegularFile(scratch / "dangling"));
    for (const char* name : {"f.txt", "g.txt", "pipe"}) EXPECT_TRUE(logs.has("error writing file " + path(name) + "\n"));
    EXPECT_TRUE(logs.has("error creating dir: " + path("dir") + "\n"));
    EXPECT_FALSE(recovery.getLastSaveOk());
}

TEST_F(SaveTest, DamagedTreesEnd) {
    test::addEndlessFolder(root, "d");
    DataItem* loop = addDataFolder(root, "loop");
    loop->id = "77";
    loop->loader = [](DataItem* f) {
        addDataFile(f, "file", {1});
        DataItem* again = addDataFolder(f, "again");  // the same folder once more
        again->id = "77";
        again->loader = f->loader;
    };
    LogCapture logs(LOG_ERROR);

    recovery.save({root->getChild(0, true), loop}, target);

    EXPECT_EQ(logs.countPrefix("folder nested too deep, not saved: "), 1);
    std::string deepest = target;
    int levels = 0;
    while (test::isRealDir(deepest + "/d")) deepest += "/d", ++levels;
    EXPECT_EQ(levels, VolumeItem::kMaxDepth);
    EXPECT_TRUE(logs.has("folder contains itself, not saved again: " + path("loop/again") + "\n"));
    EXPECT_EQ(test::listDir(path("loop")), (Names{"file"}));
}

TEST(SaveTargetName, MakesOneSafePathComponentOfAtMost255Bytes) {
    std::string euro;
    for (int i = 0; i < 100; ++i) euro += "\xe2\x82\xac";  // 3 bytes each
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a/b/c", "a:b:c"}, {std::string("x\0y", 3), "x_y"}, {"", "_"}, {".", "_."}, {"..", "_.."},
        {"...", "..."}, {".profile", ".profile"}, {std::string(300, 'a'), std::string(255, 'a')},
        {std::string(300, 'a') + ".txt", std::string(251, 'a') + ".txt"},
        // 251 bytes of room hold 83 whole characters.
        {euro + ".txt", euro.substr(0, 249) + ".txt"},
        // An "extension" too long to keep is cut like the rest.
        {"a." + std::string(300, 'b'), "a." + std::string(253, 'b')}};
    for (const auto& [name, expected] : cases) EXPECT_EQ(saveTargetName(name), expected) << name.size();
}

}  // namespace
}  // namespace vorn
