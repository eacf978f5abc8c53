// A tree walk naming items by path as The Sleuth Kit shows them ('/' as ':', control characters as '^');
// the generated volume and its patches; the generator's account of a volume's files; The Sleuth Kit's; a
// volume among noise and the lost volume a scan finds there.
#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestMedia.h"
#include "fs/VolumeItem.h"
#include "fs/ScanContext.h"
#include "fs/fat/FatManifest.h"
#include "recovery/Recovery.h"
#include "storage/PartitionDisk.h"
#include "storage/StorageTestUtil.h"

namespace vorn::test {

inline std::map<std::string, VolumeItem*> walkTree(VolumeItem* root) {
    std::map<std::string, VolumeItem*> tree;
    std::function<void(VolumeItem*, const std::string&, int)> walk = [&](VolumeItem* folder, const std::string& prefix,
                                                                         int depth) {
        if (depth > 64) return;
        folder->loadChildren();
        for (VolumeItem* c : folder->children()) {
            std::string name = c->getName();
            for (char& ch : name) ch = ch == '/' ? ':' : (u8(ch) < 32 ? '^' : ch);
            const std::string path = prefix + name + (c->isContainer() ? "/" : "");
            tree[path] = c;
            if (c->isContainer()) walk(c, path, depth + 1);
        }
    };
    walk(root, "/", 0);
    return tree;
}

// Path -> size as text ("" for folders) of every item below root, as the oracle lists them.
inline std::map<std::string, std::string> listingOf(VolumeItem* root) {
    std::map<std::string, std::string> listed;
    for (auto& [path, item] : walkTree(root)) listed[path] = item->isContainer() ? "" : std::to_string(item->getSize());
    return listed;
}

using Bytes = std::vector<u8>;
constexpr size_t kCatalog = 16384, kNode = 4096, kExtentsLeaf = 12288;  // of the generated volume

inline Bytes genImage() { return readFileBytes(mediaPath("hfs_gen.img")); }
inline void put16(Bytes& b, size_t at, u32 v) { b[at] = u8(v >> 8), b[at + 1] = u8(v); }
inline void put32(Bytes& b, size_t at, u32 v) { put16(b, at, v >> 16), put16(b, at + 2, v & 0xFFFF); }
inline size_t node(int n) { return kCatalog + kNode * n; }

// Start of the data of the catalog leaf record keyed (parent, ASCII name) in leaf 1 or 2.
inline size_t recordData(const Bytes& b, u32 parent, const std::string& name) {
    Bytes key = {0, u8(6 + 2 * name.size()), u8(parent >> 24), u8(parent >> 16), u8(parent >> 8), u8(parent), 0,
                 u8(name.size())};
    for (char c : name) key.push_back(0), key.push_back(u8(c));
    auto at = std::search(b.begin() + node(1), b.begin() + node(3), key.begin(), key.end());
    EXPECT_NE(at, b.begin() + node(3)) << name;
    return size_t(at - b.begin()) + key.size() + (key.size() & 1);
}

// The catalog fork of the generated volume claims 2^50 bytes in its extent and has a second extent of
// 2^32 - 5 blocks past the volume.
inline void claimHugeCatalog(Bytes& b) {
    const size_t fork = 1024 + 272;
    put32(b, fork, 1u << 18), put32(b, fork + 4, 0), put32(b, fork + 12, 0xFFFFFFFF);
    put32(b, fork + 24, 8), put32(b, fork + 28, 0xFFFFFFFF - 4);
}

// The files of a volume that hfs_gen.py made, as they must read back (NAME.expect): path -> size, SHA-256.
struct ExpectedFile {
    u64 size = 0;
    std::string sha;
};
inline std::map<std::string, ExpectedFile> readExpected(const std::string& image) {
    std::map<std::string, ExpectedFile> files;
    for (const auto& f : loadFatManifest(mediaPath(image + ".expect")).lines)
        if (f.size() == 3) files[f[0]] = {std::stoull(f[1]), f[2]};
    return files;
}

// Noise, the volume at byte volOfs, more noise.
inline Bytes diskWith(const Bytes& volume, u64 volOfs, u64 tail) {
    Bytes disk(volOfs + volume.size() + tail);
    for (size_t i = 0; i < disk.size(); ++i) disk[i] = u8((i * 2654435761u) >> 13);
    std::copy(volume.begin(), volume.end(), disk.begin() + static_cast<std::ptrdiff_t>(volOfs));
    return disk;
}

// The one partition that a lost-volumes scan of disk adds, flagged as a lost volume; null (and a failure)
// when there is not exactly one.
inline PartitionDisk* lostVolumeOf(Disk& disk) {
    {
        Recovery recovery;
        EXPECT_TRUE(recovery.selectDisk(&disk));
        recovery.setScanType(SCAN_LOST_VOLUMES);
        recovery.scan();
    }
    EXPECT_EQ(disk.getPartitionCount(), 1u);
    auto* part = disk.getPartitionCount() == 1 ? dynamic_cast<PartitionDisk*>(disk.getPartition(0)) : nullptr;
    EXPECT_TRUE(part && part->isLostVolume());
    return part && part->isLostVolume() ? part : nullptr;
}

// The Sleuth Kit's view of a tool-made volume (NAME.oracle, tests/fixtures/make_hfs.sh).
struct Oracle {
    u64 volofs = 0;
    std::map<std::string, std::string> listing;  // path (folders end in '/') -> size ("" for folders)
    std::map<std::string, std::string> sha, rsrcSha;
    std::map<std::string, u64> rsrcSize;
};

inline Oracle readOracle(const std::string& name) {
    Oracle o;
    for (const auto& f : loadFatManifest(mediaPath(name + ".oracle")).lines) {
        if (f[0] == "volofs") o.volofs = std::stoull(f[1]);
        if (f[0] == "dd") o.listing[f[2] + "/"] = "";
        if (f[0] == "rr" || f[0] == "ll") o.listing[f[2]] = f[3];
        if (f[0] == "sha") o.sha[f[2]] = f[1];
        if (f[0] == "rsrc") o.rsrcSize[f[1]] = std::stoull(f[2]), o.rsrcSha[f[1]] = f[3];
    }
    return o;
}

}  // namespace vorn::test
