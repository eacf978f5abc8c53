// Crafted ISO 9660 images (tests/fixtures/make_iso.sh): a plain name beyond ASCII, browsed, scanned for lost
// files and saved through Recovery.
#include <gtest/gtest.h>

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

// The Latin-1 bytes of a plain name (no Joliet) come out as their UTF-8 text, by browse, lost-files scan and
// save; the other files as The Sleuth Kit read the image before its names were patched.
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

    recovery.setScanType(SCAN_LOST_FILES);
    recovery.scan();
    VolumeItem* orphans = recovery.getRootItem()->getChild(0, true)->findChild("OrphanedFolders", false);
    ASSERT_NE(orphans, nullptr);
    std::map<std::string, std::string> found;
    for (VolumeItem* extent : orphans->children())
        if (extent->findChild("PLAIN.TXT", false)) found = isoListing(extent);
    EXPECT_EQ(found, want);
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
