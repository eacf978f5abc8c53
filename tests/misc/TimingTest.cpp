#include "misc/Timing.h"

#include <gtest/gtest.h>

#include "LogCapture.h"

namespace vorn {
namespace {

TEST(Timing, StopWatchAndSpeedometerSnapshotsEveryFiveSecondsWithTheirLogLines) {
    StopWatch w;
    w.setStamps(timeval{10, 900000}, timeval{11, 100000});  // across a second boundary
    EXPECT_EQ(w.elapsedMicros(), 200000);
    test::LogCapture rec(LOG_DEBUG);
    Speedometer s;
    s.updateWithMicros(4900, 4900000);     // 4.9 s: no rate yet
    s.updateWithMicros(1100, 100000);      // 5.0 s, 6000 bytes
    s.updateWithMicros(1000000, 4900000);  // the interval was cleared: nothing yet
    s.updateWithMicros(1, 1000000);        // 5.9 s, 1000001 bytes: 169491.69 cut
    s.updateWithMicros(0, 9000000);        // no bytes change no counter
    s.logResults();
    EXPECT_EQ(rec.lines, (std::vector<std::string>{
                             "Speedometer results\n", "total bytes: 1006001 (982 KB)\n", "total seconds: 10.90\n",
                             "bytes per second (mean): 92294 (90 KB)\n", "snapshot interval: 5 seconds\n",
                             "bytes per second (min): 1200 (1 KB)\n", "bytes per second (max): 169491 (165 KB)\n"}));
}

}  // namespace
}  // namespace vorn
