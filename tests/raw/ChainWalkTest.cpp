// The carvers' memory of the last walk along a chain of structures, on synthetic chains: what it answers
// and how many steps it takes.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "raw/ChainWalk.h"
#include "LogCapture.h"

namespace vorn::test {
namespace {

// A medium of structures at positions 0..n-1: next[p] is where the one after p lies, 0 where p holds none.
struct Chains {
    std::vector<u64> next;
    std::vector<u8> marks;
    u64 steps = 0;
    u64 operator()(u64 pos, u8& mark) {
        ++steps;
        if (pos >= next.size()) return 0;
        mark = marks[pos];
        return next[pos];
    }
    // A walk of its own, as the analysers walked before they remembered.
    ChainWalk::Result walk(u64 start, u64 limit) {
        ChainWalk::Result r;
        u64 pos = start;
        while (pos - start < limit) {
            u8 mark = 0;
            const u64 following = (*this)(pos, mark);
            if (following <= pos) break;
            ++r.count, r.last = pos, pos = following;
            if (mark) r.mark = mark;
        }
        r.frontier = pos;
        return r;
    }
};

void expectSame(const ChainWalk::Result& got, const ChainWalk::Result& want, u64 start) {
    EXPECT_EQ(got.count, want.count) << start;
    EXPECT_EQ(got.frontier, want.frontier) << start;
    EXPECT_EQ(got.mark, want.mark) << start;
    if (want.count) {
        EXPECT_EQ(got.last, want.last) << start;
    }
    EXPECT_FALSE(got.cut) << start;
}

// Jumps of 1 to 16 bytes, now and then an end: walks from neighbouring starts meet, and most run into
// the walk limit and go on from where the last one stopped. Asked every 16 bytes, as the scan asks at
// every block; the budget holds a longest walk, so that what is answered is the memory's.
TEST(ChainWalk, ARememberedWalkAnswersAsAWalkOfItsOwnWithAFractionOfTheSteps) {
    constexpr u64 kCount = 20000, kLimit = 600, kBlock = 16;
    Chains medium;
    std::mt19937_64 random(31);
    for (u64 p = 0; p < kCount; ++p) {
        medium.next.push_back(random() % 2000 == 0 ? 0 : p + 1 + random() % 16);
        medium.marks.push_back(p % 13 == 0 ? static_cast<u8>(1 + p % 3) : 0);
    }
    ChainWalk walk("test structures", 1, kLimit, kLimit + 1);
    Chains own = medium;
    for (u64 start = 0; start < kCount + 20; start += kBlock) {
        const ChainWalk::Result want = own.walk(start, kLimit);
        expectSame(walk.walk(&medium, start, medium), want, start);
    }
    EXPECT_EQ(walk.getSteps(), medium.steps);
    EXPECT_LT(medium.steps, own.steps / 4);
}

// Two chains of 2-byte steps, one on the even positions and one on the odd, asked at every position in
// turn: the memory holds one, and the other is walked on the budget that its stretch earns. Its walks
// stop early and say so; what is answered in full is a walk's own answer. The first walk, over bytes no
// walk went over before, costs nothing.
TEST(ChainWalk, ChainsThatTakeTurnsAreWalkedOnTheBudgetOfTheirStretch) {
    constexpr u64 kCount = 4000;
    Chains medium;
    for (u64 p = 0; p < kCount; ++p) medium.next.push_back(p + 2), medium.marks.push_back(0);
    ChainWalk walk("test structures", 2, kCount);
    Chains own = medium;
    u64 cut = 0;
    LogCapture logs;
    for (u64 start = 0; start < kCount; ++start) {
        const ChainWalk::Result got = walk.walk(&medium, start, medium);
        const ChainWalk::Result want = own.walk(start, kCount);
        if (got.cut) {
            ++cut;
            EXPECT_LE(got.count, want.count) << start;
            EXPECT_LE(got.frontier, want.frontier) << start;
            continue;
        }
        expectSame(got, want, start);
    }
    EXPECT_GT(cut, kCount / 4);
    // Free: the first walk's structures and the few steps past the chains' ends (on no walk's stretch);
    // then the budget: a sixteenth of a walk's worth at first, one step per two bytes the starts move.
    EXPECT_LE(walk.getSteps(), kCount / 2 + 4 + kCount / 2 / ChainWalk::kReserveShare + 1 + kCount / 2);
    EXPECT_EQ(logs.count("test structures: more work than this stretch of the disk allows at byte 1: finds from "
                         "here on may lack their end or type\n"),
              1);
    // Another disk starts with the whole budget again, and nothing of it walked.
    Chains other = medium;
    EXPECT_FALSE(walk.walk(&other, 1, other).cut);
}

}  // namespace
}  // namespace vorn::test
