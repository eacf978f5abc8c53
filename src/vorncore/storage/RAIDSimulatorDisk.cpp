#include "storage/RAIDSimulatorDisk.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "misc/Log.h"
#include "storage/RAIDSimulator.h"

namespace vorn {

namespace {

constexpr u32 kSourceReadBlocks = 16384;
constexpr u64 kParityChunkBytes = 1u << 20;


}  // namespace

RAIDSimulatorDisk::RAIDSimulatorDisk(RAIDSimulator* owner, u8 memberIndex) : simulator(owner), index(memberIndex) {
    log(LOG_DEBUG, "RAIDSimulatorDisk::RAIDSimulatorDisk\n");
    name = fmt("SimDisk%02d", static_cast<int>(memberIndex));
    Disk* source = owner ? owner->getSource() : nullptr;
    setBlockSize(source ? source->getBlockSize() : 512);
    blockCount = owner ? owner->getMemberBlockCount(memberIndex) : 0;
}

RAIDSimulatorDisk::~RAIDSimulatorDisk() { log(LOG_DEBUG, "RAIDSimulatorDisk::~RAIDSimulatorDisk\n"); }

Disk* RAIDSimulatorDisk::getSource() const { return simulator ? simulator->getSource() : nullptr; }

std::string RAIDSimulatorDisk::getId() { return fmt("SimDisk%02d", static_cast<int>(index)); }

bool RAIDSimulatorDisk::openImpl(bool write) {
    if (write) return false;
    Disk* source = simulator ? simulator->getSource() : nullptr;
    if (!source) return false;
    sourceOpen = source->open(false);
    return sourceOpen;
}

void RAIDSimulatorDisk::closeImpl() {
    if (sourceOpen) simulator->getSource()->close();
    sourceOpen = false;
}

bool RAIDSimulatorDisk::writeBlocksImpl(u64 block, u32 count, const void* buffer) {
    (void)block;
    (void)count;
    (void)buffer;
    return false;
}

void RAIDSimulatorDisk::readSource(u64 block, u32 count, u8* out) {
    Disk* source = simulator->getSource();
    const u64 bytesPerBlock = blockSize;
    const u64 sourceBlocks = source->getBlockCount();
    const u64 inside = block < sourceBlocks ? std::min<u64>(count, sourceBlocks - block) : 0;
    for (u64 done = 0; done < inside;) {
        const u32 n = static_cast<u32>(std::min<u64>(inside - done, kSourceReadBlocks));
        u8* dst = out + done * bytesPerBlock;
        if (!source->readBlocks(block + done, n, dst)) std::memset(dst, 0, n * bytesPerBlock);
        done += n;
    }
    std::memset(out + inside * bytesPerBlock, 0, (count - inside) * bytesPerBlock);
}

void RAIDSimulatorDisk::readParity(u64 row, u64 offset, u32 count, u8* out) {
    const RAIDParameters& p = simulator->getParameters();
    const u64 bytesPerBlock = blockSize;
    const u64 stripeSize = p.getStripeSectors();
    std::memset(out, 0, count * bytesPerBlock);
    const u32 chunkBlocks = static_cast<u32>(std::max<u64>(1, std::min<u64>(count, kParityChunkBytes / bytesPerBlock)));
    if (work.size() < chunkBlocks * bytesPerBlock) {
        try {
            work.resize(chunkBlocks * bytesPerBlock);
        } catch (const std::bad_alloc&) {
            std::vector<u8>().swap(work);
            log(LOG_ERROR, "Error allocating temporary parity buffer\n");
            return;
        }
    }
    const u32 n = p.getDiskCount();
    for (u32 done = 0; done < count;) {
        const u32 piece = std::min(count - done, chunkBlocks);
        for (u32 j = 0; j < n; j++) {
            u64 stripe = 0;
            if (j == index || !p.computeStripeBlock(j, row, stripe)) continue;
            const u64 at = offset + done;
            // A stripe beyond any addressable block lies beyond the source.
            const u64 block = stripe <= (UINT64_MAX - at) / stripeSize ? stripe * stripeSize + at : UINT64_MAX;
            readSource(block, piece, work.data());
            xorInto(out + static_cast<u64>(done) * bytesPerBlock, work.data(), piece * bytesPerBlock);
        }
        done += piece;
    }
}

bool RAIDSimulatorDisk::readBlocksImpl(u64 block, u32 count, void* buffer) {
    if (!buffer) {
        log(LOG_ERROR, "error at RAIDSimulatorDisk::readBlocksImpl: no buffer\n");
        return false;
    }
    u8* out = static_cast<u8*>(buffer);
    const u64 bytesPerBlock = blockSize;
    const RAIDParameters p = simulator ? simulator->getParameters() : RAIDParameters();
    if (!simulator || !simulator->getSource() || !p.isValid() || index >= p.getDiskCount() || bytesPerBlock == 0) {
        log(LOG_ERROR, "error at RAIDSimulatorDisk::readBlocksImpl: invalid RAID parameters (disks=%d, stripe=%u, rotation=%u)\n",
            p.getDiskCount(), p.getStripeSectors(), p.getParityRotation());
        std::memset(out, 0, count * bytesPerBlock);
        return false;
    }
    const u64 stripeSize = p.getStripeSectors();
    const u64 first = p.getFirstSector(index);
    while (count > 0) {
        u32 piece;
        if (block < first) {
            piece = static_cast<u32>(std::min<u64>(first - block, count));
            std::memset(out, 0, piece * bytesPerBlock);
        } else {
            const u64 rel = block - first;
            const u64 row = rel / stripeSize;
            const u64 offset = rel % stripeSize;
            piece = static_cast<u32>(std::min<u64>(stripeSize - offset, count));
            u64 stripe = 0;
            if (p.computeStripeBlock(index, row, stripe)) {
                const u64 at = stripe <= (UINT64_MAX - offset) / stripeSize ? stripe * stripeSize + offset : UINT64_MAX;
                readSource(at, piece, out);
            } else {
                readParity(row, offset, piece, out);
            }
        }
        block += piece;
        count -= piece;
        out += piece * bytesPerBlock;
    }
    return true;
}

}  // namespace vorn
