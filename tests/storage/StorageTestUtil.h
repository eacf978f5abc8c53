// Helpers of the storage tests: file contents, deterministic byte patterns,
// and the descriptors this process holds open on a file.
#pragma once

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "misc/Types.h"

namespace vorn::test {

// The file's bytes, at most `limit` of them from its start.
inline std::vector<u8> readFileBytes(const std::string& path, size_t limit = ~size_t(0)) {
    std::vector<u8> bytes;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        u8 chunk[65536];
        for (size_t n; (n = fread(chunk, 1, std::min(sizeof chunk, limit - bytes.size()), f)) > 0;)
            bytes.insert(bytes.end(), chunk, chunk + n);
        fclose(f);
    }
    return bytes;
}

// splitmix64: a fixed, seedable sequence for test data and request lists.
class TestRandom {
public:
    explicit TestRandom(u64 seed) : m_state(seed) {}
    u64 next() {
        u64 z = (m_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    u64 below(u64 bound) { return bound ? next() % bound : 0; }  // uniform in [0, bound); 0 for 0
private:
    u64 m_state;
};

inline std::vector<u8> patternBytes(size_t size, u64 seed) {
    TestRandom random(seed);
    std::vector<u8> bytes(size);
    for (auto& b : bytes) b = static_cast<u8>(random.next() >> 56);
    return bytes;
}

// Byte at `offset` where every 8-byte word holds its own offset, little-endian (the sparse image).
inline u8 offsetWordByte(u64 offset) { return static_cast<u8>((offset & ~u64(7)) >> (8 * (offset & 7))); }

// Descriptors of this process open on the given file.
inline std::vector<int> fdsOpenOn(const std::string& path) {
    std::vector<int> fds;
    const auto target = std::filesystem::canonical(path);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error) == target && !error)
            fds.push_back(std::stoi(entry.path().filename().string()));
    }
    return fds;
}

}  // namespace vorn::test
