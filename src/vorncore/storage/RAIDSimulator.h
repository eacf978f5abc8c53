// Turns one ordinary disk into the members of a simulated RAID set, so that
// the RAID disk and its layout detection can be tried on known data.
//
// The constructor adds one RAIDSimulatorDisk per member to the disk manager,
// which owns what it accepts; a member the manager refuses (its id is listed
// already) is deleted at once. Each member answers reads with the blocks the
// layout would put on it: the source's data stripes, XOR parity, and zeros
// in front of its first sector and beyond the source's end.
//
// Size: the members share the source: from their first sector on, together
// they hold no more blocks than the source has from that block on, so no
// member is larger than the source, whatever stripe or first sector it is
// given (a line tells the size). A set assembled from them with the same
// parameters reads the source back as far as the members reach: all of it
// without parity, the first (n - 1) / n of it with.
//
// Ownership: neither the manager nor the source is owned; both, and the
// simulator itself, must outlive the simulated members (the command line
// keeps the simulator for the rest of the program). With parameters that
// cannot be used (RAIDParameters::isValid) no member is made.
#pragma once

#include "misc/Types.h"
#include "storage/RAIDParameters.h"

namespace vorn {

class Disk;
class DiskManager;

class RAIDSimulator {
public:
    RAIDSimulator(DiskManager* manager, Disk* source, const RAIDParameters& parameters);
    ~RAIDSimulator();

    RAIDParameters getParameters() const { return parameters; }
    Disk* getSource() const { return source; }
    // Blocks of every member from its first sector on: (N - f) / n for a
    // source of N blocks, n members and f the largest first sector; 0 when f
    // lies at or past the source's end.
    u64 getMemberDataBlockCount() const;
    // The member's first sector plus its data blocks, never more than N; 0
    // for a member index at or above the count.
    u64 getMemberBlockCount(u32 member) const;

private:
    u64 lastFirstSector() const;

    DiskManager* manager;
    Disk* source;
    RAIDParameters parameters;
};

}  // namespace vorn
