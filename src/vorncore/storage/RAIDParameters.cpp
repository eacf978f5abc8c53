#include "storage/RAIDParameters.h"

#include <cstdio>

#include "misc/Log.h"

namespace vorn {

namespace {

const char* const kRotationNames[RAIDParameters::kRotationCount] = {
    "forward", "backward", "none", "forwarddyn", "backwarddyn", "forwarddelay", "backwarddelay",
};

constexpr u32 kDumpRows = 10;

}  // namespace

RAIDParameters::RAIDParameters() = default;

RAIDParameters::RAIDParameters(u8 count, u64 first, u32 stripe, u32 rotation)
    : stripeSectors(stripe), parityRotation(rotation) {
    setDiskCount(count);
    setAllFirstSectors(first);
}

bool RAIDParameters::setDiskCount(u8 count) {
    if (count < kMinDisks || count > kMaxDisks) {
        log(LOG_ERROR, "Error: invalid disk count (%d)!\n", count);
        return false;
    }
    diskCount = count;
    return true;
}

u64 RAIDParameters::getFirstSector(u32 member) const {
    return member < kMaxDisks ? firstSector[member] : 0;
}

void RAIDParameters::setFirstSector(u32 member, u64 block) {
    if (member >= kMaxDisks) {
        log(LOG_ERROR, "error at RAIDParameters::setFirstSector: invalid member index (%u)\n", member);
        return;
    }
    firstSector[member] = block;
}

void RAIDParameters::setAllFirstSectors(u64 block) {
    for (u64& f : firstSector) f = block;
}

void RAIDParameters::reset() {
    diskCount = 0;
    parityRotation = PARITY_BACKWARD_DYN;
    setAllFirstSectors(0);
}

bool RAIDParameters::isValid() const {
    return diskCount >= kMinDisks && diskCount <= kMaxDisks && stripeSectors >= 1 &&
           stripeSectors <= kMaxStripeSectors && parityRotation < kRotationCount;
}

u32 RAIDParameters::getDataDiskCount() const {
    if (diskCount < kMinDisks || diskCount > kMaxDisks) return 0;
    return hasParity() ? diskCount - 1u : diskCount;
}

bool RAIDParameters::rotatingPlacement() const {
    return parityRotation == PARITY_FORWARD_DYN || parityRotation == PARITY_BACKWARD_DYN;
}

u32 RAIDParameters::parityDisk(u64 row) const {
    if (diskCount < kMinDisks || diskCount > kMaxDisks) return 0;
    const u64 n = diskCount;
    switch (parityRotation) {
        case PARITY_FORWARD:
        case PARITY_FORWARD_DYN:
            return static_cast<u32>((row % n + n - 1) % n);
        case PARITY_BACKWARD:
        case PARITY_BACKWARD_DYN:
            return static_cast<u32>(n - 1 - row % n);
        case PARITY_FORWARD_DELAY:
            return static_cast<u32>(((row / n) % n + n - 1) % n);
        case PARITY_BACKWARD_DELAY:
            return static_cast<u32>(n - 1 - (row / n) % n);
        default:
            return 0;
    }
}

void RAIDParameters::computeRowCol(u64 stripe, u32& member, u64& row, u32& parityMember) const {
    if (!isValid()) {
        member = 0;
        row = 0;
        return;
    }
    const u64 n = diskCount;
    if (!hasParity()) {
        row = stripe / n;
        member = static_cast<u32>(stripe % n);
        return;
    }
    row = stripe / (n - 1);
    parityMember = parityDisk(row);
    const u32 k = static_cast<u32>(stripe % (n - 1));
    if (rotatingPlacement()) {
        member = static_cast<u32>((k + parityMember + 1) % n);
    } else {
        member = k < parityMember ? k : k + 1;
    }
}

bool RAIDParameters::computeStripeBlock(u32 member, u64 row, u64& stripe) const {
    if (!isValid() || member >= diskCount) return false;
    const u64 n = diskCount;
    if (!hasParity()) {
        stripe = row * n + member;
        return true;
    }
    const u32 p = parityDisk(row);
    if (member == p) return false;
    if (rotatingPlacement()) {
        stripe = row * (n - 1) + (member + n - p - 1) % n;
    } else {
        stripe = row * (n - 1) + member - (member > p ? 1 : 0);
    }
    return true;
}

const char* RAIDParameters::rotationName(u32 rotation) {
    return rotation < kRotationCount ? kRotationNames[rotation] : "unknown";
}

void RAIDParameters::dump() const {
    log(LOG_DEBUG, "-------------RAIDParameters dump-----------\n");
    log(LOG_DEBUG, "diskRotationCount: %d\n", diskCount);
    log(LOG_DEBUG, "stripeSectors: %d\n", static_cast<int>(stripeSectors));
    log(LOG_DEBUG, "parityRotation: %s\n", rotationName(parityRotation));
    const u32 n = diskCount <= kMaxDisks ? diskCount : kMaxDisks;
    for (u32 i = 0; i < n; i++) {
        log(LOG_DEBUG, "  idx%02d firstsec=%lld\n", static_cast<int>(i), static_cast<long long>(firstSector[i]));
    }
    log(LOG_DEBUG, "layout:\n");
    // Each cell holds "*" or a stripe number of at most three digits (the
    // table covers 10 rows of at most 14 stripes).
    char cells[kDumpRows][kMaxDisks][8];
    for (auto& rowCells : cells) {
        for (auto& cell : rowCells) snprintf(cell, sizeof cell, "*");
    }
    // Without a usable layout the table stays empty rather than dividing by
    // a zero count or stripe.
    if (isValid()) {
        for (u64 stripe = 0;; stripe++) {
            u32 member = 0;
            u32 parity = 0;
            u64 row = 0;
            computeRowCol(stripe, member, row, parity);
            if (row >= kDumpRows) break;
            snprintf(cells[row][member], sizeof cells[row][member], "%llu", static_cast<unsigned long long>(stripe));
            u64 back = 0;
            if (!computeStripeBlock(member, row, back) || back != stripe) {
                log(LOG_ERROR, "Error: computeStripeBlock (%lld) or computeRowCol (%lld) is broken (row=%lld, col=%d)!\n",
                    static_cast<long long>(back), static_cast<long long>(stripe), static_cast<long long>(row),
                    static_cast<int>(member));
            }
        }
    }
    for (const auto& rowCells : cells) {
        char line[kMaxDisks * 8 + 2];
        int used = 0;
        for (u32 m = 0; m < n; m++) used += snprintf(line + used, sizeof line - used, "%3s", rowCells[m]);
        snprintf(line + used, sizeof line - used, "\n");
        log(LOG_DEBUG, std::string(line));
    }
    log(LOG_DEBUG, "-------------------------------------\n");
}

}  // namespace vorn
