// A disk over bytes in memory for the FAT reader's tests and fuzz target:
// reads copy from the vector, writes are refused, device reads are counted.
#pragma once

#include <cstring>
#include <utility>
#include <vector>

#include "storage/Disk.h"

namespace vorn::test {

class FatMemoryDisk : public Disk {
public:
    explicit FatMemoryDisk(std::vector<u8> bytes, u32 blockSize = 512) : m_bytes(std::move(bytes)) {
        m_blockSize = blockSize;
        m_rawBlockSize = blockSize;
        m_blockCount = m_bytes.size() / blockSize;
        m_type = DISK_TYPE_IMAGEFILE;
        m_name = "fat-memory";
    }

    bool openImpl(bool write) override { return !write; }
    void closeImpl() override {}
    bool readBlocksImpl(u64 rawBlock, u32 count, void* buffer) override {
        ++deviceReads;
        u64 begin = rawBlock * m_rawBlockSize, length = u64(count) * m_rawBlockSize;
        if (begin > m_bytes.size() || length > m_bytes.size() - begin) return false;
        if (length) memcpy(buffer, m_bytes.data() + begin, length);
        return true;
    }
    bool writeBlocksImpl(u64, u32, const void*) override { return false; }

    u64 deviceReads = 0;

private:
    std::vector<u8> m_bytes;
};

}  // namespace vorn::test
