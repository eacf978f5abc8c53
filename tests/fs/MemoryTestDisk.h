// Test disk over a byte vector: reads copy from memory, writes are refused.
// Counts opens, closes and device reads so tests can see what reached it.
#pragma once

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "storage/Disk.h"

namespace vorn::test {

class MemoryTestDisk : public Disk {
public:
    explicit MemoryTestDisk(std::vector<u8> bytes, u32 blockSize = 512, int type = DISK_TYPE_IMAGEFILE,
                            const std::string& name = "memory")
        : m_bytes(std::move(bytes)) {
        m_blockSize = blockSize;
        m_rawBlockSize = blockSize;
        m_blockCount = blockSize ? m_bytes.size() / blockSize : 0;
        m_type = type;
        m_name = name;
        m_path = "/memory/" + name;
    }
    ~MemoryTestDisk() override = default;

    bool openImpl(bool write) override {
        ++opens;
        return !failOpen && !write;
    }
    void closeImpl() override { ++closes; }
    bool readBlocksImpl(u64 rawBlock, u32 count, void* buffer) override {
        ++deviceReads;
        if (m_openCount == 0) return false;  // like a device node that was never opened
        u64 begin = rawBlock * m_rawBlockSize;
        u64 length = u64(count) * m_rawBlockSize;
        if (begin > m_bytes.size() || length > m_bytes.size() - begin) return false;
        if (length) memcpy(buffer, m_bytes.data() + begin, length);
        return true;
    }
    bool writeBlocksImpl(u64, u32, const void*) override { return false; }

    std::vector<u8>& bytes() { return m_bytes; }

    bool failOpen = false;
    int opens = 0;
    int closes = 0;
    int deviceReads = 0;

private:
    std::vector<u8> m_bytes;
};

}  // namespace vorn::test
