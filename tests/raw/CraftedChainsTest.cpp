// The deleted-files scan over crafted free space (tests/fixtures/make_chains.sh): chains of MPEG frames (also
// chains that join), ZIP local headers and central-directory records, TIFF directories, tar members and compound-document FAT
// sectors that run past the disk's end, so that no find there has an end the scan could jump to; tags and
// headers whose walks start far ahead and back again; and real files right after crafted content that used
// up the work its analyser may spend. The work is counted as the bytes the analysers ask their stream for.
#include <gtest/gtest.h>

#include "TestMedia.h"
#include "fs/fat/FatManifest.h"
#include "storage/StorageTestUtil.h"
#include "raw/RawTestSupport.h"
#include "storage/ImageDisk.h"
#include "LogCapture.h"

namespace vorn::test {
namespace {

const char* const kShapes[] = {"mp3", "mp3-join", "zip-local", "zip-central", "zip-descriptor", "tiff", "tar", "ole2"};

// blockSize 0: the clusters of the file system on the image.
std::unique_ptr<CarveRig> scanned(const std::string& image, u32 blockSize) {
    auto rig = std::make_unique<CarveRig>(std::make_unique<ImageDisk>(mediaPath("chains/" + image)), blockSize);
    LogCapture quiet(LOG_ERROR);  // every dropped end is an error line
    rig->scan();
    return rig;
}

// Random bytes ask for about two bytes a byte (the signature table reads 1 KiB at every block); a walk
// run again from every block asks for some 30 to 250 at these sizes, and more as the disk grows.
TEST(CraftedChains, AScanReadsInProportionToTheDiskWhateverItsFreeSpaceHolds) {
    struct Case { std::string small, large; u32 blockSize; };
    std::vector<Case> cases;
    for (const char* shape : kShapes) cases.push_back({std::string(shape) + "-512k.img", std::string(shape) + "-2m.img", 512});
    cases.push_back({"fat-zip-local-1m.img", "fat-zip-local-4m.img", 0});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.large);
        const auto small = scanned(c.small, c.blockSize), large = scanned(c.large, c.blockSize);
        const u64 smallBytes = small->recovery.getDisk()->getBlockCount() * 512;
        const u64 largeBytes = large->recovery.getDisk()->getBlockCount() * 512;
        ASSERT_EQ(largeBytes, 4 * smallBytes);
        EXPECT_LE(large->bytesAsked, 4 * largeBytes);
        EXPECT_LE(large->bytesAsked, 5 * small->bytesAsked);
    }
}

// Tags and headers whose walks start far ahead (in turn on two chains that run past the end) and back again
// earn their walks' budget where the scan is, not where the walks start: the work grows with the disk.
// Once, at any size, the budget's reserve is spent on walks along the chains' stretch.
TEST(CraftedChains, WalksThatStartFarAheadEarnOnlyWhatTheScansStretchEarns) {
    for (const std::string shape : {"mp3-far", "zip-far"}) {
        SCOPED_TRACE(shape);
        const auto small = scanned(shape + "-512k.img", 512), large = scanned(shape + "-2m.img", 512);
        EXPECT_LE(large->bytesAsked, 5 * small->bytesAsked);
        EXPECT_LE(large->bytesAsked, 4 * 2097152 + (u64(1) << 22));
    }
}

// Every shape's finds, as the scan gave them before it remembered walks: per folder, the count of items
// of each size. Each structure's find is closed by the next one; the last find, whose end lies past the
// disk's, runs to the disk's end.
TEST(CraftedChains, FindsAreThoseThatWalksOfTheirOwnGive) {
    using Sizes = std::map<std::string, std::map<u64, int>>;
    const std::map<std::string, Sizes> cases = {
        // from block 974 on fewer than 100 frames are left: the find there runs to the end
        {"mp3-512k.img", {{"audio/mp3", {{512, 974}, {50 * 512, 1}}}}},
        // each block's frame leads onto the run of frames between the blocks
        {"mp3-join-512k.img", {{"audio/mp3", {{512, 973}, {51 * 512, 1}}}}},
        {"zip-local-512k.img", {{"application/zip-compressed", {{512, 1024}}}}},
        {"zip-central-512k.img", {{"application/zip-compressed", {{512, 511}, {513 * 512, 1}}}}},
        {"zip-descriptor-512k.img", {{"application/zip-compressed", {{512, 511}, {513 * 512, 1}}}}},
        {"tiff-512k.img", {{"image/tiff", {{1536, 341}, {512, 1}}}}},
        // a ZIP find in each member's data block ends after its 43 bytes
        {"tar-512k.img", {{"archive/tar", {{512, 512}}}, {"application/zip-compressed", {{43, 512}}}}},
        {"ole2-512k.img", {{"application/ole2", {{1024, 512}}}}},
        {"fat-zip-local-1m.img", {{"application/zip-compressed", {{512, 2002}}}}},
    };
    for (const auto& [image, want] : cases) {
        SCOPED_TRACE(image);
        const auto rig = scanned(image, image.rfind("fat-", 0) == 0 ? 0 : 512);
        Sizes got;
        for (const auto& [path, item] : rig->items()) ++got[path.substr(0, path.rfind('/'))][item->getSize()];
        EXPECT_EQ(got, want);
    }
}

// Real files right after crafted content whose walks, directories or FAT sectors used up what their
// analyser may spend on that stretch (the far walks' chains lie after the files): each file is found at its
// start with its type, whole; those whose analysers know the end, byte for byte. The tar archives follow one
// another: the second is not taken for part of the first, whose walk reached its closing block.
void checkRealFilesAfter(const std::string& image) {
    SCOPED_TRACE(image);
    const std::map<std::string, std::string> kFolders = {
        {"mp3", "audio/mp3"},           {"zip", "application/zip-compressed"}, {"docx", "application/zip-msword"},
        {"nef", "image/nef"},           {"tif", "image/tiff"},                 {"ppt", "application/mspowerpoint"},
        {"doc", "application/msword"}, {"tar", "archive/tar"}};
    const std::set<std::string> kExact = {"mp3", "zip", "docx", "ppt", "doc"};
    const auto files = loadFatManifest(mediaPath("chains/" + image + ".manifest")).of("file");
    ASSERT_GE(files.size(), 2u);
    const auto rig = scanned(image, 512);
    const auto items = rig->items();
    for (const auto& file : files) {
        const std::string& ext = file[0];
        const u64 offset = std::stoull(file[1]), size = std::stoull(file[2]);
        SCOPED_TRACE(file[4]);
        const auto found = items.find(kFolders.at(ext) + "/" + std::to_string(offset / 512) + "." + ext);
        ASSERT_NE(found, items.end());
        RawVolumeItem* item = found->second;
        if (kExact.count(ext)) {
            EXPECT_EQ(item->getSize(), size);
        }
        ASSERT_GE(item->getSize(), size);
        std::vector<u8> bytes(size);
        for (u64 ofs = 0, n; ofs < size; ofs += n)
            ASSERT_EQ(item->read(ofs, &bytes[ofs], u32(n = std::min<u64>(Disk::kMaxReadSize, size - ofs))), n);
        EXPECT_EQ(sha256Hex(bytes), file[3]);
    }
}

TEST(CraftedChains, RealFilesAfterCraftedContentKeepTheirFinds) {
    for (const char* kind : {"mp3", "zip", "tiff", "ole2", "tar"}) checkRealFilesAfter(std::string("after-") + kind + ".img");
}

}  // namespace
}  // namespace vorn::test
