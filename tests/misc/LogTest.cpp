#include "misc/Log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "LogCapture.h"

namespace vorn {
namespace {

// Restores the process-wide logger after every case.
class LogTest : public ::testing::Test {
protected:
    void TearDown() override {
        setLogToFile(false);
        closeLogFile();
    }
    test::LogCapture m_rec{LOG_INFO};
};

TEST_F(LogTest, LinesAboveTheLevelAreDroppedAndNegativeLevelsAlwaysWritten) {
    log(LOG_DEBUG, "debug %d\n", 3);
    log(LOG_ERROR, "error %d\n", 0);
    log(LOG_INFO, "info\n");
    log(-5, "always\n");
    setLogLevel(-10);
    log(-5, "dropped\n");
    log(-10, "kept\n");
    EXPECT_EQ(m_rec.lines, (std::vector<std::string>{"error 0\n", "info\n", "always\n", "kept\n"}));
}

TEST_F(LogTest, NothingIsAddedToTheText) {
    log(LOG_ERROR, "part one ");
    log(LOG_ERROR, "%s", "part two");
    ASSERT_EQ(m_rec.lines.size(), 2u);
    EXPECT_EQ(m_rec.lines[0], "part one ");
    EXPECT_EQ(m_rec.lines[1], "part two");
}

TEST_F(LogTest, FmtTextWithConversionsIsWrittenVerbatim) {
    // A name read from a disk may hold conversions; they must never reach printf again.
    const std::string name = "evil%n%s%d%x%%name";
    log(LOG_INFO, fmt("found: %s\n", name.c_str()));
    ASSERT_EQ(m_rec.lines.size(), 1u);
    EXPECT_EQ(m_rec.lines[0], "found: evil%n%s%d%x%%name\n");

    // The same through a const pointer into the fmt buffer.
    const char* formatted = fmt("file %s", "a%d.txt");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    log(LOG_INFO, formatted);
#pragma GCC diagnostic pop
    EXPECT_EQ(m_rec.lines.back(), "file a%d.txt");
}

TEST_F(LogTest, WritableBuffersAndStringsAreWrittenVerbatim) {
    char buffer[32];
    snprintf(buffer, sizeof buffer, "%s", "50%s %n done");
    log(LOG_INFO, buffer);
    log(LOG_INFO, std::string("100%d%%"));
    logStream << std::string("stream %s");
    logStream << std::wstring(L"wide %n \u00e9");
    EXPECT_EQ(m_rec.lines, (std::vector<std::string>{"50%s %n done", "100%d%%", "stream %s", "wide %n \xc3\xa9"}));
}

TEST_F(LogTest, LiteralFormatsAreFormatted) {
    log(LOG_INFO, "100%% of %lld\n", static_cast<long long>(1) << 40);
    EXPECT_EQ(m_rec.lines.at(0), "100% of 1099511627776\n");
}

TEST_F(LogTest, TwoFmtCallsShareOneBufferAndFmtIsNeverNull) {
    char* a = fmt("first %d", 1);
    char* b = fmt("second %d", 2);
    EXPECT_EQ(a, b);
    EXPECT_STREQ(a, "second 2");
    char* empty = fmt("%s", "");
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty, "");
}

TEST_F(LogTest, LongLinesAreCutAt8191Characters) {
    const std::string big(20000, 'x');
    log(LOG_INFO, "%s", big.c_str());
    log(LOG_INFO, fmt("%s", big.c_str()));
    log(LOG_INFO, big);
    ASSERT_EQ(m_rec.lines.size(), 3u);
    for (const std::string& line : m_rec.lines) EXPECT_EQ(line, std::string(8191, 'x'));
}

TEST_F(LogTest, DroppedLinesDoNotEvaluateArgumentsThroughVornLog) {
    int calls = 0;
    auto expensive = [&calls] {
        ++calls;
        return 42;
    };
    VORN_LOG(LOG_DEBUG, "value %d\n", expensive());
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(m_rec.lines.empty());
    VORN_LOG(LOG_INFO, "value %d\n", expensive());
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(m_rec.lines.at(0), "value 42\n");
    EXPECT_FALSE(logEnabled(LOG_DEBUG));
    EXPECT_TRUE(logEnabled(LOG_INFO));
}

TEST_F(LogTest, WithoutListenerLinesGoToStandardOutputOnly) {
    setLogListener(nullptr);
    testing::internal::CaptureStdout();
    log(LOG_INFO, "to stdout %d\n", 7);
    log(LOG_INFO, fmt("%s", "x%sy\n"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "to stdout 7\nx%sy\n");
    EXPECT_TRUE(m_rec.lines.empty());
}

TEST_F(LogTest, WithListenerNothingGoesToStandardOutput) {
    testing::internal::CaptureStdout();
    log(LOG_INFO, "to listener\n");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "");
    EXPECT_EQ(m_rec.lines.size(), 1u);
}

TEST_F(LogTest, ListenerThatCallsFmtDoesNotCorruptTheLine) {
    struct FmtListener : LoggerEventListener {
        std::vector<std::string> lines;
        void logEvent(const char* text) override {
            fmt("%s", "overwritten by the listener");
            lines.emplace_back(text);
        }
    } listener;
    setLogListener(&listener);
    log(LOG_INFO, fmt("original %d", 1));
    ASSERT_EQ(listener.lines.size(), 1u);
    EXPECT_EQ(listener.lines[0], "original 1");
}

// Runs a case inside a fresh folder, so "log.txt" lands there.
class LogFileTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        closeLogFile();
        m_old = std::filesystem::current_path();
        char tmpl[] = "/tmp/vorn_logtest_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        std::filesystem::current_path(m_dir);
    }
    void TearDown() override {
        LogTest::TearDown();
        std::filesystem::current_path(m_old);
        std::filesystem::remove_all(m_dir);
    }
    static std::string readLog() {
        std::ifstream in("log.txt", std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::filesystem::path m_old, m_dir;
};

TEST_F(LogFileTest, FileOutputCopiesEveryWrittenLine) {
    setLogToFile(true);
    log(LOG_INFO, "one %d\n", 1);
    log(LOG_DEBUG, "dropped\n");
    log(LOG_INFO, fmt("two %s\n", "%n"));
    EXPECT_EQ(readLog(), "one 1\ntwo %n\n");
    EXPECT_EQ(m_rec.lines.size(), 2u);  // the listener still gets them
}

TEST_F(LogFileTest, TurningFileOutputOnAgainDoesNotEmptyTheOpenFile) {
    setLogToFile(true);
    log(LOG_INFO, "a\n");
    setLogToFile(true);
    log(LOG_INFO, "b\n");
    setLogToFile(false);
    log(LOG_INFO, "not copied\n");
    setLogToFile(true);
    log(LOG_INFO, "c\n");
    EXPECT_EQ(readLog(), "a\nb\nc\n");
}

TEST_F(LogFileTest, ClosingAndReopeningEmptiesTheFile) {
    setLogToFile(true);
    log(LOG_INFO, "old\n");
    closeLogFile();
    log(LOG_INFO, "while closed\n");
    setLogToFile(true);
    log(LOG_INFO, "new\n");
    EXPECT_EQ(readLog(), "new\n");
}

TEST_F(LogFileTest, UnwritableFileLeavesOtherOutputWorking) {
    std::filesystem::create_directory("log.txt");  // cannot be opened as a file
    setLogToFile(true);
    log(LOG_INFO, "still here\n");
    EXPECT_EQ(m_rec.lines.at(0), "still here\n");
}

TEST_F(LogTest, HexdumpIfVerboseOnlyAtDebugLevel) {
    const unsigned char bytes[4] = {1, 2, 3, 4};
    testing::internal::CaptureStdout();
    hexdumpIfVerbose("quiet", bytes, 4);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    setLogLevel(LOG_DEBUG);
    testing::internal::CaptureStdout();
    hexdumpIfVerbose("loud", bytes, 4);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Hexdump (loud)", 0), 0u);
    EXPECT_NE(out.find("01 02 03 04"), std::string::npos);
    EXPECT_TRUE(m_rec.lines.empty());  // dumps bypass the listener
}

TEST(LogNames, NamesCanBeAddedAndRemoved) {
    addLogName("cache");
    EXPECT_TRUE(hasLogName("cache"));
    removeLogName("cache");
    EXPECT_FALSE(hasLogName("cache"));
}

}  // namespace
}  // namespace vorn
