#include "storage/RAIDSimulator.h"

#include <algorithm>

#include "misc/Log.h"
#include "storage/Disk.h"
#include "storage/DiskManager.h"
#include "storage/RAIDSimulatorDisk.h"

namespace vorn {

namespace {

u64 ceilDiv(u64 a, u64 b) { return a / b + (a % b ? 1 : 0); }

}  // namespace

RAIDSimulator::RAIDSimulator(DiskManager* diskManager, Disk* sourceDisk, const RAIDParameters& raidParameters)
    : manager(diskManager), source(sourceDisk), parameters(raidParameters) {
    log(LOG_DEBUG, "RAIDSimulator::RAIDSimulator\n");
    if (!diskManager || !sourceDisk) {
        log(LOG_ERROR, "error at RAIDSimulator::RAIDSimulator: no disk manager or source disk\n");
        return;
    }
    if (!parameters.isValid()) {
        log(LOG_ERROR, "error at RAIDSimulator::RAIDSimulator: invalid RAID parameters (disks=%d, stripe=%u, rotation=%u)\n",
            parameters.getDiskCount(), parameters.getStripeSectors(), parameters.getParityRotation());
        return;
    }
    const u32 n = parameters.getDiskCount();
    log(LOG_INFO, "RAIDSimulator: %u members of %llu data blocks each, from the %llu blocks of the disk, at most as large as it\n",
        n, static_cast<unsigned long long>(getMemberDataBlockCount()),
        static_cast<unsigned long long>(source->getBlockCount()));
    for (u32 i = 0; i < n; i++) {
        auto* disk = new RAIDSimulatorDisk(this, static_cast<u8>(i));
        // The manager keeps what it accepts; a refused member is ours to drop.
        if (!manager->addDisk(disk)) delete disk;
    }
    parameters.dump();
}

RAIDSimulator::~RAIDSimulator() { log(LOG_DEBUG, "RAIDSimulator::~RAIDSimulator\n"); }

u64 RAIDSimulator::lastFirstSector() const {
    u64 last = 0;
    for (u32 i = 0; i < parameters.getDiskCount(); i++) last = std::max(last, parameters.getFirstSector(i));
    return last;
}

u64 RAIDSimulator::getMemberDataBlockCount() const {
    if (!parameters.isValid() || !source) return 0;
    const u64 blocks = source->getBlockCount(), stripe = parameters.getStripeSectors();
    if (lastFirstSector() >= blocks) return 0;
    // Each member's share of the source in whole stripes, unless that makes
    // it larger than the source.
    const u64 share = ceilDiv(blocks, parameters.getDataDiskCount());
    const u64 rows = ceilDiv(share, stripe);
    return rows > blocks / stripe ? share : rows * stripe;
}

u64 RAIDSimulator::getMemberBlockCount(u32 member) const {
    if (!parameters.isValid() || !source || member >= parameters.getDiskCount()) return 0;
    const u64 first = parameters.getFirstSector(member), data = getMemberDataBlockCount();
    const u64 blocks = data > UINT64_MAX - first ? UINT64_MAX : first + data;
    return std::min(blocks, source->getBlockCount());
}

}  // namespace vorn
