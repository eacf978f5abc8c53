// One simulated member of a RAIDSimulator: a read-only Disk whose blocks are
// those the simulator's layout puts on member `index` of a set made from the
// simulator's source disk.
//
// Its name and id are "SimDisk%02d" with the member index. Opening it opens
// the source once through the source's counted open; closing closes it
// again. The simulator is not owned and must outlive the disk.
#pragma once

#include <string>
#include <vector>

#include "storage/Disk.h"

namespace vorn {

class RAIDSimulator;

class RAIDSimulatorDisk : public Disk {
public:
    RAIDSimulatorDisk(RAIDSimulator* simulator, u8 index);
    ~RAIDSimulatorDisk() override;

    std::string getId() override;
    bool openImpl(bool write) override;
    void closeImpl() override;
    bool readBlocksImpl(u64 block, u32 count, void* buffer) override;
    bool writeBlocksImpl(u64 block, u32 count, const void* buffer) override;

    u8 getMemberIndex() const { return index; }
    // The disk that every simulated member reads; null without a simulator.
    Disk* getSource() const;

private:
    // Reads count source blocks from block on; blocks beyond the source's
    // end, and pieces whose read fails, are zeros.
    void readSource(u64 block, u32 count, u8* out);
    void readParity(u64 row, u64 offset, u32 count, u8* out);

    RAIDSimulator* simulator;
    u8 index;
    bool sourceOpen = false;
    std::vector<u8> work;
};

}  // namespace vorn
