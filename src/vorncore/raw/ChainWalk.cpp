#include "raw/ChainWalk.h"

namespace vorn {

bool ChainWalk::dropBefore(u64 start) {
    if (positions.empty() || start < positions.front()) return false;
    positions.erase(positions.begin(), std::lower_bound(positions.begin(), positions.end(), start));
    if (mark && markAt < start) mark = 0;
    return !positions.empty() && positions.front() == start;
}

void ChainWalk::clipTo(u64 start) {
    if (positions.empty() || positions.back() - start < limit) return;
    const auto beyond = std::lower_bound(positions.begin(), positions.end(), start + limit);
    frontier = *beyond;
    ended = cut = false;
    if (mark && markAt >= frontier) mark = 0;
    positions.erase(beyond, positions.end());
}

ChainWalk::Result ChainWalk::result(u64 start) const {
    Result r;
    r.count = positions.size();
    if (r.count) r.last = positions.back();
    r.frontier = frontier;
    r.cut = cut;
    r.mark = mark && markAt >= start ? mark : 0;
    return r;
}

}  // namespace vorn
