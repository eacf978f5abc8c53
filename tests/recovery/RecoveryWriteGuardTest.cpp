// Nothing the engine writes lands on what it reads (a saved file, its fork file, the report,
// an image file), and one save writes no more than four times the disk it comes from: on
// media from tests/fixtures/make_guard.sh, copied into scratch folders.
#include <gtest/gtest.h>

#include <filesystem>

#include "TestMedia.h"
#include "recovery/RecoveryTestSupport.h"
#include "storage/DiskManager.h"
#include "storage/ImageDisk.h"
#include "storage/RAIDDisk.h"
#include "storage/RAIDParameters.h"

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

TEST(WriteGuard, AFileNamedLikeTheImageIsRefusedHoweverTheImageIsReachedAndTheRestIsSaved) {
    // The image GUARD/disk.img holds /disk.img; its root saved into the folder above lands
    // on GUARD/disk.img. Each case reaches the image another way.
    struct Case {
        const char* how;
        bool listImage;       // listed in the disk manager handed to the Recovery
        bool chooseCopy;      // the chosen disk is an identical copy elsewhere, not the image
        bool hardLink;        // the chosen path is a hard link to the image
        bool linkedFolder;    // the chosen path goes through a symbolic link to its folder
        bool readOnly;        // the image has mode 0444
        bool movedIn = false; // listed elsewhere, then moved to where the save writes
    };
    const Case cases[] = {
        {"the chosen image, no disk manager", false, false, false, false, false},
        {"the chosen image, read-only, listed", true, false, false, false, true},
        {"a hard link to the image chosen", false, false, true, false, false},
        {"the image chosen through a linked folder", false, false, false, true, false},
        {"a copy chosen, the image only listed", true, true, false, false, false},
        {"a copy chosen, the image listed, then moved", true, true, false, false, false, true},
    };
    const std::vector<u8> original = fileBytes(guardMedia("disk.img"));
    ASSERT_EQ(original.size(), 2097152u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        ScratchDir scratch;
        const std::string image = scratch / "GUARD/disk.img";
        copyFile(guardMedia("disk.img"), image);
        std::string chosen = image;
        if (c.hardLink) {
            chosen = scratch / "elsewhere.img";
            ASSERT_EQ(link(image.c_str(), chosen.c_str()), 0);
        }
        if (c.linkedFolder) {
            ASSERT_EQ(symlink((scratch / "GUARD").c_str(), (scratch / "via").c_str()), 0);
            chosen = scratch / "via/disk.img";
        }
        if (c.chooseCopy) {
            chosen = scratch / "copy/disk.img";
            copyFile(guardMedia("disk.img"), chosen);
        }
        if (c.readOnly) {
            ASSERT_EQ(chmod(image.c_str(), 0444), 0);
        }

        DiskManager manager;
        if (c.movedIn) {
            ASSERT_EQ(rename(image.c_str(), (scratch / "listed.img").c_str()), 0);
            manager.addImageDisk(scratch / "listed.img");
            ASSERT_EQ(rename((scratch / "listed.img").c_str(), image.c_str()), 0);
        } else if (c.listImage) {
            manager.addImageDisk(image);
        }
        ImageDisk disk(chosen);
        Recovery recovery;
        TestListener listener;
        listener.answer = TestListener::Answer::Overwrite;  // as the command line answers
        recovery.setListener(&listener);
        if (c.listImage) recovery.setDiskManager(&manager);
        VolumeItem* root = browse(recovery, &disk);
        ASSERT_TRUE(root);
        ASSERT_EQ(root->getName(), "GUARD");

        LogCapture logs(LOG_ERROR);
        recovery.save({root}, scratch.path);
        EXPECT_EQ(fileBytes(image), original) << "the image is byte-identical";
        EXPECT_TRUE(logs.has("error: " + image + " not written: it is a device or a file that vorn is reading\n"));
        EXPECT_TRUE(listener.asked.empty()) << "no question is asked about a file that is refused";
        EXPECT_EQ(recovery.getRefusedFileCount(), 1u);
        EXPECT_EQ(recovery.getFailedFileCount(), 1u);
        EXPECT_FALSE(recovery.getLastSaveOk());
        EXPECT_EQ(fileBytes(scratch / "GUARD/notes.txt"), fileBytes(guardMedia("files/notes.txt")));
        EXPECT_EQ(fileBytes(scratch / "GUARD/Docs/inner.txt"), fileBytes(guardMedia("files/inner.txt")));
        EXPECT_EQ(recovery.getSavedFileCount(), 3u) << "notes.txt, inner.txt and the label's empty entry";
        recovery.selectDisk(nullptr);
    }
}

TEST(WriteGuard, AFileNamedLikeARaidMemberIsRefusedAndTheMembersStayIntact) {
    ScratchDir scratch;
    DiskManager manager;
    auto raid = std::make_unique<RAIDDisk>();
    std::vector<std::string> members;
    for (int k = 0; k < 3; ++k) {
        const std::string name = "set.m" + std::to_string(k) + ".img";
        members.push_back(scratch / ("MEMBERS/" + name));
        copyFile(guardMedia(name), members.back());
        raid->setMember(static_cast<u32>(k), manager.addImageDisk(members.back()));
    }
    raid->setParameters(RAIDParameters(3, 0, 16, PARITY_FORWARD));
    RAIDDisk* set = manager.addRAIDDisk(std::move(raid));
    ASSERT_TRUE(set);

    Recovery recovery;
    TestListener listener;
    listener.answer = TestListener::Answer::Overwrite;
    recovery.setListener(&listener);
    recovery.setDiskManager(&manager);
    VolumeItem* root = browse(recovery, set);
    ASSERT_TRUE(root);
    ASSERT_EQ(root->getName(), "MEMBERS");
    LogCapture logs(LOG_ERROR);
    recovery.save({root}, scratch.path);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(fileBytes(members[k]), fileBytes(guardMedia("set.m" + std::to_string(k) + ".img"))) << k;
    }
    EXPECT_TRUE(logs.has("error: " + members[0] + " not written: it is a device or a file that vorn is reading\n"));
    EXPECT_EQ(recovery.getRefusedFileCount(), 1u);
    EXPECT_EQ(fileBytes(scratch / "MEMBERS/keep.txt"), fileBytes(guardMedia("files/keep.txt")));
    recovery.selectDisk(nullptr);
}

