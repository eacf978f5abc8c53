// Test helper: a read-only Disk over a byte vector held in memory.
//
// The bytes are owned by the disk; the block count is the vector's size
// divided by the block size (a partial last block is not readable). Reads
// outside the disk fail and count a read error, as a device read would.
// Opens are counted through Disk::open like any other kind.
#pragma once

#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "misc/Types.h"
#include "storage/Disk.h"

namespace vorn::test {

class MemoryDisk : public Disk {
public:
    explicit MemoryDisk(std::vector<u8> bytes, u32 blockSize = 512, const std::string& name = "memory")
        : m_bytes(std::move(bytes)) {
        setBlockSize(blockSize);
        m_blockCount = blockSize ? m_bytes.size() / blockSize : 0;
        m_name = name;
        m_path = name;
    }

    // The whole file, or nothing when it cannot be read.
    static std::vector<u8> loadFile(const std::string& path) {
        std::vector<u8> bytes;
        std::ifstream in(path, std::ios::binary | std::ios::ate);
        if (!in) return bytes;
        bytes.resize(static_cast<size_t>(in.tellg()));
        in.seekg(0);
        in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        bytes.resize(static_cast<size_t>(in.gcount()));
        return bytes;
    }

    const std::vector<u8>& bytes() const { return m_bytes; }
    u32 getOpenImplCalls() const { return m_openImplCalls; }
    // When set, reads fail while the disk is not open, as a device's would.
    void setRequireOpen(bool require) { m_requireOpen = require; }

    bool openImpl(bool write) override {
        if (write) return false;
        m_openImplCalls++;
        return true;
    }
    void closeImpl() override {}
    bool readBlocksImpl(u64 block, u32 count, void* buffer) override {
        const u64 size = m_rawBlockSize;
        if ((m_requireOpen && m_openCount == 0) || block > m_blockCount || count > m_blockCount - block) {
            m_readErrors++;
            return false;
        }
        std::memcpy(buffer, m_bytes.data() + block * size, static_cast<u64>(count) * size);
        return true;
    }
    bool writeBlocksImpl(u64, u32, const void*) override { return false; }

private:
    std::vector<u8> m_bytes;
    u32 m_openImplCalls = 0;
    bool m_requireOpen = false;
};

}  // namespace vorn::test
