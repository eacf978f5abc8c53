// Work an analyser may spend on the candidate starts of one scan, earned as
// the scan moves over the disk: each stretch of the disk buys work in
// proportion to its length, so that the scan's cost grows with the disk
// whatever the disk holds (candidates that each ask for the most a single
// candidate may cost, at every block, get only what their stretch earned).
//
// The budget starts full, holding `reserve` units: as much as the largest
// piece of work that one sound file asks for, so that a file is never cut
// short while the disk before it held nothing crafted. Candidate starts earn
// one unit per `bytesPerUnit` bytes they move forward (the scan's own
// position, never a place a structure points to, which may jump ahead and
// back); the budget never holds more than the reserve. A start on another
// stream than the last starts it full again. The first time it runs dry on a
// stream it writes one warning naming `what`. Not thread-safe.
#pragma once

#include <algorithm>

#include "misc/Log.h"
#include "misc/Types.h"

namespace vorn {

class WorkBudget {
public:
    WorkBudget(const char* what, u64 reserve, u64 bytesPerUnit)
        : what(what), reserve(reserve), bytesPerUnit(bytesPerUnit ? bytesPerUnit : 1) {}

    // Called with each candidate start (an absolute offset on the stream,
    // where the scan is) before the work on it.
    void earn(const void* stream, u64 start) {
        if (stream != lastStream) {
            lastStream = stream;
            units = reserve;
            earned = 0;
            warned = false;
        } else if (start > lastStart) {
            earned += start - lastStart;
            units = std::min(reserve, units + earned / bytesPerUnit);
            earned %= bytesPerUnit;
        }
        lastStart = start;
    }
    // Takes n units, or none when fewer are left.
    bool take(u64 n) {
        if (n > units) {
            if (!warned) {
                log(LOG_WARNING, "%s: more work than this stretch of the disk allows at byte %llu: finds from here "
                    "on may lack their end or type\n", what, static_cast<unsigned long long>(lastStart));
                warned = true;
            }
            return false;
        }
        units -= n;
        spent += n;
        return true;
    }
    bool spend() { return take(1); }
    u64 left() const { return units; }
    // Units taken since the budget was made.
    u64 getSpent() const { return spent; }

private:
    const char* what;
    const u64 reserve;
    const u64 bytesPerUnit;
    const void* lastStream = nullptr;
    u64 lastStart = 0;
    u64 units = 0;
    u64 earned = 0;  // bytes not yet turned into a unit
    u64 spent = 0;
    bool warned = false;
};

}  // namespace vorn
