// The bundled log plugin in the plugin test harness, loaded twice as the core loads it: once as an
// ordinary plugin, once as the shutdown logger. It writes into the working directory, so each test
// runs in a fresh one.
#include <dvrcore/harness.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "plugin_test_support.h"
#include "support/bounded_wait.h"

namespace {

using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

// Runs the test inside a temporary working directory and returns to the old one afterwards.
class LogPI : public ::testing::Test {
protected:
    LogPI()
        : previous_(fs::current_path())
    {
        fs::current_path(dir.Path());
    }
    ~LogPI() override { fs::current_path(previous_); }

    Strings LogLines() const { return dvr::test::SplitLines(dvr::test::ReadFile(dir / "dvrcore.log")); }

    // A started instance of the plugin: an ordinary one, or the shutdown logger.
    static dvr_harness* Started(bool shutdownLogger)
    {
        dvr_harness* h = dvr_harness_new(dvr::test::LogPlugin().c_str());
        dvr_harness_set_shutdown_logger(h, shutdownLogger ? 1 : 0);
        EXPECT_EQ(dvr_harness_start(h), DVR_HARNESS_OK) << dvr_harness_load_refusal(h);
        return h;
    }
    // Closes, unloads and checks an instance.
    static void Finish(dvr_harness* h)
    {
        char report[4096];
        EXPECT_EQ(dvr_harness_teardown(h, report, sizeof report), 0u) << report;
    }
    // A plugin's log line as the event bus delivers it: text of len bytes (no terminator needed).
    static int PushLine(dvr_harness* h, int level, const char* text, uint32_t len, uint32_t flags)
    {
        _EventParmsIn event = DvrLogEvent(0x00110000, level, nullptr);
        event.eventFlags = flags;
        event.data = const_cast<char*>(text);
        event.len = len;
        return dvr_harness_push(h, &event, nullptr);
    }

    dvr::test::TemporaryDirectory dir;

private:
    fs::path previous_;
};

TEST_F(LogPI, WritesOneTimestampedLinePerLogEvent)
{
    dvr_harness* log = Started(false);
    dvr_harness_push_core_log(log, 100, "calling close for a.so");
    const char unterminated[] = {'a', 'b', 'c', 'd', 'e'};
    EXPECT_EQ(PushLine(log, 7, unterminated, 3, EVF_CORE_LOG_LINE), DVR_HARNESS_OK);
    // Nothing to write: no text, no data, or no log message; a threshold query is not even delivered.
    EXPECT_EQ(PushLine(log, 7, "", 0, EVF_CORE_LOG_LINE), DVR_HARNESS_OK);
    EXPECT_EQ(PushLine(log, 7, nullptr, 4, EVF_CORE_LOG_LINE), DVR_HARNESS_OK);
    EXPECT_EQ(PushLine(log, 7, "plain", 5, 0), DVR_HARNESS_OK);
    EXPECT_EQ(PushLine(log, 7, "query", 5, EVF_LOG_QUERY), DVR_HARNESS_NOT_DELIVERED);
    Finish(log);

    Strings lines = LogLines();
    ASSERT_EQ(lines.size(), 2u);
    std::regex format(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (0x[0-9A-F]{8}) +(\d+) (.*))");
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(lines[0], parts, format)) << lines[0];
    EXPECT_EQ(parts[1], "0x80000000");
    EXPECT_EQ(parts[2], "100");
    EXPECT_EQ(parts[3], "calling close for a.so");
    ASSERT_TRUE(std::regex_match(lines[1], parts, format)) << lines[1];
    EXPECT_EQ(parts[1], "0x00110000");
    EXPECT_EQ(parts[2], "7");
    EXPECT_EQ(parts[3], "abc");
}

TEST_F(LogPI, SecondInstanceKeepsTheFileOpenUntilTheLastClose)
{
    dvr_harness* regular = Started(false);
    dvr_harness_push_core_log(regular, 25, "one");
    dvr_harness* shutdownLogger = Started(true);
    Finish(regular);
    dvr_harness_push_core_log(shutdownLogger, 100, "two");
    Finish(shutdownLogger);

    Strings lines = LogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].ends_with(" one"));
    EXPECT_TRUE(lines[1].ends_with(" two"));
}

TEST_F(LogPI, ConcurrentWritersProduceWholeLines)
{
    dvr_harness* regular = Started(false);
    dvr_harness* shutdownLogger = Started(true);
    dvr::test::TestThread other([&] {
        for (int i = 0; i < 200; ++i)
            dvr_harness_push_core_log(shutdownLogger, 100, "from the shutdown logger");
    });
    for (int i = 0; i < 200; ++i)
        PushLine(regular, 25, "from the queue worker", 21, EVF_CORE_LOG_LINE);
    ASSERT_TRUE(other.Join("the shutdown logger's 200 lines"));
    Finish(shutdownLogger);
    Finish(regular);

    Strings lines = LogLines();
    EXPECT_EQ(lines.size(), 400u);
    for (const std::string& line : lines)
        ASSERT_TRUE(line.ends_with(" from the shutdown logger") || line.ends_with(" from the queue worker")) << line;
}

TEST_F(LogPI, RotationKeepsThreeOldFilesBelowTheLimit)
{
    constexpr uintmax_t LIMIT = 1024 * 1024;
    dvr_harness* log = Started(false);
    std::string text(1000, 'x');
    for (int i = 0; i < 5000; ++i) // about five limits' worth
        dvr_harness_push_core_log(log, 25, text.c_str());
    dvr_harness_push_core_log(log, 25, "last");
    Finish(log);

    for (const char* name : {"dvrcore.log", "dvrcore.log.1", "dvrcore.log.2", "dvrcore.log.3"}) {
        ASSERT_TRUE(fs::exists(dir / name)) << name;
        EXPECT_LE(fs::file_size(dir / name), LIMIT) << name;
    }
    EXPECT_GT(fs::file_size(dir / "dvrcore.log.3"), LIMIT - 2000);
    EXPECT_FALSE(fs::exists(dir / "dvrcore.log.4"));
    EXPECT_TRUE(LogLines().back().ends_with(" last"));
}

} // namespace
