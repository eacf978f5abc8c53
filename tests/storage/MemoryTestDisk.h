// A disk over bytes in memory, for tests and fuzz targets that need a medium
// without a file: counts its device opens and closes and can refuse to open.
#pragma once

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "storage/Disk.h"

namespace vorn::test {

class MemoryTestDisk : public Disk {
public:
    explicit MemoryTestDisk(std::vector<u8> bytes, u32 blockSize = 512, const std::string& name = "memory")
        : m_bytes(std::move(bytes)) {
        setBlockSize(blockSize);
        setBlockCount(blockSize ? m_bytes.size() / blockSize : 0);
        setName(name);
    }
    // A disk of `blocks` zero blocks.
    MemoryTestDisk(u64 blocks, u32 blockSize, const std::string& name)
        : MemoryTestDisk(std::vector<u8>(blocks * blockSize), blockSize, name) {}
    ~MemoryTestDisk() override { deletePartitions(); }

    bool openImpl(bool) override {
        if (failOpen) return false;
        ++deviceOpens;
        isOpen = true;
        return true;
    }
    void closeImpl() override {
        ++deviceCloses;
        isOpen = false;
    }
    bool readBlocksImpl(u64 rawBlock, u32 count, void* buffer) override {
        const u64 size = m_rawBlockSize;
        if (!isOpen || size == 0 || rawBlock > m_bytes.size() / size || count > m_bytes.size() / size - rawBlock) {
            addReadErrors(1);
            return false;
        }
        memcpy(buffer, m_bytes.data() + rawBlock * size, size_t(count) * size);
        return true;
    }
    bool writeBlocksImpl(u64, u32, const void*) override { return false; }

    std::vector<u8>& bytes() { return m_bytes; }

    bool failOpen = false;
    bool isOpen = false;
    int deviceOpens = 0;
    int deviceCloses = 0;

private:
    std::vector<u8> m_bytes;
};

}  // namespace vorn::test
