// A tree walk naming items by path as The Sleuth Kit shows them ('/' as ':', control characters as '^');
// the generated volume and its patches; the generator's account of a volume's files.
#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestMedia.h"
#include "fs/VolumeItem.h"
#include "fs/fat/FatManifest.h"
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

}  // namespace vorn::test
