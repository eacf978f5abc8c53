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

}  // namespace vorn::test
