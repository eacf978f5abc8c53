// A failing test disk over a byte vector, all blocks good unless failed, counting opens and closes.
#pragma once

#include <utility>

#include "storage/FailingDisk.h"

namespace vorn::test {

class MemoryTestDisk : public FailingDisk {
public:
    explicit MemoryTestDisk(std::vector<u8> bytes, u32 blockSize = 512, int diskType = DISK_TYPE_IMAGEFILE,
                            const std::string& diskName = "memory")
        : FailingDisk(std::move(bytes), blockSize) { type = diskType; name = diskName; path = "/memory/" + diskName; }
    bool openImpl(bool write) override { ++opens; return !failOpen && !write && FailingDisk::openImpl(write); }
    void closeImpl() override { ++closes; FailingDisk::closeImpl(); }

    bool failOpen = false;
    int opens = 0, closes = 0;
};

}  // namespace vorn::test
