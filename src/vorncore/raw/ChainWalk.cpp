#include "raw/ChainWalk.h"

namespace vorn {

bool ChainWalk::dropBefore(u64 start) {
    if (head >= positions.size() || start < positions[head]) return false;
    head = static_cast<size_t>(
        std::lower_bound(positions.begin() + static_cast<std::ptrdiff_t>(head), positions.end(), start) -
        positions.begin());
    if (mark && markAt < start) mark = 0;
    if (head > 4096 && head > positions.size() / 2) {
        positions.erase(positions.begin(), positions.begin() + static_cast<std::ptrdiff_t>(head));
        head = 0;
    }
    return head < positions.size() && positions[head] == start;
}

void ChainWalk::clipTo(u64 start) {
    if (head >= positions.size() || positions.back() - start < limit) return;
    const auto beyond = std::lower_bound(positions.begin() + static_cast<std::ptrdiff_t>(head), positions.end(),
                                         start + limit);
    frontier = *beyond;
    ended = cut = false;
    if (mark && markAt >= frontier) mark = 0;
    positions.erase(beyond, positions.end());
}

ChainWalk::Result ChainWalk::result(u64 start) const {
    Result r;
    r.count = positions.size() - head;
    if (r.count) r.last = positions.back();
    r.frontier = frontier;
    r.cut = cut;
    r.mark = mark && markAt >= start ? mark : 0;
    return r;
}

}  // namespace vorn
