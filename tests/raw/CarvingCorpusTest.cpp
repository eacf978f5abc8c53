// The carver over the tool-made carving corpus (tests/fixtures/make_carving.sh):
// real files laid out in raw images at 4096- and 512-byte boundaries, with
// zero and random gaps. The images carry no file system, so every block is
// free. Per file of a type the carver knows: an item of the right type
// starts at the file's first byte, is named after its disk block, and its
// bytes begin with the whole original file. Nothing is found in the gaps.
//
// Some files hold further starts on block boundaries, and the table finds
// those as files of their own, cutting the item of the file around them:
// an MPEG program stream begins every pack with the pack start code, a tar
// archive holds its members' headers ("ustar") and their contents (here an
// RTF and a BMP file) at 512-byte boundaries, and the movie's compressed
// data happens to hold FF D8 at a block start.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "TestMedia.h"
#include "raw/RawTestSupport.h"
#include "storage/ImageDisk.h"
#include "storage/LogCapture.h"
#include "storage/StorageTestUtil.h"

namespace vorn::test {
namespace {

struct ManifestFile {
    std::string ext;
    u64 offset = 0;
    u64 size = 0;
    std::string name;
};

// The "file" records of a manifest, or its "live" records (files that stay
// on a volume).
std::vector<ManifestFile> readManifest(const std::string& path, const std::string& record = "file") {
    std::vector<ManifestFile> files;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string kind, ext, offset, size, sha, name;
        std::getline(fields, kind, '\t');
        if (kind != record) continue;
        std::getline(fields, ext, '\t');
        std::getline(fields, offset, '\t');
        std::getline(fields, size, '\t');
        std::getline(fields, sha, '\t');
        std::getline(fields, name, '\t');
        files.push_back({ext, std::stoull(offset), std::stoull(size), name});
    }
    return files;
}

// What the carver names each file type of the corpus: folder path and item
// extension. Types without an entry are not recognised by the analysers
// built so far (their bytes go to the item of the file before them).
struct Expected {
    const char* folder;
    const char* ext;
};
const std::map<std::string, Expected> kExpected = {
    {"jpg", {"image/jpeg", "jpg"}},   {"gif", {"image/gif", "gif"}},       {"bmp", {"image/bmp", "bmp"}},
    {"png", {"image/png", "png"}},    {"pdf", {"document/pdf", "pdf"}},    {"rtf", {"document/rtf", "rtf"}},
    {"xml", {"document/xml", "xml"}}, {"wav", {"audio/wav", "wav"}},       {"m4a", {"audio/m4a", "wav"}},
    {"avi", {"video/avi", "avi"}},    {"mpg", {"video/mpeg", "mpg"}},      {"wmv", {"video/asf", "asx"}},
    {"zip", {"archive/zip", "zip"}},  {"docx", {"archive/zip", "zip"}},    {"tar", {"archive/tar", "tar"}},
};

std::vector<u8> itemBytes(RawVolumeItem* item, u64 count) {
    std::vector<u8> bytes(count);
    EXPECT_EQ(item->read(0, bytes.data(), static_cast<u32>(count)), count);
    return bytes;
}

// Scans the image (512-byte disk blocks) in allocation blocks of the given
// size, or in the clusters of the file system on it when blockSize is 0,
// and checks every file. The manifest's offsets count from the disk's
// first byte.
void checkCorpus(const std::string& image, u32 blockSize, const std::set<std::string>& incomplete) {
    const std::set<std::string> holdingStarts = {"clip.mpg", "archive.tar", "clip.mov"};
    SCOPED_TRACE(image + " in blocks of " + std::to_string(blockSize));
    const auto files = readManifest(mediaPath(image + ".manifest"));
    ASSERT_GT(files.size(), 20u) << "no carving corpus at " << mediaPath(image);
    CarveRig rig(std::make_unique<ImageDisk>(mediaPath(image)), blockSize);
    LogCapture quiet(LOG_WARNING);
    rig.scan();
    auto items = rig.items();

    // Files that stay on a volume lie in used blocks: nothing of them is
    // carved.
    for (const ManifestFile& live : readManifest(mediaPath(image + ".manifest"), "live")) {
        for (const auto& [path, item] : items) {
            const u64 start = item->getStartOffset();
            EXPECT_TRUE(start + item->getSize() <= live.offset || start >= live.offset + live.size)
                << path << " runs over " << live.name;
        }
    }

    std::set<u64> starts;
    std::map<u64, u64> insideHolders;  // start -> end of the files that hold further starts
    for (const ManifestFile& file : files) {
        if (holdingStarts.count(file.name)) insideHolders[file.offset] = file.offset + file.size;
        SCOPED_TRACE(file.name + " at " + std::to_string(file.offset));
        starts.insert(file.offset);
        auto expected = kExpected.find(file.ext);
        const bool aligned = file.offset >= rig.startOffset && (file.offset - rig.startOffset) % rig.allocBlockSize == 0;
        if (expected == kExpected.end() || !aligned) {
            for (const auto& [path, item] : items) EXPECT_NE(item->getStartOffset(), file.offset) << path;
            continue;
        }
        const std::string path = std::string(expected->second.folder) + "/" + std::to_string(file.offset / 512) +
                                 "." + expected->second.ext;
        auto found = items.find(path);
        EXPECT_NE(found, items.end()) << path;
        if (found == items.end()) continue;
        RawVolumeItem* item = found->second;
        EXPECT_EQ(item->getStartOffset(), file.offset);
        if (incomplete.count(file.name)) {
            EXPECT_LT(item->getSize(), file.size);
            continue;
        }
        EXPECT_GE(item->getSize(), file.size);
        if (item->getSize() < file.size) continue;
        const auto original = readFileBytes(mediaPath("carving.files/" + file.name));
        ASSERT_EQ(original.size(), file.size);
        EXPECT_TRUE(itemBytes(item, file.size) == original);
    }
    for (const auto& [path, item] : items) {
        const u64 start = item->getStartOffset();
        if (starts.count(start)) continue;
        auto holder = insideHolders.upper_bound(start);
        const bool inside = holder != insideHolders.begin() && start < std::prev(holder)->second;
        EXPECT_TRUE(inside) << "false find " << path;
    }
}

TEST(CarvingCorpus, FilesAt4KiBBoundariesScannedIn512ByteBlocks) {
    checkCorpus("carving_4k.img", 512, {"clip.mpg", "archive.tar"});
}

TEST(CarvingCorpus, FilesAt4KiBBoundariesScannedIn4KiBBlocks) {
    checkCorpus("carving_4k.img", 4096, {"clip.mpg"});
}

TEST(CarvingCorpus, FilesAt512ByteBoundariesScannedIn512ByteBlocks) {
    checkCorpus("carving_512.img", 512, {"clip.mpg", "archive.tar"});
}

// The corpus copied to a FAT32 volume (512-byte clusters) and deleted:
// the volume is mounted, its free clusters carved, and the two files that
// stay are left alone.
TEST(CarvingCorpus, FilesDeletedFromAFat32VolumeComeBackFromItsFreeClusters) {
    checkCorpus("carving_fat32.img", 0, {"clip.mpg", "archive.tar"});
}

// Files that start between 4 KiB boundaries are not looked for: they run
// into the item of the file before them.
TEST(CarvingCorpus, FilesAt512ByteBoundariesScannedIn4KiBBlocks) {
    checkCorpus("carving_512.img", 4096, {"clip.mpg"});
}

// The whole road: Recovery::scan carves (over the FAT32 volume and over the
// raw image, where no file system is known and every block is free) and
// Recovery::save writes the result tree; each saved file of a known type
// begins with the whole original.
TEST(CarvingCorpus, ScannedAndSavedFilesBeginWithTheOriginals) {
    for (const std::string image : {"carving_fat32.img", "carving_4k.img"}) {
        SCOPED_TRACE(image);
        char folder[] = "/tmp/vorn_carve_saveXXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        ImageDisk disk(mediaPath(image));
        {
            LogCapture quiet(LOG_ERROR);
            Recovery recovery;
            ASSERT_TRUE(recovery.selectDisk(&disk));
            recovery.setScanType(SCAN_DELETED_FILES);
            recovery.scan();
            ASSERT_NE(recovery.getRootItem(), nullptr);
            recovery.save({recovery.getRootItem()}, folder);
            ASSERT_TRUE(recovery.getLastSaveOk());
        }
        int checked = 0;
        for (const ManifestFile& file : readManifest(mediaPath(image + ".manifest"))) {
            auto expected = kExpected.find(file.ext);
            if (expected == kExpected.end() || file.name == "clip.mpg" || file.name == "archive.tar") continue;
            const std::string saved = std::string(folder) + "/Deleted/" + expected->second.folder + "/" +
                                      std::to_string(file.offset / 512) + "." + expected->second.ext;
            auto bytes = readFileBytes(saved);
            const auto original = readFileBytes(mediaPath("carving.files/" + file.name));
            ASSERT_GE(bytes.size(), original.size()) << saved;
            bytes.resize(original.size());
            EXPECT_TRUE(bytes == original) << saved;
            ++checked;
        }
        EXPECT_GE(checked, 15);
        std::filesystem::remove_all(folder);
    }
}

}  // namespace
}  // namespace vorn::test
