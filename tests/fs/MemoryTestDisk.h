// Test disk over a byte vector with a name, a type and a path of its own:
// the failing test disk (storage/FailingDisk.h) with its blocks all good
// unless a test fails some, opens for reading only, and counts the opens and
// closes that reach the medium so tests can see them.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "storage/FailingDisk.h"

namespace vorn::test {

class MemoryTestDisk : public FailingDisk {
public:
    explicit MemoryTestDisk(std::vector<u8> bytes, u32 blockSize = 512, int type = DISK_TYPE_IMAGEFILE,
                            const std::string& name = "memory")
        : FailingDisk(std::move(bytes), blockSize) {
        m_type = type;
        m_name = name;
        m_path = "/memory/" + name;
    }

    bool openImpl(bool write) override {
        ++opens;
        return !failOpen && !write && FailingDisk::openImpl(write);
    }
    void closeImpl() override {
        ++closes;
        FailingDisk::closeImpl();
    }

    bool failOpen = false;
    int opens = 0;
    int closes = 0;
};

}  // namespace vorn::test
