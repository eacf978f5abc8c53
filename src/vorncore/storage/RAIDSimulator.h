// Turns one ordinary disk into the members of a simulated RAID set, so that
// the RAID disk and its layout detection can be tried on known data.
//
// The constructor adds one RAIDSimulatorDisk per member to the disk manager,
// which owns what it accepts; a member the manager refuses (its id is listed
// already) is deleted at once. Each member answers reads with the blocks the
// layout would put on it: the source's data stripes, XOR parity, and zeros
// in front of its first sector and beyond the source's end.
//
// Size: every member holds its share of the source (the source's blocks
// over the data members, in whole stripes) behind its first sector, but is
// never larger than the source itself, whatever stripe or first sector it
// is given (a line tells the size). A set assembled from them with the same
// parameters gives the source back, all of it where the members' shares fit.
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
    // Blocks of every member from its first sector on: stripe * ceil(ceil(N
    // / d) / stripe) for a source of N blocks and d data members, or
    // ceil(N / d) when whole stripes would pass N; 0 when a first sector
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
