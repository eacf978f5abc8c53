// One candidate layout of the RAID layout detection (RAIDDisk::probeLayout)
// with the measures that score it.
//
// The detection builds 210 of them (five first sectors, slowest; six stripe
// sizes; seven rotations, fastest), numbered 0 to 209 in that order, scores
// each, and keeps the best. The disk pointer is not owned.
#pragma once

#include "misc/Types.h"
#include "storage/RAIDParameters.h"

namespace vorn {

class RAIDDisk;

struct ProbeCombination {
    u32 index = 0;
    RAIDDisk* disk = nullptr;
    RAIDParameters parameters;
    // Mean entropy jump across the assembled data's stripe boundaries (low
    // under the right layout).
    float cmp = 0.0f;
    // Mean entropy jump across each member's own stripe boundaries (high
    // when the stripe size and first sector are right).
    float raiddelta = 0.0f;
    // Share of member stripe boundaries that the assembled data smooths over.
    float rawdelta = 0.0f;
    // (1 - cmp) * raiddelta * rawdelta; may be not a number.
    float score = 0.0f;
    // What the layout check found consistent on the set under this layout
    // (see RAIDLayoutCheck); 0 when the candidate was not checked.
    double structure = 0.0;
};

}  // namespace vorn
