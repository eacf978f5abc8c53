// Test rig of the carver's tests: a disk of given bytes (512-byte blocks)
// behind a small block cache, opened, with a disk stream and a comfort
// stream over it.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "raw/ComfortDataStream.h"
#include "raw/DiskDataStream.h"
#include "storage/CachedDisk.h"
#include "storage/FailingDisk.h"

namespace vorn::test {

struct StreamRig {
    explicit StreamRig(std::vector<u8> content, bool cached = true) : bytes(content), disk(std::move(content)) {
        disk.open(false);
        cache = std::make_unique<CachedDisk>(&disk, 16 * 2048, 2048);
        diskStream = std::make_unique<DiskDataStream>(cached ? static_cast<Disk*>(cache.get()) : &disk);
        stream = std::make_unique<ComfortDataStream>(diskStream.get());
    }
    ~StreamRig() { disk.close(); }

    // The stream placed at ofs, as the driver places it before each analyser.
    ComfortDataStream* at(u64 ofs) {
        stream->seek(static_cast<i64>(ofs), SEEK_FROM_START);
        return stream.get();
    }

    std::vector<u8> bytes;
    FailingDisk disk;
    std::unique_ptr<CachedDisk> cache;
    std::unique_ptr<DiskDataStream> diskStream;
    std::unique_ptr<ComfortDataStream> stream;
};

// Writes text (without its terminating zero) into bytes at ofs.
inline void put(std::vector<u8>& bytes, size_t ofs, const std::string& text) {
    std::copy(text.begin(), text.end(), bytes.begin() + static_cast<std::ptrdiff_t>(ofs));
}

}  // namespace vorn::test
