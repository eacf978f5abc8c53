#include "raw/SubDataStream.h"

#include "misc/Log.h"

namespace vorn {

SubDataStream::SubDataStream(DataStream* p, u64 s, u64 e) : parent(p), start(s), end(e) {}

bool SubDataStream::open(u8 flag) { return parent->open(flag); }
bool SubDataStream::close() { return parent->close(); }
u32 SubDataStream::getBlockSize() { return parent->getBlockSize(); }

u64 SubDataStream::getSize() {
    if (end < start) {
        log(LOG_ERROR, ">>> subdatastream getsize ERROR: endpos < startpos\n");
        return 0;
    }
    return end - start + 1;
}

u64 SubDataStream::getPos() { return parent->getPos() - start; }

bool SubDataStream::seek(i64 offset, int whence) {
    switch (whence) {
        case SEEK_FROM_START: return parent->seek(static_cast<i64>(start + static_cast<u64>(offset)), SEEK_FROM_START);
        case SEEK_FROM_CURRENT: return parent->seek(offset, SEEK_FROM_CURRENT);
        case SEEK_FROM_END: return parent->seek(static_cast<i64>(end - static_cast<u64>(offset)), SEEK_FROM_START);
        default: return false;
    }
}

u32 SubDataStream::read(u32 count, void* destination) {
    const u64 pos = parent->getPos();
    if (pos > end) return 0;
    const u64 left = end - pos + 1;
    if (left < count) count = static_cast<u32>(left);
    return parent->read(count, destination);
}

const u8* SubDataStream::readPtr(u32 count) { return parent->readPtr(count); }

}  // namespace vorn
