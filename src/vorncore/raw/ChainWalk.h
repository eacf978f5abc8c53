// The last walk along a chain of linked structures on the disk (audio
// frames, archive headers, directory records, archive members), in which
// each structure tells where the next one lies, further on.
//
// The scan asks its analysers about a candidate at every free block. A
// chain whose walk runs past the disk's end gives a find without an end the
// scan could jump past, so every block inside the chain is asked about
// again, and a walk from each would walk the rest of the chain again: the
// scan's cost would grow with the square of the chain. ChainWalk keeps the
// positions of the last walk and where it stopped (its frontier). A walk
// from one of those positions, or one that steps onto one of them (chains
// that merge), takes the rest from the memory and goes on from the
// frontier: it answers what a walk of its own would, and each structure is
// stepped on about once. A walk of another chain takes the memory's place
// unless the remembered chain holds more structures ahead.
//
// What the memory cannot help with (chains that take turns, so that the
// last walk never holds the next start) a WorkBudget bounds: a walk earns
// one step per smallest structure that the scan's candidate lies past the
// last candidate. Only steps inside the stretch an earlier walk went over
// (from its start to its last structure) cost a unit: a walk over new
// ground is free, so that a sound file after crafted content that used up
// the budget is still walked in full. Sound data seldom has a walk go over
// another's stretch without joining it, so the budget holds a sixteenth of
// a longest walk (limit / smallest / 16): what crafted content may spend
// beyond what its stretch earns. A walk that runs out stops where it is and
// says so (cut); a later walk through its positions goes on from there.
//
// Positions are absolute byte offsets on the stream; a step always moves
// forward. Positions before the latest start are dropped, so the memory
// holds at most one walk's structures, and each structure is put into it
// and dropped once. One per analyser and kind of chain; not thread-safe.
#pragma once

#include <algorithm>
#include <deque>
#include <utility>
#include <vector>

#include "misc/Types.h"
#include "raw/WorkBudget.h"

namespace vorn {

class ChainWalk {
public:
    struct Result {
        u64 count = 0;     // structures from the start
        u64 last = 0;      // position of the last of them (when count > 0)
        u64 frontier = 0;  // where the walk stopped: no structure there, or the limit or the budget reached
        bool cut = false;  // stopped by the budget
        u8 mark = 0;       // the mark of the last marked structure, 0 when none is
    };

    static constexpr u64 kReserveShare = 16;

    // what: the structures, for the budget's warning; smallest: the fewest
    // bytes a step moves; limit: a walk stops at a position `limit` or more
    // bytes past its start; reserve: the budget's units at first (0: a
    // kReserveShare-th of a longest walk).
    ChainWalk(const char* what, u64 smallest, u64 limit, u64 reserve = 0)
        : limit(limit),
          budget(what, reserve ? reserve : limit / (smallest ? smallest : 1) / kReserveShare + 1, smallest) {}

    // Walks from start for the scan's candidate at `candidate` (at or before
    // start: a structure there may point to where the walk starts).
    // step(pos, mark) answers the position of the next structure (past pos)
    // when a structure lies at pos, 0 when none does; it may set mark (0 on
    // entry) to tell something of the structure.
    template <typename Step>
    Result walk(const void* stream, u64 candidate, u64 start, Step&& step);
    template <typename Step>
    Result walk(const void* stream, u64 start, Step&& step) {
        return walk(stream, start, start, std::forward<Step>(step));
    }

    // Steps taken over all walks.
    u64 getSteps() const { return steps; }

private:
    enum class Stop { None, Limit, Budget, Joined };

