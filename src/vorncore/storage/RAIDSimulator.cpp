#include "storage/RAIDSimulator.h"

#include "misc/Log.h"
#include "storage/Disk.h"
#include "storage/DiskManager.h"
#include "storage/RAIDSimulatorDisk.h"

namespace vorn {

namespace {

u64 ceilDiv(u64 a, u64 b) { return a / b + (a % b ? 1 : 0); }

}  // namespace

RAIDSimulator::RAIDSimulator(DiskManager* manager, Disk* source, const RAIDParameters& parameters)
    : m_manager(manager), m_source(source), m_parameters(parameters) {
    log(LOG_DEBUG, "RAIDSimulator::RAIDSimulator\n");
    if (!manager || !source) {
        log(LOG_ERROR, "error at RAIDSimulator::RAIDSimulator: no disk manager or source disk\n");
        return;
    }
    if (!m_parameters.isValid()) {
        log(LOG_ERROR, "error at RAIDSimulator::RAIDSimulator: invalid RAID parameters (disks=%d, stripe=%u, rotation=%u)\n",
            m_parameters.getDiskCount(), m_parameters.getStripeSectors(), m_parameters.getParityRotation());
        return;
    }
    const u32 n = m_parameters.getDiskCount();
    for (u32 i = 0; i < n; i++) {
        auto* disk = new RAIDSimulatorDisk(this, static_cast<u8>(i));
        // The manager keeps what it accepts; a refused member is ours to drop.
        if (!m_manager->addDisk(disk)) delete disk;
    }
    m_parameters.dump();
}

RAIDSimulator::~RAIDSimulator() { log(LOG_DEBUG, "RAIDSimulator::~RAIDSimulator\n"); }

u64 RAIDSimulator::getMemberBlockCount(u32 member) const {
    if (!m_parameters.isValid() || !m_source || member >= m_parameters.getDiskCount()) return 0;
    const u64 stripe = m_parameters.getStripeSectors();
    const u64 rows = ceilDiv(ceilDiv(m_source->getBlockCount(), m_parameters.getDataDiskCount()), stripe);
    const u64 first = m_parameters.getFirstSector(member);
    if (rows > (UINT64_MAX - first) / stripe) return UINT64_MAX;
    return first + rows * stripe;
}

}  // namespace vorn
