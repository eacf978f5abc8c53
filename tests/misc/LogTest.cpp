#include "misc/Log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "LogCapture.h"

namespace vorn {
namespace {

using Lines = std::vector<std::string>;

TEST(Log, FormattedTextsAreWrittenVerbatimAndCut) {
    test::LogCapture rec(LOG_INFO);
    VORN_LOG(LOG_DEBUG, "%d\n", [] { ADD_FAILURE() << "argument of a dropped line evaluated"; return 0; }());
    log(LOG_ERROR, "100%% of %lld\n", static_cast<long long>(1) << 40);
    log(-5, "always");
    // A name read from a disk may hold conversions: they never reach printf again.
    log(LOG_INFO, fmt("found: %s\n", "evil%n%s%d%%name"));
    const char* formatted = fmt("file %s", "a%d.txt");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    log(LOG_INFO, formatted);
#pragma GCC diagnostic pop
    char buffer[16] = "50%s %n done";
    log(LOG_INFO, buffer);
    logStream << std::wstring(L"wide %n \u00e9");
    EXPECT_EQ(rec.lines, (Lines{"100% of 1099511627776\n", "always", "found: evil%n%s%d%%name\n", "file a%d.txt",
                                "50%s %n done", "wide %n \xc3\xa9"}));
    rec.clear();
    const std::string big(20000, 'x');
    log(LOG_INFO, "%s", big.c_str());
    log(LOG_INFO, fmt("%s", big.c_str()));
    log(LOG_INFO, big);
    EXPECT_EQ(rec.lines, Lines(3, std::string(8191, 'x')));
    EXPECT_EQ(fmt("first %d", 1), fmt("%s", ""));  // one shared buffer, never null
}

// Lines go to the listener (which may call fmt itself) or to standard output, and to log.txt while on.
TEST(Log, LinesReachListenerOrStandardOutputAndTheFile) {
    struct FmtListener : LoggerEventListener {
        Lines lines;
        void logEvent(const char* text) override {
            fmt("%s", "overwritten by the listener");
            lines.emplace_back(text);
        }
    } listener;
    test::LogCapture rec(LOG_INFO);
    const auto old = std::filesystem::current_path();
    char dir[] = "/tmp/vorn_logtest_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::filesystem::current_path(dir);
    setLogListener(&listener);
    testing::internal::CaptureStdout();
    setLogToFile(true);
    log(LOG_INFO, fmt("one %d\n", 1));
    setLogToFile(true);  // on again: the open file is not emptied
    setLogListener(nullptr);
    log(LOG_INFO, fmt("two %s\n", "%n"));
    setLogToFile(false);
    log(LOG_INFO, "not copied\n");
    closeLogFile();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "two %n\nnot copied\n");
    EXPECT_EQ(listener.lines, Lines{"one 1\n"});
    std::ifstream in("log.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "one 1\ntwo %n\n");
    std::filesystem::current_path(old);
    std::filesystem::remove_all(dir);
}

TEST(Log, ALimitWritesEachKindOnceWithItsCountAndCutsTheRest) {
    test::LogCapture rec(LOG_DEBUG);
    {
        LogLimit outer(3);
        {
            LogLimit inner(16);
            for (int i = 0; i < 5; ++i) log(LOG_ERROR, "read error at %d\n", i);
            for (int i = 1; i <= 2; ++i) log(LOG_DEBUG, "debug %d\n", i);
            for (int i = 0; i < 2; ++i) log(LOG_WARNING, std::string("verbatim\n"));
        }
        log(LOG_ERROR, "after\n");
    }
    for (int i = 1; i <= 2; ++i) log(LOG_ERROR, "free %d\n", i);
    EXPECT_EQ(rec.lines, (Lines{"read error at 0\n", "debug 1\n", "debug 2\n", "verbatim\n",
                                "4 more like: read error at 0\n", "2 more lines not logged\n", "free 1\n", "free 2\n"}));
}

}  // namespace
}  // namespace vorn
