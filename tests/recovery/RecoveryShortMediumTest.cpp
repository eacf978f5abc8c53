// Volumes on a medium cut short, as a copy of a failing disk that stopped, or a disk smaller than its volume,
// leaves them. Cut anywhere after what lists the volume, every folder and file is listed; every file that lies
// wholly on the medium is saved byte for byte; a file that runs past the end is saved as far as it goes, the
// rest with the zeros and the error line of a read failure; a lost-volumes scan finds the volume and its
// partition browses alike. HFS Plus (whose allocation file xorriso puts at the volume's end) also through the
// lost-files scan; FAT through Browse only.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

#include "TestMedia.h"
#include "fs/MemoryTestDisk.h"
#include "fs/ScanContext.h"
#include "fs/VolumeItem.h"
#include "fs/fat/FatManifest.h"
#include "fs/hfs/HFSVolume.h"
#include "fs/hfs/HFSVolumeItem.h"
#include "fs/hfs/HfsTestSupport.h"
#include "misc/Bytes.h"
#include "recovery/RecoveryTestSupport.h"
#include "recovery/RecoveryUtils.h"
#include "recovery/VolumeFactory.h"
#include "storage/PartitionDisk.h"
#include "storage/StorageTestUtil.h"

namespace vorn {
namespace {

using namespace test;

constexpr u64 kPiece = 512;  // a block of the test disks: the piece in which the save reads again
constexpr u64 kStep = 4096;  // cut points lie on 4 KiB
constexpr size_t kAppleDoubleHeader = 26 + 12;  // before the resource fork in a saved "._name"
constexpr size_t kSampledCuts = 16;  // per image, besides the ones a case names

// One stream of a file of the uncut volume (its data or resource fork): its bytes, and where on the image
// each 512-byte piece of it lies.
struct Stream {
    std::vector<u8> bytes;
    std::vector<u64> at;
};

struct RefFile {
    Stream data, rsrc;
};

// The uncut volume as the reference, by the paths its items are saved under ("Docs/a.txt", folders "Docs/").
struct Reference {
    u64 volumeOfs = 0;
    u64 listingEnd = 0;  // the end of the last byte read to list the whole tree
    std::set<std::string> paths;
    std::map<std::string, RefFile> files;
    std::map<std::string, std::string> pathOfId;  // HFS Plus: CNID -> path
    std::set<std::string> lostPaths;               // what a lost-files scan of the uncut image saves
};

// Every item below folder by the path it is saved under.
void walkSaved(VolumeItem* folder, const std::string& prefix, std::map<std::string, VolumeItem*>& out, int depth = 0) {
    ASSERT_LT(depth, 64);
    folder->loadChildren();
    for (VolumeItem* child : folder->children()) {
        const std::string path = prefix + saveTargetName(child->getName()) + (child->isContainer() ? "/" : "");
        out[path] = child;
        if (child->isContainer()) walkSaved(child, path, out, depth + 1);
    }
}

// Reads a stream piece by piece on the uncut disk (no cache between): the last request of each piece's read
// is the piece itself, after any lookup of where it lies.
Stream recordStream(FailingDisk& disk, u64 size, const std::function<u32(u64, void*, u32)>& read) {
    Stream s;
    s.bytes.resize(size);
    for (u64 ofs = 0; ofs < size; ofs += kPiece) {
        const u32 n = static_cast<u32>(std::min(kPiece, size - ofs));
        disk.clearRequests();
        EXPECT_EQ(read(ofs, s.bytes.data() + ofs, n), n) << ofs;
        s.at.push_back(disk.requests().empty() ? ~u64(0) : disk.requests().back().block * kPiece);
    }
    return s;
}

// Independent accounts of the files: The Sleuth Kit's for HFS Plus, the manifest for FAT and ISO 9660.
std::map<std::string, std::string> oracleShas(const std::string& image, int kind) {
    std::map<std::string, std::string> sha;
    if (kind == ADD_VOLUME_HFS) {
        for (auto& [path, digest] : readOracle(image).sha)
            if (path[1] != '$' && path[1] != '^') sha[path.substr(1)] = digest;  // no metadata, private data
    } else {
        for (const FatRecord& r : loadFatManifest(mediaPath(image + ".manifest")).records)
            if (r.live && !r.folder) sha[r.path.substr(1)] = r.sha256;
    }
    return sha;
}

Reference makeReference(const std::string& image, const std::vector<u8>& bytes, int kind) {
    Reference ref;
    MemoryTestDisk disk(bytes);
    EXPECT_TRUE(disk.open(false));
    std::unique_ptr<Volume> volume = createVolumeForAddType(kind, &disk);
    EXPECT_TRUE(volume->mount(true)) << image;
    if (!volume->getRootItem()) return ref;
    ref.volumeOfs = volume->getDiskOffset();
    std::map<std::string, VolumeItem*> tree;
    disk.clearRequests();
    walkSaved(volume->getRootItem(), "", tree);
    for (const FailingDisk::Request& r : disk.requests())
        ref.listingEnd = std::max(ref.listingEnd, (r.block + r.count) * kPiece);
    const std::map<std::string, std::string> sha = oracleShas(image, kind);
    size_t matched = 0;
    for (auto& [path, item] : tree) {
        ref.paths.insert(path);
        if (item->isContainer()) continue;
        RefFile& file = ref.files[path];
        file.data = recordStream(disk, item->getSize(), [&](u64 o, void* b, u32 n) { return item->read(o, b, n); });
        if (auto* hfs = dynamic_cast<HFSVolumeItem*>(item)) {
            ref.pathOfId[hfs->getId()] = path;
            file.rsrc = recordStream(disk, hfs->getResourceForkSize(),
                                     [&](u64 o, void* b, u32 n) { return hfs->readResourceFork(o, b, n); });
        }
        if (!sha.count(path)) continue;
        EXPECT_EQ(sha256Hex(file.data.bytes), sha.at(path)) << path;
        ++matched;
    }
    EXPECT_EQ(matched, sha.size()) << "files of the oracle not listed";
    delete volume->getRootItem();
    return ref;
}

// What the save writes of a stream from an image cut at `cut`: as many bytes as the medium under the volume
// holds, each piece that lies past the cut as zeros. *damaged tells whether any piece did.
std::vector<u8> expectedSaved(const Stream& s, u64 medium, u64 cut, bool* damaged) {
    std::vector<u8> out(std::min<u64>(s.bytes.size(), medium));
    for (size_t i = 0; i * kPiece < out.size(); ++i) {
        const size_t from = i * kPiece, to = std::min<size_t>(from + kPiece, out.size());
        if (s.at[i] < cut) {
            std::copy(s.bytes.begin() + from, s.bytes.begin() + to, out.begin() + from);
        } else {
            *damaged = true;
        }
    }
    return out;
}

// Checks the saved copy of every file of the tree (saved paths -> the reference's files) in dir, and that the
// error line of a read failure names exactly the files that run past the cut (a resource fork's line may be
// counted with its file's: "1 more like: ...").
void expectSaved(const Reference& ref, const std::map<std::string, std::string>& refPathOf, const std::string& dir,
                 u64 cut, const LogCapture& log) {
    const u64 medium = cut - ref.volumeOfs;
    std::set<std::string> checked, damaged, reported;
    for (auto& [saved, refPath] : refPathOf) {
        checked.insert(dir + "/" + saved);
        const RefFile& file = ref.files.at(refPath);
        bool hurt = false;
        EXPECT_EQ(readFileBytes(dir + "/" + saved), expectedSaved(file.data, medium, cut, &hurt)) << saved;
        if (hurt) damaged.insert(dir + "/" + saved);
        if (file.rsrc.bytes.empty()) continue;
        const size_t slash = saved.rfind('/') + 1;
        const std::string fork = dir + "/" + saved.substr(0, slash) + "._" + saved.substr(slash);
        const std::vector<u8> written = readFileBytes(fork);
        bool forkHurt = false;
        const std::vector<u8> expected = expectedSaved(file.rsrc, medium, cut, &forkHurt);
        ASSERT_GE(written.size(), kAppleDoubleHeader) << fork;
        EXPECT_EQ(std::vector<u8>(written.begin() + kAppleDoubleHeader, written.end()), expected) << fork;
        if (forkHurt) damaged.insert(dir + "/" + saved);
    }
    const std::string prefix = "error reading " + dir + "/";
    for (std::string line : log.lines) {
        if (size_t like = line.find(" more like: "); like != std::string::npos) line.erase(0, like + 12);
        if (line.rfind(prefix, 0) != 0) continue;
        std::string path = line.substr(14, line.find(" at offset ") - 14);
        if (size_t fork = path.rfind("/._"); fork != std::string::npos) path.erase(fork + 1, 2);
        if (checked.count(path)) reported.insert(path);
    }
    EXPECT_EQ(reported, damaged);
}

// Walks the tree that recovery shows, which must hold `paths`; saves it all and checks what was saved against
// the reference file that refPath names for each file (none: "").
void expectListedAndSaved(Recovery& recovery, const Reference& ref, const std::set<std::string>& paths, u64 cut,
                          const LogCapture& log,
                          const std::function<std::string(const std::string&, VolumeItem*)>& refPath) {
    ASSERT_NE(recovery.getRootItem(), nullptr);
    std::map<std::string, VolumeItem*> tree;
    walkSaved(recovery.getRootItem(), "", tree);
    std::set<std::string> listed;
    std::map<std::string, std::string> refPathOf;
    for (auto& [path, item] : tree) {
        listed.insert(path);
        if (item->isContainer()) continue;
        if (std::string of = refPath(path, item); !of.empty()) refPathOf[path] = of;
    }
    ASSERT_EQ(listed, paths);
    ScratchDir dir(ref.files.size());
    recovery.save(recovery.getRootItem()->children(), dir.path);
    expectSaved(ref, refPathOf, dir.path, cut, log);
}

// Where on the image the one volume that a lost-volumes scan finds there ends; the paths of its partition's
// browsed tree in *paths.
u64 lostVolumeEnd(const std::vector<u8>& image, std::set<std::string>* paths) {
    MemoryTestDisk disk(image);
    Recovery scan;
    EXPECT_TRUE(scan.selectDisk(&disk));
    scan.setScanType(SCAN_LOST_VOLUMES);
    scan.scan();
    auto* part = disk.getPartitionCount() == 1 ? dynamic_cast<PartitionDisk*>(disk.getPartition(0)) : nullptr;
    EXPECT_NE(part, nullptr);
    if (!part) return 0;
    if (paths) {
        Recovery browse;
        EXPECT_TRUE(browse.selectDisk(part));
        browse.openExistingVolume();
        EXPECT_NE(browse.getRootItem(), nullptr);
        std::map<std::string, VolumeItem*> tree;
        if (browse.getRootItem()) walkSaved(browse.getRootItem(), "", tree);
        for (auto& entry : tree) paths->insert(entry.first);
    }
    return (part->getFirstBlock() + part->getBlockCount()) * part->getBlockSize();
}

// Where the allocation file of an HFS Plus volume lies on the image: from its first extent to the end of its
// last one (of the eight in the header).
std::pair<u64, u64> allocationFileExtent(const std::vector<u8>& image, u64 volumeOfs) {
    ByteReader h(image.data() + volumeOfs + 1024, 512);
    const u64 bs = h.be32(40);
    u64 first = ~u64(0), end = 0;
    for (u32 i = 0; i < 8; ++i) {
        const u64 start = h.be32(128 + 8 * i), count = h.be32(132 + 8 * i);
        if (count) first = std::min(first, start * bs), end = std::max(end, (start + count) * bs);
    }
    return {volumeOfs + first, end - first};
}

struct Case {
    const char* image;
    int kind;
    std::vector<u64> cuts;  // besides the sampled ones
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.image; }

class ShortMediumTest : public ::testing::TestWithParam<Case> {};

TEST_P(ShortMediumTest, ListsEverythingAndSavesWhatLiesBeforeTheCut) {
    const Case& c = GetParam();
    const std::vector<u8> image = readFileBytes(mediaPath(c.image));
    ASSERT_FALSE(image.empty()) << c.image;
    Reference ref = makeReference(c.image, image, c.kind);
    ASSERT_FALSE(ref.files.empty());

    // Cut points: every 4 KiB from the end of the listing's structures to the image's end, sampled evenly.
    const u64 first = (ref.listingEnd + kStep - 1) / kStep * kStep, last = image.size() / kStep * kStep;
    ASSERT_LT(first, last);
    std::set<u64> cuts(c.cuts.begin(), c.cuts.end());
    const u64 points = (last - first) / kStep;
    for (u64 i = 0; i <= kSampledCuts; ++i) cuts.insert(first + points * i / kSampledCuts * kStep);
    if (c.kind == ADD_VOLUME_HFS) {  // just before the allocation file, and just after it
        const auto [at, length] = allocationFileExtent(image, ref.volumeOfs);
        for (u64 cut : {at / kStep * kStep, (at + length + kStep - 1) / kStep * kStep})
            if (cut >= first && cut <= last) cuts.insert(cut);
    }

    if (c.kind == ADD_VOLUME_HFS) {  // what a lost-files scan of the uncut image saves
        MemoryTestDisk disk(image);
        Recovery recovery;
        ASSERT_TRUE(recovery.selectDisk(&disk));
        recovery.setScanType(SCAN_LOST_FILES);
        recovery.scan();
        std::map<std::string, VolumeItem*> lost;
        walkSaved(recovery.getRootItem(), "", lost);
        for (auto& entry : lost) ref.lostPaths.insert(entry.first);
        ASSERT_GT(ref.lostPaths.size(), 1u);
    }

    const u64 volumeEnd = c.kind == ADD_VOLUME_FAT ? 0 : lostVolumeEnd(image, nullptr);
    const auto [allocationAt, allocationLength] =
        c.kind == ADD_VOLUME_HFS ? allocationFileExtent(image, ref.volumeOfs) : std::pair<u64, u64>();
    for (u64 cut : cuts) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        ASSERT_GE(cut, first);
        MemoryTestDisk disk(std::vector<u8>(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(cut)));
        // One line when the allocation file is cut off: the opened volume's (the header check of the
        // lost-files scan does not read the allocation file).
        const int allocationLines = allocationAt + allocationLength <= cut ? 0 : 1;
        {  // Browse
            LogCapture log(LOG_WARNING);
            Recovery recovery;
            ASSERT_TRUE(recovery.selectDisk(&disk));
            recovery.openExistingVolume();
            expectListedAndSaved(recovery, ref, ref.paths, cut, log, [](const std::string& path, VolumeItem*) {
                return path;
            });
            if (auto* volume = dynamic_cast<HFSVolume*>(recovery.getVolume())) {
                EXPECT_EQ(log.countPrefix("error reading allocation file"), allocationLines);
                // Blocks the bitmap cannot tell about count as in use.
                if (allocationLines) { EXPECT_TRUE(volume->isAllocationBlockUsed(volume->blocksOnMedium() - 1)); }
            }
        }
        if (c.kind == ADD_VOLUME_FAT) continue;  // FAT volumes are not looked for
        // Lost volumes: the one found ends with the volume or the disk, and browses as the disk does.
        std::set<std::string> found;
        EXPECT_EQ(lostVolumeEnd(disk.bytes(), &found), std::min(cut, volumeEnd));
        EXPECT_EQ(found, ref.paths);
        if (c.kind != ADD_VOLUME_HFS) continue;
        {  // Lost files: the same items under the volume found, read through it
            LogCapture log(LOG_WARNING);
            Recovery recovery;
            ASSERT_TRUE(recovery.selectDisk(&disk));
            recovery.setScanType(SCAN_LOST_FILES);
            recovery.scan();
            EXPECT_FALSE(log.hasPrefix("cannot assign"));
            EXPECT_EQ(log.countPrefix("error reading allocation file"), allocationLines);
            // The files of the private-data folder, which Browse does not show, are only listed.
            expectListedAndSaved(recovery, ref, ref.lostPaths, cut, log, [&](const std::string&, VolumeItem* item) {
                return ref.pathOfId.count(item->getId()) ? ref.pathOfId.at(item->getId()) : "";
            });
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Media, ShortMediumTest,
    ::testing::Values(Case{"hfs_bare.img", ADD_VOLUME_HFS, {538 * 1024, 1024 * 1024}},
                      Case{"hfs_gen.img", ADD_VOLUME_HFS, {}}, Case{"hfs_wrapped.img", ADD_VOLUME_HFS, {}},
                      Case{"hfsplus_macos.img", ADD_VOLUME_HFS, {}}, Case{"fat12_floppy.img", ADD_VOLUME_FAT, {}},
                      Case{"iso_joliet.iso", ADD_VOLUME_ISO, {}}),
    [](const ::testing::TestParamInfo<Case>& info) {
        std::string name = info.param.image;
        for (char& ch : name) ch = isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        return name;
    });

}  // namespace
}  // namespace vorn
