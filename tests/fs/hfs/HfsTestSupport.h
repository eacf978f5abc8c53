// Shared pieces of the HFS tests: a tree walk that names items by path (a
// '/' inside a name shown as ':' and control characters as '^', as The Sleuth
// Kit shows them) and a SHA-256
// hasher fed through Python's hashlib.
#pragma once

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fs/VolumeItem.h"

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

// Hashes byte strings in order; results() gives one hex SHA-256 per add().
class Sha256Batch {
public:
    Sha256Batch() : m_out(::testing::TempDir() + "hfs_sha_" + std::to_string(reinterpret_cast<uintptr_t>(this))) {
        m_pipe = popen(("python3 -c 'import sys, hashlib\nwhile n := sys.stdin.buffer.readline(): print("
                        "hashlib.sha256(sys.stdin.buffer.read(int(n))).hexdigest())' > " + m_out).c_str(), "w");
    }
    void add(const std::vector<u8>& bytes) {
        fprintf(m_pipe, "%zu\n", bytes.size());
        if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), m_pipe);
    }
    std::vector<std::string> results() {
        pclose(m_pipe);
        std::vector<std::string> hashes;
        std::ifstream in(m_out);
        for (std::string line; std::getline(in, line);) hashes.push_back(line);
        return hashes;
    }

private:
    std::string m_out;
    FILE* m_pipe;
};

}  // namespace vorn::test
