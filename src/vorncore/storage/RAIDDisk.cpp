#include "storage/RAIDDisk.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "misc/Log.h"
#include "misc/Utils.h"
#include "storage/DisksReadBy.h"

namespace vorn {

namespace {

// Member reads are split so that no single request exceeds what a disk with
// raw sectors accepts in one readBlocks call.
constexpr u32 kMemberReadBlocks = 16384;
// Parity is rebuilt in pieces of at most this many bytes (at least a block).
constexpr u64 kParityChunkBytes = 1u << 20;


}  // namespace

RAIDDisk::RAIDDisk() {
    log(LOG_DEBUG, "RAIDDisk::RAIDDisk\n");
    blockSize = 0;
    rawBlockSize = 0;
    dataOffset = 0;
    blockCount = 0;
    name = "RAID";
    setWhole(false);
}

RAIDDisk::~RAIDDisk() {
    log(LOG_DEBUG, "RAIDDisk::~RAIDDisk\n");
    // The members belong to the disk manager and may already be gone: they
    // are not touched here.
}

bool RAIDDisk::isKindOf(int typeId) const { return typeId == KIND_RAID_DISK || Disk::isKindOf(typeId); }

void RAIDDisk::cleanup() {}

u32 RAIDDisk::getBlockSize() { return blockSize; }

u64 RAIDDisk::getBlockCount() {
    if (!parameters.isValid()) return 0;
    const u64 data = parameters.getDataDiskCount();
    const u64 layout = blockCount > UINT64_MAX / data ? UINT64_MAX / data * data : blockCount * data;
    return std::min(layout, mediaBlockCount);
}

std::string RAIDDisk::getId() {
    // Two sets are the same set exactly when they read the same members the
    // same way. A member that leads back to this set would never end the
    // walk: the set answers its bare word then.
    const u32 n = std::min<u32>(parameters.getDiskCount(), kMaxMembers);
    bool any = false;
    for (u32 i = 0; i < n; i++) any = any || members[i];
    if (!any || naming) return "RAID";
    naming = true;
    std::string id = format("RAID_%u_%s_%u", n, RAIDParameters::rotationName(parameters.getParityRotation()),
                            parameters.getStripeSectors());
    for (u32 i = 0; i < n; i++) {
        id += format("_%llu:", static_cast<unsigned long long>(parameters.getFirstSector(i)));
        id += members[i] ? members[i]->getId() : std::string("missing");
    }
    naming = false;
    return id;
}

Disk* RAIDDisk::getMember(u32 index) const { return index < kMaxMembers ? members[index] : nullptr; }

bool RAIDDisk::setMember(u32 index, Disk* disk) {
    if (index >= kMaxMembers || disk == nullptr) {
        log(LOG_ERROR, "error at RAIDDisk::setMember: invalid parameters (index=%u)\n", index);
        return false;
    }
    if (disk == this || getInnermostDisk(disk) == this) {
        log(LOG_ERROR, "error at RAIDDisk::setMember: a RAID disk cannot be its own member\n");
        return false;
    }
    const u32 size = disk->getBlockSize();
    if (size == 0) {
        log(LOG_ERROR, "error at RAIDDisk::setMember: member has no block size\n");
        return false;
    }
    if (blockSize != 0 && size != blockSize) {
        log(LOG_ERROR, "Error: disk must have same block size (%d)!\n", static_cast<int>(blockSize));
        return false;
    }
    blockSize = size;
    rawBlockSize = size;
    dataOffset = 0;
    members[index] = disk;
    recomputeMemberBlockCount();
    syncOpenMembers();
    return true;
}

void RAIDDisk::setParameters(const RAIDParameters& newParameters) {
    parameters = newParameters;
    recomputeMemberBlockCount();
    syncOpenMembers();
}

void RAIDDisk::recomputeMemberBlockCount() {
    // The smallest data area of the present members; a member whose first
    // sector lies past its end holds no data, and so neither does the set.
    u64 count = 0;
    bool any = false;
    const u32 n = std::min<u32>(parameters.getDiskCount(), kMaxMembers);
    for (u32 i = 0; i < n; i++) {
        Disk* member = members[i];
        if (!member) continue;
        const u64 blocks = member->getBlockCount();
        const u64 first = parameters.getFirstSector(i);
        const u64 v = first < blocks ? blocks - first : 0;
        count = any ? std::min(count, v) : v;
        any = true;
    }
    blockCount = count;
    // The layout alone would count the stripes of missing members, members
    // named twice and the padding of simulated members as data: the set
    // holds no more than the media its members read. They do not depend on
    // the layout: while the probe tries one layout after another (the
    // members stay), they are not asked again for each; the layout it
    // settles on is set after it and asks them.
    if (!probing) mediaBlockCount = blockSize == 0 ? 0 : mediaBytesBehind(this) / blockSize;
}

void RAIDDisk::syncOpenMembers() {
    if (!isOpen) return;
    const u32 n = std::min<u32>(parameters.getDiskCount(), kMaxMembers);
    for (u32 i = 0; i < kMaxMembers; i++) {
        Disk* want = i < n ? members[i] : nullptr;
        if (openedMembers[i] == want) continue;
        if (openedMembers[i]) openedMembers[i]->close();
        openedMembers[i] = nullptr;
        if (want && want->open(false)) openedMembers[i] = want;
    }
}

bool RAIDDisk::openImpl(bool write) {
    if (write) {
        log(LOG_ERROR, "error at RAIDDisk::openImpl: a RAID set is opened for reading only\n");
        return false;
    }
    if (busy) {
        log(LOG_ERROR, "error at RAIDDisk::openImpl: a member reads through this RAID set\n");
        return false;
    }
    busy = true;
    isOpen = true;
    syncOpenMembers();
    busy = false;
    // Members that fail to open show up as read errors later.
    return true;
}

void RAIDDisk::closeImpl() {
    for (Disk*& member : openedMembers) {
        if (member) member->close();
        member = nullptr;
    }
    isOpen = false;
}

bool RAIDDisk::writeBlocksImpl(u64 block, u32 count, const void* buffer) {
    (void)block;
    (void)count;
    (void)buffer;
    return false;
}

bool RAIDDisk::readSingleDiskBlocks(u32 member, u64 block, u32 count, u8* buffer, bool probe) {
    const u64 bytes = static_cast<u64>(count) * blockSize;
    if (member >= kMaxMembers) {
        std::memset(buffer, 0, bytes);
        return false;
    }
    if (probe) {
        const std::vector<u8>* source = member < probeBuffers.size() ? &probeBuffers[member] : nullptr;
        const u64 size = source ? source->size() : 0;
        const bool inside = blockSize != 0 && block <= size / blockSize && bytes <= size - block * blockSize;
        if (inside) {
            std::memcpy(buffer, source->data() + block * blockSize, bytes);
            return true;
        }
        if (!probeReadsMembers) {
            log(LOG_ERROR, "readSingleDiskBlocks (probe): block out of range!\n");
            std::memset(buffer, 0, bytes);
            return false;
        }
    }
    Disk* disk = members[member];
    if (!disk) {
        std::memset(buffer, 0, bytes);
        return false;
    }
    bool ok = true;
    u32 done = 0;
    while (done < count) {
        const u32 n = std::min(count - done, kMemberReadBlocks);
        u8* out = buffer + static_cast<u64>(done) * blockSize;
        // A failed piece reads as zeros, never as what the buffer held; the
        // member counts its own read error.
        if (!disk->readBlocks(block + done, n, out)) {
            std::memset(out, 0, static_cast<u64>(n) * blockSize);
            ok = false;
        }
        done += n;
    }
    return ok;
}

void RAIDDisk::readParityPiece(u32 missing, u64 rowBlock, u32 count, u8* out, bool probe) {
    const u64 bytes = static_cast<u64>(count) * blockSize;
    std::memset(out, 0, bytes);
    const u32 n = parameters.getDiskCount();
    for (u32 i = 0; i < n; i++) {
        if (i != missing && !members[i]) {
            log(LOG_DEBUG, "Error: not enough disks to compute data by parity\n");
            return;
        }
    }
    const u32 chunkBlocks = static_cast<u32>(std::max<u64>(1, std::min<u64>(count, kParityChunkBytes / blockSize)));
    const u64 chunkBytes = static_cast<u64>(chunkBlocks) * blockSize;
    if (parityWork.size() < chunkBytes) {
        try {
            parityWork.resize(chunkBytes);
        } catch (const std::bad_alloc&) {
            parityWork.clear();
            parityWork.shrink_to_fit();
            log(LOG_ERROR, "Error allocating temporary parity buffer\n");
            return;
        }
    }
    for (u32 done = 0; done < count;) {
        const u32 piece = std::min(count - done, chunkBlocks);
        const u64 pieceBytes = static_cast<u64>(piece) * blockSize;
        u8* dst = out + static_cast<u64>(done) * blockSize;
        for (u32 i = 0; i < n; i++) {
            if (i == missing) continue;
            const u64 at = parameters.getFirstSector(i) + rowBlock + done;
            if (!readSingleDiskBlocks(i, at, piece, parityWork.data(), probe)) {
                std::memset(dst, 0, pieceBytes);
                break;
            }
            xorInto(dst, parityWork.data(), pieceBytes);
        }
        done += piece;
    }
}

void RAIDDisk::readLayout(u64 block, u32 count, u8* out, bool probe) {
    const u64 stripeSize = parameters.getStripeSectors();
    while (count > 0) {
        const u64 stripe = block / stripeSize;
        const u64 offset = block % stripeSize;
        const u32 piece = static_cast<u32>(std::min<u64>(stripeSize - offset, count));
        u32 member = 0;
        u32 parity = 0;
        u64 row = 0;
        parameters.computeRowCol(stripe, member, row, parity);
        const u64 rowBlock = row * stripeSize + offset;
        if (members[member]) {
            readSingleDiskBlocks(member, parameters.getFirstSector(member) + rowBlock, piece, out, probe);
        } else if (!parameters.hasParity()) {
            std::memset(out, 0, static_cast<u64>(piece) * blockSize);
        } else {
            readParityPiece(member, rowBlock, piece, out, probe);
        }
        block += piece;
        count -= piece;
        out += static_cast<u64>(piece) * blockSize;
    }
}

bool RAIDDisk::readBlocksImpl(u64 block, u32 count, void* buffer) {
    if (!buffer) {
        log(LOG_ERROR, "error at RAIDDisk::readBlocksImpl: no buffer\n");
        return false;
    }
    u8* out = static_cast<u8*>(buffer);
    const u64 bytes = static_cast<u64>(count) * blockSize;
    if (!parameters.isValid()) {
        log(LOG_ERROR, "error at RAIDDisk::readBlocksImpl: invalid RAID parameters (disks=%d, stripe=%u, rotation=%u)\n",
            parameters.getDiskCount(), parameters.getStripeSectors(), parameters.getParityRotation());
        std::memset(out, 0, bytes);
        return false;
    }
    if (blockSize == 0) {
        log(LOG_ERROR, "error at RAIDDisk::readBlocksImpl: no member set\n");
        return false;
    }
    if (busy) {
        log(LOG_ERROR, "error at RAIDDisk::readBlocksImpl: a member reads through this RAID set\n");
        std::memset(out, 0, bytes);
        return false;
    }
    busy = true;
    readLayout(block, count, out, probing);
    busy = false;
    return true;
}

void RAIDDisk::dump() {
    log(LOG_DEBUG, "-------------RAIDDisk dump-----------\n");
    log(LOG_DEBUG, "blockCount: %lld (%s)\n", static_cast<long long>(getBlockCount()), getSizeString().c_str());
    log(LOG_DEBUG, "blockSize: %d\n", static_cast<int>(blockSize));
    const u32 n = std::min<u32>(parameters.getDiskCount(), kMaxMembers);
    for (u32 i = 0; i < n; i++) {
        if (members[i]) {
            log(LOG_DEBUG, "  idx%02d: %s\n", static_cast<int>(i), members[i]->getName().c_str());
        } else {
            log(LOG_DEBUG, "  idx%02d - missing\n", static_cast<int>(i));
        }
    }
    parameters.dump();
}

}  // namespace vorn
