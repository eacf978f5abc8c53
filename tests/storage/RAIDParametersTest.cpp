#include "storage/RAIDParameters.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/LogCapture.h"

namespace vorn {
namespace {

using test::LogCapture;

RAIDParameters layout(u8 n, u32 rotation, u32 stripe = 16, u64 first = 0) {
    return RAIDParameters(n, first, stripe, rotation);
}

struct Place {
    u32 member;
    u64 row;
};

Place place(const RAIDParameters& p, u64 stripe) {
    Place at{99, 99};
    u32 parity = 99;
    p.computeRowCol(stripe, at.member, at.row, parity);
    return at;
}

TEST(RAIDParameters, DefaultValueIsEmptyBackwardDynamic) {
    RAIDParameters p;
    EXPECT_EQ(p.getDiskCount(), 0);
    EXPECT_EQ(p.getParityRotation(), PARITY_BACKWARD_DYN);
    for (u32 i = 0; i < RAIDParameters::kMaxDisks; i++) EXPECT_EQ(p.getFirstSector(i), 0u);
    EXPECT_FALSE(p.isValid());
}

TEST(RAIDParameters, FullConstructorSetsEveryField) {
    RAIDParameters p(5, 63, 128, PARITY_FORWARD_DELAY);
    EXPECT_EQ(p.getDiskCount(), 5);
    EXPECT_EQ(p.getStripeSectors(), 128u);
    EXPECT_EQ(p.getParityRotation(), PARITY_FORWARD_DELAY);
    for (u32 i = 0; i < RAIDParameters::kMaxDisks; i++) EXPECT_EQ(p.getFirstSector(i), 63u);
    EXPECT_TRUE(p.isValid());
}

TEST(RAIDParameters, DiskCountOutsideTwoToFourteenIsRefusedAndLogged) {
    LogCapture capture(LOG_ERROR);
    RAIDParameters p;
    EXPECT_FALSE(p.setDiskCount(1));
    EXPECT_TRUE(capture.has("Error: invalid disk count (1)!\n"));
    EXPECT_FALSE(p.setDiskCount(15));
    EXPECT_TRUE(capture.has("Error: invalid disk count (15)!\n"));
    EXPECT_EQ(p.getDiskCount(), 0);
    EXPECT_TRUE(p.setDiskCount(2));
    EXPECT_TRUE(p.setDiskCount(14));
    EXPECT_EQ(p.getDiskCount(), 14);
    EXPECT_FALSE(p.setDiskCount(0));
    EXPECT_EQ(p.getDiskCount(), 14);
}

TEST(RAIDParameters, ConstructorWithInvalidCountLeavesZero) {
    LogCapture capture(LOG_ERROR);
    RAIDParameters p(20, 0, 16, PARITY_NONE);
    EXPECT_EQ(p.getDiskCount(), 0);
    EXPECT_TRUE(capture.has("Error: invalid disk count (20)!\n"));
}

TEST(RAIDParameters, ResetKeepsTheStripeAndClearsTheRest) {
    RAIDParameters p(4, 1024, 64, PARITY_FORWARD);
    p.setFirstSector(3, 7);
    p.reset();
    EXPECT_EQ(p.getDiskCount(), 0);
    EXPECT_EQ(p.getParityRotation(), PARITY_BACKWARD_DYN);
    for (u32 i = 0; i < RAIDParameters::kMaxDisks; i++) EXPECT_EQ(p.getFirstSector(i), 0u);
}

TEST(RAIDParameters, MemberIndexAboveThirteenIsNeverStored) {
    LogCapture capture(LOG_ERROR);
    RAIDParameters p(3, 5, 16, PARITY_NONE);
    p.setFirstSector(14, 99);
    p.setFirstSector(0xFFFFFFFFu, 99);
    EXPECT_TRUE(capture.hasPrefix("error at RAIDParameters::setFirstSector"));
    EXPECT_EQ(p.getFirstSector(14), 0u);
    EXPECT_EQ(p.getFirstSector(13), 5u);
    p.setFirstSector(13, 8);
    EXPECT_EQ(p.getFirstSector(13), 8u);
}

TEST(RAIDParameters, ValidityNeedsCountStripeAndRotationInRange) {
    EXPECT_TRUE(layout(2, 0, 1).isValid());
    EXPECT_TRUE(layout(14, 6, RAIDParameters::kMaxStripeSectors).isValid());
    EXPECT_FALSE(layout(3, 0, 0).isValid());
    EXPECT_FALSE(layout(3, 0, RAIDParameters::kMaxStripeSectors + 1).isValid());
    EXPECT_FALSE(layout(3, 7).isValid());
    RAIDParameters p = layout(3, 0);
    p.setParityRotation(0xFFFFFFFFu);
    EXPECT_FALSE(p.isValid());
}

TEST(RAIDParameters, ThreeMembersBackwardDynamicRotatesDataAfterParity) {
    RAIDParameters p = layout(3, PARITY_BACKWARD_DYN);
    const u32 members[] = {0, 1, 2, 0, 1, 2};
    const u64 rows[] = {0, 0, 1, 1, 2, 2};
    for (u64 s = 0; s < 6; s++) {
        EXPECT_EQ(place(p, s).member, members[s]) << "stripe " << s;
        EXPECT_EQ(place(p, s).row, rows[s]) << "stripe " << s;
    }
    EXPECT_EQ(p.parityDisk(0), 2u);
    EXPECT_EQ(p.parityDisk(1), 1u);
    EXPECT_EQ(p.parityDisk(2), 0u);
}

TEST(RAIDParameters, ThreeMembersBackwardKeepsDataInAscendingOrder) {
    RAIDParameters p = layout(3, PARITY_BACKWARD);
    EXPECT_EQ(place(p, 2).member, 0u);
    EXPECT_EQ(place(p, 3).member, 2u);
    EXPECT_EQ(p.parityDisk(1), 1u);
}

TEST(RAIDParameters, ForwardParityMovesUpOneMemberPerRow) {
    RAIDParameters p = layout(3, PARITY_FORWARD);
    EXPECT_EQ(p.parityDisk(0), 2u);
    EXPECT_EQ(p.parityDisk(1), 0u);
    EXPECT_EQ(p.parityDisk(2), 1u);
    EXPECT_EQ(p.parityDisk(3), 2u);
}

TEST(RAIDParameters, DelayRotationsMoveParityEveryNRows) {
    RAIDParameters f = layout(3, PARITY_FORWARD_DELAY);
    for (u64 r = 0; r < 3; r++) EXPECT_EQ(f.parityDisk(r), 2u);
    for (u64 r = 3; r < 6; r++) EXPECT_EQ(f.parityDisk(r), 0u);
    for (u64 r = 6; r < 9; r++) EXPECT_EQ(f.parityDisk(r), 1u);
    RAIDParameters b = layout(3, PARITY_BACKWARD_DELAY);
    for (u64 r = 0; r < 3; r++) EXPECT_EQ(b.parityDisk(r), 2u);
    for (u64 r = 3; r < 6; r++) EXPECT_EQ(b.parityDisk(r), 1u);
    for (u64 r = 6; r < 9; r++) EXPECT_EQ(b.parityDisk(r), 0u);
}

TEST(RAIDParameters, NoParitySpreadsStripesOverAllMembers) {
    RAIDParameters p = layout(4, PARITY_NONE);
    EXPECT_EQ(place(p, 9).member, 1u);
    EXPECT_EQ(place(p, 9).row, 2u);
    u64 stripe = 0;
    ASSERT_TRUE(p.computeStripeBlock(1, 2, stripe));
    EXPECT_EQ(stripe, 9u);
}

TEST(RAIDParameters, StripeBlockInvertsRowColForEveryRotationAndCount) {
    for (u32 rotation = 0; rotation < 7; rotation++) {
        for (u8 n = 2; n <= 14; n++) {
            RAIDParameters p = layout(n, rotation);
            const u32 data = p.getDataDiskCount();
            for (u64 row = 0; row < 3u * n * n; row++) {
                u32 dataSeen = 0;
                for (u32 m = 0; m < n; m++) {
                    u64 stripe = 0;
                    const bool isData = p.computeStripeBlock(m, row, stripe);
                    if (rotation != PARITY_NONE && m == p.parityDisk(row)) {
                        EXPECT_FALSE(isData);
                        continue;
                    }
                    ASSERT_TRUE(isData) << rotation << " n=" << int(n) << " row=" << row << " m=" << m;
                    dataSeen++;
                    EXPECT_EQ(stripe / data, row);
                    const Place back = place(p, stripe);
                    EXPECT_EQ(back.member, m);
                    EXPECT_EQ(back.row, row);
                }
                EXPECT_EQ(dataSeen, data);
            }
        }
    }
}

TEST(RAIDParameters, InvalidValuesNeverDivideOrIndex) {
    RAIDParameters p;  // no members, no stripe
    Place at = place(p, 12345);
    EXPECT_EQ(at.member, 0u);
    EXPECT_EQ(at.row, 0u);
    u64 stripe = 0;
    EXPECT_FALSE(p.computeStripeBlock(0, 3, stripe));
    EXPECT_EQ(p.parityDisk(7), 0u);
    EXPECT_EQ(p.getDataDiskCount(), 0u);
    RAIDParameters bad = layout(3, 9);
    EXPECT_FALSE(bad.computeStripeBlock(0, 0, stripe));
    RAIDParameters good = layout(3, PARITY_NONE);
    EXPECT_FALSE(good.computeStripeBlock(3, 0, stripe));
}

TEST(RAIDParameters, DumpDrawsTheLayoutWithParityCellsAsStars) {
    LogCapture capture(LOG_DEBUG);
    layout(3, PARITY_BACKWARD_DYN, 64, 63).dump();
    const std::vector<std::string> expected = {
        "-------------RAIDParameters dump-----------\n",
        "diskRotationCount: 3\n",
        "stripeSectors: 64\n",
        "parityRotation: backwarddyn\n",
        "  idx00 firstsec=63\n",
        "  idx01 firstsec=63\n",
        "  idx02 firstsec=63\n",
        "layout:\n",
        "  0  1  *\n",
        "  3  *  2\n",
        "  *  4  5\n",
        "  6  7  *\n",
        "  9  *  8\n",
        "  * 10 11\n",
        " 12 13  *\n",
        " 15  * 14\n",
        "  * 16 17\n",
        " 18 19  *\n",
        "-------------------------------------\n",
    };
    EXPECT_EQ(capture.lines, expected);
}

TEST(RAIDParameters, DumpOfAnUnusableValueDrawsNoStripes) {
    LogCapture capture(LOG_DEBUG);
    RAIDParameters p(2, 0, 0, 99);
    p.dump();
    EXPECT_TRUE(capture.has("parityRotation: unknown\n"));
    EXPECT_EQ(capture.count("  *  *\n"), 10);
    EXPECT_FALSE(capture.hasPrefix("Error"));
}

}  // namespace
}  // namespace vorn
