#include "fs/MarkerBitmap.h"

#include <cstdlib>
#include <cstring>

#include "misc/Log.h"

namespace vorn {

namespace {

// A bitmap beyond this many bytes (one bit per block of a 2^39-block disk)
// is refused like a failed allocation instead of asking the allocator for it.
constexpr u64 kMaxBitmapBytes = u64(1) << 36;

}  // namespace

MarkerBitmap::MarkerBitmap(u64 bitCount) {
    log(LOG_DEBUG, "MarkerBitmap::MarkerBitmap bits = %lld\n", (long long)bitCount);
    m_bitCount = bitCount;
    m_byteCount = bitCount / 8 + (bitCount % 8 != 0 ? 1 : 0);
    if (m_byteCount > 0 && m_byteCount <= kMaxBitmapBytes) {
        m_bits = static_cast<u8*>(malloc(m_byteCount));
    }
    if (!m_bits && m_byteCount > 0) {
        log(LOG_ERROR, "MarkerBitmap - error allocating bitmap (size=%lld bytes)\n", (long long)m_byteCount);
    }
    init(0);
}

MarkerBitmap::~MarkerBitmap() {
    if (m_bits) {
        log(LOG_DEBUG, "MarkerBitmap::~MarkerBitmap\n");
        free(m_bits);
        m_bits = nullptr;
    }
}

void MarkerBitmap::init(u8 value) {
    if (!m_bits) return;
    log(LOG_DEBUG, "MarkerBitmap::init - value = %d\n", value);
    memset(m_bits, value, m_byteCount);
}

bool MarkerBitmap::isBitSet(u64 bit) {
    if (!m_bits) return false;
    if (bit / 8 < m_byteCount) return (m_bits[bit / 8] >> (bit % 8)) & 1;
    log(LOG_ERROR, "isBitSet error: bit out of range\n");
    return false;
}

void MarkerBitmap::setBit(u64 bit) {
    if (!m_bits || bit / 8 >= m_byteCount) return;
    m_bits[bit / 8] |= u8(1u << (bit % 8));
}

void MarkerBitmap::setRange(u64 startBit, u64 count, bool value) {
    if (!m_bits) return;
    u64 startByte = startBit / 8;
    if (startByte >= m_byteCount) {
        log(LOG_ERROR, "MarkerBitmap error - startbit out of range\n");
        return;
    }
    // startBit + count may wrap for absurd counts: such a range ends beyond the bitmap.
    bool wraps = count > ~u64(0) - startBit;
    if (wraps || (startBit + count) / 8 > m_byteCount) {
        log(LOG_ERROR, "MarkerBitmap warning - startbit+count out of range\n");
        count = (m_byteCount - startByte) * 8;
    }
    memset(m_bits + startByte, value ? 0xFF : 0x00, count / 8);
}

void MarkerBitmap::dump() {
    if (!logEnabled(3)) return;  // every line is a debug line; skip the count too
    log(LOG_DEBUG, "MarkerBitmap::dump\n");
    log(LOG_DEBUG, "size (bytes) = %lld, bitcount = %lld\n", (long long)m_byteCount, (long long)m_bitCount);
    u64 set = 0;
    if (m_bits) {
        for (u64 bit = 0; bit < m_bitCount; ++bit) {
            if (isBitSet(bit)) ++set;
        }
    }
    double percent = m_bitCount ? double(set) / double(m_bitCount) * 100.0 : 0.0;
    log(LOG_DEBUG, "bitsetcount = %lld, percent set: %.2f\n", (long long)set, percent);
}

}  // namespace vorn
