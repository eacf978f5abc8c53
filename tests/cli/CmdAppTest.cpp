// The command-line front end driven through run(), with its three streams in
// temporary files and a disk manager that lists no devices, so that only the
// image files a test adds are in the disk list.
#include "cli/CmdApp.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "fs/VolumeItem.h"
#include "misc/Log.h"
#include "storage/DiskManager.h"
#include "storage/StorageTestUtil.h"
#include "TestMedia.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

std::string readAll(FILE* file) {
    fflush(file);
    rewind(file);
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
    fclose(file);
    return text;
}

int countOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

struct CliResult {
    std::string out;
    std::string err;
    int status = -1;
};

// Every test runs in a folder of its own (dmp.raw and imagefile.img are
// written to the working directory) at log level 2.
class CmdAppTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vorn-cli-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        previousDir = fs::current_path();
        fs::current_path(dir);
        previousLevel = getLogLevel();
        setLogLevel(LOG_INFO);
    }
    void TearDown() override {
        setLogLevel(previousLevel);
        fs::current_path(previousDir);
        fs::remove_all(dir);
    }

    // An image file of count blocks of 512 bytes; block b is filled with the
    // byte b + 1 (mod 256).
    std::string makeImage(const std::string& name, u32 blocks) {
        std::vector<u8> bytes(size_t(blocks) * 512);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<u8>(i / 512 + 1);
        writeFile(name, bytes);
        return name;
    }

    void writeFile(const std::string& name, const std::vector<u8>& bytes) {
        std::ofstream file(name, std::ios::binary);
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    CliResult run(std::vector<std::string> args, const std::string& input = "") {
        FILE* in = tmpfile();
        FILE* out = tmpfile();
        FILE* err = tmpfile();
        fwrite(input.data(), 1, input.size(), in);
        rewind(in);
        args.insert(args.begin(), "vorn");
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        CliResult result;
        {
            CmdApp app(in, out, err, [] { return new DiskManager(); });
            result.status = app.run(static_cast<int>(argv.size()), argv.data());
        }
        fclose(in);
        result.out = readAll(out);
        result.err = readAll(err);
        return result;
    }

    std::string dir;
    fs::path previousDir;
    int previousLevel = LOG_INFO;
};

// ---- start, end, help and word handling