    // Drops the positions before start; true when start is one of the rest.
    bool dropBefore(u64 start);
    // Forgets the positions `limit` or more bytes past start: a walk from
    // start stops there.
    void clipTo(u64 start);
    // Steps from pos (left where the steps stop) and appends the structures
    // to `into`, the last marked one to markAt and mark, until no structure
    // lies at pos, the limit or the budget is reached, or (with join) pos is
    // a remembered position, whose index goes to met.
    template <typename Step, typename Into>
    Stop run(u64 start, u64& pos, Step& step, Into& into, u64& markAt, u8& mark, bool join, size_t& met);
    Result result(u64 start) const;
    // The walk's stretch, from start to its last structure, counts as covered.
    Result covering(u64 start, const Result& r) {
        if (r.count) budget.cover(start, r.last + 1);
        return r;
    }

    const u64 limit;
    WorkBudget budget;
    const void* stream = nullptr;
    // The walk's structures, ascending. A deque, since walks that join it
    // put their own first structures in front.
    std::deque<u64> positions;
    u64 frontier = 0;
    bool ended = false;  // no structure at the frontier
    bool cut = false;    // the budget ran out at the frontier
    u64 markAt = 0;      // the last marked position, when mark != 0
    u8 mark = 0;
    std::vector<u64> fresh;  // a walk's own positions, until it meets the remembered ones
    u64 steps = 0;
};

template <typename Step, typename Into>
ChainWalk::Stop ChainWalk::run(u64 start, u64& pos, Step& step, Into& into, u64& lastMarkAt, u8& lastMark, bool join,
                               size_t& met) {
    while (pos - start < limit) {
        if (join && !positions.empty() && pos >= positions.front() && pos <= positions.back()) {
            const auto it = std::lower_bound(positions.begin(), positions.end(), pos);
            if (*it == pos) {
                met = static_cast<size_t>(it - positions.begin());
                return Stop::Joined;
            }
        }
        if (budget.isCovered(pos) && !budget.spend()) return Stop::Budget;
        ++steps;
        u8 m = 0;
        const u64 next = step(pos, m);
        if (next <= pos) return Stop::None;
        into.push_back(pos);
        if (m) lastMarkAt = pos, lastMark = m;
        pos = next;
    }
    return Stop::Limit;
}

template <typename Step>
ChainWalk::Result ChainWalk::walk(const void* s, u64 candidate, u64 start, Step&& step) {
    budget.earn(s, candidate);
    if (s != stream) {
        stream = s;
        positions.clear(), mark = 0, frontier = start, ended = cut = false;
    }
    size_t met = 0;
    if (!dropBefore(start)) {
        // A walk of its own, until it ends or steps onto a remembered position.
        fresh.clear();
        u64 freshMarkAt = 0, pos = start;
        u8 freshMark = 0;
        const Stop stop = run(start, pos, step, fresh, freshMarkAt, freshMark, true, met);
        if (stop != Stop::Joined) {
            // A chain of its own: remembered instead of the last one unless
            // that holds more structures ahead (a short chain between the
            // starts of a long one costs little to walk again).
            Result r;
            r.count = fresh.size();
            r.last = fresh.empty() ? 0 : fresh.back();
            r.frontier = pos, r.cut = stop == Stop::Budget, r.mark = freshMark;
            if (fresh.size() >= positions.size()) {
                positions.assign(fresh.begin(), fresh.end());
                frontier = pos, ended = stop == Stop::None, cut = r.cut;
                mark = freshMark, markAt = freshMarkAt;
            }
            return covering(start, r);
        }
        const bool keepMark = mark != 0 && markAt >= positions[met];
        positions.erase(positions.begin(), positions.begin() + static_cast<std::ptrdiff_t>(met));
        positions.insert(positions.begin(), fresh.begin(), fresh.end());
        if (!keepMark) mark = freshMark, markAt = freshMarkAt;
    }
    clipTo(start);
    if (!ended) {  // on from the frontier
        u64 pos = frontier;
        const Stop stop = run(start, pos, step, positions, markAt, mark, false, met);
        frontier = pos, ended = stop == Stop::None, cut = stop == Stop::Budget;
    }
    return covering(start, result(start));
}

}  // namespace vorn
