// Turns one ordinary disk into the members of a simulated RAID set, so that
// the RAID disk and its layout detection can be tried on known data.
//
// The constructor adds one RAIDSimulatorDisk per member to the disk manager,
// which owns what it accepts; a member the manager refuses (its id is listed
// already) is deleted at once. Each member answers reads with the blocks the
// layout would put on it: the source's data stripes, XOR parity, and zeros
// in front of its first sector and beyond the source's end. A member is
// never larger than the source (one line says so when the layout asks for
// more). Assembling the members with the same parameters gives the source
// back, as far as the members reach.
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
    // The member's layout size (layoutBlockCount), but never more than the
    // source's N blocks: a simulated member is no larger than the disk it
    // is made from, whatever stripe or first sector it is given. 0 for a
    // member index at or above the count.
    u64 getMemberBlockCount(u32 member) const;

private:
    // first sector + stripe * ceil(ceil(N / d) / stripe) blocks for a source
    // of N blocks and d data members: every member holds its share of the
    // whole source in whole rows.
    u64 layoutBlockCount(u32 member) const;

    DiskManager* manager;
    Disk* source;
    RAIDParameters parameters;
};

}  // namespace vorn