TEST_F(CmdAppTest, ARunShowsTheDiskListAndEndsWithBye) {
    const CliResult r = run({"-cli"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "using command line\n"
              "---------DiskManager::dump-----------\n"
              "---------------------------------------\n"
              "-----------tree model dump-----------\n"
              "+-[0]- Disks\n"
              "-------------------------------------\n"
              "(run with command 'h' for help)\n"
              "bye\n"
              "destroying CmdApp");
    EXPECT_EQ(r.err, "");
}

TEST_F(CmdAppTest, HelpKeepsItsTextForHAndMinusH) {
    const CliResult h = run({"-cli", "h"});
    const CliResult minusH = run({"-h"});
    const size_t begin = h.out.find("---commands-----------------------\n");
    const size_t end = h.out.find("\n--------------------------------------\n", begin) + 1;
    ASSERT_NE(begin, std::string::npos);
    ASSERT_NE(end, std::string::npos);
    const std::string help = h.out.substr(begin, end + 39 - begin);
    EXPECT_EQ(countOf(help, "\n"), 42);
    EXPECT_NE(help.find("\n-cli img C:\\case1.img b\n"), std::string::npos);
    EXPECT_NE(help.find("\ndmp [#]-[#]     dump bock range to file\n"), std::string::npos);
    EXPECT_NE(help.find("\n---paramters-----------------------\n"), std::string::npos);
    EXPECT_NE(minusH.out.find(help), std::string::npos);
}

TEST_F(CmdAppTest, AnUnknownWordEndsTheListWithAnError) {
    const CliResult r = run({"-cli", "bogus\x1b", "h"});
    EXPECT_EQ(r.err, "error: unknown command (bogus\\x1B)\n");
    EXPECT_EQ(r.out.find("---commands"), std::string::npos);
}

TEST_F(CmdAppTest, ACommandWithoutItsArgumentDoesNothing) {
    for (const char* word : {"x", "img", "cmp", "dmp", "cl", "ct", "ctn", "r", "raidsim", "raid"}) {
        const CliResult r = run({"-cli", word});
        EXPECT_EQ(r.err, "") << word;
        EXPECT_EQ(countOf(r.out, "tree model dump"), 1) << word;
    }
    // raidsim needs four words: with three, the third is taken as a command.
    const CliResult r = run({"-cli", "raidsim", "2", "none", "16"});
    EXPECT_EQ(r.err, "error: unknown command (2)\n");
}

TEST_F(CmdAppTest, InteractiveLinesAreReadWholeUntilQ) {
    const std::string longName(300, 'a');
    const CliResult r = run({"-cli", "-i"}, "ctn " + longName + "\nq\nh\n");
    EXPECT_NE(r.out.find("interactive mode ('h' for help, 'q' to quit)\n> > bye\n"), std::string::npos);
    // One command from the long line, and nothing after q.
    EXPECT_EQ(r.err, "error: nothing selected!\n");
    EXPECT_EQ(r.out.find("---commands"), std::string::npos);
}

TEST_F(CmdAppTest, TheEndOfInputEndsInteractiveModeAsQDoes) {
    const CliResult r = run({"-cli", "-i"}, "h\n");
    EXPECT_EQ(countOf(r.out, "---commands"), 1);
    EXPECT_NE(r.out.find("--------------------------------------\n> bye\n"), std::string::npos);
    const CliResult empty = run({"-cli", "-i"}, "");
    EXPECT_NE(empty.out.find("quit)\n> bye\n"), std::string::npos);
}

// ---- choosing disks and tree items

TEST_F(CmdAppTest, AnAddedImageIsChosenAndListedInTheDiskTree) {
    makeImage("disk.img", 128);
    const CliResult r = run({"-cli", "img", "disk.img", "d"});
    EXPECT_NE(r.out.find("disk selected: Image file (disk.img)\n"), std::string::npos);
    EXPECT_NE(r.out.find("-----------tree model dump-----------\n"
                         "+-[0]- Disks\n"
                         "  +-[0.0]- Image file (disk.img), 64.00 K\n"
                         "-------------------------------------\n"),
              std::string::npos);
}

TEST_F(CmdAppTest, AnImageThatCannotBeOpenedIsNeitherListedNorChosen) {
    fs::create_directory("folder.img");
    const CliResult r = run({"-cli", "img", "missing.img", "img", "folder.img", "x", "0", "d"});
    EXPECT_NE(r.out.find("error opening file missing.img\n"), std::string::npos);
    EXPECT_NE(r.out.find("error opening file folder.img\n"), std::string::npos);
    EXPECT_EQ(r.out.find("disk selected"), std::string::npos);
    EXPECT_EQ(r.err, "error: no disk selected!\n");
    EXPECT_EQ(countOf(r.out, "+-[0]- Disks\n-------------------------------------\n"), 2);
}

TEST_F(CmdAppTest, TreeIndexesOutsideTheTreeChooseNothing) {
    makeImage("disk.img", 16);
    const CliResult r = run({"-cli", "img", "disk.img", "ct", "1", "ct", "0.1", "ct", "0.-1", "ct", "0.4294967296",
                             "ct", "0..0", "ct", "0"});
    const std::string invalid = "error: invalid tree index!\nerror: nothing selected!\n";
    // "0..0" gives no item without a message; "0" is the manager, which is no disk.
    EXPECT_EQ(r.err, invalid + invalid + invalid + invalid + "error: nothing selected!\n");
    EXPECT_EQ(countOf(r.out, "disk selected: Image file"), 1);
}

TEST_F(CmdAppTest, TreeItemsAreFoundByAPartOfTheirText) {
    makeImage("first.img", 16);
    makeImage("second.img", 16);
    const CliResult r = run({"-cli", "img", "first.img", "img", "second.img", "ctn", "first", "ctn", "nowhere"});
    EXPECT_EQ(countOf(r.out, "disk selected: Image file (first.img)\n"), 2);
    EXPECT_EQ(r.err, "error: nothing selected!\n");
}

TEST_F(CmdAppTest, NamesFromDisksAreEscapedInDumpsAndLogLines) {
    makeImage("bad\x1b[2J.img", 16);
    const CliResult r = run({"-cli", "img", "bad\x1b[2J.img", "d"});
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
    EXPECT_NE(r.out.find("disk selected: Image file (bad\\x1B[2J.img)\n"), std::string::npos);
    EXPECT_NE(r.out.find("  +-[0.0]- Image file (bad\\x1B[2J.img), 8.00 K\n"), std::string::npos);
    EXPECT_NE(r.out.find("disk name=Image file (bad\\x1B[2J.img)"), std::string::npos);
}

TEST_F(CmdAppTest, WithoutATableModelATableIndexChoosesNothing) {
    const CliResult r = run({"-cli", "cl", "0", "cl", "-1"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.find("table item selected"), std::string::npos);
}

// ---- browsing a FAT volume (shared media) and the selection

// Runs the words on a CmdApp that stays alive for the checks.
class CmdAppVolumeTest : public CmdAppTest {
protected:
    void runWords(std::vector<std::string> words) {
        in = tmpfile();
        out = tmpfile();
        err = tmpfile();
        app = std::make_unique<CmdApp>(in, out, err, [] { return new DiskManager(); });
        words.insert(words.begin(), {"vorn", "-cli"});
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        app->run(static_cast<int>(argv.size()), argv.data());
        fflush(out);
        fflush(err);
    }
    std::string errText() {
        rewind(err);
        std::string text(65536, '\0');
        text.resize(fread(text.data(), 1, text.size(), err));
        return text;
    }
    std::string outText() {
        rewind(out);
        std::string text;
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, out)) > 0) text.append(chunk, n);
        return text;
    }
    void TearDownStreams() {
        app.reset();
        for (FILE* f : {in, out, err})
            if (f) fclose(f);
        in = out = err = nullptr;
    }
    void TearDown() override {
        TearDownStreams();
        CmdAppTest::TearDown();
    }

    const std::string floppy = test::mediaPath("fat12_floppy.img");
    std::unique_ptr<CmdApp> app;
    FILE* in = nullptr;
    FILE* out = nullptr;
    FILE* err = nullptr;
};

