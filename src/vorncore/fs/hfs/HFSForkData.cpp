#include "fs/hfs/HFSForkData.h"

#include "fs/hfs/HFSVolume.h"
#include "misc/Bytes.h"
#include "misc/Log.h"

namespace vorn {

HFSForkData::HFSForkData(HFSVolume* vol, const u8* forkRecord) : volume(vol) { parse(forkRecord); }

HFSForkData::HFSForkData(HFSVolume* vol, const u8* extentRecords, u32 count) : volume(vol) {
    parseExtents(extentRecords, count);
}

HFSForkData::HFSForkData(const HFSForkData& other)
    : volume(other.volume),
      extents(other.extents),
      logicalSize(other.logicalSize),
      clumpSize(other.clumpSize),
      totalBlocks(other.totalBlocks) {}

void HFSForkData::parse(const u8* rec) {
    ByteReader r(rec, kForkRecordSize);
    logicalSize = r.be64(0);
    clumpSize = r.be32(8);
    const u64 recordTotal = r.be32(12);
    extents.clear();
    u64 sum = 0;
    for (u32 i = 0; i < kExtentRecordCount; ++i) {
        HFSExtent e{r.be32(16 + 8 * i), r.be32(20 + 8 * i)};
        if (e.startBlock == 0 || e.blockCount == 0) continue;
        extents.push_back(e);
        sum += e.blockCount;
    }
    totalBlocks = recordTotal;
    if (recordTotal > sum) {
        VORN_LOG(LOG_DEBUG, "HFSForkData::parse correcting totalBlocks (%lld instead %lld)\n",
                 static_cast<long long>(sum), static_cast<long long>(recordTotal));
        totalBlocks = sum;
    }
}

void HFSForkData::parseExtents(const u8* rec, u32 count) {
    logicalSize = clumpSize = totalBlocks = 0;
    extents.clear();
    hexdumpIfVerbose("extents data - parse", rec, static_cast<int>(count * 8));
    ByteReader r(rec, size_t(count) * 8);
    for (u32 i = 0; i < count; ++i) {
        HFSExtent e{r.be32(8 * i), r.be32(8 * i + 4)};
        if (e.startBlock == 0 || e.blockCount == 0) continue;
        VORN_LOG(LOG_DEBUG, "startBlock=%d, blockCount=%d\n", e.startBlock, e.blockCount);
        extents.push_back(e);
    }
}

bool HFSForkData::getVolumeOfs(u64 fileOfs, u64* volOfs, u64* contiguous) const {
    const u64 b = volume ? volume->getAllocBlockSize() : 0;
    if (b == 0) {
        VORN_LOG(LOG_DEBUG, "HFSForkData::getVolumeOfs error - incorrect vol->allocBlockSize (%d)\n", int(b));
        return false;
    }
    u64 n = fileOfs / b;
    const u64 r = fileOfs % b;
    for (const HFSExtent& e : extents) {
        if (e.blockCount == 0) {
            VORN_LOG(LOG_DEBUG,
                     "HFSForkData::getVolumeOfs error - tried to map past physical end of file blockCount==0\n");
            return false;
        }
        if (n < e.blockCount) {
            // 32-bit block numbers times a block size of at most 2^31 fit 64 bits.
            *volOfs = (u64(e.startBlock) + n) * b + r;
            *contiguous = (u64(e.blockCount) - n) * b - r;
            return true;
        }
        n -= e.blockCount;
    }
    VORN_LOG(LOG_DEBUG, "HFSForkData::getVolumeOfs error - tried to map past physical end of file (extentOfs=%lld)\n",
             static_cast<long long>(r));
    return false;
}

void HFSForkData::dump() const {
    if (!logEnabled(LOG_DEBUG)) return;
    log(LOG_DEBUG, "========HFSForkData::dump=======\n");
    log(LOG_DEBUG, "  logicalSize=%lld, totalBlocks=%lld, clumpSize=%lld, extents:\n", static_cast<long long>(logicalSize),
        static_cast<long long>(totalBlocks), static_cast<long long>(clumpSize));
    for (size_t i = 0; i < extents.size(); ++i)
        log(LOG_DEBUG, "  extent #%d: startBlock %d, blockCount %d\n", int(i), extents[i].startBlock,
            extents[i].blockCount);
}

}  // namespace vorn
