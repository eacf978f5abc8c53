// Bounds-checked little- and big-endian loads from an on-disk buffer.
//
// Every parser reads on-disk fields through these helpers, so byte order and
// bounds are handled in one place. A read that does not lie wholly inside the
// buffer yields 0 and clears the reader's `ok` flag; it never touches memory
// outside [data, data + size).
#pragma once

#include <cstddef>
#include <cstring>

#include "misc/Types.h"

namespace vorn {

// True when [ofs, ofs + n) lies inside a buffer of `size` bytes, without
// wrapping.
inline bool inBounds(u64 size, u64 ofs, u64 n) { return ofs <= size && n <= size - ofs; }

class ByteReader {
public:
    ByteReader() = default;
    ByteReader(const void* data, size_t size) : bytes(static_cast<const u8*>(data)), length(data ? size : 0) {}

    size_t size() const { return length; }
    const u8* data() const { return bytes; }
    bool ok() const { return good; }
    bool has(size_t ofs, size_t n) const { return inBounds(length, ofs, n); }

    // Pointer to n bytes at ofs, or null when they do not lie inside.
    const u8* ptr(size_t ofs, size_t n) const {
        if (!has(ofs, n)) {
            good = false;
            return nullptr;
        }
        return bytes + ofs;
    }

    u8 u8At(size_t ofs) const {
        const u8* p = ptr(ofs, 1);
        return p ? p[0] : 0;
    }
    u16 le16(size_t ofs) const {
        const u8* p = ptr(ofs, 2);
        return p ? static_cast<u16>(p[0] | (p[1] << 8)) : 0;
    }
    u32 le32(size_t ofs) const {
        const u8* p = ptr(ofs, 4);
        return p ? (u32(p[0]) | (u32(p[1]) << 8) | (u32(p[2]) << 16) | (u32(p[3]) << 24)) : 0;
    }
    u64 le64(size_t ofs) const {
        const u8* p = ptr(ofs, 8);
        if (!p) return 0;
        u64 v = 0;
        for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
        return v;
    }
    u16 be16(size_t ofs) const {
        const u8* p = ptr(ofs, 2);
        return p ? static_cast<u16>((p[0] << 8) | p[1]) : 0;
    }
    u32 be32(size_t ofs) const {
        const u8* p = ptr(ofs, 4);
        return p ? ((u32(p[0]) << 24) | (u32(p[1]) << 16) | (u32(p[2]) << 8) | u32(p[3])) : 0;
    }
    u64 be64(size_t ofs) const {
        const u8* p = ptr(ofs, 8);
        if (!p) return 0;
        u64 v = 0;
        for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
        return v;
    }
    // Copies n bytes at ofs into out; false (out zero-filled) when outside.
    bool copy(size_t ofs, void* out, size_t n) const {
        const u8* p = ptr(ofs, n);
        if (!p) {
            memset(out, 0, n);
            return false;
        }
        memcpy(out, p, n);
        return true;
    }

private:
    const u8* bytes = nullptr;
    size_t length = 0;
    mutable bool good = true;
};

// Unchecked loads for buffers whose size the caller has already checked.
inline u16 loadLE16(const u8* p) { return static_cast<u16>(p[0] | (p[1] << 8)); }
inline u32 loadLE32(const u8* p) { return u32(p[0]) | (u32(p[1]) << 8) | (u32(p[2]) << 16) | (u32(p[3]) << 24); }
inline u64 loadLE64(const u8* p) { return u64(loadLE32(p)) | (u64(loadLE32(p + 4)) << 32); }
inline u16 loadBE16(const u8* p) { return static_cast<u16>((p[0] << 8) | p[1]); }
inline u32 loadBE32(const u8* p) { return (u32(p[0]) << 24) | (u32(p[1]) << 16) | (u32(p[2]) << 8) | u32(p[3]); }
inline u64 loadBE64(const u8* p) { return (u64(loadBE32(p)) << 32) | u64(loadBE32(p + 4)); }

}  // namespace vorn
