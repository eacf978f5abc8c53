#include "platform/SysfsParsers.h"

#include <gtest/gtest.h>

namespace vorn {
namespace {

TEST(MountInfo, ReadsDeviceNumbersPointsTypesAndSourcesPastOptionalFields) {
    const std::string text =
        "27 1 254:0 / / rw,relatime - ext4 /dev/vda rw,discard\n"
        "36 27 8:17 / /media/u/MY\\040STICK rw,nosuid shared:7 master:1 - vfat /dev/sdb1 rw,fmask=0022\n"
        "40 27 0:45 /@home /home rw - btrfs /dev/nvme0n1p2 rw,subvol=/@home\n";
    auto entries = parseMountInfo(text);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].major, 254u);
    EXPECT_EQ(entries[0].minor, 0u);
    EXPECT_EQ(entries[0].mountPoint, "/");
    EXPECT_EQ(entries[0].source, "/dev/vda");
    EXPECT_EQ(entries[1].mountPoint, "/media/u/MY STICK");
    EXPECT_EQ(entries[1].fsType, "vfat");
    EXPECT_EQ(entries[1].source, "/dev/sdb1");
    EXPECT_EQ(entries[2].root, "/@home");
    EXPECT_EQ(entries[2].major, 0u);
    EXPECT_EQ(entries[2].minor, 45u);
}

TEST(MountInfo, MalformedLinesAreSkipped) {
    const std::string text =
        "\n"
        "garbage\n"
        "1 2 8:1 / /a rw\n"                      // no separator
        "1 2 8:1 / /a rw - ext4\n"               // no source after the type
        "1 2 x:1 / /a rw - ext4 /dev/sda1 rw\n"  // bad device number
        "1 2 8:99999999999 / /a rw - ext4 /dev/sda1 rw\n"
        "1 2 8:2 / /b rw - ext4 /dev/sda2 rw\r\n";
    auto entries = parseMountInfo(text);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].source, "/dev/sda2");
    EXPECT_EQ(entries[0].minor, 2u);
}

TEST(Uevent, KeyValueLinesWithLaterKeysWinning) {
    auto m = parseUevent("MAJOR=8\nMINOR=1\nDEVNAME=sda1\nnoequals\n=empty\nPARTNAME=a=b\nMINOR=2");
    EXPECT_EQ(m["MAJOR"], "8");
    EXPECT_EQ(m["MINOR"], "2");
    EXPECT_EQ(m["PARTNAME"], "a=b");
    EXPECT_EQ(m.count(""), 0u);
    EXPECT_EQ(m.size(), 4u);
}

TEST(UdevData, OnlyPropertyLinesAreKept) {
    auto m = parseUdevData("S:disk/by-label/X\nL:0\nE:ID_FS_LABEL=X\nE:ID_BUS=usb\nW:1\nE:\n");
    EXPECT_EQ(m.size(), 2u);
    EXPECT_EQ(m["ID_FS_LABEL"], "X");
    EXPECT_EQ(m["ID_BUS"], "usb");
}

TEST(Escapes, UdevHexEscapesDecodeAndBrokenOnesStay) {
    EXPECT_EQ(decodeUdevEscapes("MY\\x20DISK"), "MY DISK");
    EXPECT_EQ(decodeUdevEscapes("a\\x2fb"), "a/b");
    EXPECT_EQ(decodeUdevEscapes("end\\x4"), "end\\x4");
    EXPECT_EQ(decodeUdevEscapes("bad\\xZZ"), "bad\\xZZ");
    EXPECT_EQ(decodeUdevEscapes("\\"), "\\");
}

TEST(Escapes, MountOctalEscapesDecodeAndBrokenOnesStay) {
    EXPECT_EQ(decodeMountEscapes("/media/a\\040b"), "/media/a b");
    EXPECT_EQ(decodeMountEscapes("tab\\011x"), "tab\tx");
    EXPECT_EQ(decodeMountEscapes("short\\04"), "short\\04");
    EXPECT_EQ(decodeMountEscapes("nine\\049"), "nine\\049");
}

TEST(DisplayText, ControlCharactersGoAndLengthIsCutOnACharacterBoundary) {
    EXPECT_EQ(cleanDisplayText("  Cruzer\tBlade \n"), "CruzerBlade");
    EXPECT_EQ(cleanDisplayText("\x1b[31mred"), "[31mred");
    EXPECT_EQ(cleanDisplayText("   "), "");
    // "é" is two bytes; a cut in its middle drops the whole character.
    EXPECT_EQ(cleanDisplayText("abc\xc3\xa9", 4), "abc");
    EXPECT_EQ(cleanDisplayText("abc\xc3\xa9", 5), "abc\xc3\xa9");
    EXPECT_EQ(cleanDisplayText("ab cd", 3), "ab");
}

TEST(Numbers, DecimalsRefuseJunkAndOverflow) {
    u64 v = 7;
    EXPECT_TRUE(parseDecimal(" 1024\n", v));
    EXPECT_EQ(v, 1024u);
    EXPECT_TRUE(parseDecimal("18446744073709551615", v));
    EXPECT_EQ(v, 18446744073709551615ull);
    EXPECT_FALSE(parseDecimal("18446744073709551616", v));
    EXPECT_FALSE(parseDecimal("", v));
    EXPECT_FALSE(parseDecimal("12ab", v));
    EXPECT_FALSE(parseDecimal("-1", v));
    u32 major = 0, minor = 0;
    EXPECT_TRUE(parseMajorMinor("259:3\n", major, minor));
    EXPECT_EQ(major, 259u);
    EXPECT_EQ(minor, 3u);
    EXPECT_FALSE(parseMajorMinor("259", major, minor));
    EXPECT_FALSE(parseMajorMinor("4294967296:0", major, minor));
}

TEST(NodeNames, DevnameWinsWhenPlainElseBangsBecomeSlashes) {
    EXPECT_EQ(deviceNodeName("sda", {{"DEVNAME", "sda"}}), "sda");
    EXPECT_EQ(deviceNodeName("cciss!c0d0", {}), "cciss/c0d0");
    EXPECT_EQ(deviceNodeName("cciss!c0d0", {{"DEVNAME", "cciss/c0d0"}}), "cciss/c0d0");
    EXPECT_EQ(deviceNodeName("sda", {{"DEVNAME", "../etc/passwd"}}), "sda");
    EXPECT_EQ(deviceNodeName("sda", {{"DEVNAME", "/etc/passwd"}}), "sda");
    EXPECT_EQ(deviceNodeName("sda", {{"DEVNAME", "a b"}}), "sda");
}

}  // namespace
}  // namespace vorn