TEST_F(CmdAppVolumeTest, ChosenFoldersAccumulateAndShowTheirTable) {
    ASSERT_TRUE(fs::exists(floppy)) << floppy;
    runWords({"img", floppy, "b", "ct", "0", "ctn", "Docs"});
    ASSERT_EQ(app->getSelectedItems().size(), 2u);
    EXPECT_EQ(app->getSelectedItems()[1]->getName(), "Docs");
    EXPECT_EQ(app->getSelectedFolder(), app->getSelectedItems()[1]);
    const std::string text = outText();
    EXPECT_NE(text.find("tree item selected: Docs\n"), std::string::npos);
    EXPECT_NE(text.find("-----------table model dump-----------\n[-1]  Name "), std::string::npos);
    EXPECT_NE(text.find("[0]  "), std::string::npos);
}

TEST_F(CmdAppVolumeTest, ATableItemReplacesTheSelectionAndBadIndexesChooseNothing) {
    ASSERT_TRUE(fs::exists(floppy)) << floppy;
    runWords({"img", floppy, "b", "ct", "0", "cl", "999", "cl", "-1", "cl", "first"});
    EXPECT_EQ(errText(), "error: invalid table index!\nerror: invalid table index!\n");
    ASSERT_EQ(app->getSelectedItems().size(), 1u);
    EXPECT_NE(outText().find("table item selected: " + app->getSelectedItems()[0]->getName() + "\n"),
              std::string::npos);
}

TEST_F(CmdAppVolumeTest, ANewBrowseOrDiskDropsTheSelection) {
    ASSERT_TRUE(fs::exists(floppy)) << floppy;
    for (const char* again : {"b", "sd", "sf", "sv", "img"}) {
        std::vector<std::string> words = {"img", floppy, "b", "ct", "0", "ctn", "Docs", again};
        if (std::string(again) == "img") words.push_back(floppy);
        runWords(words);
        EXPECT_TRUE(app->getSelectedItems().empty()) << again;
        EXPECT_EQ(app->getSelectedFolder(), nullptr) << again;
        TearDownStreams();
    }
    // A save after that saves nothing and makes no folder.
    runWords({"img", floppy, "b", "ct", "0", "b", "r", dir + "/saved"});
    EXPECT_FALSE(fs::exists(dir + "/saved"));
}

// ---- diagnostic commands

TEST_F(CmdAppTest, HexdumpRefusesBlocksOutsideTheDisk) {
    makeImage("disk.img", 8);
    const CliResult none = run({"-cli", "x", "0"});
    EXPECT_EQ(none.err, "error: no disk selected!\n");
    const CliResult r = run({"-cli", "img", "disk.img", "x", "8", "x", "-1", "x", "7"});
    EXPECT_EQ(r.err, "error: block out of range!\nerror: block out of range!\nentropy: 0.000\n");
}

