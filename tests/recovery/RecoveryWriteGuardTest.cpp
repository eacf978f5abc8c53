// Nothing the engine writes lands on what it reads, and one save writes no more than four times
// the disk it comes from: on media from tests/fixtures/make_guard.sh, copied into scratch folders.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <tuple>

#include "TestMedia.h"
#include "recovery/RecoveryTestSupport.h"
#include "storage/DiskManager.h"
#include "storage/ImageDisk.h"

namespace vorn {
namespace {

using namespace test;
namespace fs = std::filesystem;

std::string guardMedia(const std::string& name) { return mediaPath("guard/" + name); }

void copyFile(const std::string& from, const std::string& to) {
    fs::create_directories(fs::path(to).parent_path());
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

// The volume on the chosen disk, opened; its root item, or null.
VolumeItem* browse(Recovery& recovery, Disk* disk) {
    if (!recovery.selectDisk(disk)) return nullptr;
    recovery.openExistingVolume();
    return recovery.getRootItem();
}

std::string refusedLine(const std::string& path) {
    return "error: " + path + " not written: it is a device or a file that vorn is reading\n";
}

TEST(WriteGuard, ASaveReportOrImageFileNeverLandsOnTheImageWhetherChosenOrListedAndTheSaveGoesOn) {
    // GUARD/disk.img holds /disk.img: its root saved into the folder above meets the image. The
    // image is the chosen disk, or a copy is chosen and the image listed elsewhere, then moved there.
    for (bool chosen : {true, false}) {
        SCOPED_TRACE(chosen ? "the image chosen" : "the image listed, then moved");
        ScratchDir scratch;
        const std::string image = scratch / "GUARD/disk.img", elsewhere = scratch / "listed.img";
        copyFile(guardMedia("disk.img"), image);
        copyFile(guardMedia("disk.img"), scratch / "copy.img");
        DiskManager manager;
        if (!chosen) {
            copyFile(guardMedia("disk.img"), elsewhere);
            manager.addImageDisk(elsewhere);
            ASSERT_EQ(rename(elsewhere.c_str(), image.c_str()), 0);
        }
        ImageDisk disk(chosen ? image : scratch / "copy.img");
        Recovery recovery;
        TestListener listener;
        listener.answer = TestListener::Answer::Overwrite;  // as the command line answers
        recovery.setListener(&listener);
        recovery.setDiskManager(&manager);
        VolumeItem* root = browse(recovery, &disk);
        ASSERT_TRUE(root);

        LogCapture logs(LOG_ERROR);
        recovery.save({root}, scratch.path);
        EXPECT_EQ(logs.count(refusedLine(image)), 1);
        EXPECT_TRUE(listener.asked.empty()) << "no question is asked about a file that is refused";
        // Saved: notes.txt, Docs/inner.txt and the label's empty entry.
        // Refused as a file being read, not as a folder on a device being read.
        EXPECT_EQ(std::tuple(recovery.getSavedFileCount(), recovery.getFailedFileCount(),
                             recovery.getRefusedFileCount(), recovery.getRefusedOnMediumCount(), recovery.getLastSaveOk()),
                  std::tuple(3u, 1u, 1u, 0u, false));
        EXPECT_EQ(fileBytes(scratch / "GUARD/notes.txt"), fileBytes(guardMedia("files/notes.txt")));
        EXPECT_FALSE(recovery.saveReport({root}, image, "title", "footer"));
        EXPECT_FALSE(recovery.createImageFile(&disk, image));
        EXPECT_EQ(logs.count(refusedLine(image)), 3);
        EXPECT_EQ(fileBytes(image), fileBytes(guardMedia("disk.img")));
        recovery.selectDisk(nullptr);
    }
}

TEST(WriteGuard, ALostFilesSaveStopsBeforeFourTimesItsDiskYetSavesEveryViewOfAHybridDisc) {
    // origins.img: 496 directory sectors, each another disc origin listing a file of 4 GiB that
    // runs to the image's end. A hybrid disc names its files in HFS Plus, ISO 9660 and Joliet.
    for (const auto& [path, stops] : {std::pair{guardMedia("origins.img"), true},
                                      std::pair{mediaPath("hfs_hybrid512.iso"), false},
                                      std::pair{mediaPath("apm_iso2048.iso"), false}}) {
        SCOPED_TRACE(path);
        const std::vector<u8> bytes = fileBytes(path);
        ImageDisk disk(path);
        Recovery recovery;
        ASSERT_TRUE(recovery.selectDisk(&disk));
        recovery.setScanType(SCAN_LOST_FILES);
        recovery.scan();
        ASSERT_TRUE(recovery.getRootItem());
        ScratchDir scratch;
        LogCapture logs(LOG_ERROR);
        recovery.save({recovery.getRootItem()}, scratch.path);
        EXPECT_EQ(logs.countPrefix("error: save stopped at "), stops ? 1 : 0);
        // The file that would pass the bound is not started: it fails the save.
        EXPECT_EQ(std::tuple(recovery.getFailedFileCount(), recovery.getLastSaveOk()),
                  std::tuple(stops ? 1u : 0u, !stops));
        u64 written = 0, files = 0;
        for (const auto& entry : fs::recursive_directory_iterator(scratch.path)) {
            if (!entry.is_regular_file()) continue;
            ++files;
            written += entry.file_size();
            // Each crafted file runs from its origin to the image's end: whole, it is the image's tail.
            const std::vector<u8> saved = stops ? fileBytes(entry.path()) : std::vector<u8>();
            EXPECT_TRUE(saved.size() <= bytes.size() && std::equal(saved.rbegin(), saved.rend(), bytes.rbegin()));
        }
        EXPECT_EQ(files, recovery.getSavedFileCount());
        EXPECT_GT(files, 2u);
        EXPECT_LE(written, 4 * bytes.size());
        EXPECT_GT(written, stops ? 3 * bytes.size() : size_t{0}) << "a save that stops goes on up to its bound";
        recovery.selectDisk(nullptr);
    }
}

// folders.img: 15,120 empty folders of one 512-byte cluster each in 8 MiB. Saved, each takes a block
// of 4 KiB or more: all of them would take 7.4 times the image. The save stops at its bound, and
// what it made takes no more than four times the image, counted as the file system counts it.
TEST(WriteGuard, ASaveOfEmptyFoldersStopsBeforeTheyTakeFourTimesTheImage) {
    ImageDisk disk(guardMedia("folders.img"));
    Recovery recovery;
    VolumeItem* root = browse(recovery, &disk);
    ASSERT_TRUE(root);
    const u64 image = fs::file_size(guardMedia("folders.img"));
    ScratchDir scratch(16000);
    LogCapture logs(LOG_ERROR);
    recovery.save({root}, scratch.path);
    EXPECT_EQ(logs.countPrefix("error: save stopped at " + scratch.path + "/FOLDERS/P"), 1);
    EXPECT_EQ(std::tuple(recovery.getFailedFileCount(), recovery.getLastSaveOk()), std::tuple(u64{1}, false));
    u64 taken = 0, folders = 0;
    for (const auto& entry : fs::recursive_directory_iterator(scratch.path)) {
        struct stat st {};
        ASSERT_EQ(lstat(entry.path().c_str(), &st), 0);
        const bool folder = S_ISDIR(st.st_mode);
        folders += folder;
        taken += std::max<u64>(u64(st.st_blocks) * 512, folder ? 4096 : 0);
    }
    EXPECT_LE(taken, 4 * image);
    EXPECT_GT(folders, 7000u) << "a save that stops goes on up to its bound";
    recovery.selectDisk(nullptr);
}

TEST(WriteGuard, ADiscThatStoresHardLinksOnceSavesEveryNameWhole) {
    // links.iso: one.bin and its hard links two.bin and three.bin share one extent; their names
    // hold 1.8 times the disc, within the bound. Every file comes out whole, small.txt too.
    ImageDisk disk(guardMedia("links.iso"));
    Recovery recovery;
    VolumeItem* root = browse(recovery, &disk);
    ASSERT_TRUE(root);
    ScratchDir scratch;
    root->loadChildren();
    recovery.save(root->children(), scratch.path);
    EXPECT_EQ(std::tuple(recovery.getSavedFileCount(), recovery.getFailedFileCount(), recovery.getLastSaveOk()),
              std::tuple(u64{4}, u64{0}, true));
    for (const char* name : {"one.bin", "two.bin", "three.bin", "small.txt"})
        EXPECT_EQ(fileBytes(scratch / name), fileBytes(guardMedia(std::string("files/links/") + name))) << name;
    recovery.selectDisk(nullptr);
}

TEST(WriteGuard, ASaveMakesItsMissingTargetFoldersOnAPlainDiskAndTheFilesLandThere) {
    ScratchDir scratch;
    copyFile(guardMedia("disk.img"), scratch / "disk.img");
    ImageDisk disk(scratch / "disk.img");
    Recovery recovery;
    VolumeItem* root = browse(recovery, &disk);
    ASSERT_TRUE(root);
    recovery.save({root}, scratch / "new/deeper/deepest");
    EXPECT_EQ(std::tuple(recovery.getSavedFileCount(), recovery.getFailedFileCount(), recovery.getLastSaveOk()),
              std::tuple(4u, 0u, true));
    EXPECT_EQ(fileBytes(scratch / "new/deeper/deepest/GUARD/Docs/inner.txt"), fileBytes(guardMedia("files/inner.txt")));
    recovery.selectDisk(nullptr);
}

TEST(WriteGuard, ASaveIntoMissingFoldersOverAFileSystemInsideTheImageMakesNothingThere) {
    // Needs root and a loop device: the ext4 partition of two.img mounted from the image file,
    // which the disk list holds; the FAT image disk.img is the one saved from.
    if (geteuid() != 0) GTEST_SKIP() << "needs root to attach and mount a loop device";
    ScratchDir scratch;
    const std::string two = scratch / "two.img";
    copyFile(guardMedia("two.img"), two);
    copyFile(guardMedia("disk.img"), scratch / "disk.img");
    MountedPartition partition(two);
    if (partition.loop.empty()) GTEST_SKIP() << "no free loop device";
    ASSERT_TRUE(partition.mounted) << "mounting the ext4 partition of " << two;
    const std::vector<u8> before = fileBytes(two);

    DiskManager manager;
    manager.addImageDisk(two);
    ImageDisk disk(scratch / "disk.img");
    Recovery recovery;
    recovery.setDiskManager(&manager);
    VolumeItem* root = browse(recovery, &disk);
    ASSERT_TRUE(root);
    const std::string target = partition.folder + "/new/deeper";
    LogCapture logs(LOG_ERROR);
    recovery.save({root}, target);
    EXPECT_EQ(logs.count(refusedLine(target)), 1);
    EXPECT_EQ(std::tuple(recovery.getSavedFileCount(), recovery.getRefusedFileCount(), recovery.getLastSaveOk()),
              std::tuple(0u, 1u, false));
    EXPECT_FALSE(fs::exists(partition.folder + "/new")) << "no folder made inside the image";
    sync();
    EXPECT_TRUE(fileBytes(two) == before) << "the image is byte-identical";

    // The rest of the save is done where it may be.
    recovery.save({root}, scratch / "plain/new");
    EXPECT_EQ(fileBytes(scratch / "plain/new/GUARD/notes.txt"), fileBytes(guardMedia("files/notes.txt")));
    recovery.selectDisk(nullptr);
}

}  // namespace
}  // namespace vorn
