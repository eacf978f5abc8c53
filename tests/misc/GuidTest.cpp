#include "misc/Guid.h"

#include <gtest/gtest.h>

namespace vorn {
namespace {

TEST(Guid, ReadsBothByteOrdersAndRoundTripsItsTextForm) {
    const u8 efi[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11, 0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};
    Guid little, big, back, last;
    little.fromBytes(efi, false);
    big.fromBytes(efi, true);
    back = std::string("c12a7328-f81f-11d2-ba4b-00a0c93ec93b");
    last = std::string("C12A7328-F81F-11D2-BA4B-00A0C93EC93C");
    for (const char* bad : {"48465300-0000-11AA-AA11-00306543ECA", "484653000-000-11AA-AA11-00306543ECAC", ""})
        back.fromString(bad);  // malformed: one character short, a dash moved, empty; the value stays
    EXPECT_EQ(little.toString() + " " + big.toString(),
              "C12A7328-F81F-11D2-BA4B-00A0C93EC93B 28732AC1-1FF8-D211-BA4B-00A0C93EC93B");
    EXPECT_TRUE(back == little);
    EXPECT_TRUE(big != little);
    EXPECT_TRUE(last != little);
}

}  // namespace
}  // namespace vorn
