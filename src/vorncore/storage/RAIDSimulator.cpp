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
    const u64 sourceBlocks = source->getBlockCount();
    for (u32 i = 0; i < n; i++) {
        const u64 asked = layoutBlockCount(i);
        if (asked <= sourceBlocks) continue;
        log(LOG_WARNING,
            "RAIDSimulator: members cut to %llu blocks, the size of the disk they are made from (the layout asks for "
            "%llu)\n",
            static_cast<unsigned long long>(sourceBlocks), static_cast<unsigned long long>(asked));
        break;
    }
    for (u32 i = 0; i < n; i++) {
        auto* disk = new RAIDSimulatorDisk(this, static_cast<u8>(i));
        // The manager keeps what it accepts; a refused member is ours to drop.
        if (!manager->addDisk(disk)) delete disk;
    }
    parameters.dump();
}

RAIDSimulator::~RAIDSimulator() { log(LOG_DEBUG, "RAIDSimulator::~RAIDSimulator\n"); }

u64 RAIDSimulator::getMemberBlockCount(u32 member) const {
    return source ? std::min(layoutBlockCount(member), source->getBlockCount()) : 0;
}

u64 RAIDSimulator::layoutBlockCount(u32 member) const {
    if (!parameters.isValid() || !source || member >= parameters.getDiskCount()) return 0;
    const u64 stripe = parameters.getStripeSectors();
    const u64 rows = ceilDiv(ceilDiv(source->getBlockCount(), parameters.getDataDiskCount()), stripe);
    const u64 first = parameters.getFirstSector(member);
    if (rows > (UINT64_MAX - first) / stripe) return UINT64_MAX;
    return first + rows * stripe;
}

}  // namespace vorn
