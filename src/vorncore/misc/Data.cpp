#include "misc/Data.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "misc/Log.h"

namespace vorn {

namespace {

constexpr u32 kMaxElements = 8388608;  // 8 MiB: the largest sane element size or count

// The byte count memsize × memcount, or false when it does not fit 32 bits.
bool byteCount(u32 memsize, u32 memcount, u32& bytes) {
    u64 product = u64(memsize) * u64(memcount);
    if (product > UINT32_MAX) return false;
    bytes = static_cast<u32>(product);
    return true;
}

}  // namespace

bool Data::alloc(u32 newMemsize, u32 newMemcount) {
    free();
    u32 bytes = 0;
    // malloc(0) may answer null; an empty owned buffer still gets a pointer.
    u8* p = byteCount(newMemsize, newMemcount, bytes) ? static_cast<u8*>(std::malloc(bytes ? bytes : 1)) : nullptr;
    if (!p) {
        printf("Data::alloc failed!\n");
        return false;
    }
    ptr = p;
    memsize = newMemsize;
    memcount = newMemcount;
    owned = true;
    return true;
}

bool Data::realloc(u32 newMemsize, u32 newMemcount) {
    u32 bytes = 0;
    const bool fits = byteCount(newMemsize, newMemcount, bytes);
    if (newMemsize > kMaxElements || newMemcount > kMaxElements || !fits) {
        log(LOG_ERROR, "error at Data::realloc: incorrect parameters! (memsize=%d, memcount=%d)\n",
            static_cast<int>(newMemsize), static_cast<int>(newMemcount));
        if (!fits) return false;
    }
    if (!owned || !ptr) return alloc(newMemsize, newMemcount);
    // realloc(p, 0) would release p; keep at least one byte.
    u8* p = static_cast<u8*>(std::realloc(ptr, bytes ? bytes : 1));
    if (!p) {
        printf("error at Data::realloc failed\n");
        return false;
    }
    ptr = p;
    memsize = newMemsize;
    memcount = newMemcount;
    return true;
}

bool Data::setPtr(u8* newPtr, u32 newMemsize, u32 newMemcount) {
    u32 bytes = 0;
    const bool fits = byteCount(newMemsize, newMemcount, bytes);
    if (!newPtr || newMemsize > kMaxElements || newMemcount > kMaxElements || !fits) {
        log(LOG_ERROR, "error at Data::setPtr: incorrect parameters! (memsize=%d, memcount=%d, ptr=%llx)\n",
            static_cast<int>(newMemsize), static_cast<int>(newMemcount),
            static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(newPtr)));
        // A view of no memory with a size, or of more than 4 GiB, is refused.
        if (!fits || (!newPtr && bytes != 0)) {
            free();
            return false;
        }
    }
    free();
    ptr = newPtr;
    memsize = newMemsize;
    memcount = newMemcount;
    owned = false;
    return true;
}

bool Data::initWithData(const u8* src, u32 ofs, u32 msize, u32 mcount) {
    if (msize == 0) msize = memsize;
    if (mcount == 0) mcount = memcount;
    u32 bytes = 0;
    const bool fits = byteCount(msize, mcount, bytes);
    if (!fits || u64(ofs) + bytes > getSize() || (!src && bytes != 0)) {
        log(LOG_ERROR, "error at Data::initWithData: incorrect data size (msize=%d, %%mcount=%d, ofs=%d, getSize=%d)!\n",
            static_cast<int>(msize), static_cast<int>(mcount), static_cast<int>(ofs), static_cast<int>(getSize()));
        return false;
    }
    if (bytes != 0) memcpy(ptr + ofs, src, bytes);
    return true;
}

void Data::free() {
    if (owned && ptr) std::free(ptr);
    ptr = nullptr;
    memcount = 0;
    memsize = 0;
    owned = false;
}

}  // namespace vorn
