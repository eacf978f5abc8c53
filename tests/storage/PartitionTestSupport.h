// Helpers of the partition and disk-manager tests: blank in-memory disks,
// copies of tool-made images to patch, and the partitions listed by the Sleuth Kit's `mmls`
// output saved beside each image.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
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
        m_path = (std::filesystem::temp_directory_path() /
                  (std::string("vorn_") + info->test_suite_name() + "_" + info->name() + "_" + medium))
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

// One partition row of an `mmls` listing (512-byte sectors).
struct MmlsRow {
    u64 start;
    u64 end;
    std::string description;
};

// The rows of `mmls` that are partitions: neither table metadata nor
// unallocated space.
inline std::vector<MmlsRow> mmlsPartitions(const std::string& medium) {
    std::ifstream in(mediaPath(medium + ".mmls"));
    std::vector<MmlsRow> rows;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream s(line);
        std::string index, slot;
        unsigned long long start, end, length;
        if (!(s >> index >> slot >> start >> end >> length)) continue;
        if (index.empty() || index.back() != ':' || slot == "Meta" || slot[0] == '-') continue;
        std::string description;
        std::getline(s >> std::ws, description);
        rows.push_back({start, end, description});
    }
    return rows;
}

}  // namespace vorn::test
