#include "storage/PartitionTableParser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "LogCapture.h"
#include "TestMedia.h"
#include "fs/MemoryTestDisk.h"
#include "misc/Utils.h"
#include "storage/DiskManager.h"
#include "storage/PartitionDisk.h"
#include "storage/StorageTestUtil.h"

namespace vorn::test {
namespace {

struct Found { u64 first, last; std::string name; bool operator==(const Found&) const = default; };
std::ostream& operator<<(std::ostream& o, const Found& f) { return o << f.first << ".." << f.last << ' ' << f.name; }

std::vector<Found> partitionsOf(Disk* disk) {
    std::vector<Found> found;
    for (u32 i = 0; i < disk->getPartitionCount(); ++i) {
        auto* part = static_cast<PartitionDisk*>(disk->getPartition(i));
        EXPECT_TRUE(part->isKindOf(KIND_PARTITION_DISK));
        EXPECT_TRUE(part->getParent() == disk);
        EXPECT_FALSE(part->isWhole());
        found.push_back({part->getFirstBlock(), part->getLastBlock(), part->getName()});
    }
    return found;
}

// The byte windows [first, end) of the partition rows of mmls whose description is wanted.
std::vector<std::pair<u64, u64>> mmlsWindows(const std::string& medium, const std::vector<std::string>& rows) {
    std::vector<std::pair<u64, u64>> windows;
    std::ifstream in(mediaPath(medium + ".mmls.txt"));
    unsigned long long unit = 512, start, end;
    char slot[16], text[64];
    for (std::string line; std::getline(in, line);) {
        sscanf(line.c_str(), "Units are in %llu-byte sectors", &unit);
        if (sscanf(line.c_str(), "%*s %15s %llu %llu %*u %63[^\n]", slot, &start, &end, text) == 4 &&
            slot[0] != '-' && strcmp(slot, "Meta") && (rows.empty() || std::count(rows.begin(), rows.end(), text)))
            windows.push_back({start * unit, (end + 1) * unit});
    }
    return windows;
}

std::string textAt(Disk* disk, u64 offset) {
    char text[32] = {};
    const bool ok = disk->open(false) && disk->read(offset, sizeof text - 1, text);
    disk->close();
    return ok ? text : "(unreadable)";
}

TEST(PartitionDisk, TheWindowStartsInsideTheParentEndsNoLaterAndNeverWraps) {
    MemoryTestDisk parent(std::vector<u8>(100 * 512)), empty(std::vector<u8>{});
    LogCapture log;
    const struct { Disk* parent; u64 first, last, count; bool fits; } cases[] = {
        {&parent, 20, 59, 40, true}, {&parent, 90, 1000, 10, true}, {&parent, 99, 99, 1, true},
        {&parent, 50, 10, 0, false}, {&parent, 100, 200, 0, false}, {&parent, 0, ~u64(0), 100, true},
        {&empty, 0, ~u64(0), 0, false}, {nullptr, 0, 1, 0, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.first << ".." << c.last);
        PartitionDisk part(c.parent, c.first, c.last);
        EXPECT_EQ(std::pair(part.getBlockCount(), PartitionDisk::fitsParent(c.parent, c.first, c.last)),
                  std::pair(c.count, c.fits));
    }
}

TEST(PartitionMedia, ToolMadeTablesListThePartitionsWhereMmlsFindsThem) {
    // rows: the descriptions of the mmls rows listed, all when empty (MBR entries, named Part00..);
    // names: those of the partitions, when neither Part00.. nor empty (GPT).
    const struct { const char* name; u32 blockSize; std::vector<std::string> rows, names; bool markers; } media[] = {
        {"mbr_logical.img", 512, {}, {}, true}, {"mbr_ext_lba.img", 512, {}, {}, true},
        {"mbr_many.img", 512, {}, {}, true}, {"mbr_fat.img", 512, {}, {}, false},
        {"gpt_mixed.img", 512, {"EFI System", "Mac HD", "Basic Data", "Mac Backup"}, {"Part00", "", "Part02", ""}, true},
        {"gpt_hybrid.img", 512, {"Shared"}, {"Part00"}, true},  // its hybrid MBR is not read
        {"gpt_4k.img", 4096, {"Mac HD 4K", "Basic Data 4K", "Second HFS 4K"}, {"", "Part01", ""}, true},
        {"apm_parted.img", 512, {"Apple_HFS"}, {"MacHD", "Data"}, true},
        {"apm_iso2048.iso", 2048, {"Apple_HFS"}, {"HFSPLUS_Hybrid"}, false},
        {"apm_iso512.iso", 2048, {"Apple_HFS"}, {"HFSPLUS_Hybrid"}, false}};  // map blocks of 512 bytes
    for (const auto& m : media) {
        SCOPED_TRACE(m.name);
        DiskManager manager;  // fdisk -b 4096 wrote gpt_4k.img; image files have 512-byte blocks
        Disk* disk = m.blockSize == 4096 ? new MemoryTestDisk(readFileBytes(mediaPath(m.name)), 4096)
                                         : manager.addImageDisk(mediaPath(m.name));
        if (m.blockSize == 4096) {
            ASSERT_TRUE(manager.addDisk(disk));
            ASSERT_TRUE(disk->scanForPartitions());
        }
        const std::vector<Found> found = partitionsOf(disk);
        std::vector<std::pair<u64, u64>> windows;
        for (u32 i = 0; i < found.size(); ++i) {
            windows.push_back({found[i].first * m.blockSize, (found[i].last + 1) * m.blockSize});
            EXPECT_EQ(found[i].name, i < m.names.size() ? m.names[i] : m.rows.empty() ? format("Part%02u", i) : "");
            Disk* part = disk->getPartition(i);
            const std::string first = textAt(part, 0), last = textAt(part, (part->getBlockCount() - 1) * m.blockSize);
            const bool ok = first.starts_with("VORN-PART ") && last == first.substr(0, first.find("FIRST")) + "LAST\n";
            EXPECT_TRUE(ok || !m.markers) << first << last;
        }
        EXPECT_EQ(windows, mmlsWindows(m.name, m.rows));
        EXPECT_TRUE(m.names != std::vector<std::string>{"HFSPLUS_Hybrid"} ||
                    textAt(disk->getPartition(0), 1024).substr(0, 2) == "H+");  // HFS Plus
        EXPECT_EQ(disk->getOpenCount(), 0u);
        disk->scanForPartitions();  // reading the table again lists nothing twice
        EXPECT_EQ(partitionsOf(disk), found);
    }
}

// Writes entry `slot` of the MBR or EBR at `sector`, and the table's signature.
void putEntry(std::vector<u8>& disk, u64 sector, int slot, u8 type, u32 first, u32 count) {
    u8* entry = disk.data() + sector * 512 + 446 + 16 * slot;
    entry[4] = type;
    for (int k = 0; k < 4; ++k) entry[8 + k] = u8(first >> 8 * k), entry[12 + k] = u8(count >> 8 * k);
    disk[sector * 512 + 510] = 0x55, disk[sector * 512 + 511] = 0xAA;
}

// An MBR with an extended partition of `ebrs` EBRs, each listing `data` partitions and the next EBR.
std::vector<u8> ebrChain(u32 ebrs, int data = 1) {
    std::vector<u8> disk((2 * ebrs + 4) * 512);
    putEntry(disk, 0, 0, 0x05, 1, 2 * ebrs + 3);
    for (u32 k = 0; k < ebrs; ++k) {
        for (int i = 0; i < data; ++i) putEntry(disk, 1 + 2 * k, i, 0x83, 1, 1);
        if (k + 1 < ebrs) putEntry(disk, 1 + 2 * k, 3, 0x05, 2 * (k + 1), 2);
    }
    return disk;
}

std::vector<u8> patched(const char* medium, const std::vector<std::pair<u64, u32>>& values, bool big = false) {
    auto bytes = readFileBytes(mediaPath(medium), 4 << 20);
    for (const auto& [offset, v] : values)
        for (int k = 0; k < 4; ++k) bytes[offset + k] = u8(v >> 8 * (big ? 3 - k : k));
    return bytes;
}

TEST(PartitionTableParser, DamagedCyclicAndOversizedTablesGiveBoundedPartialLists) {
    auto selfLinked = ebrChain(3), loop = ebrChain(2), nulls = ebrChain(1), unsigned_ = ebrChain(1);
    std::vector<u8> outside(16 * 512), large(16 * 4096);
    putEntry(selfLinked, 1, 3, 0x05, 0, 2);  // the first EBR links to itself
    putEntry(loop, 3, 3, 0x05, 0, 2);        // the second links back to the first
    nulls[444] = 0x34, nulls[445] = 0x12, unsigned_[510] = 0;
    putEntry(outside, 0, 0, 0x83, 2, 0x7FFFFFFF);  // runs far past the end: clamped
    putEntry(outside, 0, 1, 0x83, 40000, 2048);    // starts past the end: skipped
    putEntry(large, 0, 0, 0x83, 2, 3);             // counted in the disk's 4096-byte blocks
    // GPT: table block at 584, entry count at 592, entry size at 596, entries of 128 bytes from 1024; an
    // HFS Plus entry 130 (type at 17664, first and last block at 17696 and 17704) lies past the 128 read.
    const u64 gpt = 131072, apm = 65536;  // blocks of gpt_mixed.img and apm_parted.img
    const u32 hfs[] = {0x48465300, 0x11AA0000, 0x300011AA, 0xACEC4365};
    const auto gpt200 = patched("gpt_mixed.img", {{592, 200}, {17664, hfs[0]}, {17668, hfs[1]}, {17672, hfs[2]},
                                                  {17676, hfs[3]}, {17696, 100}, {17704, 200}});
    const std::string apmLine = "PartitionTableParser::parseApplePartitionMap - ";
    auto apmWith = [](u64 offset, u32 value) { return patched("apm_parted.img", {{offset, value}}, true); };
    // blocks: the disk's, 0 for as many as the bytes hold; count: partitions listed, the first of them
    // `first`; line: a log line that must come, if any.
    const struct { const char* what; std::vector<u8> bytes; u64 blocks; u32 count; Found first; std::string line = "";
                   u32 blockSize = 512; } cases[] = {
        {"self-linked EBR", selfLinked, 0, 1, {2, 2, "Part00"}},
        {"EBR loop", loop, 0, 2, {2, 2, "Part00"}, "MBR partition table at sector 1 already read, link ignored\n"},
        {"140 EBRs", ebrChain(140), 0, 128, {2, 2, "Part00"}},
        {"100 EBRs of 3", ebrChain(100, 3), 0, 256, {2, 2, "Part00"}},
        {"nulls", nulls, 0, 0, {}, "invalid MBR partition table - nulls: 1234\n"},
        {"no signature", unsigned_, 0, 0, {}, "invalid MBR partition table signature: 00,AA\n"},
        {"outside", outside, 0, 1, {2, 15, "Part00"}},
        {"4096-byte blocks", large, 0, 1, {2, 4, "Part00"}, "", 4096},
        {"200 GPT entries", gpt200, gpt, 4, {2048, 18431, "Part00"}},
        {"-1 GPT entries", patched("gpt_mixed.img", {{592, ~0u}}), gpt, 4, {2048, 18431, "Part00"}},
        {"GPT entry size 0", patched("gpt_mixed.img", {{596, 0}}), gpt, 1, {1, 131071, "Part00"}},
        {"GPT table past 2^64 bytes", patched("gpt_mixed.img", {{588, 0x800000}}), gpt, 1, {1, 131071, "Part00"}},
        {"GPT bad geometry", patched("gpt_mixed.img", {{1192, 100}, {1064, ~0u}}), gpt, 3, {2048, 131071, "Part00"}},
        {"APM 2^32-1", apmWith(516, ~0u), apm, 2, {2048, 18431, "MacHD"},
         apmLine + "4294967295 map entries, reading 4096\n"},
        {"APM past the end", apmWith(516, 1000), 128, 0, {}, apmLine + "map ends at the end of the disk (entry 128)\n"},
        {"APM first entry", apmWith(512, 0x58580000), apm, 0, {}, "invalid map entry signature (5858)\n"},
        {"APM block size 0", apmWith(0, 0x45520000), apm, 2, {2048, 18431, "MacHD"}},
        {"100 bytes", std::vector<u8>(100), 0, 0, {}, "disk read error while parsing MBR partition table\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MemoryTestDisk disk(c.bytes, c.blockSize);
        if (c.blocks) disk.setBlockCount(c.blocks);
        LogCapture log;
        ASSERT_TRUE(PartitionTableParser::parserPartitionTable(&disk));
        const auto found = partitionsOf(&disk);
        EXPECT_EQ(std::pair(found.size(), found.empty() ? Found{} : found[0]), std::pair(size_t(c.count), c.first));
        EXPECT_TRUE(c.line.empty() || log.has(c.line));
        EXPECT_EQ(disk.getOpenCount(), 0u);
    }
    MemoryTestDisk zero(std::vector<u8>(4096), 0), closed(std::vector<u8>(4096));
    closed.failOpen = true;
    LogCapture log;
    EXPECT_FALSE(PartitionTableParser::parserPartitionTable(&zero));
    EXPECT_FALSE(zero.opens);
    EXPECT_FALSE(PartitionTableParser::parserPartitionTable(&closed));
    EXPECT_TRUE(log.has("disk open error while reading partition table\n"));
}

}  // namespace
}  // namespace vorn::test
