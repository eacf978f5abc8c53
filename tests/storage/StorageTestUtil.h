// Small helpers shared by the storage tests: file contents, deterministic
// byte patterns, the offset-word pattern of the sparse test image, and the
// descriptors this process holds open on a file.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "misc/Types.h"

namespace vorn::test {

inline std::vector<u8> readFileBytes(const std::string& path) {
    std::vector<u8> bytes;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        u8 chunk[65536];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
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
    // Uniform in [0, bound); 0 when bound is 0.
    u64 below(u64 bound) { return bound ? next() % bound : 0; }

private:
    u64 m_state;
};

inline std::vector<u8> patternBytes(size_t size, u64 seed) {
    TestRandom random(seed);
    std::vector<u8> bytes(size);
    for (auto& b : bytes) b = static_cast<u8>(random.next() >> 56);
    return bytes;
}

// Byte at `offset` of a region where every 8-byte word holds its own byte
// offset, little-endian (the sparse image's marked regions).
inline u8 offsetWordByte(u64 offset) { return static_cast<u8>((offset & ~u64(7)) >> (8 * (offset & 7))); }

// Descriptors of this process open on the given file.
inline std::vector<int> fdsOpenOn(const std::string& path) {
    std::vector<int> fds;
    const std::string target = std::filesystem::canonical(path).string();
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const auto link = std::filesystem::read_symlink(entry.path(), error);
        if (!error && link.string() == target) fds.push_back(std::stoi(entry.path().filename().string()));
    }
    return fds;
}

}  // namespace vorn::test
