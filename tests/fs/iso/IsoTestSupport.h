// ISO test helpers: listings with SHA-256 of a tree and of a manifest, and hand-made directory sectors.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "TestMedia.h"
#include "fs/ItemTestSupport.h"
#include "fs/fat/FatManifest.h"

namespace vorn::test {

// "path" -> "size sha256" of every file below folder, "" for each folder.
inline std::map<std::string, std::string> isoListing(VolumeItem* folder) {
    std::map<std::string, VolumeItem*> items;
    collectTree(folder, "", items);
    std::map<std::string, std::string> out;
    for (auto& [path, item] : items) {
        std::vector<u8> bytes;
        if (!item->isContainer())
            out[path] = std::to_string(item->getSize()) + " " + (readItem(item, bytes, 2048) ? sha256Hex(bytes) : "-");
        else
            out[path] = "";
    }
    return out;
}

inline std::map<std::string, std::string> manifestListing(const FatManifest& manifest) {
    std::map<std::string, std::string> out;
    for (const FatRecord& r : manifest.records)
        out[r.path.substr(1) + (r.folder ? "/" : "")] = r.folder ? "" : std::to_string(r.size) + " " + r.sha256;
    return out;
}

// A directory record: both-endian extent and size, the flags and the name;
// pad adds bytes to the record length.
inline std::vector<u8> isoRecord(u32 extent, u32 size, bool folder, const std::string& name, u8 pad = 0) {
    std::vector<u8> r(33 + name.size() + (name.size() % 2 == 0) + pad, 0);
    for (int i = 0; i < 4; ++i) {
        r[2 + i] = r[9 - i] = u8(extent >> (8 * i));
        r[10 + i] = r[17 - i] = u8(size >> (8 * i));
    }
    r[0] = u8(r.size()), r[18] = 123, r[19] = 11, r[20] = 14, r[25] = folder ? 2 : 0, r[32] = u8(name.size());
    std::copy(name.begin(), name.end(), r.begin() + 33);
    return r;
}

// A 2,048-byte sector: the "." and ".." records of a directory at extent
// (parent at parent), when self is set, then the records, zero-padded.
inline std::vector<u8> isoSector(std::vector<std::vector<u8>> records, u32 self = 0, u32 parent = 0) {
    std::vector<u8> s;
    if (self) records.insert(records.begin(), {isoRecord(self, 2048, true, std::string(1, '\0')),
                                               isoRecord(parent, 2048, true, "\x01")});
    for (auto& r : records) s.insert(s.end(), r.begin(), r.end());
    s.resize(2048, 0);
    return s;
}

}  // namespace vorn::test
