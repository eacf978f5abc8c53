// The media list of the machine the tests run on, against the system's own
// tools: lsblk for the disks, sfdisk for partition tables of images attached
// as loop devices (those need root).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

#include "TestMedia.h"
#include "platform/LinuxDisk.h"
#include "platform/LoopDevice.h"
#include "platform/SysfsMediaScanner.h"
#include "storage/Disk.h"

namespace vorn {
namespace {

std::string run(const std::string& cmd, int* status = nullptr) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int rc = pclose(p);
    if (status) *status = rc;
    return out;
}

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

const MediaInfo* find(const std::vector<MediaInfo>& list, const std::string& name) {
    for (const MediaInfo& m : list) {
        if (m.name == name) return &m;
    }
    return nullptr;
}

TEST(RealSystem, DiskListHasTheMachinesOwnDisksWithTheirRealSizes) {
    int status = 0;
    const std::string out = run("lsblk -b -d -n -o NAME,SIZE 2>/dev/null", &status);
    if (status != 0) GTEST_SKIP() << "lsblk missing";
    std::vector<MediaInfo> disks;
    ASSERT_TRUE(SysfsMediaScanner().scanDisks(disks));
    std::istringstream lines(out);
    std::string name;
    unsigned long long size = 0;
    int checked = 0;
    while (lines >> name >> size) {
        // Left out by rule: loop devices (attached and detached by other
        // programs at any time), ram disks and drives without a medium.
        if (startsWith(name, "loop") || startsWith(name, "ram") || startsWith(name, "zram") || size == 0) continue;
        const MediaInfo* m = find(disks, name);
        ASSERT_TRUE(m) << name << " is missing from the list";
        EXPECT_EQ(m->sizeBytes, size) << name;
        EXPECT_EQ(m->blockCount * m->blockSize, size) << name;
        EXPECT_TRUE(m->whole);
        EXPECT_NE(m->type, DISK_TYPE_UNKNOWN) << name;
        ++checked;
    }
    // And nothing is listed that the system does not know.
    for (const MediaInfo& m : disks) {
        if (startsWith(m.name, "loop")) continue;
        EXPECT_NE(out.find(m.name + " "), std::string::npos) << m.name << " is not a disk of this machine";
    }
    RecordProperty("disks_checked", checked);
}

TEST(RealSystem, PartitionListMatchesTheKernels) {
    int status = 0;
    const std::string out = run("lsblk -b -n -l -o NAME,SIZE,TYPE 2>/dev/null", &status);
    if (status != 0) GTEST_SKIP() << "lsblk missing";
    std::vector<MediaInfo> parts;
    ASSERT_TRUE(SysfsMediaScanner().scanPartitions(parts));
    std::istringstream lines(out);
    std::string name, type;
    unsigned long long size = 0;
    while (lines >> name >> size >> type) {
        if (type != "part" || startsWith(name, "loop") || size == 0) continue;
        const MediaInfo* m = find(parts, name);
        ASSERT_TRUE(m) << name;
        EXPECT_EQ(m->sizeBytes, size) << name;
    }
}

// Start and size (in sectors) of each partition of an image, by number, as
// sfdisk reads the table.
std::map<int, std::pair<unsigned long long, unsigned long long>> sfdiskTable(const std::string& image) {
    std::map<int, std::pair<unsigned long long, unsigned long long>> table;
    std::istringstream lines(run("sfdisk -d '" + image + "' 2>/dev/null"));
    std::string line;
    while (std::getline(lines, line)) {
        if (!startsWith(line, image.c_str())) continue;
        const int number = atoi(line.c_str() + image.size());
        unsigned long long start = 0, size = 0;
        const char* s = strstr(line.c_str(), "start=");
        const char* z = strstr(line.c_str(), "size=");
        if (!s || !z) continue;
        start = strtoull(s + 6, nullptr, 10);
        size = strtoull(z + 5, nullptr, 10);
        table[number] = {start, size};
    }
    return table;
}

TEST(RealSystemLoop, MbrImageListsPrimaryAndLogicalAndFlagsTheExtendedContainer) {
    const std::string image = test::mediaPath("mbr_extended.img");
    auto table = sfdiskTable(image);
    ASSERT_EQ(table.size(), 3u) << "sfdisk could not read " << image;
    test::LoopDevice loop(image, "-P");
    if (!loop.available()) GTEST_SKIP() << "no loop device (needs root and losetup)";
    loop.ensurePartitions();

    std::vector<MediaInfo> disks;
    ASSERT_TRUE(SysfsMediaScanner().scanDisks(disks));
    const MediaInfo* disk = find(disks, loop.name());
    ASSERT_TRUE(disk);
    EXPECT_EQ(disk->type, DISK_TYPE_IMAGEFILE);
    EXPECT_EQ(disk->displayName, "mbr_extended.img");
    EXPECT_EQ(disk->sizeBytes, 8u << 20);

    std::vector<MediaInfo> parts;
    ASSERT_TRUE(SysfsMediaScanner().scanPartitions(parts));
    const std::string n = loop.name();
    for (int number : {1, 2, 5}) {
        const MediaInfo* p = find(parts, n + "p" + std::to_string(number));
        ASSERT_TRUE(p) << "partition " << number;
        EXPECT_EQ(p->parent, n);
        EXPECT_EQ(p->parentDevicePath, loop.path());
        EXPECT_EQ(p->partitionNumber, number);
        EXPECT_EQ(p->extendedContainer, number == 2);
        if (number != 2) {
            EXPECT_EQ(p->sizeBytes, table[number].second * 512) << number;
        }
    }

    // The logical partition's node reads from the partition's own start.
    LinuxDisk logical(loop.path() + "p5");
    ASSERT_TRUE(logical.open(false));
    EXPECT_EQ(logical.getBlockCount(), table[5].second);
    u8 block[512];
    ASSERT_TRUE(logical.readBlocks(0, 1, block));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 7), "VORN-P5");
    logical.close();
}

}  // namespace
}  // namespace vorn
