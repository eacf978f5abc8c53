#include "misc/Timing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogCapture.h"

namespace vorn {
namespace {

TEST(StopWatch, ElapsedAcrossASecondBoundary) {
    StopWatch w;
    w.setStamps(timeval{10, 900000}, timeval{11, 100000});
    EXPECT_EQ(w.elapsedMicros(), 200000);
    EXPECT_EQ(w.elapsedSeconds(), 1u);
}

TEST(StopWatch, MeasuresRealTime) {
    StopWatch w;
    w.start();
    w.stop();
    EXPECT_GE(w.elapsedMicros(), 0);
}

TEST(Speedometer, NewSpeedometerHasItsInitialRates) {
    Speedometer s;
    EXPECT_EQ(s.getTotalBytes(), 0u);
    EXPECT_EQ(s.getTotalMicros(), 0u);
    EXPECT_EQ(s.getLowestRate(), 9223372036854775807ULL);
    EXPECT_EQ(s.getHighestRate(), 0u);
}

TEST(Speedometer, ZeroBytesChangeNoCounter) {
    Speedometer s;
    s.updateWithMicros(0, 9000000);
    s.start();
    s.update(0);
    EXPECT_EQ(s.getTotalBytes(), 0u);
    EXPECT_EQ(s.getTotalMicros(), 0u);
    EXPECT_EQ(s.getHighestRate(), 0u);
}

TEST(Speedometer, SnapshotOnlyOnceTheIntervalReachesFiveSeconds) {
    Speedometer s;
    s.updateWithMicros(4900, 4900000);  // 4.9 s: no rate yet
    EXPECT_EQ(s.getHighestRate(), 0u);
    EXPECT_EQ(s.getLowestRate(), 9223372036854775807ULL);
    s.updateWithMicros(1100, 100000);  // 5.0 s, 6000 bytes
    EXPECT_EQ(s.getHighestRate(), 1200u);
    EXPECT_EQ(s.getLowestRate(), 1200u);
    // The interval was cleared: 4.9 s more records nothing.
    s.updateWithMicros(1000000, 4900000);
    EXPECT_EQ(s.getHighestRate(), 1200u);
    s.updateWithMicros(1, 1000000);  // 5.9 s, 1000001 bytes -> 169491.69... truncated
    EXPECT_EQ(s.getHighestRate(), 169491u);
    EXPECT_EQ(s.getLowestRate(), 1200u);
    EXPECT_EQ(s.getTotalBytes(), 1006001u);
    EXPECT_EQ(s.getTotalMicros(), 10900000u);
}

TEST(Speedometer, RealUpdateCountsTheMeasuredPiece) {
    Speedometer s;
    s.start();
    s.update(4096);
    EXPECT_EQ(s.getTotalBytes(), 4096u);
}

class SpeedometerLog : public ::testing::Test {
protected:
    test::LogCapture m_rec{LOG_DEBUG};
};

TEST_F(SpeedometerLog, ShortScanLogsFiveLines) {
    Speedometer s;
    s.updateWithMicros(1048576, 2000000);
    s.logResults();
    EXPECT_EQ(m_rec.lines, (std::vector<std::string>{
                               "Speedometer results\n",
                               "total bytes: 1048576 (1024 KB)\n",
                               "total seconds: 2.00\n",
                               "bytes per second (mean): 524288 (512 KB)\n",
                               "snapshot interval: 5 seconds\n",
                           }));
}

TEST_F(SpeedometerLog, LongScanAddsMinAndMax) {
    Speedometer s;
    s.updateWithMicros(5 * 2048, 5000000);   // 2048 B/s
    s.updateWithMicros(5 * 8192, 5000000);   // 8192 B/s
    s.updateWithMicros(3 * 1024, 1000000);   // 11 s total
    s.logResults();
    ASSERT_EQ(m_rec.lines.size(), 7u);
    EXPECT_EQ(m_rec.lines[1], "total bytes: 54272 (53 KB)\n");
    EXPECT_EQ(m_rec.lines[2], "total seconds: 11.00\n");
    EXPECT_EQ(m_rec.lines[5], "bytes per second (min): 2048 (2 KB)\n");
    EXPECT_EQ(m_rec.lines[6], "bytes per second (max): 8192 (8 KB)\n");
}

TEST_F(SpeedometerLog, ExactlyTheIntervalIsNotLongEnoughForMinAndMax) {
    Speedometer s;
    s.updateWithMicros(5000, 5999999);
    s.logResults();
    EXPECT_EQ(m_rec.lines.size(), 5u);
}

TEST_F(SpeedometerLog, NoMeasuredTimeShowsAZeroMean) {
    Speedometer s;
    s.logResults();
    ASSERT_EQ(m_rec.lines.size(), 5u);
    EXPECT_EQ(m_rec.lines[3], "bytes per second (mean): 0 (0 KB)\n");
}

TEST_F(SpeedometerLog, NothingBelowDebugLevel) {
    setLogLevel(LOG_INFO);
    Speedometer s;
    s.updateWithMicros(1, 1);
    s.logResults();
    EXPECT_TRUE(m_rec.lines.empty());
}

}  // namespace
}  // namespace vorn
