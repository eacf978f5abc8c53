#include "storage/RAIDDisk.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "fs/MemoryTestDisk.h"
#include "TestMedia.h"
#include "fs/ItemTestSupport.h"
#include "fs/fat/FATVolume.h"
#include "recovery/Recovery.h"
#include "storage/DiskManager.h"
#include "storage/ImageDisk.h"
#include "LogCapture.h"
#include "storage/RAIDSimulator.h"
#include "storage/StorageTestUtil.h"

namespace vorn::test {
namespace {

#ifdef __SANITIZE_ADDRESS__
constexpr bool kSanitized = true;  // the detection runs some twenty times slower: sample less
#else
constexpr bool kSanitized = false;
#endif

using Members = std::vector<std::unique_ptr<MemoryTestDisk>>;

std::vector<u8> zeros(u64 blocks) { return std::vector<u8>(blocks * 512, 0); }

// Members m0, m1, ...: `blocks` blocks of seeded bytes, or files PREFIX.m0.img, ...
Members members(u32 n, u64 blocks, const std::string& prefix = "", u32 blockSize = 512) {
    Members m;
    for (u32 i = 0; i < n; i++) {
        auto bytes = prefix.empty() ? patternBytes(blocks * 512, i) : readFileBytes(prefix + fmt(".m%u.img", i));
        m.push_back(std::make_unique<MemoryTestDisk>(std::move(bytes), blockSize, 0, fmt("m%u", i)));
    }
    return m;
}

// A set of the listed members at indexes 0, 1, ...; null ones stay missing.
void assemble(RAIDDisk& raid, const RAIDParameters& p, const std::vector<Disk*>& disks) {
    raid.setParameters(p);
    for (u32 i = 0; i < disks.size(); i++) EXPECT_TRUE(!disks[i] || raid.setMember(i, disks[i])) << i;
}

std::vector<Disk*> without(const Members& m, int missing) {
    std::vector<Disk*> disks;
    for (u32 i = 0; i < m.size(); i++) disks.push_back(static_cast<int>(i) == missing ? nullptr : m[i].get());
    return disks;
}

std::vector<u8> read8(RAIDDisk& raid, u64 block) {
    std::vector<u8> out(8 * 512, 0xAA);
    EXPECT_TRUE(raid.open(false));
    EXPECT_TRUE(raid.readBlocks(block, 8, out.data()));
    raid.close();
    return out;
}

std::vector<std::string> combiLines(const LogCapture& log) {
    std::vector<std::string> out;
    for (const std::string& l : log.lines) {
        if (l.starts_with("combi")) out.push_back(l);
    }
    return out;
}

TEST(RAIDParameters, BadValuesAreRefusedAndEveryUsableLayoutMapsStripesBothWays) {
    LogCapture log(LOG_ERROR);
    RAIDParameters counted;
    for (u8 n : {0, 1, 15}) EXPECT_FALSE(counted.setDiskCount(n)) << int(n);
    counted.setFirstSector(14, 99);
    EXPECT_EQ(counted.getFirstSector(14), 0u);
    EXPECT_TRUE(RAIDParameters(2, 0, 1, 0).isValid());
    EXPECT_TRUE(RAIDParameters(14, 0, 65536, 6).isValid());
    const Members m = members(3, 64);
    for (auto& p : {RAIDParameters(3, 0, 0, 2), {3, 0, 65537, 2}, {3, 0, 16, 7}, {3, 0, 16, ~0u}, {1, 0, 16, 0}}) {
        const std::string what = fmt("invalid RAID parameters (disks=%d, stripe=%u, rotation=%u)\n", p.getDiskCount(),
                                     p.getStripeSectors(), p.getParityRotation());
        SCOPED_TRACE(what);
        u32 member = 99, parity = 99;
        u64 row = 99, stripe = 0;
        p.computeRowCol(123457, member, row, parity);
        EXPECT_FALSE(p.isValid());
        EXPECT_EQ(member + row, 0u);
        EXPECT_FALSE(p.computeStripeBlock(0, 3, stripe));
        EXPECT_LT(p.parityDisk(12345), 14u);
        log.clear();
        RAIDDisk raid;
        assemble(raid, p, without(m, -1));
        std::vector<u8> out(4 * 512, 0xAA);
        EXPECT_FALSE(raid.open(false) && raid.readBlocks(0, 4, out.data()));
        raid.close();
        DiskManager manager;
        RAIDSimulator simulator(&manager, m[0].get(), p);
        EXPECT_EQ(out, zeros(4));
        EXPECT_EQ(raid.getBlockCount() + manager.getDiskCount(), 0u);
        LogCapture dump(LOG_DEBUG);
        p.dump();  // an empty table
        EXPECT_FALSE(dump.hasPrefix("Error"));
    }
    LogCapture dump(LOG_DEBUG);
    RAIDParameters(3, 63, 64, PARITY_BACKWARD_DYN).dump();
    std::string all;
    for (const std::string& l : dump.lines) all += l;
    EXPECT_NE(all.find("layout:\n  0  1  *\n  3  *  2\n  *  4  5\n  6  7  *\n  9  *  8\n  * 10 11\n"), all.npos);
    for (u32 n = 2 * 7; n < 15 * 7; n++) RAIDParameters(static_cast<u8>(n / 7), 0, 8, n % 7).dump();
    EXPECT_FALSE(dump.hasPrefix("Error"));
}

TEST(RAIDDisk, BlockCountIsTheSmallestDataAreaTimesTheDataMembersAndBadMembersAreRefused) {
    MemoryTestDisk a(zeros(1000)), b(zeros(1200)), c(zeros(1100)), outside(zeros(10)), cd(zeros(4), 2048);
    RAIDDisk raid;
    assemble(raid, RAIDParameters(3, 0, 16, PARITY_FORWARD), {&a, &b, &c, &outside});
    for (auto [rotation, f, n] : {std::tuple{PARITY_FORWARD, 0, 2000}, {PARITY_NONE, 0, 3000}, {PARITY_NONE, 300, 2700},
                                  {PARITY_FORWARD, 1200, 0}, {PARITY_FORWARD, 1500, 0}}) {
        RAIDParameters p(3, 0, 16, rotation);
        p.setFirstSector(1, f);
        raid.setParameters(p);
        EXPECT_EQ(raid.getBlockCount(), u64(n)) << rotation << " " << f;
    }
    LogCapture log(LOG_ERROR);
    for (auto [i, d] : {std::pair<u32, Disk*>{14, &a}, {0, nullptr}, {0, &raid}, {0, &cd}}) EXPECT_FALSE(raid.setMember(i, d)) << i;
    EXPECT_EQ(raid.getMember(0), &a);
    EXPECT_EQ(raid.getBlockSize(), 512u);
}

// A set holds no more than the media behind its members: a missing member's stripes and a disk
// named twice add no data (the simulated members' share of their source is checked with the
// generated sets above).
TEST(RAIDDisk, ASetHoldsNoMoreThanTheMediaBehindItsMembers) {
    MemoryTestDisk a(zeros(1000)), b(zeros(600));
    for (const auto& [p, disks, blocks] :
         {std::tuple{RAIDParameters(3, 0, 16, PARITY_NONE), std::vector<Disk*>{&a}, 1000u},
          {RAIDParameters(4, 0, 16, PARITY_FORWARD), std::vector<Disk*>{&a, &b}, 1600u},
          {RAIDParameters(3, 0, 16, PARITY_NONE), std::vector<Disk*>{&a, &a, &a}, 1000u},
          {RAIDParameters(2, 0, 16, PARITY_NONE), std::vector<Disk*>{&a, &b}, 1200u}}) {
        RAIDDisk raid;
        assemble(raid, p, disks);
        EXPECT_EQ(raid.getBlockCount(), u64(blocks)) << disks.size() << " members of " << int(p.getDiskCount());
    }
}

// One image file listed under three names (itself and two hard links) is one medium: a set of the
// three holds what the file holds, and so does a set of one name listed twice.
TEST(RAIDDisk, ASetOfOneFileUnderSeveralNamesHoldsNoMoreThanTheFile) {
    char folder[] = "/tmp/vorn-raidlinks-XXXXXX";
    ASSERT_TRUE(mkdtemp(folder));
    const std::string a = std::string(folder) + "/a.img", b = std::string(folder) + "/b.img",
                      c = std::string(folder) + "/c.img";
    std::filesystem::copy_file(mediaPath("guard/disk.img"), a);
    std::filesystem::create_hard_link(a, b);
    std::filesystem::create_hard_link(a, c);
    ImageDisk da(a), db(b), dc(c), again(a);
    const u64 blocks = std::filesystem::file_size(a) / 512;
    for (const auto& disks : {std::vector<Disk*>{&da, &db, &dc}, std::vector<Disk*>{&da, &again, &db}}) {
        RAIDDisk raid;
        assemble(raid, RAIDParameters(3, 0, 16, PARITY_NONE), disks);
        EXPECT_EQ(raid.getBlockCount(), blocks);
    }
    RAIDDisk apart;  // another file of its own adds its blocks
    std::filesystem::copy_file(a, std::string(folder) + "/d.img");
    ImageDisk dd(std::string(folder) + "/d.img");
    assemble(apart, RAIDParameters(3, 0, 16, PARITY_NONE), {&da, &db, &dd});
    EXPECT_EQ(apart.getBlockCount(), 2 * blocks);
    std::filesystem::remove_all(folder);
}

struct OddDisk : MemoryTestDisk {
    explicit OddDisk(Disk* set = nullptr) : MemoryTestDisk(zeros(64)), set(set) {}
    Disk* set;
    bool openImpl(bool write) override { return !set || set->open(write); }
    bool readBlocksImpl(u64 b, u32 n, void* o) override { return set ? set->readBlocks(b, n, o) : fail(); }
    bool fail() { return addReadErrors(1), false; }
};

TEST(RAIDDisk, UnreadablePiecesReadAsZerosNeverAsStaleMemoryOrRecursion) {
    const Members m = members(1, 64);
    RAIDDisk plain, parity, two, cycle;
    OddDisk dead, loop(&cycle);
    assemble(plain, RAIDParameters(2, 0, 8, PARITY_NONE), {m[0].get(), &dead});
    EXPECT_EQ(read8(plain, 0), std::vector<u8>(m[0]->bytes().begin(), m[0]->bytes().begin() + 8 * 512));
    EXPECT_EQ(read8(plain, 8), zeros(8));
    EXPECT_EQ(dead.getReadErrors(), 1u);
    assemble(plain, RAIDParameters(2, 0, 8, PARITY_NONE), {m[0].get(), nullptr});  // a missing member, no parity
    EXPECT_EQ(read8(plain, 8), zeros(8));
    // Stripe 0 lies on missing member 0; its rebuild needs the dead member.
    assemble(parity, RAIDParameters(3, 0, 8, PARITY_FORWARD), {nullptr, m[0].get(), &dead});
    EXPECT_EQ(read8(parity, 0), zeros(8));
    // With two members missing there is nothing to rebuild from.
    assemble(two, RAIDParameters(3, 0, 8, PARITY_FORWARD), {nullptr, nullptr, m[0].get()});
    LogCapture log(LOG_DEBUG);
    EXPECT_EQ(read8(two, 0), zeros(8));
    // A member that reads through its own set (a user can build that) is refused, not recursed into.
    assemble(cycle, RAIDParameters(2, 0, 8, PARITY_NONE), {&loop, m[0].get()});
    EXPECT_EQ(read8(cycle, 0), zeros(8));
    EXPECT_TRUE(log.hasPrefix("error at RAIDDisk::readBlocksImpl: a member reads through this RAID set"));
}

TEST(RAIDDisk, MembersAreOpenedAndClosedThroughTheirCountsAndNeverForWriting) {
    const Members m = members(4, 64);
    auto openCounts = [&] {
        std::vector<u32> counts;
        for (const auto& d : m) counts.push_back(d->getOpenCount());
        return counts;
    };
    RAIDDisk raid;
    assemble(raid, RAIDParameters(3, 0, 8, PARITY_BACKWARD), {m[0].get(), m[1].get(), nullptr, m[3].get()});
    LogCapture log(LOG_ERROR);
    std::vector<u8> block(512);
    EXPECT_FALSE(raid.open(true));
    EXPECT_FALSE(raid.writeBlocks(0, 1, block.data()));
    EXPECT_EQ(m[0]->opens, 0);
    ASSERT_TRUE(raid.open(false));
    EXPECT_EQ(openCounts(), (std::vector<u32>{1, 1, 0, 0}));  // member 3 lies outside the count
    ASSERT_TRUE(raid.setMember(2, m[2].get()));
    EXPECT_EQ(openCounts(), (std::vector<u32>{1, 1, 1, 0}));
    raid.setParameters(RAIDParameters(2, 0, 8, PARITY_NONE));
    EXPECT_EQ(openCounts(), (std::vector<u32>{1, 1, 0, 0}));
    EXPECT_EQ(read8(raid, 8), std::vector<u8>(m[1]->bytes().begin(), m[1]->bytes().begin() + 8 * 512));
    raid.close();
    EXPECT_EQ(openCounts(), (std::vector<u32>{0, 0, 0, 0}));
    EXPECT_EQ(m[0]->opens, 1);
}

TEST(RAIDSimulator, MembersOpenTheSourceThroughItsCountAndNeverWrite) {
    MemoryTestDisk source(zeros(100));
    DiskManager manager;
    RAIDSimulator simulator(&manager, &source, RAIDParameters(2, 0, 8, PARITY_NONE));
    Disk *a = manager.findDiskById("SimDisk00"), *b = manager.findDiskById("SimDisk01");
    std::vector<u8> block(512);
    ASSERT_TRUE(a);
    ASSERT_TRUE(b);
    EXPECT_FALSE(a->open(true));
    EXPECT_FALSE(a->writeBlocks(0, 1, block.data()));
    EXPECT_EQ(source.opens, 0);
    ASSERT_TRUE(a->open(false));
    ASSERT_TRUE(b->open(false));
    EXPECT_EQ(source.getOpenCount(), 2u);
    EXPECT_EQ(source.opens, 1);
    a->close();
    EXPECT_EQ(source.getOpenCount(), 1u);
    b->close();
    EXPECT_EQ(source.getOpenCount(), 0u);
    EXPECT_EQ(source.closes, 1);
    RAIDSimulator again(&manager, &source, RAIDParameters(3, 0, 8, PARITY_NONE));
    EXPECT_EQ(manager.getDiskCount(), 3u);
    EXPECT_EQ(manager.findDiskById("SimDisk00"), a);
    EXPECT_EQ(RAIDSimulator(nullptr, nullptr, RAIDParameters(3, 0, 16, PARITY_NONE)).getMemberBlockCount(0), 0u);
    manager.deleteDisks();
}

TEST(RAIDProbe, LogsEveryCandidateInIndexOrderThenTheBestEightAndChoosesDeterministically) {
    MemoryTestDisk a(std::vector<u8>(1000 * 512, 0x41)), b(a.bytes()), c(a.bytes());
    RAIDDisk raid, none;
    assemble(raid, RAIDParameters(3, 0, 64, PARITY_NONE), {&a, &b, &c});
    LogCapture log(LOG_DEBUG);
    raid.probeLayout();
    EXPECT_TRUE(log.has("perDiskProbeBlockCount: 51344\n"));  // 100,000 / 2, the largest stripe and first sector
    const std::vector<std::string> combis = combiLines(log);
    ASSERT_EQ(combis.size(), 218u);
    for (u32 i = 0; i < 210; i++) EXPECT_EQ(combis[i].substr(0, 9), fmt("combi%04u", i));
    EXPECT_EQ(combis[0], "combi0000:firstsec=0000,stripesecs=0008,parity=      forward,cmp=0.000,raiddelta=0.000,"
                         "rawdelta=0.000,score=0.000\n");
    EXPECT_EQ(combis[42].substr(0, 65), "combi0042:firstsec=0010,stripesecs=0008,parity=      forward,cmp=");
    EXPECT_TRUE(std::equal(combis.begin(), combis.begin() + 8, combis.begin() + 210));
    for (MemoryTestDisk* d : {&a, &b, &c}) EXPECT_EQ(std::pair(d->requestCount(), d->getOpenCount()), std::pair(size_t(1), 0u));
    log.clear();
    none.probeLayout();
    none.setParameters(RAIDParameters(3, 5, 32, PARITY_NONE));
    none.probeLayout();
    EXPECT_TRUE(log.hasPrefix("error at RAIDDisk::probeLayout: invalid disk count"));
    EXPECT_TRUE(log.hasPrefix("error at RAIDDisk::probeLayout: no member set"));
    EXPECT_EQ(none.getParameters().getFirstSector(0), 5u);
    ASSERT_TRUE(none.setMember(3, &a));
    none.probeLayout();
    EXPECT_NE(combiLines(log).at(0).find("raiddelta=nan"), std::string::npos);
    for (const RAIDParameters& found : {raid.getParameters(), none.getParameters()}) {  // 0 + forward (0) + stripe 8
        EXPECT_EQ(found.getFirstSector(0) + found.getParityRotation() + found.getStripeSectors(), 8u);
    }
}

struct RAIDCase {
    std::string name, source;
    u64 blocks = 0;
    RAIDParameters p;
    std::vector<u8> sourceBytes() const {
        std::vector<u8> bytes = readFileBytes(mediaPath("raid/" + source));
        bytes.resize(blocks * 512);
        return bytes;
    }
};

const std::vector<RAIDCase>& raidCases() {
    static const std::vector<RAIDCase> cases = [] {
        std::vector<RAIDCase> all;
        std::ifstream in(mediaPath("raid/cases.txt"));
        for (std::string line, rotation, firsts; std::getline(in, line);) {
            RAIDCase c;
            u32 n = 0, stripe = 0, r = 0, i = 0;
            std::istringstream(line) >> c.name >> c.source >> c.blocks >> n >> rotation >> stripe >> firsts;
            if (c.name.empty() || c.name[0] == '#') continue;
            while (r < 7 && rotation != RAIDParameters::rotationName(r)) r++;
            c.p = RAIDParameters(static_cast<u8>(n), std::stoull(firsts), stripe, r);
            std::istringstream list(firsts);
            for (std::string f; std::getline(list, f, ',');) c.p.setFirstSector(i++, std::stoull(f));
            all.push_back(c);
        }
        return all;
    }();
    return cases;
}

const RAIDCase& raidCase(const std::string& name) {
    static const RAIDCase none;
    const auto it = std::find_if(raidCases().begin(), raidCases().end(), [&](auto& c) { return c.name == name; });
    EXPECT_TRUE(it != raidCases().end()) << "no RAID set " << name << ": run tests/fixtures/make_raid.sh";
    return it == raidCases().end() ? none : *it;
}

std::vector<u8> readSet(const RAIDParameters& p, const Members& m, u64 blocks, int missing = -1) {
    RAIDDisk raid;
    assemble(raid, p, without(m, missing));
    std::vector<u8> out(blocks * 512, 0xAA);
    TestRandom random(blocks);
    bool ok = raid.getBlockCount() >= blocks && raid.open(false);
    for (u64 b = 0, n = 0; ok && b < blocks; b += n) {
        n = std::min<u64>(1 + random.below(3 * p.getStripeSectors()), blocks - b);
        ok = raid.readBlocks(b, static_cast<u32>(n), out.data() + b * 512);
    }
    raid.close();
    return ok ? out : std::vector<u8>();
}

// The layout that the detection finds on an n-member set.
RAIDParameters detect(const Members& m, u32 n, int missing = -1, bool fullAssembly = false) {
    RAIDDisk raid;
    assemble(raid, RAIDParameters(static_cast<u8>(n), 0, 64, PARITY_NONE), without(m, missing));
    raid.setProbeFullAssembly(fullAssembly);
    raid.probeLayout();
    return raid.getParameters();
}

TEST(RAIDMedia, EveryGeneratedSetReadsBackAndTheSimulatorWritesTheSameMembers) {
    ASSERT_GE(raidCases().size(), 50u) << "run tests/fixtures/make_raid.sh";
    for (const RAIDCase& c : raidCases()) {
        SCOPED_TRACE(c.name);
        const u32 n = c.p.getDiskCount();
        const Members m = members(n, 0, mediaPath("raid/" + c.name));
        const std::vector<u8> source = c.sourceBytes();
        EXPECT_TRUE(readSet(c.p, m, c.blocks) == source);
        for (u32 missing = 0; c.p.hasParity() && missing < n; missing++) {
            EXPECT_TRUE(readSet(c.p, m, c.blocks, missing) == source) << "without member " << missing;
        }
        MemoryTestDisk sourceDisk(source);
        DiskManager manager;
        RAIDSimulator simulator(&manager, &sourceDisk, c.p);
        ASSERT_EQ(manager.getDiskCount(), n);
        Members simulated;
        bool sharesFit = true;
        for (u32 i = 0; i < n; i++) {
            Disk* d = manager.getDisk(i);
            const u64 count = d->getBlockCount();
            EXPECT_LE(count, c.blocks) << "simulated member " << i << " is no larger than the source";
            std::vector<u8> got(count * 512, 0xAA);
            ASSERT_TRUE(d->open(false));
            for (u64 b = 0; b < count; b += 700) {
                EXPECT_TRUE(d->readBlocks(b, static_cast<u32>(std::min<u64>(700, count - b)), got.data() + b * 512));
            }
            d->close();
            // What the generator writes, as far as a member no larger than the source reaches.
            EXPECT_TRUE(got.size() <= m[i]->bytes().size() && std::equal(got.begin(), got.end(), m[i]->bytes().begin()))
                << "simulated member " << i;
            sharesFit = sharesFit && m[i]->getBlockCount() <= c.blocks;
            simulated.push_back(std::make_unique<MemoryTestDisk>(got));
        }
        // Where every member's share fits within the source, the simulated set gives all of it back.
        if (sharesFit) {
            EXPECT_TRUE(readSet(c.p, simulated, c.blocks) == source) << "the simulated set";
        }
        manager.deleteDisks();
    }
}

TEST(RAIDMedia, StripedFATVolumeBrowsesThroughTheEngineWithEveryFileIntact) {
    const RAIDCase& c = raidCase("fat");
    const Members m = members(c.p.getDiskCount(), 0, mediaPath("raid/fat"));
    const std::filesystem::path originals = mediaPath("raid/fat_files");
    for (int missing : {-1, 1}) {
        RAIDDisk raid;
        assemble(raid, c.p, without(m, missing));
        Recovery recovery;
        ASSERT_TRUE(recovery.selectDisk(&raid));
        recovery.openExistingVolume();
        ASSERT_NE(dynamic_cast<FATVolume*>(recovery.getVolume()), nullptr);
        std::map<std::string, VolumeItem*> tree;
        collectTree(recovery.getRootItem(), "", tree);
        size_t files = 0;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(originals)) {
            if (!entry.is_regular_file()) continue;
            const std::string path = entry.path().lexically_relative(originals).string();
            std::vector<u8> got;
            ASSERT_TRUE(tree.count(path)) << path;
            ASSERT_TRUE(readItem(tree[path], got)) << path << " without " << missing;
            EXPECT_TRUE(got == readFileBytes(entry.path())) << path << " without " << missing;
            files++;
        }
        EXPECT_EQ(files, 24u);
    }
}

TEST(RAIDProbeMedia, MeasuringOnlyTheBoundaryBlocksGivesTheFullAssemblysScores) {
    if (kSanitized) GTEST_SKIP();
    Members m = members(4, 0, mediaPath("raid/fat"), 64);
    m[2] = std::make_unique<MemoryTestDisk>(std::vector<u8>(m[2]->bytes().begin(), m[2]->bytes().begin() + 20000 * 64),
                                            64);
    std::vector<std::string> lines[2];
    for (int full = 0; full < 2; full++) {
        LogCapture log(LOG_DEBUG);
        detect(m, 4, 0, full == 1);
        lines[full] = combiLines(log);
    }
    ASSERT_EQ(lines[0].size(), 218u);
    EXPECT_EQ(lines[0], lines[1]);
    EXPECT_EQ(lines[0][210].find("score=0.000"), std::string::npos);  // the best score is not 0
}

}  // namespace
}  // namespace vorn::test