TEST_F(CmdAppTest, DumpWritesExactlyTheRangeAndFillsBlocksPastTheEnd) {
    makeImage("disk.img", 8);
    const CliResult one = run({"-cli", "img", "disk.img", "dmp", "5-5"});
    EXPECT_EQ(one.err, "dumping sectors 5-5 to dmp.raw\n");
    EXPECT_EQ(test::readFileBytes("dmp.raw"), std::vector<u8>(512, 6));

    const CliResult empty = run({"-cli", "img", "disk.img", "dmp", "7-5"});
    EXPECT_EQ(fs::file_size("dmp.raw"), 0u);

    const CliResult past = run({"-cli", "img", "disk.img", "dmp", "6-9"});
    EXPECT_EQ(past.err,
              "dumping sectors 6-9 to dmp.raw\nerror reading block 8!\nerror reading block 9!\n");
    std::vector<u8> expected(512, 7);
    expected.resize(1024, 8);
    expected.resize(2048, 0xAA);
    EXPECT_EQ(test::readFileBytes("dmp.raw"), expected);

    const CliResult bad = run({"-cli", "img", "disk.img", "dmp", "12", "dmp", "-1-2"});
    EXPECT_EQ(bad.err, "error: incorrect range\nerror: incorrect range\n");
}

TEST_F(CmdAppTest, DumpAndImageNeverOverwriteTheImageBeingRead) {
    makeImage("dmp.raw", 8);
    makeImage("imagefile.img", 8);
    const std::vector<u8> before = test::readFileBytes("dmp.raw");
    const CliResult dump = run({"-cli", "img", "dmp.raw", "dmp", "0-1"});
    EXPECT_EQ(dump.err, "dumping sectors 0-1 to dmp.raw\nerror creating dump file!\n");
    EXPECT_EQ(test::readFileBytes("dmp.raw"), before);

    const CliResult image = run({"-cli", "img", "imagefile.img", "newimg"});
    EXPECT_NE(image.out.find("error creating image file!\n"), std::string::npos);
    EXPECT_EQ(test::readFileBytes("imagefile.img"), before);
}

TEST_F(CmdAppTest, CompareCountsDifferentBlocks) {
    makeImage("a.img", 20);
    std::vector<u8> bytes = test::readFileBytes("a.img");
    for (size_t block : {3, 11, 17}) bytes[block * 512 + 100] ^= 0xFF;
    bytes.resize(bytes.size() + 512);
    writeFile("b.img", bytes);
    const CliResult r = run({"-cli", "img", "b.img", "img", "a.img", "cmp", "b.img", "cmp", "a.img", "cmp", "nothing"});
    EXPECT_EQ(r.err,
              "comparing selected disk with: Image file (b.img)\n"
              "minimum blocks to compare: 20 (10.00 K)\n"
              "comparing (block 0) - different: 0, errors: 0\n"
              "different: 3, errors: 0\n"
              "comparing selected disk with: Image file (a.img)\n"
              "minimum blocks to compare: 20 (10.00 K)\n"
              "comparing (block 0) - different: 0, errors: 0\n"
              "different: 0, errors: 0\n"
              "error: no disk\n");
}

TEST_F(CmdAppTest, CacheTestStopsAtTheEndOfASmallDisk) {
    makeImage("disk.img", 64);
    const CliResult r = run({"-cli", "img", "disk.img", "test"});
    EXPECT_NE(r.out.find("Performing Unit Tests...\nCache test...\ndisk selected: Image file (disk.img)\n"
                         "number of blocks: 64\n"),
              std::string::npos);
    EXPECT_EQ(r.err, "\nrequestSize: 512, blocksPerRequest: 1 failed: getOfsData failed\n");
    const CliResult none = run({"-cli", "test"});
    EXPECT_NE(none.out.find("error: not disk selected!\n"), std::string::npos);
}

TEST_F(CmdAppTest, CacheTestSkipsRequestsSmallerThanABlock) {
    // An ISO 9660 image is read in 2048-byte blocks.
    std::vector<u8> bytes(64 * 2048, 0);
    memcpy(bytes.data() + 32768 + 1, "CD001", 5);
    writeFile("cd.iso", bytes);
    const CliResult r = run({"-cli", "img", "cd.iso", "test"});
    EXPECT_EQ(r.err.find("requestSize: 512"), std::string::npos);
    EXPECT_EQ(r.err.find("requestSize: 1024"), std::string::npos);
    EXPECT_NE(r.err.find("requestSize: 32768, blocksPerRequest: 16 "), std::string::npos);
}

