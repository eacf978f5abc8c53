// Crafted ISO 9660 images (tests/fixtures/make_iso.sh): chained overlong directories and a plain name beyond
// ASCII, browsed, walked, scanned for lost files and saved through Recovery.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "fs/MemoryTestDisk.h"
#include "fs/iso/IsoTestSupport.h"
#include "fs/iso/ISOAnalyser.h"
#include "fs/iso/ISOVolume.h"
#include "fs/iso/ISOVolumeItem.h"
#include "misc/Utils.h"
#include "recovery/RecoveryTestSupport.h"
#include "storage/ImageDisk.h"

namespace vorn::test {
namespace {

constexpr int kChainSectors = 1024, kFilesPerSector = 9;

// File Fkkkk_j.TXT of the chained image: the start of "chain sector kkkk\n" over and over.
std::vector<u8> chainFile(const std::string& name) {
    int k = 0, j = 0;
    if (sscanf(name.c_str(), "F%4d_%1d.TXT", &k, &j) != 2) return {};
    const std::string line = format("chain sector %04d\n", k);
    std::string text;
    while (text.size() < 100u + 200u * j) text += line;
    return std::vector<u8>(text.begin(), text.begin() + 100 + 200 * j);
}

// The chain below top (the root, or the folder a lost-files scan found it in): a walk and a save end at the
// walks' depth limit, every file saved as written; loading every folder, whatever its depth, gives 1,023
// folders and every file once, with its bytes, in the folder of its own sector (sector k's k folders down).
void expectChain(Recovery& recovery, VolumeItem* top) {
    top->loadChildren();
    ItemCounter walk(u64(VolumeItem::kMaxDepth + 1) * (kFilesPerSector + 1));  // stops a chain listed over and over
    top->visit(&walk, true);
    ASSERT_LE(walk.items, walk.limit);
    ScratchDir scratch(walk.items);
    recovery.save(top->children(), scratch.path);
    EXPECT_TRUE(recovery.getLastSaveOk());
    u64 saved = 0;
    for (auto& e : std::filesystem::recursive_directory_iterator(scratch.path)) {
        if (!e.is_regular_file()) continue;
        ++saved;
        EXPECT_EQ(fileBytes(e.path()), chainFile(e.path().filename())) << e.path();
    }
    EXPECT_GE(saved, u64(VolumeItem::kMaxDepth) * kFilesPerSector);

    std::set<std::string> files;
    u64 folders = 0;
    std::function<void(VolumeItem*, int)> load = [&](VolumeItem* folder, int depth) {
        folder->loadChildren();
        for (VolumeItem* child : folder->children()) {
            const std::string name = child->getName();
            if (child->isContainer()) {
                ++folders, load(child, depth + 1);
                continue;
            }
            std::vector<u8> bytes;  // each file once, in the folder of its own sector, with its bytes
            EXPECT_TRUE(files.insert(name).second && name.substr(1, 4) == format("%04d", depth) &&
                        readItem(child, bytes) && bytes == chainFile(name)) << name;
        }
    };
    load(top, 0);
    EXPECT_EQ(files.size(), u64(kChainSectors) * kFilesPerSector);
    EXPECT_EQ(folders, u64(kChainSectors) - 1);
}

// Each folder of the chain lists its own sector only: the next folder and nine files, by browse and by a
// lost-files scan alike, within a generous hang guard.
TEST(ISODamage, ChainedOverlongDirectoriesListEachSectorOnce) {
    HangGuard guard(120);
    ImageDisk image(mediaPath("iso_chain.iso"));
    Recovery recovery;
    ASSERT_TRUE(recovery.selectDisk(&image));
    LogCapture lines(LOG_WARNING);
    recovery.openExistingVolume();
    ASSERT_NE(recovery.getRootItem(), nullptr);
    expectChain(recovery, recovery.getRootItem());

    recovery.setScanType(SCAN_LOST_FILES);
    recovery.scan();
    VolumeItem* orphans = recovery.getRootItem()->getChild(0, true)->findChild("OrphanedFolders", false);
    ASSERT_TRUE(orphans && orphans->getChildCount(true) == 1 && orphans->getChild(0, true)->getName() == "Extent 18");
    expectChain(recovery, orphans->getChild(0, true));
    recovery.selectDisk(nullptr);
}

// The Latin-1 bytes of a plain name (no Joliet) come out as their UTF-8 text, by browse and save; the other
// files as The Sleuth Kit read the image before its names were patched. (A lost-files scan reads the names
// as a tree of unknown kind: see the next test.)
TEST(ISONames, PlainNameBeyondAsciiIsItsLatin1Text) {
    std::map<std::string, std::string> want;
    for (auto& [path, value] : manifestListing(loadFatManifest(mediaPath("iso_latin1.iso.manifest"))))
        want[replaceAll(replaceAll(path, "CAFE", "CAF\u00c9"), "ETE", "\u00c9T\u00c9")] = value;
    ASSERT_EQ(want.count("CAF\u00c9.TXT"), 1u);
    ImageDisk image(mediaPath("iso_latin1.iso"));
    Recovery recovery;
    ASSERT_TRUE(recovery.selectDisk(&image));
    recovery.openExistingVolume();
    auto* volume = dynamic_cast<ISOVolume*>(recovery.getVolume());
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(volume->getNames(), ISONames::Bytes);
    EXPECT_EQ(isoListing(recovery.getRootItem()), want);
    ScratchDir scratch;
    recovery.save(recovery.getRootItem()->children(), scratch.path);
    for (const char* path : {"CAF\u00c9.TXT", "\u00c9T\u00c9/NOTE.TXT"})
        EXPECT_EQ(std::to_string(fileBytes(scratch / path).size()) + " " + sha256Hex(fileBytes(scratch / path)), want[path]);
    recovery.selectDisk(nullptr);
}

// Names of one directory record each, read as each kind of tree writes them.
TEST(ISONames, EachKindOfTreeReadsItsNamesItsOwnWay) {
    using B = std::string;
    struct Case { const char* what; ISONames names; std::vector<B> raw; std::string want; };
    const Case cases[] = {
        {"primary, Latin-1 of even length", ISONames::Bytes, {"CAF\xC9.TXT;1"}, "CAF\u00c9.TXT"},
        {"primary, UTF-8 kept", ISONames::Bytes, {"CAF\xC3\x89.TXT;1"}, "CAF\u00c9.TXT"},
        {"primary, bytes beside UCS-2 stay bytes", ISONames::Bytes, {B("\0A", 2), "\xE5\x65"}, B("\0A,", 3) + "\u00e5e"},
        {"Joliet, no zero byte", ISONames::Ucs2, {"\x65\xE5\x67\x2C"}, "\u65e5\u672c"},
        {"unknown, a zero byte makes the directory UCS-2", ISONames::Guess, {"\x65\xE5\x67\x2C", B("\0A\0;\0" "1", 6)},
         "\u65e5\u672c,A"},
        {"unknown, Latin-1 of even length", ISONames::Guess, {"CAF\xC9.TXT;1", "PLAIN.TXT;1"}, "CAF\u00c9.TXT,PLAIN.TXT"},
        // genisoimage -iso-level 4 writes a Linux file name with a control byte as it is.
        {"unknown, one 8-bit name with a control byte", ISONames::Guess, {"AB\x01" "C", "README.TXT"}, "AB\x01" "C,README.TXT"},
        {"unknown, UCS-2 Cyrillic without a zero byte", ISONames::Guess, {"\x04\x1F\x04\x40", "\x04\x10"},
         "\u041f\u0440,\u0410"},
    };
    for (const Case& c : cases) {
        std::vector<std::vector<u8>> records;
        for (const B& name : c.raw) records.push_back(isoRecord(50, 1, false, name));
        std::vector<u8> bytes = isoSector(records, 40, 39);
        bytes.resize(3 * 2048, 0);
        MemoryTestDisk disk(bytes, 2048);
        disk.open(false);
        std::vector<std::unique_ptr<ISOVolumeItem>> items;
        ASSERT_TRUE(ISOAnalyser::parseDir(&disk, 0, items, 0, c.names)) << c.what;
        std::string names;
        for (auto& item : items) names += (names.empty() ? "" : ",") + item->getName();
        EXPECT_EQ(names, c.want) << c.what;
    }
}

}  // namespace
}  // namespace vorn::test
