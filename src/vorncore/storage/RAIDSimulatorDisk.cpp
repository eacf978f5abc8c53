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

RAIDSimulatorDisk::RAIDSimulatorDisk(RAIDSimulator* simulator, u8 index) : m_simulator(simulator), m_index(index) {
    log(LOG_DEBUG, "RAIDSimulatorDisk::RAIDSimulatorDisk\n");
    m_name = fmt("SimDisk%02d", static_cast<int>(index));
    Disk* source = simulator ? simulator->getSource() : nullptr;
    setBlockSize(source ? source->getBlockSize() : 512);
    m_blockCount = simulator ? simulator->getMemberBlockCount(index) : 0;
}

RAIDSimulatorDisk::~RAIDSimulatorDisk() { log(LOG_DEBUG, "RAIDSimulatorDisk::~RAIDSimulatorDisk\n"); }

std::string RAIDSimulatorDisk::getId() { return fmt("SimDisk%02d", static_cast<int>(m_index)); }

bool RAIDSimulatorDisk::openImpl(bool write) {
    if (write) return false;
    Disk* source = m_simulator ? m_simulator->getSource() : nullptr;
    if (!source) return false;
    m_sourceOpen = source->open(false);
    return m_sourceOpen;
}

void RAIDSimulatorDisk::closeImpl() {
    if (m_sourceOpen) m_simulator->getSource()->close();
    m_sourceOpen = false;
}

bool RAIDSimulatorDisk::writeBlocksImpl(u64 block, u32 count, const void* buffer) {
    (void)block;
    (void)count;
    (void)buffer;
    return false;
}

void RAIDSimulatorDisk::readSource(u64 block, u32 count, u8* out) {
    Disk* source = m_simulator->getSource();
    const u64 blockSize = m_blockSize;
    const u64 sourceBlocks = source->getBlockCount();
    const u64 inside = block < sourceBlocks ? std::min<u64>(count, sourceBlocks - block) : 0;
    for (u64 done = 0; done < inside;) {
        const u32 n = static_cast<u32>(std::min<u64>(inside - done, kSourceReadBlocks));
        u8* dst = out + done * blockSize;
        if (!source->readBlocks(block + done, n, dst)) std::memset(dst, 0, n * blockSize);
        done += n;
    }
    std::memset(out + inside * blockSize, 0, (count - inside) * blockSize);
}

void RAIDSimulatorDisk::readParity(u64 row, u64 offset, u32 count, u8* out) {
    const RAIDParameters& p = m_simulator->getParameters();
    const u64 blockSize = m_blockSize;
    const u64 stripeSize = p.getStripeSectors();
    std::memset(out, 0, count * blockSize);
    const u32 chunkBlocks = static_cast<u32>(std::max<u64>(1, std::min<u64>(count, kParityChunkBytes / blockSize)));
    if (m_work.size() < chunkBlocks * blockSize) {
        try {
            m_work.resize(chunkBlocks * blockSize);
        } catch (const std::bad_alloc&) {
            std::vector<u8>().swap(m_work);
            log(LOG_ERROR, "Error allocating temporary parity buffer\n");
            return;
        }
    }
    const u32 n = p.getDiskCount();
    for (u32 done = 0; done < count;) {
        const u32 piece = std::min(count - done, chunkBlocks);
        for (u32 j = 0; j < n; j++) {
            u64 stripe = 0;
            if (j == m_index || !p.computeStripeBlock(j, row, stripe)) continue;
            const u64 at = offset + done;
            // A stripe beyond any addressable block lies beyond the source.
            const u64 block = stripe <= (UINT64_MAX - at) / stripeSize ? stripe * stripeSize + at : UINT64_MAX;
            readSource(block, piece, m_work.data());
            xorInto(out + static_cast<u64>(done) * blockSize, m_work.data(), piece * blockSize);
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
    const u64 blockSize = m_blockSize;
    const RAIDParameters p = m_simulator ? m_simulator->getParameters() : RAIDParameters();
    if (!m_simulator || !m_simulator->getSource() || !p.isValid() || m_index >= p.getDiskCount() || blockSize == 0) {
        log(LOG_ERROR, "error at RAIDSimulatorDisk::readBlocksImpl: invalid RAID parameters (disks=%d, stripe=%u, rotation=%u)\n",
            p.getDiskCount(), p.getStripeSectors(), p.getParityRotation());
        std::memset(out, 0, count * blockSize);
        return false;
    }
    const u64 stripeSize = p.getStripeSectors();
    const u64 first = p.getFirstSector(m_index);
    while (count > 0) {
        u32 piece;
        if (block < first) {
            piece = static_cast<u32>(std::min<u64>(first - block, count));
            std::memset(out, 0, piece * blockSize);
        } else {
            const u64 rel = block - first;
            const u64 row = rel / stripeSize;
            const u64 offset = rel % stripeSize;
            piece = static_cast<u32>(std::min<u64>(stripeSize - offset, count));
            u64 stripe = 0;
            if (p.computeStripeBlock(m_index, row, stripe)) {
                const u64 at = stripe <= (UINT64_MAX - offset) / stripeSize ? stripe * stripeSize + offset : UINT64_MAX;
                readSource(at, piece, out);
            } else {
                readParity(row, offset, piece, out);
            }
        }
        block += piece;
        count -= piece;
        out += piece * blockSize;
    }
    return true;
}

}  // namespace vorn
