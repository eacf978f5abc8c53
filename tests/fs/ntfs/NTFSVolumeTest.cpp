// NTFS volumes made by mkntfs (tests/fixtures/make_ntfs.sh) against ntfsinfo, ntfsundelete and mmls; patched copies.
#include <gtest/gtest.h>

#include <functional>

#include "TestMedia.h"
#include "fs/MemoryTestDisk.h"
#include "fs/fat/FATVolume.h"
#include "fs/fat/FatManifest.h"
#include "fs/ntfs/NTFSVolume.h"
#include "misc/Bytes.h"
#include "recovery/RecoveryTestSupport.h"
#include "storage/DiskManager.h"
#include "storage/PartitionDisk.h"
#include "storage/StorageTestUtil.h"

namespace vorn::test {
namespace {

std::string printed(const std::function<void()>& run) {
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}

// A volume mounted with its tree over bytes; what the mount printed. The root is the caller's to free.
struct Mounted {
    explicit Mounted(std::vector<u8> bytes) : disk(std::move(bytes)), volume(&disk) {
        disk.open(false);
        out = printed([&] { mounted = volume.mount(true); });
    }
    ~Mounted() { delete volume.getRootItem(); }
    MemoryTestDisk disk;
    NTFSVolume volume;
    bool mounted = false;
    std::string out;
};

void put(std::vector<u8>& b, size_t at, u64 value, int bytes) {
    for (int i = 0; i < bytes; ++i) b[at + i] = u8(value >> 8 * i);
}

const std::string kBadValue = "NTFSVolume::mount: unexpected value in bootsector!\n";

TEST(NTFSMedia, VolumesMountWithTheGeometryOfNtfsinfoAndDumpEveryFileAsWritten) {
    for (std::string name : {"ntfs_s512.img", "ntfs_s4096.img", "ntfs_c128k.img"}) {
        SCOPED_TRACE(name);
        const FatManifest m = loadFatManifest(mediaPath(name + ".manifest"));
        ASSERT_TRUE(m.ok);
        Mounted v(readFileBytes(mediaPath(name)));
        const bool wide = m.num("cluster_size") > 65536;  // sectors-per-cluster byte 0xF8: read as 8
        EXPECT_TRUE(v.mounted);
        EXPECT_EQ(v.out, wide ? kBadValue + "  SectorsPerCluster: '248'\n  Trying default: 8 sectors per cluster\n" : "");
        EXPECT_EQ(v.volume.getBytesPerSector(), m.num("bytes_per_sector"));
        EXPECT_EQ(v.volume.getAllocBlockSize(), wide ? 8 * m.num("bytes_per_sector") : m.num("cluster_size"));
        EXPECT_EQ(v.volume.getMftRecordSize(), m.num("mft_record_size"));
        EXPECT_EQ(v.volume.getIndexRecordSize(), m.num("index_record_size"));
        EXPECT_EQ(v.volume.getMftCluster(), m.num("mft_lcn"));
        EXPECT_EQ(v.volume.getMftMirrorCluster(), m.num("mftmirr_lcn"));
        VolumeItem* root = v.volume.getRootItem();
        ASSERT_NE(root, nullptr);
        EXPECT_EQ(root->getName(), wide ? "" : m.str("root_name"));  // the MFT is not where 8 sectors put it
        root->loadChildren();
        EXPECT_EQ(root->getChildCount(true), 0u);
        EXPECT_TRUE(root->isContainer());
        EXPECT_TRUE(v.volume.isAllocationBlockUsed(0));
        EXPECT_TRUE(v.volume.isAllocationBlockUsed(~0ull));
        if (wide) continue;
        ScratchDir scratch;
        int files = 0;
        for (auto f : loadFatManifest(mediaPath(name + ".manifest")).of("file")) {
            if (f.size() != 2) continue;
            f.insert(f.begin(), "file");
            ++files;
            std::vector<u8> record;
            ASSERT_TRUE(v.volume.readMFTRecord(std::stoul(f[1]), record)) << f[2];
            EXPECT_EQ(NTFSVolume::fileName(NTFSVolume::findAttribute(record, NTFSVolume::ATTR_FILE_NAME)), f[2]);
            const auto want = fileBytes(mediaPath("ntfs.files/" + f[2]));
            EXPECT_EQ(printed([&] { v.volume.dumpFileToDisk(std::stoul(f[1]), (scratch / f[2]).c_str()); }),
                      "buffer.size(): " + std::to_string(want.size()) + "\n");
            EXPECT_TRUE(fileBytes(scratch / f[2]) == want) << f[2];
        }
        EXPECT_EQ(files, 4);
    }
}

TEST(NTFSMedia, FreeRecordsStillNamingAFileAreListedAsNtfsundeleteFindsThem) {
    std::string want;
    std::ifstream oracle(mediaPath("ntfs_deleted.img.undelete.txt"));
    for (std::string line; std::getline(oracle, line);) {
        const std::string name = line.substr(line.find_last_of(' ') + 1);
        if (name != "<none>") want += "  " + line.substr(0, line.find(' ')) + "  " + std::to_string(name.size()) + name + "\n";
    }
    EXPECT_EQ(want, "  67  8gone.txt\n");
    Mounted deleted(readFileBytes(mediaPath("ntfs_deleted.img"))), live(readFileBytes(mediaPath("ntfs_s512.img")));
    EXPECT_EQ(printed([&] { deleted.volume.dumpFileRecord(); }), want);
    EXPECT_EQ(printed([&] { live.volume.dumpFileRecord(); }), "");
}

// Browsing, as a user does, an NTFS image and the NTFS volume in the basic-data partition of a GUID table.
TEST(NTFSMedia, BrowsingShowsTheNamedRootAloneAndADeletedFilesScanSkipsEveryBlock) {
    DiskManager manager;
    Disk* gpt = manager.addImageDisk(mediaPath("gpt_ntfs.img"));
    ASSERT_EQ(gpt->getPartitionCount(), 1u);
    auto* part = dynamic_cast<PartitionDisk*>(gpt->getPartition(0));
    const std::string mmls = fileText(mediaPath("gpt_ntfs.img.mmls.txt"));
    const size_t row = mmls.find("000       ");  // slot 000: start, end, length, "Data"
    ASSERT_NE(row, std::string::npos);
    const u64 start = std::stoull(mmls.substr(row + 10, 10)), length = std::stoull(mmls.substr(row + 36, 10));
    EXPECT_EQ(std::pair(part->getFirstBlock(), part->getBlockCount()), std::pair(start, length));
    EXPECT_EQ(part->getName(), "Part00");
    for (Disk* disk : {manager.addImageDisk(mediaPath("ntfs_s512.img")), static_cast<Disk*>(part)}) {
        Recovery recovery;
        ASSERT_TRUE(recovery.selectDisk(disk));
        EXPECT_EQ(printed([&] { recovery.openExistingVolume(); }), "");
        ASSERT_NE(dynamic_cast<NTFSVolume*>(recovery.getVolume()), nullptr);
        EXPECT_EQ(recovery.getRootItem()->getName(), ".");
        recovery.getRootItem()->loadChildren();
        EXPECT_EQ(recovery.getRootItem()->getChildCount(true), 0u);
        LogCapture logs(LOG_INFO);
        recovery.setScanType(SCAN_DELETED_FILES);
        recovery.scan();
        EXPECT_GT(recovery.getAllocBlockCount(), 0u);
        EXPECT_TRUE(logs.has("percent used: 100.00\n"));  // every block skipped unread
    }
    Recovery recovery;  // a FAT volume is still FAT behind the template and NTFS
    ASSERT_TRUE(recovery.selectDisk(manager.addImageDisk(mediaPath("fat16_s512.img"))));
    EXPECT_EQ(printed([&] { recovery.openExistingVolume(); }),
              "NTFSVolume: unexpected information in bootsector!\n  Format: 'mkfs.fat'\n");
    EXPECT_NE(dynamic_cast<FATVolume*>(recovery.getVolume()), nullptr);
}

TEST(NTFSMount, BootSectorFieldsOutsideTheRulesFallBackToDefaultsWithTheirLines) {
    const auto image = readFileBytes(mediaPath("ntfs_s512.img"), 1 << 20);
    const std::string mft = kBadValue + "  ClustersPerMftRecord: '", index = kBadValue + "  ClustersPerIndexRecord: '";
    const std::string mftDefault = "'\n  Trying default: 1024 bytes per MFT record\n";
    const struct { const char* what; std::vector<std::pair<size_t, u8>> patch; std::string out; u32 sector, cluster,
                   record, indexRecord; size_t bytes = 1 << 20; } cases[] = {
        {"as made", {}, "", 512, 4096, 1024, 4096},
        {"sector size 0x210", {{11, 0x10}}, kBadValue + "  BytesPerSector: '528'\n  Trying default: 512 bytes per "
                                                        "sector\n", 512, 4096, 1024, 4096},
        {"sector size 4096", {{12, 0x10}}, "", 4096, 32768, 1024, 32768},
        {"3 sectors per cluster", {{13, 3}}, kBadValue + "  SectorsPerCluster: '3'\n  Trying default: 8 sectors per "
                                                         "cluster\n", 512, 4096, 1024, 4096},
        {"records of 2 clusters", {{64, 2}}, "", 512, 4096, 8192, 4096},
        {"record of 2^32 bytes", {{64, 0xE0}}, mft + "224" + mftDefault, 512, 4096, 1024, 4096},
        {"record of 2^127 bytes", {{64, 0x81}}, mft + "129" + mftDefault, 512, 4096, 1024, 4096},
        {"record of 0 clusters", {{64, 0}}, mft + "0" + mftDefault, 512, 4096, 1024, 4096},
        {"record of 128 bytes", {{64, 0xF9}}, mft + "249" + mftDefault, 512, 4096, 1024, 4096},
        {"index records of 64 KiB", {{68, 0xF0}}, "", 512, 4096, 1024, 65536},
        {"index records of 3 clusters", {{68, 3}}, index + "3'\n  Trying default: 1024 bytes per index record\n", 512,
         4096, 1024, 1024},
        {"OEM name NTFX", {{6, 'X'}}, "NTFSVolume: unexpected information in bootsector!\n  Format: 'NTFX'\n", 0, 0, 0,
         0},
        {"OEM name with ESC", {{5, 0x1B}}, "NTFSVolume: unexpected information in bootsector!\n  Format: 'NT?S'\n", 0,
         0, 0, 0},
        {"OEM name of zeros", {{3, 0}, {4, 0}, {5, 0}, {6, 0}}, "NTFSVolume: unexpected information in bootsector!\n"
                                                              "  Format: ''\n", 0, 0, 0, 0},
        {"100 bytes", {}, "NTFSVolume::mount: error reading bootsector!\n", 0, 0, 0, 0, 100}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<u8> bytes(image.begin(), image.begin() + c.bytes);
        for (auto [at, value] : c.patch) bytes[at] = value;
        Mounted v(bytes);
        EXPECT_EQ(v.out, c.out);
        EXPECT_EQ(v.mounted, c.sector != 0);
        if (!v.mounted) continue;
        EXPECT_EQ(std::tuple(v.volume.getBytesPerSector(), v.volume.getBytesPerCluster(), v.volume.getMftRecordSize(),
                             v.volume.getIndexRecordSize()),
                  std::tuple(c.sector, c.cluster, c.record, c.indexRecord));
    }
}

TEST(NTFSMount, DamagedRootRecordsLeaveTheNameEmptyOrBounded) {
    const auto image = readFileBytes(mediaPath("ntfs_s512.img"), 1 << 20);
    const size_t rec = 4 * 4096 + 5 * 1024, first = rec + loadLE16(&image[rec + 20]);  // record 5, first attribute
    const size_t fileName = first + loadLE32(&image[first + 4]), value = fileName + loadLE16(&image[fileName + 20]);
    ASSERT_EQ(loadLE32(&image[fileName]), 0x30u);
    const struct { const char* what; size_t at; u64 value; int bytes; std::string name; } cases[] = {
        {"as made", 0, 0, 0, "."},
        {"MFT past the disk", 48, 1 << 20, 8, ""},
        {"MFT offset past 2^64", 48, 1ull << 61, 8, ""},
        {"not a FILE record", rec, 0x44414142, 4, ""},
        {"first attribute past the record", rec + 20, 0xFFFF, 2, ""},
        {"first attribute in the last 4 bytes", rec + 20, 1020, 2, ""},
        {"attribute of length 0", first + 4, 0, 4, ""},
        {"attribute past the record", first + 4, 0x7FFFFFFF, 4, ""},
        {"value past its attribute", fileName + 16, 0x10000, 4, ""},
        {"name longer than its value", value + 64, 255, 1, "."},
        {"update sequence of 65535", rec + 6, 0xFFFF, 2, "."},
        {"update sequence array at the record's end", rec + 4, 1022, 2, "."}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<u8> bytes = image;
        put(bytes, c.at, c.value, c.bytes);
        Mounted v(bytes);
        EXPECT_TRUE(v.mounted);
        EXPECT_EQ(v.volume.getRootItem()->getName(), c.name);
    }
}

TEST(NTFSRecords, FixupsReplaceTheEndOfEachStrideThatTheArrayAndTheRecordHold) {
    // count, array offset, record size; then (position, array byte copied there) pairs.
    const struct { u16 count, offset; u32 size; std::vector<std::pair<u32, u32>> moved; } cases[] = {
        {3, 48, 1024, {{510, 50}, {1022, 52}}}, {200, 48, 1024, {{510, 50}, {1022, 52}}}, {0, 48, 1024, {}},
        {2, 48, 512, {{510, 50}}}, {3, 1020, 1024, {{510, 1022}}}, {3, 48, 256, {}}, {3, 0xFFFF, 1024, {}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << "@" << c.offset << " in " << c.size);
        std::vector<u8> record(c.size);
        for (u32 i = 0; i < c.size; ++i) record[i] = u8(i * 7 + 1);
        put(record, 4, c.offset, 2), put(record, 6, c.count, 2);
        std::vector<u8> want = record;
        for (auto [at, from] : c.moved) want[at] = record[from], want[at + 1] = record[from + 1];
        NTFSVolume::applyFixups(record.data(), c.size);
        EXPECT_TRUE(record == want);
    }
}

// A non-resident attribute over VCNs first..last with the given mapping pairs and data size.
std::vector<u8> attribute(u64 first, u64 last, std::vector<u8> pairs, u64 dataSize = 0) {
    std::vector<u8> a(64);
    a[8] = 1, put(a, 16, first, 8), put(a, 24, last, 8), put(a, 32, 64, 2), put(a, 48, dataSize, 8);
    a.insert(a.end(), pairs.begin(), pairs.end());
    put(a, 4, a.size(), 4);
    return a;
}

TEST(NTFSRecords, MappingPairsMapEveryVcnAndDamagedOnesFailTheRead) {
    const auto image = readFileBytes(mediaPath("ntfs_s512.img"), 1 << 20);  // 256 clusters of 4 KiB
    Mounted v(image);
    // VCNs 0-3 at cluster 10, 4-5 sparse, 6-8 at cluster 4 (10 - 6).
    const auto runs = attribute(0, 8, {0x11, 4, 10, 0x01, 2, 0x11, 3, 0xFA, 0});
    const struct { u64 vcn; bool ok; u64 lcn, length; } maps[] = {
        {0, true, 10, 4}, {3, true, 13, 1}, {4, true, 0, 2}, {5, true, 0, 1}, {6, true, 4, 3}, {8, true, 6, 1},
        {9, false, 0, 0}};
    for (const auto& m : maps) {
        u64 lcn = 0, length = 0;
        EXPECT_EQ(v.volume.decodeDataRun(runs, m.vcn, &lcn, &length), m.ok) << m.vcn;
        EXPECT_EQ(std::pair(lcn, length), std::pair(m.lcn, m.length)) << m.vcn;
    }
    std::vector<u8> got(9 * 4096), want(image.begin() + 10 * 4096, image.begin() + 14 * 4096);
    want.resize(6 * 4096), want.insert(want.end(), image.begin() + 4 * 4096, image.begin() + 7 * 4096);
    ASSERT_TRUE(v.volume.readNonResident(runs, 0, 9, got.data()));
    EXPECT_TRUE(got == want);
    std::vector<u8> data;
    ASSERT_TRUE(v.volume.readAttributeData(attribute(0, 8, {0x11, 4, 10, 0x01, 2, 0x11, 3, 0xFA, 0}, 5000), data));
    ASSERT_EQ(data.size(), 5000u);  // cut to the data size
    EXPECT_TRUE(std::equal(data.begin(), data.end(), want.begin()));

    const struct { const char* what; std::vector<u8> attr; u64 vcn; u32 count = 1; } damaged[] = {
        {"a length field of 9 bytes", attribute(0, 8, {0x19, 1, 0, 0, 0, 0, 0, 0, 0, 0, 10, 0}), 0},
        {"a run cut by the attribute's end", attribute(0, 8, {0x11, 4}), 0},
        {"no end marker before the attribute's end", attribute(0, 8, {0x11, 4, 10}), 4},
        {"a run of length 0", attribute(0, 8, {0x11, 0, 10, 0x11, 4, 10, 0}), 0},
        {"a length field of 0 bytes", attribute(0, 8, {0x10, 10, 0x11, 4, 10, 0}), 0},
        {"a run before cluster 0", attribute(0, 8, {0x11, 4, 0xF0, 0}), 0},
        {"first VCN after the last", attribute(5, 2, {0x11, 4, 10, 0}), 5},
        {"a run past the volume's end", attribute(0, 8, {0x21, 4, 0xFE, 0, 0}), 0, 4},
        {"more clusters than the volume holds", attribute(0, 300, {0x12, 0x2D, 1, 1, 0}), 0, 301}};
    for (const auto& d : damaged) {
        std::vector<u8> buf(u64(d.count) * 4096);
        EXPECT_FALSE(v.volume.readNonResident(d.attr, d.vcn, d.count, buf.data())) << d.what;
    }
    EXPECT_FALSE(v.volume.readAttributeData(attribute(0, 1ull << 40, {0x11, 4, 10, 0}), data));
    EXPECT_TRUE(data.empty());
}

TEST(NTFSRecords, TimesConvertFromTheEpochOf1601WithinThirtyTwoBits) {
    for (auto [ntfs, unix] : {std::pair<u64, u32>{0, 0}, {116444736000000000ull, 0},
                              {116444736000000000ull + 17000000000000000ull, 1700000000u}, {~0ull, 0}})
        EXPECT_EQ(NTFSVolume::ntfsTimeToUnix(ntfs), unix) << ntfs;
}

}  // namespace
}  // namespace vorn::test
