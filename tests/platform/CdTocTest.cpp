#include "platform/CdToc.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "TestMedia.h"

namespace vorn {
namespace {

// Builds a full table of contents as a drive returns it.
class TocBlob {
public:
    TocBlob(u8 firstSession, u8 lastSession) : m_bytes{0, 0, firstSession, lastSession} {}

    // A descriptor whose start is the given block (converted to
    // minutes/seconds/frames with the 150-frame lead-in).
    TocBlob& track(u8 session, u8 point, i64 lba, u8 control = 0x4, u8 adr = 1) {
        const i64 frames = lba + 150;
        return raw(session, adr, control, point, static_cast<u8>(frames / 4500), static_cast<u8>(frames / 75 % 60),
                   static_cast<u8>(frames % 75));
    }
    TocBlob& raw(u8 session, u8 adr, u8 control, u8 point, u8 m, u8 s, u8 f) {
        const u8 d[11] = {session, static_cast<u8>(adr << 4 | control), 0, point, 0, 0, 0, 0, m, s, f};
        m_bytes.insert(m_bytes.end(), d, d + 11);
        return *this;
    }
    // The session's lead-in pointers A0 (first track), A1 (last track) and
    // A2 (lead-out), which are no tracks.
    TocBlob& sessionPointers(u8 session, u8 firstTrack, u8 lastTrack, i64 leadOut) {
        raw(session, 1, 0x4, 0xA0, firstTrack, 0, 0);
        raw(session, 1, 0x4, 0xA1, lastTrack, 0, 0);
        return track(session, 0xA2, leadOut);
    }
    TocBlob& extra(size_t n) {
        m_bytes.insert(m_bytes.end(), n, 0xEE);
        return *this;
    }
    // The length field: the bytes after it, or the given value.
    std::vector<u8> bytes(int length = -1) const {
        std::vector<u8> b = m_bytes;
        const size_t len = length >= 0 ? static_cast<size_t>(length) : b.size() - 2;
        b[0] = static_cast<u8>(len >> 8);
        b[1] = static_cast<u8>(len & 0xFF);
        return b;
    }

private:
    std::vector<u8> m_bytes;
};

CdToc parse(const std::vector<u8>& bytes) {
    CdToc toc;
    EXPECT_TRUE(parseFullToc(bytes.data(), bytes.size(), toc));
    return toc;
}

// A probe that answers yes for the given blocks and records what it was asked.
struct Probe {
    std::set<u64> volumes;
    std::vector<u64> asked;
    IsoProbe fn() {
        return [this](u64 lba) {
            asked.push_back(lba);
            return volumes.count(lba) > 0;
        };
    }
};

TEST(CdToc, DescriptorsAreReadFieldByField) {
    auto toc = parse(TocBlob(1, 2).track(2, 3, 20000, 0x6).bytes());
    EXPECT_EQ(toc.firstSession, 1);
    EXPECT_EQ(toc.lastSession, 2);
    ASSERT_EQ(toc.descriptors.size(), 1u);
    const TocDescriptor& d = toc.descriptors[0];
    EXPECT_EQ(d.session, 2);
    EXPECT_EQ(d.adr, 1);
    EXPECT_EQ(d.control, 0x6);
    EXPECT_EQ(d.point, 3);
    EXPECT_EQ(tocStartLba(d), 20000);
    EXPECT_TRUE(isDataTrack(d));
}

TEST(CdToc, StartAddressConvertsFromMinutesSecondsFramesLessTheLeadIn) {
    TocDescriptor d;
    d.startMinutes = 0;
    d.startSeconds = 2;
    d.startFrames = 0;
    EXPECT_EQ(tocStartLba(d), 0);
    d.startMinutes = 79;
    d.startSeconds = 59;
    d.startFrames = 74;
    EXPECT_EQ(tocStartLba(d), (79 * 60 + 59) * 75 + 74 - 150);
    d.startMinutes = d.startSeconds = d.startFrames = 0;
    EXPECT_EQ(tocStartLba(d), -150);
}

TEST(CdToc, BlockAddressesFromTrackEntriesReachBeyondTheMinuteRange) {
    CdToc toc;
    TocDescriptor first, second;
    first.adr = second.adr = 1;
    first.control = second.control = 0x4;
    first.point = 1;
    second.point = 2;
    first.hasStartLba = second.hasStartLba = true;
    first.startLba = 0;
    second.startLba = 2000000;  // a DVD's second session, 3.8 GiB in
    toc.descriptors = {first, second};
    Probe probe;
    probe.volumes = {2000000};
    EXPECT_EQ(findLastSessionLba(toc, probe.fn()), 2000000u);
    second.startLba = -5;
    toc.descriptors = {first, second};
    EXPECT_EQ(findLastSessionLba(toc, probe.fn()), 0u);
}

TEST(CdToc, SingleSessionDiscStaysAtTheStart) {
    Probe probe;
    probe.volumes = {0};
    auto toc = parse(TocBlob(1, 1).sessionPointers(1, 1, 1, 300000).track(1, 1, 0).bytes());
    EXPECT_EQ(findLastSessionLba(toc, probe.fn()), 0u);
    EXPECT_TRUE(probe.asked.empty());  // a start of 0 ends the walk unread
}

TEST(CdToc, MultisessionDiscIsBrowsedAtItsLastSession) {
    Probe probe;
    probe.volumes = {20000};
    auto toc = parse(TocBlob(1, 2)
                         .sessionPointers(1, 1, 1, 11000)
                         .track(1, 1, 0)
                         .sessionPointers(2, 2, 2, 30000)
                         .track(2, 2, 20000)
                         .bytes());
    const u64 lba = findLastSessionLba(toc, probe.fn());
    EXPECT_EQ(lba, 20000u);
    EXPECT_EQ(lba * 2048, 40960000u);
    EXPECT_EQ(probe.asked, (std::vector<u64>{20000}));
}

TEST(CdToc, TrackWithoutVolumeFallsBackToAnEarlierSession) {
    Probe probe;
    probe.volumes = {11000};
    auto toc = parse(TocBlob(1, 3).track(1, 1, 0).track(2, 2, 11000).track(3, 3, 20000).bytes());
    EXPECT_EQ(findLastSessionLba(toc, probe.fn()), 11000u);
    EXPECT_EQ(probe.asked, (std::vector<u64>{20000, 11000}));
}

TEST(CdToc, AudioTracksAndNonTrackPointsAreNeverProbed) {
    Probe probe;
    probe.volumes = {5000, 9000, 12000, 15000};
    auto toc = parse(TocBlob(1, 2)
                         .track(1, 1, 0)
                         .track(1, 2, 5000)              // data track
                         .track(1, 3, 9000, 0x0)         // audio
                         .track(2, 0xB0, 12000, 0x4, 5)  // ADR 5: next program area
                         .track(2, 0xA2, 15000)          // lead-out pointer
                         .track(2, 100, 15000)           // point above 99
                         .bytes());
    EXPECT_EQ(findLastSessionLba(toc, probe.fn()), 5000u);
    EXPECT_EQ(probe.asked, (std::vector<u64>{5000}));
}

TEST(CdToc, LengthFieldLargerThanTheBytesReadIsBoundedByTheBytes) {
    auto bytes = TocBlob(1, 2).track(1, 1, 0).track(2, 2, 20000).extra(5).bytes(2 + 11 * 50);
    auto toc = parse(bytes);
    ASSERT_EQ(toc.descriptors.size(), 2u);  // the five trailing bytes are no descriptor
    Probe probe;
    probe.volumes = {20000};
    EXPECT_EQ(findLastSessionLba(toc, probe.fn()), 20000u);
    // The largest length the field can hold, over a header alone.
    auto empty = parse(TocBlob(1, 1).bytes(0xFFFF));
    EXPECT_TRUE(empty.descriptors.empty());
}

TEST(CdToc, LengthFieldSmallerThanTheBytesLimitsTheDescriptors) {
    auto toc = parse(TocBlob(1, 3).track(1, 1, 0).track(2, 2, 100).track(3, 3, 200).bytes(2 + 11));
    EXPECT_EQ(toc.descriptors.size(), 1u);
    EXPECT_EQ(parse(TocBlob(1, 1).track(1, 1, 0).bytes(1)).descriptors.size(), 0u);
    EXPECT_EQ(parse(TocBlob(1, 1).track(1, 1, 0).bytes(0)).descriptors.size(), 0u);
}

TEST(CdToc, NegativeAddressesAreSkipped) {
    Probe probe;
    probe.volumes = {16000};
    auto toc = parse(TocBlob(1, 2)
                         .track(1, 1, 0)
                         .track(2, 2, 16000)
                         .raw(2, 1, 0x4, 3, 0, 0, 0)    // 00:00:00 = -150
                         .raw(2, 1, 0x4, 4, 0, 1, 74)   // 00:01:74 = -1
                         .bytes());
    EXPECT_EQ(findLastSessionLba(toc, probe.fn()), 16000u);
    EXPECT_EQ(probe.asked, (std::vector<u64>{16000}));
}

TEST(CdToc, MissingHeaderIsRefusedAndNoProbeMeansNoSession) {
    CdToc toc;
    const u8 three[3] = {0, 13, 1};
    EXPECT_FALSE(parseFullToc(three, sizeof three, toc));
    EXPECT_FALSE(parseFullToc(nullptr, 0, toc));
    auto parsed = parse(TocBlob(1, 2).track(2, 2, 20000).bytes());
    EXPECT_EQ(findLastSessionLba(parsed, IsoProbe()), 0u);
    EXPECT_EQ(findLastSessionLba(CdToc(), [](u64) { return true; }), 0u);
}

TEST(CdToc, PrimaryVolumeDescriptorIsTypeOneWithTheStandardIdentifier) {
    u8 sector[2048] = {1, 'C', 'D', '0', '0', '1', 1};
    EXPECT_TRUE(isIsoPrimaryDescriptor(sector, sizeof sector));
    sector[0] = 2;  // a supplementary descriptor
    EXPECT_FALSE(isIsoPrimaryDescriptor(sector, sizeof sector));
    sector[0] = 1;
    sector[5] = '2';
    EXPECT_FALSE(isIsoPrimaryDescriptor(sector, sizeof sector));
    EXPECT_FALSE(isIsoPrimaryDescriptor(sector, 5));
    EXPECT_FALSE(isIsoPrimaryDescriptor(nullptr, 2048));
}

// xorriso's two-session image: its session table is the oracle, the probe
// reads the image as the drive would be read.
TEST(CdToc, XorrisoMultisessionImageIsFoundAtItsSecondSession) {
    std::ifstream tocText(test::mediaPath("multisession.toc.txt"));
    ASSERT_TRUE(tocText) << "missing medium multisession.toc.txt";
    std::vector<i64> starts;
    std::string line;
    while (std::getline(tocText, line)) {
        // "ISO session  :   2 ,        64 ,        24s , SESSION2"
        std::stringstream s(line.substr(line.find(':') + 1));
        int session = 0;
        char comma = 0;
        i64 lba = 0;
        s >> session >> comma >> lba;
        starts.push_back(lba);
    }
    ASSERT_EQ(starts.size(), 2u);

    std::ifstream image(test::mediaPath("multisession.iso"), std::ios::binary);
    ASSERT_TRUE(image);
    std::vector<char> data((std::istreambuf_iterator<char>(image)), std::istreambuf_iterator<char>());
    auto probeImage = [&](u64 lba) {
        const u64 ofs = lba * 2048 + 32768;
        if (ofs + 2048 > data.size()) return false;
        return isIsoPrimaryDescriptor(reinterpret_cast<const u8*>(data.data()) + ofs, 2048);
    };
    auto toc = parse(TocBlob(1, 2).track(1, 1, starts[0]).track(2, 2, starts[1]).bytes());
    EXPECT_EQ(findLastSessionLba(toc, probeImage), static_cast<u64>(starts[1]));
    // The second session's descriptor names it.
    EXPECT_EQ(std::string(data.data() + starts[1] * 2048 + 32768 + 40, 8), "SESSION2");
    // A table that points past the image falls back to the first session.
    auto beyond = parse(TocBlob(1, 2).track(1, 1, starts[0]).track(2, 2, 1000000).bytes());
    EXPECT_EQ(findLastSessionLba(beyond, probeImage), static_cast<u64>(starts[0]));
}

}  // namespace
}  // namespace vorn