TEST(WriteGuard, TheReportAndImageFilesAreNeverWrittenOntoAFileBeingReadOrADevice) {
    ScratchDir scratch;
    const std::string image = scratch / "disk.img";
    const std::string listed = scratch / "listed.img";
    copyFile(guardMedia("disk.img"), image);
    copyFile(guardMedia("members.img"), listed);
    ASSERT_EQ(symlink(image.c_str(), (scratch / "link.html").c_str()), 0);
    DiskManager manager;
    Disk* listedDisk = manager.addImageDisk(listed);
    ImageDisk disk(image);
    Recovery recovery;
    recovery.setDiskManager(&manager);
    VolumeItem* root = browse(recovery, &disk);
    ASSERT_TRUE(root);

    for (const std::string& target : {image, listed, scratch / "link.html", std::string("/dev/null")}) {
        SCOPED_TRACE(target);
        LogCapture logs(LOG_ERROR);
        recovery.saveReport({root}, target, "title", "footer");
        EXPECT_TRUE(logs.has("error: " + target + " not written: it is a device or a file that vorn is reading\n"));
        // The selected disk copied onto a listed image, the listed image onto the chosen one.
        for (Disk* source : {static_cast<Disk*>(&disk), listedDisk}) {
            EXPECT_FALSE(recovery.createImageFile(source, target));
        }
    }
    EXPECT_EQ(fileBytes(image), fileBytes(guardMedia("disk.img")));
    EXPECT_EQ(fileBytes(listed), fileBytes(guardMedia("members.img")));
    // Elsewhere both are written.
    recovery.saveReport({root}, scratch / "report.html", "title", "footer");
    EXPECT_TRUE(fileText(scratch / "report.html").find("notes.txt") != std::string::npos);
    EXPECT_TRUE(recovery.createImageFile(listedDisk, scratch / "copy.img"));
    EXPECT_EQ(fileBytes(scratch / "copy.img"), fileBytes(guardMedia("members.img")));
    recovery.selectDisk(nullptr);
}

// Bytes of every file below root.
u64 bytesBelow(const std::string& root) {
    u64 total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file()) total += entry.file_size();
    return total;
}

TEST(WriteGuard, ALostFilesSaveWritesAtMostFourTimesTheImageAndEveryFileItWritesIsWhole) {
    // 496 directory sectors, each another disc origin, each listing a file of 4 GiB that runs
    // to the image's end from its origin.
    const std::vector<u8> bytes = fileBytes(guardMedia("origins.img"));
    ImageDisk disk(guardMedia("origins.img"));
    Recovery recovery;
    ASSERT_TRUE(recovery.selectDisk(&disk));
    recovery.setScanType(SCAN_LOST_FILES);
    recovery.scan();
    ASSERT_TRUE(recovery.getRootItem());
    ASSERT_GT(recovery.getRootItem()->getChildCount(true), 400u) << "a volume per disc origin";
    ScratchDir scratch;
    LogCapture logs(LOG_ERROR);
    recovery.save({recovery.getRootItem()}, scratch.path);
    EXPECT_LE(bytesBelow(scratch.path), 4 * bytes.size());
    EXPECT_GT(bytesBelow(scratch.path), 3 * bytes.size()) << "the save goes on up to its bound";
    EXPECT_EQ(logs.countPrefix("error: save stopped at "), 1);
    EXPECT_FALSE(recovery.getLastSaveOk());
    EXPECT_EQ(recovery.getFailedFileCount(), 1u) << "the file that would pass the bound is not started";
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(scratch.path)) {
        if (!entry.is_regular_file()) continue;
        ++files;
        // Each file runs from its origin to the image's end: whole, it is the image's tail.
        const std::vector<u8> saved = fileBytes(entry.path());
        ASSERT_LE(saved.size(), bytes.size());
        EXPECT_TRUE(std::equal(saved.begin(), saved.end(), bytes.end() - static_cast<std::ptrdiff_t>(saved.size())))
            << entry.path();
    }
    EXPECT_EQ(static_cast<u64>(files), recovery.getSavedFileCount());
    recovery.selectDisk(nullptr);
}

TEST(WriteGuard, HybridDiscsStillSaveEveryFileOfEveryView) {
    // HFS Plus, ISO 9660 and Joliet name the same files: a lost-files scan finds them all.
    for (const char* name : {"hfs_hybrid512.iso", "apm_iso2048.iso"}) {
        SCOPED_TRACE(name);
        ImageDisk disk(mediaPath(name));
        Recovery recovery;
        ASSERT_TRUE(recovery.selectDisk(&disk));
        recovery.setScanType(SCAN_LOST_FILES);
        recovery.scan();
        ASSERT_TRUE(recovery.getRootItem());
        ScratchDir scratch;
        LogCapture logs(LOG_ERROR);
        recovery.save({recovery.getRootItem()}, scratch.path);
        EXPECT_EQ(logs.countPrefix("error: save stopped at "), 0);
        EXPECT_EQ(recovery.getFailedFileCount(), 0u);
        EXPECT_GT(recovery.getSavedFileCount(), 2u);
        recovery.selectDisk(nullptr);
    }
}

}  // namespace
}  // namespace vorn