TEST_F(CmdAppTest, RaidWordsOutsideTheirRangesAreRefused) {
    makeImage("disk.img", 64);
    const CliResult r = run({"-cli", "img", "disk.img", "raidsim", "1", "none", "16", "0", "raidsim", "15", "none",
                             "16", "0", "raidsim", "300", "none", "16", "0", "raidsim", "2", "none", "0", "0",
                             "raidsim", "2", "none", "16", "-5", "d"});
    EXPECT_EQ(r.err,
              "error: invalid disk count (1)!\n"
              "error: invalid disk count (15)!\n"
              "error: invalid disk count (300)!\n"
              "error: invalid stripe size (0)!\n"
              "error: invalid start sector (-5)!\n");
    EXPECT_EQ(r.out.find("SimDisk"), std::string::npos);
    const CliResult none = run({"-cli", "raidsim", "2", "none", "16", "0"});
    EXPECT_EQ(none.err, "error: no disk selected\n");
}

TEST_F(CmdAppTest, RaidSetsAreBuiltFromNamedMembersAndStartEmptyEachTime) {
    makeImage("source.img", 64);
    const CliResult r = run({"-cli", "img", "source.img", "raidsim", "2", "none", "8", "0", "d",
                             "raid", "2", "none", "8", "SimDisk00", "0", "SimDisk01", "0", "cmp", "source",
                             "raid", "2", "none", "8", "SimDisk00", "0", "nothing", "0", "cmp", "source",
                             "raid", "2", "none", "8", "nothing", "0", "nowhere", "0", "h"});
    EXPECT_NE(r.out.find("+-[0.1]- SimDisk00, 16.00 K\n"), std::string::npos);
    EXPECT_EQ(countOf(r.out, "disk selected: RAID\n"), 2);
    // The second set lacks member 1 (no parity: its stripes read as zeros)
    // rather than keeping the first set's member.
    const std::string compare = "comparing selected disk with: Image file (source.img)\n"
                                "minimum blocks to compare: 64 (32.00 K)\n"
                                "comparing (block 0) - different: 0, errors: 0\n";
    EXPECT_EQ(r.err, compare + "different: 0, errors: 0\n" + "error: cannot add disk\n" + compare +
                         "different: 32, errors: 0\n" + "error: no RAID member found\n");
    // The words after a refused set are still run.
    EXPECT_NE(r.out.find("---commands"), std::string::npos);
}

// ---- listener

TEST_F(CmdAppTest, ProgressPrintsOnlyChangedValuesAfterOneHint) {
    FILE* in = tmpfile();
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    {
        CmdApp app(in, out, err, [] { return new DiskManager(); });
        char arg0[] = "vorn";
        char* argv[] = {arg0};
        app.run(1, argv);
        fflush(out);
        const long start = ftell(out);
        bool cancel = false;
        app.progressEvent(0.0, &cancel);
        app.progressEvent(12.5, &cancel);
        app.progressEvent(12.5, &cancel);
        app.progressEvent(-1.0, &cancel);
        EXPECT_FALSE(cancel);
        bool overwrite = false;
        bool skip = false;
        app.askOverwrite("/out/a\x07.txt", &overwrite, &skip, &cancel);
        EXPECT_TRUE(overwrite);
        EXPECT_FALSE(skip);
        EXPECT_FALSE(cancel);
        app.fileSaving("/out/b.txt");
        app.diskListChangedEvent();
        EXPECT_EQ(app.localizedString("Deleted"), "Deleted");
        fflush(out);
        fseek(out, start, SEEK_SET);
        std::string text(4096, '\0');
        text.resize(fread(text.data(), 1, text.size(), out));
        EXPECT_EQ(text,
                  "press ESC (CTRL on WinCE) to cancel\n"
                  "\r...12.50\r...-1.00"
                  "ask for overwrite: /out/a\\x07.txt\n"
                  "recovering file /out/b.txt\n"
                  "disk list changed\n");
    }
    fclose(in);
    fclose(out);
    fclose(err);
}

}  // namespace
}  // namespace vorn
