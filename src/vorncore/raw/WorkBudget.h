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
// stream it writes one warning naming `what`.
//
// Only work that reads again what earlier work read costs units: the
// stretches ahead of the scan that work has covered are kept (at most
// kStretches of them, the closest two joined when there would be more;
// those the scan has passed are dropped), and work on bytes outside them is
// free. Each byte is new ground once, so free work grows with the disk as
// well; and a sound file after a stretch of crafted content, whose walks
// used up the units, is walked in full, since no earlier work read its
// bytes. Not thread-safe.
#pragma once

#include <algorithm>
#include <utility>
#include <vector>

#include "misc/Log.h"
#include "misc/Types.h"

namespace vorn {

class WorkBudget {
public:
    WorkBudget(const char* what, u64 reserve, u64 bytesPerUnit)
        : what(what), reserve(reserve), bytesPerUnit(bytesPerUnit ? bytesPerUnit : 1) {}

    static constexpr size_t kStretches = 16;

    // Called with each candidate start (an absolute offset on the stream,
    // where the scan is) before the work on it.
    void earn(const void* stream, u64 start) {
        if (stream != lastStream) {
            lastStream = stream;
            units = reserve;
            earned = 0;
            warned = false;
            covered.clear();
        } else if (start > lastStart) {
            earned += start - lastStart;
            units = std::min(reserve, units + earned / bytesPerUnit);
            earned %= bytesPerUnit;
        }
        lastStart = start;
        // Work never reaches back before the scan.
        size_t passed = 0;
        while (passed < covered.size() && covered[passed].second <= start) ++passed;
        covered.erase(covered.begin(), covered.begin() + static_cast<std::ptrdiff_t>(passed));
    }
    // True when [from, to) meets bytes that earlier work covered.
    bool overlapsCovered(u64 from, u64 to) const {
        for (const auto& [a, b] : covered) {
            if (a >= to) break;
            if (b > from) return true;
        }
        return false;
    }
    bool isCovered(u64 pos) const { return overlapsCovered(pos, pos + 1); }
    // Notes that work read [from, to).
    void cover(u64 from, u64 to);
    // Work of n units on [from, to): free on new ground, else taken (false
    // when fewer are left); the stretch counts as covered afterwards.
    bool spendOn(u64 from, u64 to, u64 n = 1) {
        if (overlapsCovered(from, to) && !take(n)) return false;
        cover(from, to);
        return true;
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
    std::vector<std::pair<u64, u64>> covered;  // [from, to), ascending and apart
};

inline void WorkBudget::cover(u64 from, u64 to) {
    if (to <= from) return;
    // The stretches it meets or touches are joined with it.
    auto first = std::find_if(covered.begin(), covered.end(), [&](const auto& c) { return c.second >= from; });
    auto last = first;
    while (last != covered.end() && last->first <= to) {
        from = std::min(from, last->first);
        to = std::max(to, last->second);
        ++last;
    }
    first = covered.erase(first, last);
    covered.insert(first, {from, to});
    if (covered.size() <= kStretches) return;
    // Too many: the two closest become one (more is covered, never less).
    size_t closest = 0;
    for (size_t i = 1; i + 1 < covered.size(); ++i) {
        if (covered[i + 1].first - covered[i].second < covered[closest + 1].first - covered[closest].second) closest = i;
    }
    covered[closest].second = covered[closest + 1].second;
    covered.erase(covered.begin() + static_cast<std::ptrdiff_t>(closest) + 1);
}

}  // namespace vorn
