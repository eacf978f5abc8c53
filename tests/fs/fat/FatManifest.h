// The media manifests (tests/fixtures/README.md): lines split at tabs, FAT parameters and records.
#pragma once

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "TestMedia.h"
#include "misc/Types.h"

namespace vorn::test {

struct FatRecord {
    bool folder = false, live = true;
    u64 size = 0;
    std::string sha256, mtime, path;  // mtime "YYYY-MM-DD HH:MM:SS", path "/Docs/x.txt"
};

struct FatManifest {
    std::map<std::string, std::string> params;
    std::vector<FatRecord> records;
    std::vector<std::vector<std::string>> lines;  // every line, split at tabs
    bool ok = false;

    // The lines of one kind of record ("file", "live", ...), their fields after the kind.
    std::vector<std::vector<std::string>> of(const std::string& kind) const {
        std::vector<std::vector<std::string>> out;
        for (const auto& f : lines)
            if (!f.empty() && f[0] == kind) out.emplace_back(f.begin() + 1, f.end());
        return out;
    }
    u64 num(const std::string& key) const { return params.count(key) ? std::stoull(params.at(key)) : 0; }
    std::string str(const std::string& key) const { return params.count(key) ? params.at(key) : ""; }
};

inline FatManifest loadFatManifest(const std::string& path) {
    FatManifest m;
    std::ifstream in(path);
    for (std::string line, part; std::getline(in, line);) {
        std::vector<std::string> f;
        for (std::stringstream ss(line); std::getline(ss, part, '\t');) f.push_back(part);
        m.lines.push_back(f);
        if (f.size() >= 3 && f[0] == "param") m.params[f[1]] = f[2];
        if (f.size() == 9 && f[0] == "entry")
            m.records.push_back({f[1] == "dir", f[2] == "live", std::stoull(f[3]), f[4], f[5], f[8]});
    }
    m.ok = !m.params.empty();
    return m;
}

}  // namespace vorn::test
