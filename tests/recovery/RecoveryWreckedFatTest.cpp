#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "TestMedia.h"
#include "fs/fat/FatManifest.h"
#include "recovery/RecoveryTestSupport.h"
#include "storage/ImageDisk.h"

namespace vorn {
namespace {

using namespace test;

void expectBounded(VolumeItem* folder, u64 medium, int depth, u64* items, bool ownSize) {
    ASSERT_LT(depth, VolumeItem::kMaxDepth);
    folder->loadChildren();
    for (VolumeItem* child : folder->children()) {
        ++*items;
        EXPECT_LE(child->boundedSize(), medium) << child->getPath() << child->getName();
        if (ownSize) {
            EXPECT_LE(child->getSize(), medium) << child->getPath() << child->getName();
        }
        if (child->isContainer()) expectBounded(child, medium, depth + 1, items, ownSize);
    }
}

u64 bytesUnder(const std::string& dir) {
    u64 total = 0;
    for (auto& e : std::filesystem::recursive_directory_iterator(dir))
        if (e.is_regular_file()) total += e.file_size();
    return total;
}

class WreckedFatTest : public ::testing::TestWithParam<const char*> {};

TEST_P(WreckedFatTest, EndsInSecondsWritesNoMoreThanFourTimesTheImageAndKeepsUntouchedFiles) {
    std::ifstream list(mediaPath("wrecked.list"));
    int images = 0;
    for (std::string name; std::getline(list, name);) {
        if (name.rfind(std::string("wrecked_") + GetParam() + "_", 0) != 0) continue;
        SCOPED_TRACE(name);
        ++images;
        std::ifstream intact(mediaPath(name + ".intact"));
        u64 imageSize = 0;
        intact >> imageSize;
        std::vector<std::pair<std::string, std::string>> untouched;  // SHA-256, path
        for (std::string line; std::getline(intact, line);)
            if (size_t tab = line.find('\t'); tab != std::string::npos)
                untouched.emplace_back(line.substr(0, tab), line.substr(tab + 1));

        const auto start = std::chrono::steady_clock::now();
        ImageDisk disk(mediaPath(name));
        Recovery recovery;
        ASSERT_TRUE(recovery.selectDisk(&disk));
        recovery.openExistingVolume();
        ASSERT_NE(recovery.getRootItem(), nullptr);
        u64 items = 0;
        const bool fat = std::string(GetParam()).rfind("fat", 0) == 0;
        expectBounded(recovery.getRootItem(), imageSize, 0, &items, fat);
        ScratchDir scratch;
        char dir[] = "/dev/shm/vorn_wrecked_XXXXXX";  // thousands of small files: in memory where it can
        const std::string target = mkdtemp(dir) ? dir : scratch.path;
        recovery.save(recovery.getRootItem()->children(), target);
        EXPECT_LE(bytesUnder(target), 4 * imageSize);
        for (auto& [sha, path] : untouched) EXPECT_EQ(sha256Hex(fileBytes(target + path)), sha) << path;
        std::filesystem::remove_all(target);

        // The carver over the damaged volume's free clusters: every find lies on the medium.
        recovery.setScanType(SCAN_DELETED_FILES);
        recovery.scan();
        ASSERT_NE(recovery.getRootItem(), nullptr);
        expectBounded(recovery.getRootItem(), imageSize, 0, &items, true);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << items << " items";
        recovery.selectDisk(nullptr);
    }
    EXPECT_GT(images, 0) << "no damaged copies of " << GetParam() << " in " << mediaPath("wrecked.list");
}

INSTANTIATE_TEST_SUITE_P(Sources, WreckedFatTest,
                         ::testing::Values("fat12_floppy", "fat16_s512", "fat32_s512", "hfsplus_macos", "hfs_bare",
                                           "small", "ntfs_s512"));

}  // namespace
}  // namespace vorn
