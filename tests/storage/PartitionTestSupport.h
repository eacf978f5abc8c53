// Helpers of the partition and disk-manager tests: blank in-memory disks,
// copies of tool-made images to patch, the partitions listed by the Sleuth
// Kit's `mmls` output saved beside each image, and the manifests of the
// shared partition media.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "TestMedia.h"
#include "fs/MemoryTestDisk.h"
#include "misc/Types.h"

namespace vorn::test {

// An in-memory disk of `blocks` zero blocks.
inline MemoryTestDisk blankDisk(u64 blocks, u32 blockSize, const std::string& name,
                                int type = DISK_TYPE_IMAGEFILE) {
    return MemoryTestDisk(std::vector<u8>(blocks * blockSize), blockSize, type, name);
}

// A private copy of a medium that a test may patch; removed with the object.
class ImageCopy {
public:
    explicit ImageCopy(const std::string& medium) {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        // The process id keeps test runs of other builds and checkouts, which
        // may run at the same time, off this copy.
        m_path = (std::filesystem::temp_directory_path() /
                  (std::string("vorn_") + std::to_string(getpid()) + "_" + info->test_suite_name() + "_" +
                   info->name() + "_" + medium))
                     .string();
        std::filesystem::copy_file(mediaPath(medium), m_path, std::filesystem::copy_options::overwrite_existing);
    }
    ~ImageCopy() { std::filesystem::remove(m_path); }
    const std::string& path() const { return m_path; }

    void put(u64 offset, const std::vector<u8>& bytes) {
        std::fstream f(m_path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(std::streamoff(offset));
        f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    void putLE32(u64 offset, u32 v) { put(offset, {u8(v), u8(v >> 8), u8(v >> 16), u8(v >> 24)}); }
    void putBE32(u64 offset, u32 v) { put(offset, {u8(v >> 24), u8(v >> 16), u8(v >> 8), u8(v)}); }
    void putLE16(u64 offset, u16 v) { put(offset, {u8(v), u8(v >> 8)}); }
    void resize(u64 size) { std::filesystem::resize_file(m_path, size); }

private:
    std::string m_path;
};

// One partition row of an `mmls` listing, in the listing's units.
struct MmlsRow {
    u64 start;
    u64 end;
    std::string description;
};

struct MmlsListing {
    u32 unit = 512;  // bytes per sector of the listing ("Units are in N-byte sectors")
    std::vector<MmlsRow> rows;
};

// The rows of an `mmls` listing file beside the media that are partitions:
// neither table metadata nor unallocated space, in the listing's order.
inline MmlsListing mmlsListing(const std::string& listing) {
    std::ifstream in(mediaPath(listing));
    MmlsListing result;
    std::string line;
    while (std::getline(in, line)) {
        unsigned unit = 0;
        if (sscanf(line.c_str(), "Units are in %u-byte sectors", &unit) == 1) result.unit = unit;
        std::istringstream s(line);
        std::string index, slot;
        unsigned long long start, end, length;
        if (!(s >> index >> slot >> start >> end >> length)) continue;
        if (index.empty() || index.back() != ':' || slot == "Meta" || slot[0] == '-') continue;
        std::string description;
        std::getline(s >> std::ws, description);
        result.rows.push_back({start, end, description});
    }
    return result;
}

// The partition rows of `mmls` saved as MEDIUM.mmls (512-byte sectors).
inline std::vector<MmlsRow> mmlsPartitions(const std::string& medium) { return mmlsListing(medium + ".mmls").rows; }

// A partition medium's manifest (tests/fixtures/README.md): its params and
// its part records in table order.
struct ManifestPart {
    int index = 0;
    u64 start = 0;  // in the manifest's block_size units; MBR logical starts absolute
    u64 count = 0;
    std::string type;  // MBR type byte in hex, GPT type GUID or APM type text
    std::string kind;  // primary, extended, logical, gpt or apm
    std::string name;  // GPT or APM name, "-" for none
};

struct PartitionManifest {
    std::map<std::string, std::string> params;
    std::vector<ManifestPart> parts;
    u32 blockSize() const { return u32(std::stoul(params.at("block_size"))); }
    bool hasMarkers() const { return params.count("markers") != 0; }
};

inline PartitionManifest readPartitionManifest(const std::string& medium) {
    PartitionManifest manifest;
    std::ifstream in(mediaPath(medium + ".manifest"));
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::istringstream s(line);
        for (std::string field; std::getline(s, field, '\t');) fields.push_back(field);
        if (fields.size() == 3 && fields[0] == "param") manifest.params[fields[1]] = fields[2];
        if (fields.size() == 10 && fields[0] == "part") {
            manifest.parts.push_back({std::stoi(fields[1]), std::stoull(fields[2]), std::stoull(fields[3]), fields[6],
                                      fields[7], fields[9]});
        }
    }
    return manifest;
}

}  // namespace vorn::test
