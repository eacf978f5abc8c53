// The carver over the tool-made carving corpus (tests/fixtures/make_carving.sh):
// real files laid out in raw images at 4096- and 512-byte boundaries with
// zero and random gaps, and copied to a FAT32 volume and deleted. Per file
// of a known type: an item of the right type starts at its first byte, is
// named after its disk block, and its bytes begin with the whole original
// file. Nothing else is found, except inside the movie (starts in its
// compressed data) and the tar archive (its members, at blocks the scan does
// not jump over when the archive itself starts between them).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

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
    {"kdc", {"image/kdc", "kdc"}},    {"iiq", {"image/phaseone", "tif"}},  {"cr2", {"image/cr2", "cr2"}},
    {"sti", {"image/sti", "sti"}},    {"3fr", {"image/3fr", "3fr"}},       {"dcs", {"image/dcs", "dcs"}},
    {"dng", {"image/dng", "dng"}},
};

// Types whose analysers know the file's end.
const std::set<std::string> kExactSize = {"mp3", "zip", "docx", "xlsx", "pptx", "doc", "xls", "ppt"};

// With text scanning on, by file name: the texts, and the documents that
// are text, which the text analyser takes before the signature table.
const std::map<std::string, std::pair<std::string, std::string>> kTextExpected = {
    {"hello.c", {"text/c", "c"}},
    {"shapes.cpp", {"text/c++", "cpp"}},
    {"sums.for", {"text/fortran", "for"}},
    {"build.mk", {"text/makefile", ""}},
    {"total.pl1", {"text/pl1", "pl1"}},
    {"start.asm", {"text/asm", "asm"}},
    {"english.txt", {"text/plain", "txt"}},
    {"mail.eml", {"text/mail", "txt"}},
    {"article.news", {"text/news", "txt"}},
    {"Hello.java", {"text/java", "java"}},
    {"page.htm", {"text/html", "html"}},
    {"hello.bcpl", {"text/bcpl", "bcpl"}},
    {"macros.m4", {"text/m4", "m4"}},
    {"messages.po", {"text/po", "po"}},
    {"page.man", {"text/troff", "t"}},
    {"note.txt", {"text/plain; charset=us-ascii", "txt"}},
    {"words.utf8", {"text/plain; charset=utf-8", "txt"}},
    {"words.utf16", {"text/plain; charset=utf-16", "txt"}},
    {"words.latin1", {"text/plain; charset=iso-8859-1", "txt"}},
    {"words.ebcdic", {"text/plain; charset=ebcdic", "txt"}},
    {"words.cp1252", {"text/plain; charset=unknown", "txt"}},
    {"document.rtf", {"text/plain; charset=us-ascii", "txt"}},
    {"document.html", {"text/html", "html"}},
    {"document.xml", {"text/plain; charset=", "txt"}},  // us-ascii in its first 512 bytes, utf-8 in 4096
};

// With text on, the text analyser takes each block of these documents that
// is text on its own, by its own class: their items start right but are
// cut where the class changes.
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
        if (found == items.end()) {
            for (const auto& [path, item] : items) {
                if (item->getStartOffset() == file.offset) ADD_FAILURE() << "found as " << path;
            }
        }
        ASSERT_TRUE(found != items.end() && found->second->getStartOffset() == file.offset);
        RawVolumeItem* item = found->second;
        if (kExactSize.count(file.ext)) {
            EXPECT_EQ(item->getSize(), file.size);
        }
        ASSERT_GE(item->getSize(), file.size);
        std::vector<u8> saved(file.size);
        for (u64 ofs = 0; ofs < file.size; ofs += Disk::kMaxReadSize) {
            const u32 n = static_cast<u32>(std::min<u64>(Disk::kMaxReadSize, file.size - ofs));
            ASSERT_EQ(item->read(ofs, saved.data() + ofs, n), n);
        }
        EXPECT_TRUE(saved == readFileBytes(mediaPath("carving.files/" + file.name)));
    }
    for (const auto& [path, item] : items) {
        const u64 start = item->getStartOffset();
        auto holder = holders.upper_bound(start);
        EXPECT_TRUE(starts.count(start) || (holder != holders.begin() && start < std::prev(holder)->second))
            << "false find " << path;
    }
}

TEST(CarvingCorpus, FilesAt4KiBBoundariesComeBackWhole) {
    checkCorpus("carving_4k.img", 512);
    checkCorpus("carving_4k.img", 4096);
}

// In 4 KiB blocks, files between 4 KiB boundaries run into the file before.
TEST(CarvingCorpus, FilesAt512ByteBoundariesComeBackWholeIn512ByteBlocks) {
    checkCorpus("carving_512.img", 512);
    checkCorpus("carving_512.img", 4096);
}

TEST(CarvingCorpus, WithTextScanningOnTextsComeBackByKindAndCharacterSet) {
    checkCorpus("carving_4k.img", 512, true);
    checkCorpus("carving_4k.img", 4096, true);
    checkCorpus("carving_fat32.img", 0, true);
}

// The volume is mounted, its free clusters carved, the files that stay left alone.
TEST(CarvingCorpus, FilesDeletedFromAFat32VolumeComeBackFromItsFreeClusters) {
    checkCorpus("carving_fat32.img", 0);
}

}  // namespace
}  // namespace vorn::test
