// One request to a block cache checked against the medium behind it: it
// succeeds exactly when it lies inside the disk and touches no unreadable
// block, and then gives the medium's bytes. Shared by the cache test and the
// cache fuzz target.
#pragma once

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "misc/Data.h"
#include "storage/CachedDisk.h"

namespace vorn::test {

struct CacheRequestCheck {
    enum Kind { Read, ReadBlocks, View };

    CacheRequestCheck(CachedDisk& cache, std::function<u8(u64)> byteAt, std::function<bool(u64, u64)> readable)
        : cache(cache), byteAt(std::move(byteAt)), readable(std::move(readable)) {}

    CachedDisk& cache;
    std::function<u8(u64)> byteAt;                   // the medium's byte at a logical offset
    std::function<bool(u64, u64)> readable;          // blocks first..last can be read
    Data view;                                       // what the last View request gave
    bool viewHeld = false;                           // view is a live view into the cache
    u64 viewOfs = 0;

    bool same(const u8* got, u64 ofs, u64 len) const {
        for (u64 i = 0; i < len; ++i)
            if (got[i] != byteAt(ofs + i)) return false;
        return true;
    }

    // Runs the request; empty when it behaved, else what went wrong.
    std::string run(Kind kind, u64 ofs, u32 len) {
        const u64 bs = cache.getBlockSize(), blocks = cache.getBlockCount(), bytes = blocks * bs;
        const std::string what = std::to_string(kind) + " " + std::to_string(ofs) + "+" + std::to_string(len);
        // A request outside the disk gets a small buffer: the cache must refuse
        // it before writing. Never null: a null buffer is refused.
        std::vector<u8> buffer;
        if (kind == ReadBlocks) {
            const u64 block = ofs / bs;
            const u32 count = static_cast<u32>(len / bs);
            const bool inside = block <= blocks && count <= blocks - block;
            buffer.assign(inside ? std::max<u64>(u64(count) * bs, 16) : 16, 0xA5);
            const bool expect = inside && (count == 0 || readable(block, block + count - 1));
            if (cache.readBlocks(block, count, buffer.data()) != expect) return "readBlocks " + what;
            return expect && !same(buffer.data(), block * bs, u64(count) * bs) ? "bytes of readBlocks " + what : "";
        }
        const bool inside = ofs <= bytes && len <= bytes - ofs && len <= Disk::kMaxReadSize;
        if (kind == Read) {
            buffer.assign(inside ? std::max<u32>(len, 16) : 16, 0xA5);
            const bool expect = inside && (len == 0 || readable(ofs / bs, (ofs + len - 1) / bs));
            if (cache.read(ofs, len, buffer.data()) != expect) return "read " + what;
            return expect && !same(buffer.data(), ofs, len) ? "bytes of read " + what : "";
        }
        // An empty view at the very end needs no block; any other needs its line.
        const bool atEnd = len == 0 && ofs == bytes;
        const bool expect = inside && (atEnd || readable(ofs / bs, (ofs + std::max<u32>(len, 1) - 1) / bs));
        const bool ok = cache.getOfsData(ofs, len, view);
        viewHeld = false;
        if (ok != expect) return "view " + what;
        if (!ok) return "";
        if (view.getSize() != len || !same(view.getPtr(), ofs, len)) return "bytes of view " + what;
        viewHeld = !view.isOwned() && !atEnd;
        viewOfs = ofs;
        return "";
    }

    // A held view keeps its bytes while other requests go on.
    bool viewIntact() const { return !viewHeld || same(view.getPtr(), viewOfs, view.getSize()); }
};

}  // namespace vorn::test
