#include "raw/DiskDataStream.h"

#include <algorithm>
#include <cstring>

#include "misc/Log.h"
#include "storage/CachedDisk.h"

namespace vorn {

DiskDataStream::DiskDataStream(Disk* d) : disk(d), cache(dynamic_cast<CachedDisk*>(d)) {
    if (disk) {
        const u64 count = disk->getBlockCount();
        const u32 blockSize = disk->getBlockSize();
        size = blockSize != 0 && count > ~u64(0) / blockSize ? ~u64(0) : count * blockSize;
    }
}

DiskDataStream::~DiskDataStream() { buffer.free(); }

bool DiskDataStream::open(u8 flag) {
    (void)flag;  // the medium is only ever opened for reading
    return disk && disk->open(false);
}

bool DiskDataStream::close() {
    if (disk) disk->close();
    return true;
}

u32 DiskDataStream::getBlockSize() { return disk ? disk->getBlockSize() : 0; }

u64 DiskDataStream::getSize() { return size; }

bool DiskDataStream::seek(i64 offset, int whence) {
    __int128 target;
    switch (whence) {
        case SEEK_FROM_START: target = offset; break;
        case SEEK_FROM_CURRENT: target = static_cast<__int128>(pos) + offset; break;
        case SEEK_FROM_END: target = static_cast<__int128>(size) - offset; break;
        default: return false;
    }
    if (target < 0 || target >= static_cast<__int128>(size)) {
        log(LOG_ERROR, ">>>>>> ComfortDataStream error seeking\n");
        return false;
    }
    pos = static_cast<i64>(target);
    return true;
}

u64 DiskDataStream::getPos() { return static_cast<u64>(pos); }

u32 DiskDataStream::read(u32 count, void* destination) {
    if (count == 0) {
        log(LOG_ERROR, "error reading: count is negative or zero!\n");
        return 0;
    }
    const u64 left = size > u64(pos) ? size - u64(pos) : 0;
    if (left < count) {
        log(LOG_ERROR, "error: cannot read after file end\n");
        count = static_cast<u32>(left);
        if (count == 0) return 0;
    }
    const u8* p = bytesAt(u64(pos), count);
    if (!p) return 0;
    memcpy(destination, p, count);
    pos += count;
    return count;
}

const u8* DiskDataStream::readPtr(u32 count) {
    if (count == 0) {
        log(LOG_ERROR, "error reading: count is negative or zero!\n");
        return nullptr;
    }
    const u64 left = size > u64(pos) ? size - u64(pos) : 0;
    if (left < count) {
        log(LOG_ERROR, "error: cannot read after file end\n");
        return nullptr;
    }
    const u8* p = bytesAt(u64(pos), count);
    if (!p) return nullptr;
    pos += count;
    return p;
}

const u8* DiskDataStream::fetch(u64 ofs, u32 count) {
    windowPtr = nullptr;
    if (!disk) return nullptr;
    if (cache) {
        // A whole line as the window, when the cache can spare a line for
        // this holder whatever the others hold.
        const u64 lineBytes = cache->getLineBytes();
        if (lineBytes != 0 && cache->getLineCount() > CachedDisk::kMaxHolders) {
            const u64 lineStart = ofs / lineBytes * lineBytes;
            const u64 lineEnd = std::min(lineStart + lineBytes, size);
            if (ofs + count <= lineEnd &&
                cache->getOfsData(lineStart, static_cast<u32>(lineEnd - lineStart), buffer, kCacheHolder)) {
                windowPtr = buffer.getPtr();
                windowStart = lineStart;
                windowEnd = lineEnd;
                return windowPtr + (ofs - lineStart);
            }
        }
        if (!cache->getOfsData(ofs, count, buffer, kCacheHolder)) return nullptr;
    } else {
        if (!(buffer.isOwned() && buffer.getSize() >= count) && !buffer.realloc(1, count)) return nullptr;
        if (!disk->read(ofs, count, buffer.getPtr())) return nullptr;
    }
    windowPtr = buffer.getPtr();
    windowStart = ofs;
    windowEnd = ofs + count;
    return windowPtr;
}

}  // namespace vorn
