// A tree walk naming items by path as The Sleuth Kit shows them ('/' as ':', control characters as '^');
// the generated volume and its patches; the generator's account of a volume's files; a hang guard.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TestMedia.h"
#include "fs/VolumeItem.h"
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

// The files of a volume that hfs_gen.py made, as they must read back: path -> (size, SHA-256), from
// NAME.expect.
struct ExpectedFile {
    u64 size = 0;
    std::string sha;
};
inline std::map<std::string, ExpectedFile> readExpected(const std::string& image) {
    std::map<std::string, ExpectedFile> files;
    std::ifstream in(mediaPath(image + ".expect"));
    for (std::string line; std::getline(in, line);) {
        const size_t a = line.find('\t'), b = line.find('\t', a + 1);
        if (b == std::string::npos) continue;
        files[line.substr(0, a)] = {std::stoull(line.substr(a + 1, b - a - 1)), line.substr(b + 1)};
    }
    return files;
}

// Ends the test program with a message when the work it guards outlives its limit, so that a hang
// fails at once and says where. Not a measure of speed: the limit is many times the expected time.
class HangGuard {
public:
    HangGuard(int seconds, std::string what)
        : m_thread([this, seconds, what = std::move(what)] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_ended.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_done; })) {
                  std::fprintf(stderr, "hang guard: %s did not end within %d seconds\n", what.c_str(), seconds);
                  std::abort();
              }
          }) {}
    ~HangGuard() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_ended.notify_all();
        m_thread.join();
    }
    HangGuard(const HangGuard&) = delete;
    HangGuard& operator=(const HangGuard&) = delete;

private:
    std::mutex m_mutex;
    std::condition_variable m_ended;
    bool m_done = false;
    std::thread m_thread;  // last: starts once the members it uses exist
};

}  // namespace vorn::test
