#include "fs/Guid.h"

#include <gtest/gtest.h>

#include <sstream>

namespace vorn {
namespace {

const u8 kEfiSystemOnDisk[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                                 0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};

TEST(Guid, ReadsPartitionTableByteOrderAndBigEndian) {
    Guid little;
    little.fromBytes(kEfiSystemOnDisk, false);
    EXPECT_EQ(little.toString(), "C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
    Guid big;
    big.fromBytes(kEfiSystemOnDisk, true);
    EXPECT_EQ(big.toString(), "28732AC1-1FF8-D211-BA4B-00A0C93EC93B");
    EXPECT_NE(little, big);
}

TEST(Guid, TextRoundTripsAndIgnoresCase) {
    Guid g;
    g.fromBytes(kEfiSystemOnDisk, false);
    Guid back;
    back.fromString(g.toString());
    EXPECT_EQ(back, g);
    Guid lower;
    lower = std::string("c12a7328-f81f-11d2-ba4b-00a0c93ec93b");
    EXPECT_EQ(lower, g);
    EXPECT_EQ(lower.toString(), "C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
}

TEST(Guid, MalformedTextLeavesValueUnchanged) {
    Guid g;
    g.fromString("48465300-0000-11AA-AA11-00306543ECAC");
    const Guid before = g;
    g.fromString("48465300-0000-11AA-AA11-00306543ECA");     // 35 characters
    EXPECT_EQ(g, before);
    g.fromString("484653000-000-11AA-AA11-00306543ECAC");    // dash moved
    EXPECT_EQ(g, before);
    g.fromString("");
    EXPECT_EQ(g, before);
}

TEST(Guid, GroupsStopAtFirstNonHexCharacter) {
    Guid g;
    g.fromString("12xx5678-0000-0000-0000-0000000000zz");
    EXPECT_EQ(g.data1, 0x12u);
    EXPECT_EQ(g.node[5], 0);
}

TEST(Guid, ValuesDifferingInLastNodeByteAreUnequal) {
    Guid a, b;
    a.fromString("48465300-0000-11AA-AA11-00306543ECAC");
    b.fromString("48465300-0000-11AA-AA11-00306543ECAD");
    EXPECT_NE(a, b);
    EXPECT_FALSE(a == b);
}

TEST(Guid, StreamsWriteTextAndReadOneWord) {
    Guid g;
    std::istringstream in("48465300-0000-11AA-AA11-00306543ECAC rest");
    in >> g;
    std::ostringstream out;
    out << g;
    EXPECT_EQ(out.str(), "48465300-0000-11AA-AA11-00306543ECAC");
    std::string rest;
    in >> rest;
    EXPECT_EQ(rest, "rest");
}

}  // namespace
}  // namespace vorn
