// Reads the manifests of the test media (tests/fixtures/README.md): every
// line split at tabs, and for the FAT volumes the volume's parameters and one
// record per file and folder with its
// state, size, SHA-256 and time as written (checked with sha256Hex of
// TestMedia.h).
#pragma once

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "TestMedia.h"
#include "misc/Types.h"

namespace vorn::test {

struct FatRecord {
    bool folder = false;
    bool live = true;
    u64 size = 0;
    std::string sha256;
    std::string mtime;  // "YYYY-MM-DD HH:MM:SS"
    std::string shortName;
    std::string flags;
    std::string path;   // "/Docs/x.txt"
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

    u64 num(const std::string& key) const {
        auto it = params.find(key);
        return it == params.end() ? 0 : std::stoull(it->second);
    }
    std::string str(const std::string& key) const {
        auto it = params.find(key);
        return it == params.end() ? "" : it->second;
    }
};

inline std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> out;
    std::stringstream ss(line);
    std::string part;
    while (std::getline(ss, part, '\t')) out.push_back(part);
    return out;
}

inline FatManifest loadFatManifest(const std::string& path) {
    FatManifest m;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f = splitTabs(line);
        m.lines.push_back(f);
        if (f.size() >= 3 && f[0] == "param") {
            m.params[f[1]] = f[2];
        } else if (f.size() == 9 && f[0] == "entry") {
            FatRecord r;
            r.folder = f[1] == "dir";
            r.live = f[2] == "live";
            r.size = std::stoull(f[3]);
            r.sha256 = f[4];
            r.mtime = f[5];
            r.shortName = f[6];
            r.flags = f[7];
            r.path = f[8];
            m.records.push_back(r);
        }
    }
    m.ok = !m.params.empty();
    return m;
}

// "YYYY-MM-DD HH:MM:SS" read as UTC.
inline u32 utcSeconds(const std::string& text) {
    struct tm t {};
    if (sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
               &t.tm_sec) != 6)
        return 0;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return static_cast<u32>(timegm(&t));
}

}  // namespace vorn::test
