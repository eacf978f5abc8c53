#include "raw/ComfortDataStream.h"

#include <cstring>

#include "misc/Log.h"

namespace vorn {

ComfortDataStream::ComfortDataStream(DataStream* innerStream) : inner(innerStream) {}

ComfortDataStream::~ComfortDataStream() = default;

bool ComfortDataStream::open(u8 flag) { return inner->open(flag); }
bool ComfortDataStream::close() { return inner->close(); }
u32 ComfortDataStream::getBlockSize() { return inner->getBlockSize(); }
u64 ComfortDataStream::getSize() { return inner->getSize(); }
bool ComfortDataStream::seek(i64 offset, int whence) { return inner->seek(offset, whence); }
u32 ComfortDataStream::read(u32 count, void* destination) {
    bytesAsked += count;
    return inner->read(count, destination);
}
u64 ComfortDataStream::getPos() { return inner->getPos(); }
const u8* ComfortDataStream::readPtr(u32 count) {
    bytesAsked += count;
    return inner->readPtr(count);
}

const u8* ComfortDataStream::readPtrAt(u64 ofs, u32 count) {
    const u64 size = inner->getSize();
    if (ofs >= size || count > size - ofs) return nullptr;
    bytesAsked += count;
    return inner->seek(static_cast<i64>(ofs), SEEK_FROM_START) ? inner->readPtr(count) : nullptr;
}

void ComfortDataStream::setLittleEndian(u8 value) { littleEndian = value; }

u8 ComfortDataStream::readU8() {
    ++bytesAsked;
    const u8* p = inner->readPtr(1);
    return p ? *p : 0;
}

void ComfortDataStream::readBytes(u8* out, u32 count) {
    // One request when all the bytes are there; byte by byte only at the
    // end of the disk or after a failed request, so that each missing byte
    // reads as 0 and the ones that exist are still read.
    const u64 size = inner->getSize();
    const u64 pos = inner->getPos();
    if (pos < size && size - pos >= count) {
        bytesAsked += count;
        if (const u8* p = inner->readPtr(count)) {
            memcpy(out, p, count);
            return;
        }
    }
    for (u32 i = 0; i < count; ++i) out[i] = readU8();
}

u16 ComfortDataStream::readU16() {
    u8 b[2];
    readBytes(b, 2);
    return littleEndian ? static_cast<u16>(b[0] | (b[1] << 8)) : static_cast<u16>((b[0] << 8) | b[1]);
}

u32 ComfortDataStream::readU32() {
    u8 b[4];
    readBytes(b, 4);
    if (littleEndian) return u32(b[0]) | (u32(b[1]) << 8) | (u32(b[2]) << 16) | (u32(b[3]) << 24);
    return (u32(b[0]) << 24) | (u32(b[1]) << 16) | (u32(b[2]) << 8) | u32(b[3]);
}

void ComfortDataStream::push() {
    const i64 pos = static_cast<i64>(inner->getPos());
    VORN_LOG(LOG_DEBUG, "push: %lld\n", static_cast<long long>(pos));
    positionStack.push_back(pos);
}

void ComfortDataStream::pop() {
    if (positionStack.empty()) {
        log(LOG_ERROR, ">>>>> ERROR: stack is empty!\n");
        return;
    }
    const i64 top = positionStack.back();
    VORN_LOG(LOG_DEBUG, "top: %lld\n", static_cast<long long>(top));
    VORN_LOG(LOG_DEBUG, "pop\n");
    positionStack.pop_back();
    inner->seek(top, SEEK_FROM_START);
}

}  // namespace vorn
