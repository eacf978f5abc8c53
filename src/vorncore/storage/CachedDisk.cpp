#include "storage/CachedDisk.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "misc/Bytes.h"
#include "misc/Log.h"

namespace vorn {

namespace {

constexpr size_t kPageSize = 4096;

// Bytes of blockCount blocks, saturated instead of wrapped.
u64 byteSize(u64 blockCount, u32 blockSize) {
    if (blockSize != 0 && blockCount > std::numeric_limits<u64>::max() / blockSize) {
        return std::numeric_limits<u64>::max();
    }
    return blockCount * blockSize;
}

// What an empty view at the very end of the disk points to.
u8 g_emptyView[1];

}  // namespace

void CachedDisk::FreeBuffer::operator()(u8* buffer) const { free(buffer); }

CachedDisk::LineBuffer CachedDisk::allocBuffer(size_t bytes, size_t align) {
    void* p = nullptr;
    if (posix_memalign(&p, align, bytes) != 0) return nullptr;
    return LineBuffer(static_cast<u8*>(p));
}

CachedDisk::CachedDisk(Disk* disk, u32 requestedCacheSize, u32 requestedReadAheadSize)
    : cacheSize(requestedCacheSize), readAheadSize(requestedReadAheadSize) {
    innerDisk = disk;
    configure(disk ? disk->getBlockSize() : 0, disk ? disk->getBlockCount() : 0);
    log(LOG_DEBUG, "CachedDisk created - cacheSize=%d, readAheadSize=%d => cacheLines=%d, blocksPerRead=%d\n",
        static_cast<int>(requestedCacheSize), static_cast<int>(requestedReadAheadSize), static_cast<int>(lineCount),
        static_cast<int>(blocksPerRead));
}

CachedDisk::~CachedDisk() {
    log(LOG_DEBUG, "stopping prefetch thread...\n");
    log(LOG_DEBUG, "freeing cache\n");
    releaseBuffers();
    retired.clear();
    log(LOG_DEBUG, "done\n");
}

// Line geometry for the wrapped disk's block size: at least one block per
// line and at least one line, whatever the sizes asked for.
void CachedDisk::configure(u32 blockSize, u64 blockCount) {
    geomBlockSize = blockSize;
    geomBlockCount = blockCount;
    if (blockSize == 0) {
        // Nothing can be read at this block size; reads refuse it.
        blocksPerRead = 1;
        lineBytes = 0;
        lineCount = 1;
    } else {
        blocksPerRead = std::max<u32>(1, readAheadSize / blockSize);
        lineBytes = size_t(blocksPerRead) * blockSize;
        lineCount = static_cast<u32>(std::max<u64>(1, cacheSize / lineBytes));
    }
    bufferAlign = lineBytes >= kPageSize ? kPageSize : 64;
    bufferBytes = (std::max<size_t>(lineBytes, 1) + bufferAlign - 1) / bufferAlign * bufferAlign;
    index.reserve(std::min<u32>(lineCount, 4096));
}

// The wrapped disk may change its block size or count (an image re-opened,
// a device sized at open): the lines no longer describe it, so they go.
void CachedDisk::syncGeometry(u32 blockSize, u64 blockCount) {
    if (blockSize == geomBlockSize && blockCount == geomBlockCount) return;
    VORN_LOG(LOG_DEBUG, "CachedDisk - wrapped disk changed (blockSize=%u, blockCount=%llu), lines dropped\n", blockSize,
             static_cast<unsigned long long>(blockCount));
    badBlocks.clear();
    if (blockSize == geomBlockSize) {
        // Same line size: the buffers stay (a view keeps valid memory).
        for (auto& entry : index) {
            Line& line = slots[entry.second];
            line.number = kNoLine;
            line.badBits.clear();
            line.prev = line.next = kNil;
            freeSlots.push_back(entry.second);
        }
        index.clear();
        lruHead = lruTail = kNil;
        for (u64& locked : lockedLine) locked = kNoLine;
        geomBlockCount = blockCount;
        return;
    }
    releaseBuffers();
    configure(blockSize, blockCount);
}

void CachedDisk::releaseBuffers() {
    for (Line& line : slots) {
        u32 holders = 0;
        for (u32 h = 0; h < kMaxHolders; ++h) {
            if (line.buffer && line.buffer.get() == viewBuffer[h]) holders |= 1u << h;
        }
        if (holders) {
            // Views may still point here: keep the buffer until each of
            // those holders asks for its next view.
            retired.push_back({std::move(line.buffer), holders});
        }
        line.buffer.reset();
    }
    for (u32 h = 0; h < kMaxHolders; ++h) {
        viewBuffer[h] = nullptr;
        lockedLine[h] = kNoLine;
    }
    slots.clear();
    freeSlots.clear();
    index.clear();
    lruHead = lruTail = kNil;
}

// The holder gives up its previous view: retired buffers nobody views any
// longer are freed.
void CachedDisk::releaseRetired(u32 holder) {
    if (retired.empty()) return;
    for (size_t i = 0; i < retired.size();) {
        retired[i].holders &= ~(1u << holder);
        if (retired[i].holders == 0) {
            retired[i] = std::move(retired.back());
            retired.pop_back();
        } else {
            ++i;
        }
    }
}

bool CachedDisk::isLocked(u64 line) const {
    for (u64 locked : lockedLine) {
        if (locked == line) return true;
    }
    return false;
}

void CachedDisk::unlink(u32 slot) {
    Line& line = slots[slot];
    if (line.prev != kNil) {
        slots[line.prev].next = line.next;
    } else {
        lruHead = line.next;
    }
    if (line.next != kNil) {
        slots[line.next].prev = line.prev;
    } else {
        lruTail = line.prev;
    }
    line.prev = line.next = kNil;
}

void CachedDisk::append(u32 slot) {
    Line& line = slots[slot];
    line.prev = lruTail;
    line.next = kNil;
    if (lruTail != kNil) {
        slots[lruTail].next = slot;
    } else {
        lruHead = slot;
    }
    lruTail = slot;
}

CachedDisk::Line* CachedDisk::getLine(u64 line) {
    // Sequential readers hit the most recent line again and again: it is
    // already at the newest end, so nothing moves.
    if (lruTail != kNil && slots[lruTail].number == line) return &slots[lruTail];
    auto it = index.find(line);
    if (it != index.end()) {
        const u32 slot = it->second;
        unlink(slot);
        append(slot);
        return &slots[slot];
    }
    return fillLine(line);
}

// A slot with a buffer, in neither the index nor the recency list, or kNil.
u32 CachedDisk::takeSlot() {
    if (index.size() < lineCount) {
        log(LOG_DEBUG, "cache not full - filling cache (%d)\n", static_cast<int>(index.size()));
        if (!freeSlots.empty()) {
            const u32 slot = freeSlots.back();
            freeSlots.pop_back();
            return slot;
        }
        LineBuffer buffer = allocBuffer(bufferBytes, bufferAlign);
        if (!buffer) {
            log(LOG_ERROR, "error: memory allocation error (valloc)!\n");
            return kNil;
        }
        slots.emplace_back();
        slots.back().buffer = std::move(buffer);
        return static_cast<u32>(slots.size() - 1);
    }

    // Full: the least recently used line that no holder views.
    u32 victim = lruHead;
    while (victim != kNil && isLocked(slots[victim].number)) victim = slots[victim].next;
    if (victim == kNil) {
        log(LOG_ERROR, "!! ERROR !! Cache is completely locked!\n");
        victim = lruHead;
    }
    Line& line = slots[victim];
    index.erase(line.number);
    unlink(victim);
    line.number = kNoLine;
    line.badBits.clear();
    if (!line.buffer) {
        log(LOG_ERROR, "dunno2: cbuf=NULL\n");
        line.buffer = allocBuffer(bufferBytes, bufferAlign);
        if (!line.buffer) {
            log(LOG_ERROR, "error: memory allocation error (valloc)!\n");
            freeSlots.push_back(victim);
            return kNil;
        }
    }
    return victim;
}

CachedDisk::Line* CachedDisk::fillLine(u64 number) {
    const u64 first = number * blocksPerRead;
    if (geomBlockSize == 0 || first >= geomBlockCount || !innerDisk) {
        log(LOG_DEBUG, "CachedDisk::getBlock - no such line (cblk=%lld)\n", static_cast<long long>(first));
        return nullptr;
    }
    const u32 count = static_cast<u32>(std::min<u64>(blocksPerRead, geomBlockCount - first));
    const u32 slot = takeSlot();
    if (slot == kNil) return nullptr;
    if (!slots[slot].buffer) {
        log(LOG_ERROR, "dunno3: cbuf=NULL\n");
        freeSlots.push_back(slot);
        return nullptr;
    }
    if (fillRange(slot, first, 0, count) == 0) {
        // Nothing of the line could be read: it is not cached.
        Line& line = slots[slot];
        line.badBits.clear();
        freeSlots.push_back(slot);
        return nullptr;
    }
    // The disk's last line may be short: its tail is never handed out (every
    // request is held to the disk's size), so it is left as it is.
    Line& line = slots[slot];
    line.number = number;
    index.emplace(number, slot);
    append(slot);
    return &line;
}

// Reads blocks [index, index + count) of the line in slot, whose block 0 is
// disk block lineFirst. Known bad blocks are not asked for again; a failed
// request is split into single blocks. Blocks that fail are zero-filled and
// marked. Answers the number of blocks read.
u32 CachedDisk::fillRange(u32 slot, u64 lineFirst, u32 index, u32 count) {
    const u32 blockSize = geomBlockSize;
    auto blockPtr = [&](u32 i) { return slots[slot].buffer.get() + size_t(i) * blockSize; };
    auto markBad = [&](u32 i) {
        Line& line = slots[slot];
        if (line.badBits.empty()) line.badBits.assign((blocksPerRead + 63) / 64, 0);
        line.badBits[i / 64] |= u64(1) << (i % 64);
        memset(blockPtr(i), 0, blockSize);
    };

    if (anyKnownBad(lineFirst + index, count)) {
        u32 good = 0;
        for (u32 i = index; i < index + count;) {
            if (isKnownBad(lineFirst + i)) {
                markBad(i);
                ++i;
                continue;
            }
            u32 end = i + 1;
            while (end < index + count && !isKnownBad(lineFirst + end)) ++end;
            good += fillRange(slot, lineFirst, i, end - i);
            i = end;
        }
        return good;
    }

    const u64 errorsBefore = innerDisk->getReadErrors();
    if (innerDisk->readBlocks(lineFirst + index, count, blockPtr(index))) return count;
    log(LOG_DEBUG, "CachedDisk::getBlock - error reading cblk=%lld, ccnt=%d\n",
        static_cast<long long>(lineFirst + index), static_cast<int>(count));
    if (count == 1) {
        rememberBad(lineFirst + index);
        markBad(index);
        return 0;
    }
    // One bad sector must not cost the whole line: block by block. The
    // failed request's own count is taken back, so each unreadable block is
    // counted once, by its single-block retry.
    const u64 errorsAfter = innerDisk->getReadErrors();
    if (errorsAfter > errorsBefore) innerDisk->withdrawReadErrors(errorsAfter - errorsBefore);
    u32 good = 0;
    for (u32 i = index; i < index + count; ++i) {
        if (innerDisk->readBlocks(lineFirst + i, 1, blockPtr(i))) {
            ++good;
        } else {
            rememberBad(lineFirst + i);
            markBad(i);
        }
    }
    return good;
}

bool CachedDisk::blocksGood(const Line& line, u32 firstIndex, u32 lastIndex) const {
    if (line.badBits.empty()) return true;
    for (u32 i = firstIndex; i <= lastIndex; ++i) {
        if (line.badBits[i / 64] & (u64(1) << (i % 64))) return false;
    }
    return true;
}

bool CachedDisk::isKnownBad(u64 block) const { return anyKnownBad(block, 1); }

bool CachedDisk::anyKnownBad(u64 block, u64 count) const {
    if (badBlocks.empty() || count == 0) return false;
    auto it = badBlocks.upper_bound(block);
    if (it != badBlocks.begin() && std::prev(it)->second > block) return true;
    return it != badBlocks.end() && it->first - block < count;
}

// Kept as runs, so a bad region costs one entry however long it is.
void CachedDisk::rememberBad(u64 block) {
    if (isKnownBad(block)) return;
    u64 first = block;
    u64 end = block + 1;
    auto next = badBlocks.find(end);
    if (next != badBlocks.end()) {
        end = next->second;
        badBlocks.erase(next);
    }
    auto it = badBlocks.lower_bound(block);
    if (it != badBlocks.begin()) {
        auto prev = std::prev(it);
        if (prev->second == block) {
            prev->second = end;
            return;
        }
    }
    badBlocks.emplace(first, end);
}

// Copies size bytes at byteOffset (inside the disk) through the lines.
// On failure the rest of out is zero-filled.
bool CachedDisk::copyOut(u64 byteOffset, u64 size, u8* out) {
    const u32 blockSize = geomBlockSize;
    const u32 perLine = blocksPerRead;
    u64 block = byteOffset / blockSize;
    u32 within = static_cast<u32>(byteOffset % blockSize);
    while (size > 0) {
        const u64 number = block / perLine;
        const u32 index = static_cast<u32>(block % perLine);
        const size_t lineOfs = size_t(index) * blockSize + within;
        const size_t n = static_cast<size_t>(std::min<u64>(size, lineBytes - lineOfs));
        Line* line = getLine(number);
        if (!line || !blocksGood(*line, index, static_cast<u32>((lineOfs + n - 1) / blockSize))) {
            memset(out, 0, size);
            return false;
        }
        memcpy(out, line->buffer.get() + lineOfs, n);
        out += n;
        size -= n;
        block = (number + 1) * perLine;
        within = 0;
    }
    return true;
}

bool CachedDisk::read(u64 byteOffset, u32 size, void* buffer) {
    if (!buffer) {
        log(LOG_DEBUG, "CachedDisk::read parameter mismatch\n");
        return false;
    }
    const u32 blockSize = getBlockSize();
    const u64 blockCount = getBlockCount();
    if (blockSize == 0 || size > kMaxReadSize || !inBounds(byteSize(blockCount, blockSize), byteOffset, size)) {
        log(LOG_DEBUG, "error at CachedDisk::read: incorrect parameters (ofs=%lld, size=%d)\n",
            static_cast<long long>(byteOffset), static_cast<int>(size));
        return false;
    }
    if (size == 0) return true;
    syncGeometry(blockSize, blockCount);
    return copyOut(byteOffset, size, static_cast<u8*>(buffer));
}

bool CachedDisk::readBlocks(u64 block, u32 count, void* buffer) {
    const u32 blockSize = getBlockSize();
    const u64 blockCount = getBlockCount();
    if ((!buffer && count != 0) || blockSize == 0 || !inBounds(blockCount, block, count) ||
        block + count > std::numeric_limits<u64>::max() / blockSize) {
        log(LOG_DEBUG, "error at CachedDisk::readBlocks: incorrect parameters (block=%lld, count=%d)\n",
            static_cast<long long>(block), static_cast<int>(count));
        return false;
    }
    if (count == 0) return true;
    syncGeometry(blockSize, blockCount);
    return copyOut(block * blockSize, u64(count) * blockSize, static_cast<u8*>(buffer));
}

bool CachedDisk::getOfsData(u64 byteOffset, u32 count, Data& out, u32 holder) {
    if (holder >= kMaxHolders) {
        log(LOG_ERROR, "error at CachedDisk::getOfsData: no such holder (%u)\n", holder);
        return false;
    }
    // The holder's previous view is given up now, as callers know; its line
    // may make room for the new one.
    releaseRetired(holder);
    lockedLine[holder] = kNoLine;
    viewBuffer[holder] = nullptr;

    const u32 blockSize = getBlockSize();
    const u64 blockCount = getBlockCount();
    const u64 diskBytes = byteSize(blockCount, blockSize);
    if (blockSize == 0 || count > kMaxReadSize || !inBounds(diskBytes, byteOffset, count)) {
        log(LOG_DEBUG, "error at CachedDisk::getOfsData: incorrect parameters (ofs=%lld, cnt=%d)\n",
            static_cast<long long>(byteOffset), static_cast<int>(count));
        return false;
    }
    syncGeometry(blockSize, blockCount);
    if (count == 0 && byteOffset == diskBytes) {
        // No block lies there to hold the empty view.
        out.setPtr(g_emptyView, 1, 0);
        return true;
    }

    const u64 block = byteOffset / blockSize;
    const u32 within = static_cast<u32>(byteOffset % blockSize);
    const u32 index = static_cast<u32>(block % blocksPerRead);
    const u64 bytesLeftInLine = u64(blocksPerRead - index) * blockSize;
    if (within + u64(count) <= bytesLeftInLine) {
        const u64 number = block / blocksPerRead;
        Line* line = getLine(number);
        const size_t lineOfs = size_t(index) * blockSize + within;
        const u32 lastIndex = static_cast<u32>((lineOfs + std::max<u32>(count, 1) - 1) / blockSize);
        if (!line || !blocksGood(*line, index, lastIndex)) return false;
        out.setPtr(line->buffer.get() + lineOfs, 1, count);
        lockedLine[holder] = number;
        viewBuffer[holder] = line->buffer.get();
        return true;
    }

    if (!(out.isOwned() && out.getSize() == count)) {
        if (!out.realloc(1, count)) return false;
    }
    return copyOut(byteOffset, count, out.getPtr());
}

bool CachedDisk::writeBlocks(u64 block, u32 count, const void* buffer) {
    return innerDisk ? innerDisk->writeBlocks(block, count, buffer) : false;
}

bool CachedDisk::openImpl(bool write) {
    (void)write;  // never reached: open reaches the wrapped disk
    return false;
}

void CachedDisk::closeImpl() {}

bool CachedDisk::readBlocksImpl(u64 rawBlock, u32 count, void* buffer) {
    return innerDisk ? innerDisk->readBlocksImpl(rawBlock, count, buffer) : false;
}

bool CachedDisk::writeBlocksImpl(u64 rawBlock, u32 count, const void* buffer) {
    return innerDisk ? innerDisk->writeBlocksImpl(rawBlock, count, buffer) : false;
}

}  // namespace vorn
