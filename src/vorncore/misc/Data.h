// The engine's byte buffer: memsize × memcount bytes that the buffer either
// owns or merely views.
//
// States: empty (all zero), owned (after alloc or realloc) and view (after
// setPtr). Destroying a Data does not release owned memory: its holder calls
// `free` first. A view never releases the memory it points to. Sizes whose
// byte product or offset sum does not fit 32 bits, and null pointers with a
// non-zero size, are refused: the operation is logged and not performed.
#pragma once

#include "misc/Types.h"

namespace vorn {

class Data {
public:
    u32 getSize() const { return memsize * memcount; }
    u8* getPtr() const { return ptr; }
    bool isOwned() const { return owned; }
    u32 getMemSize() const { return memsize; }
    u32 getMemCount() const { return memcount; }

    // Releases owned memory, then allocates; empty and false on failure.
    bool alloc(u32 memsize, u32 memcount);
    // Keeps an owned buffer's bytes up to the smaller size; on failure the
    // old buffer stays. Without owned memory it is `alloc`.
    bool realloc(u32 memsize, u32 memcount);
    // False when the view was refused (null pointer with a non-zero size, or
    // a byte size over 32 bits); the buffer is then left empty.
    bool setPtr(u8* ptr, u32 memsize, u32 memcount);
    // Copies memsize × memcount bytes to byte offset ofs; a zero size stands
    // for the buffer's own. False, nothing copied, when it would not fit.
    bool initWithData(const u8* src, u32 ofs, u32 memsize, u32 memcount);
    void free();

private:
    u8* ptr = nullptr;
    u32 memcount = 0;
    u32 memsize = 0;
    bool owned = false;
};

}  // namespace vorn
