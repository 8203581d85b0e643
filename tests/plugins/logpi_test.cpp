// The bundled log plugin, loaded twice as the core loads it: once as an ordinary plugin, once as
// the shutdown logger. It writes into the working directory, so each test runs in a fresh one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "events/event_callback.h"
#include "plugin_test_support.h"
#include "plugins/plugin_info.h"

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

    // A log line as the event bus delivers it: text of len bytes (no terminator needed).
    static _WriteParmsIn LogEvent(uint32_t providerID, int level, const char* text, uint32_t len, uint32_t flags)
    {
        _WriteParmsIn in{};
        in.size = sizeof in;
        in.version = WRITE_PARMS_IN_VERSION;
        in.providerID = providerID;
        in.eventType = EVT_LOG;
        in.eventFlags = flags;
        in.data = const_cast<char*>(text);
        in.len = len;
        int32_t level32 = level;
        memcpy(in.extra + EVENT_EXTRA_LOG_LEVEL, &level32, sizeof level32);
        return in;
    }

    dvr::test::TemporaryDirectory dir;

private:
    fs::path previous_;
};

TEST_F(LogPI, WritesOneTimestampedLinePerLogEvent)
{
    PluginInfo log(dvr::test::LogPlugin(), NullEventSink, nullptr);
    ASSERT_EQ(log.loadCode, 0);
    log.Open(0);
    log.Log(100, "calling close for a.so");
    const char unterminated[] = {'a', 'b', 'c', 'd', 'e'};
    _WriteParmsIn plugin = LogEvent(0x00110000, 7, unterminated, 3, EVF_CORE_LOG_LINE);
    log.Write(plugin);
    // Nothing to write: no text, no data, or no log message.
    for (_WriteParmsIn ignored :
         {LogEvent(0x00110000, 7, "", 0, EVF_CORE_LOG_LINE), LogEvent(0x00110000, 7, nullptr, 4, EVF_CORE_LOG_LINE),
          LogEvent(0x00110000, 7, "query", 5, EVF_LOG_QUERY)})
        log.Write(ignored);
    log.Close();
    log.Unload();

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
    PluginInfo regular(dvr::test::LogPlugin(), NullEventSink, nullptr);
    PluginInfo shutdownLogger(dvr::test::LogPlugin(), NullEventSink, nullptr);
    regular.Open(0);
    regular.Log(25, "one");
    shutdownLogger.Open(1);
    regular.Close();
    regular.Unload();
    shutdownLogger.Log(100, "two");
    shutdownLogger.Close();
    shutdownLogger.Unload();

    Strings lines = LogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].ends_with(" one"));
    EXPECT_TRUE(lines[1].ends_with(" two"));
}

TEST_F(LogPI, ConcurrentWritersProduceWholeLines)
{
    PluginInfo regular(dvr::test::LogPlugin(), NullEventSink, nullptr);
    PluginInfo shutdownLogger(dvr::test::LogPlugin(), NullEventSink, nullptr);
    regular.Open(0);
    shutdownLogger.Open(1);
    std::thread other([&] {
        for (int i = 0; i < 200; ++i)
            shutdownLogger.Log(100, "from the shutdown logger");
    });
    for (int i = 0; i < 200; ++i) {
        _WriteParmsIn event = LogEvent(0x00110000, 25, "from the queue worker", 21, EVF_CORE_LOG_LINE);
        regular.Write(event);
    }
    other.join();
    shutdownLogger.Close();
    regular.Close();
    shutdownLogger.Unload();
    regular.Unload();

    Strings lines = LogLines();
    EXPECT_EQ(lines.size(), 400u);
    for (const std::string& line : lines)
        ASSERT_TRUE(line.ends_with(" from the shutdown logger") || line.ends_with(" from the queue worker")) << line;
}

TEST_F(LogPI, RotationKeepsThreeOldFilesBelowTheLimit)
{
    constexpr uintmax_t LIMIT = 1024 * 1024;
    PluginInfo log(dvr::test::LogPlugin(), NullEventSink, nullptr);
    log.Open(0);
    std::string text(1000, 'x');
    for (int i = 0; i < 5000; ++i) // about five limits' worth
        log.Log(25, text);
    log.Log(25, "last");
    log.Close();
    log.Unload();

    for (const char* name : {"dvrcore.log", "dvrcore.log.1", "dvrcore.log.2", "dvrcore.log.3"}) {
        ASSERT_TRUE(fs::exists(dir / name)) << name;
        EXPECT_LE(fs::file_size(dir / name), LIMIT) << name;
    }
    EXPECT_GT(fs::file_size(dir / "dvrcore.log.3"), LIMIT - 2000);
    EXPECT_FALSE(fs::exists(dir / "dvrcore.log.4"));
    EXPECT_TRUE(LogLines().back().ends_with(" last"));
}

} // namespace
