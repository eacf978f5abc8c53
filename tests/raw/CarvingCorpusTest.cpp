// The carver over the tool-made corpus (tests/fixtures/make_carving.sh): known files come back whole, nothing else.
#include <gtest/gtest.h>

#include "TestMedia.h"
#include "fs/fat/FatManifest.h"
#include "raw/RawTestSupport.h"
#include "storage/ImageDisk.h"
#include "LogCapture.h"
#include "storage/StorageTestUtil.h"

namespace vorn::test {
namespace {

struct ManifestFile {
    std::string ext;
    u64 offset = 0, size = 0;
    std::string name;
};

// The manifest's "file" records, or its "live" ones (files left on a volume).
std::vector<ManifestFile> readManifest(const std::string& path, const std::string& record) {
    std::vector<ManifestFile> files;
    for (const auto& f : loadFatManifest(path).of(record))
        if (f.size() >= 5) files.push_back({f[0], std::stoull(f[1]), std::stoull(f[2]), f[4]});
    return files;
}

// Folder and item extension per corpus type; types not listed are not known.
const std::map<std::string, std::pair<std::string, std::string>> kExpected = {
    {"jpg", {"image/jpeg", "jpg"}},   {"gif", {"image/gif", "gif"}},       {"bmp", {"image/bmp", "bmp"}},
    {"png", {"image/png", "png"}},    {"pdf", {"document/pdf", "pdf"}},    {"rtf", {"document/rtf", "rtf"}},
    {"xml", {"document/xml", "xml"}}, {"wav", {"audio/wav", "wav"}},       {"m4a", {"audio/m4a", "wav"}},
    {"avi", {"video/avi", "avi"}},    {"mpg", {"video/mpeg", "mpg"}},      {"wmv", {"video/asf", "asx"}},
    {"tar", {"archive/tar", "tar"}},  {"tif", {"image/tiff", "tif"}},      {"mp3", {"audio/mp3", "mp3"}},
    {"zip", {"application/zip-compressed", "zip"}}, {"docx", {"application/zip-msword", "docx"}},
    {"xlsx", {"application/zip-msexcel", "xlsx"}},  {"pptx", {"application/zip-mspowerpoint", "pptx"}},
    {"doc", {"application/msword", "doc"}},         {"xls", {"application/msexcel", "xls"}},
    {"ppt", {"application/mspowerpoint", "ppt"}},   {"mef", {"image/mef", "mef"}},
    {"arw", {"image/arw", "arw"}},    {"orf", {"image/orf", "orf"}},       {"nef", {"image/nef", "nef"}},
    {"iiq", {"image/phaseone", "tif"}},  {"cr2", {"image/cr2", "cr2"}},
    {"sti", {"image/sti", "sti"}},    {"3fr", {"image/3fr", "3fr"}},       {"dcs", {"image/dcs", "dcs"}},
    {"dng", {"image/dng", "dng"}},
    // Make "EASTMAN KODAK COMPANY": makers are matched at the start of the text, and no maker starts so.
    {"kdc", {"image/tiff", "tif"}},
};

// Types whose analysers know the file's end.
const std::set<std::string> kExactSize = {"mp3", "zip", "docx", "xlsx", "pptx", "doc", "xls", "ppt"};

// With text on, by file name: texts, and documents the text analyser takes before the signature table;
// those in kTextSplits it takes block by block, cut where the class changes.
const std::map<std::string, std::pair<std::string, std::string>> kTextExpected = {
    {"hello.c", {"text/c", "c"}},           {"shapes.cpp", {"text/c++", "cpp"}},  {"sums.for", {"text/fortran", "for"}},
    {"build.mk", {"text/makefile", ""}},    {"total.pl1", {"text/pl1", "pl1"}},   {"start.asm", {"text/asm", "asm"}},
    {"english.txt", {"text/plain", "txt"}}, {"mail.eml", {"text/mail", "txt"}},  {"article.news", {"text/news", "txt"}},
    {"Hello.java", {"text/java", "java"}},  {"page.htm", {"text/html", "html"}},  {"hello.bcpl", {"text/bcpl", "bcpl"}},
    {"macros.m4", {"text/m4", "m4"}},       {"messages.po", {"text/po", "po"}},   {"page.man", {"text/troff", "t"}},
    {"note.txt", {"text/plain; charset=us-ascii", "txt"}},     {"words.utf8", {"text/plain; charset=utf-8", "txt"}},
    {"words.utf16", {"text/plain; charset=utf-16", "txt"}},    {"words.ebcdic", {"text/plain; charset=ebcdic", "txt"}},
    {"words.latin1", {"text/plain; charset=iso-8859-1", "txt"}},
    {"words.cp1252", {"text/plain; charset=unknown", "txt"}},  {"document.html", {"text/html", "html"}},
    {"document.rtf", {"text/plain; charset=us-ascii", "txt"}},
    {"document.xml", {"text/plain; charset=", "txt"}},  // us-ascii in its first 512 bytes, utf-8 in 4096
};
const std::set<std::string> kTextSplits = {"document.rtf", "document.html", "document.xml"};

// blockSize 0: the clusters of the file system on the image.
void checkCorpus(const std::string& image, u32 blockSize, bool text = false) {
    SCOPED_TRACE(image + " in blocks of " + std::to_string(blockSize) + (text ? " with text" : ""));
    const auto files = readManifest(mediaPath(image + ".manifest"), "file");
    ASSERT_GT(files.size(), 20u) << "no carving corpus at " << mediaPath(image);
    CarveRig rig(std::make_unique<ImageDisk>(mediaPath(image)), blockSize);
    rig.recovery.setEnableSearchText(text);
    LogCapture quiet(LOG_WARNING);
    rig.scan();
    auto items = rig.items();
    for (const ManifestFile& live : readManifest(mediaPath(image + ".manifest"), "live")) {
        for (const auto& [path, item] : items) {
            const u64 start = item->getStartOffset();
            EXPECT_TRUE(start + item->getSize() <= live.offset || start >= live.offset + live.size)
                << path << " runs over " << live.name;
        }
    }
    std::set<u64> starts;
    std::map<u64, u64> holders;  // start -> end of the files that hold further starts
    for (const ManifestFile& file : files) {
        SCOPED_TRACE(file.name + " at " + std::to_string(file.offset));
        starts.insert(file.offset);
        if (file.ext == "mov" || file.ext == "tar" || (text && kTextSplits.count(file.name))) {
            holders[file.offset] = file.offset + file.size;
        }
        auto expected = kExpected.find(file.ext);
        if (text && kTextExpected.count(file.name)) expected = kTextExpected.find(file.name);
        const bool known = expected != kExpected.end() && (text || !kTextExpected.count(file.name) ||
                                                           file.ext == "rtf" || file.ext == "html" || file.ext == "xml");
        const bool aligned =
            file.offset >= rig.startOffset && (file.offset - rig.startOffset) % rig.allocBlockSize == 0;
        if (!known || !aligned) {
            for (const auto& [path, item] : items) EXPECT_NE(item->getStartOffset(), file.offset) << path;
            continue;
        }
        const auto& [folder, ext] = expected->second;
        if (text && kTextSplits.count(file.name)) {  // the start and the type, by folder prefix
            EXPECT_TRUE(std::any_of(items.begin(), items.end(), [&](const auto& entry) {
                return entry.second->getStartOffset() == file.offset && entry.first.rfind(folder, 0) == 0;
            }));
            continue;
        }
        const std::string name = std::to_string(file.offset / 512) + (ext.empty() ? "" : "." + ext);
        auto found = items.find(folder + "/" + name);
        for (const auto& [path, item] : items)
            if (found == items.end() && item->getStartOffset() == file.offset) ADD_FAILURE() << "found as " << path;
        ASSERT_NE(found, items.end());
        ASSERT_EQ(found->second->getStartOffset(), file.offset);
        RawVolumeItem* item = found->second;
        if (kExactSize.count(file.ext)) { EXPECT_EQ(item->getSize(), file.size); }
        ASSERT_GE(item->getSize(), file.size);
        std::vector<u8> saved(file.size);
        for (u64 ofs = 0, n; ofs < file.size; ofs += n)
            ASSERT_EQ(item->read(ofs, &saved[ofs], u32(n = std::min<u64>(Disk::kMaxReadSize, file.size - ofs))), n);
        EXPECT_TRUE(saved == readFileBytes(mediaPath("carving.files/" + file.name)));
    }
    for (const auto& [path, item] : items) {
        const u64 start = item->getStartOffset();
        auto holder = holders.upper_bound(start);
        EXPECT_TRUE(starts.count(start) || (holder != holders.begin() && start < std::prev(holder)->second))
            << "false find " << path;
    }
}

// In 4 KiB blocks, files between 4 KiB boundaries run into the file before; blockSize 0 carves the free
// clusters of the FAT32 volume, leaving its live files alone.
TEST(CarvingCorpus, KnownFilesComeBackWholeAndNothingElseIsFound) {
    for (const char* image : {"carving_4k.img", "carving_512.img"})
        for (u32 blockSize : {512u, 4096u}) checkCorpus(image, blockSize);
    checkCorpus("carving_fat32.img", 0);
}

TEST(CarvingCorpus, WithTextScanningOnTextsComeBackByKindAndCharacterSet) {
    for (u32 blockSize : {512u, 4096u}) checkCorpus("carving_4k.img", blockSize, true);
    checkCorpus("carving_fat32.img", 0, true);
}

}  // namespace
}  // namespace vorn::test
