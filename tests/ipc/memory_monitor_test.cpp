// The memory and clock monitor ticked by hand with a test clock, a test wall clock and a test
// resident size, so its one-minute rules run without waiting.
#include <gtest/gtest.h>

#include "events/log_capture.h"
#include "ipc/memory_monitor.h"
#include "log/console_line.h"
#include "support/recording_core.h"

using dvr::MEMORY_LIMIT;
using dvr::test::LogCapture;
using namespace std::chrono_literals;

namespace {

class MemoryMonitorTest : public ::testing::Test {
protected:
    MemoryMonitorTest()
        : monitor({[this] { return steady; }, [this] { return wall; }, [this] { return usage; },
                   [this] { published.push_back(throttling.load()); }, LogCapture::Callback(), nullptr,
                   [this] {
                       ++releases;
                       usage = std::min(usage, residentAfterRelease);
                   }},
                  throttling, lastLowMemoryTime)
    {
    }

    // Time passes, one tick each second, with this resident size.
    void TickAfter(std::chrono::seconds elapsed, size_t resident, bool enabled = true)
    {
        usage = resident;
        for (auto second = 0s; second < elapsed; ++second) {
            steady += 1s;
            wall += 1;
            monitor.Tick(enabled);
        }
    }

    std::vector<std::string> Lines() const
    {
        std::vector<std::string> texts;
        for (const auto& line : LogCapture::Taken())
            texts.push_back(line.text);
        return texts;
    }

    bool Logged(const std::string& text) const
    {
        for (const auto& line : Lines())
            if (line == text)
                return true;
        return false;
    }

    LogCapture capture;
    std::chrono::steady_clock::time_point steady{std::chrono::hours(2)};
    time_t wall = 1'700'000'000;
    size_t usage = 0;
    std::vector<bool> published;
    int releases = 0;                       // calls of the release hook
    size_t residentAfterRelease = SIZE_MAX; // what the resident size drops to when freed memory goes back
    std::atomic<bool> throttling{false};
    int64_t lastLowMemoryTime = INT64_MAX;
    dvr::MemoryMonitor monitor;
};

TEST_F(MemoryMonitorTest, FirstTickSetsTheLimitPublishesAndReportsTheWholeUsage)
{
    usage = 35 * 1048576;
    monitor.Tick(true);
    EXPECT_EQ(monitor.MemoryLimit(), MEMORY_LIMIT);
    EXPECT_EQ(published, std::vector<bool>{false}); // the initial state, before any check
    EXPECT_EQ(Lines(), (std::vector<std::string>{"memory limit set to 199229440",
                                                 "memory usage changed 35MB (total usage: 35MB)"}));
    // The next usage line comes a minute later and shows the change since.
    TickAfter(59s, 40 * 1048576);
    EXPECT_EQ(Lines().size(), 2u);
    TickAfter(1s, 33 * 1048576 + 1);
    EXPECT_EQ(Lines().back(), "memory usage changed -1MB (total usage: 33MB)");
}

TEST_F(MemoryMonitorTest, TheLimitItselfIsNotLowOnePageMoreIs)
{
    usage = MEMORY_LIMIT;
    monitor.Tick(true);
    EXPECT_FALSE(throttling);
    TickAfter(1s, MEMORY_LIMIT + 4096);
    EXPECT_TRUE(throttling);
    EXPECT_TRUE(Logged("available system memory is low, throttling video"));
    EXPECT_EQ(published, (std::vector<bool>{false, true}));
}

TEST_F(MemoryMonitorTest, EpisodeEndsAMinuteAfterTheLastLowObservation)
{
    monitor.Tick(true);
    TickAfter(1s, MEMORY_LIMIT + 1); // low: starts the episode
    TickAfter(1s, MEMORY_LIMIT);     // below: frames flow again at once, still in the episode
    EXPECT_FALSE(throttling);
    TickAfter(30s, MEMORY_LIMIT + 1); // low again within the minute: extends it silently
    EXPECT_TRUE(throttling);
    TickAfter(59s, 0);
    EXPECT_FALSE(throttling);
    EXPECT_FALSE(Logged("available system memory ok, not throttling video"));
    EXPECT_EQ(published, (std::vector<bool>{false, true}));
    TickAfter(1s, 0); // a minute after the last low observation
    EXPECT_TRUE(Logged("available system memory ok, not throttling video"));
    EXPECT_EQ(published, (std::vector<bool>{false, true, false}));
    EXPECT_EQ(lastLowMemoryTime, INT64_MAX);
    int lowLines = 0;
    for (const auto& line : Lines())
        lowLines += line == "available system memory is low, throttling video";
    EXPECT_EQ(lowLines, 1);
}

// After a burst the frames' blocks are freed, but the allocator keeps their pages resident: only
// giving them back lets the resident size fall below the limit and the episode end.
TEST_F(MemoryMonitorTest, UnderPressureFreedMemoryIsGivenBackBeforeEachCheckSoTheEpisodeEnds)
{
    TickAfter(5s, 40 * 1048576);
    EXPECT_EQ(releases, 0); // nothing to do without pressure
    TickAfter(1s, MEMORY_LIMIT + 1);
    ASSERT_TRUE(throttling);
    residentAfterRelease = 50 * 1048576;
    TickAfter(61s, MEMORY_LIMIT + 1); // stays above the limit unless freed memory goes back
    EXPECT_GE(releases, 1);
    EXPECT_FALSE(throttling);
    EXPECT_TRUE(Logged("available system memory ok, not throttling video"));
}

TEST_F(MemoryMonitorTest, MemoryIsCheckedAtMostOncePerWallClockSecond)
{
    monitor.Tick(true);
    usage = MEMORY_LIMIT + 1;
    steady += 100ms;
    monitor.Tick(true); // same wall-clock second: no check
    EXPECT_FALSE(throttling);
    wall += 1;
    monitor.Tick(true);
    EXPECT_TRUE(throttling);
}

TEST_F(MemoryMonitorTest, ClockJumpsOfMoreThanASecondAreLogged)
{
    monitor.Tick(true);
    wall += 3600;
    monitor.Tick(true);
    wall -= 5;
    monitor.Tick(true);
    wall += 1;
    monitor.Tick(true);
    wall += 2;
    monitor.Tick(true);
    wall -= 2;
    monitor.Tick(true);
    EXPECT_TRUE(Logged("system time changed by 3600 seconds"));
    EXPECT_TRUE(Logged("system time changed by -5 seconds"));
    EXPECT_FALSE(Logged("system time changed by 1 seconds"));
    EXPECT_TRUE(Logged("system time changed by 2 seconds"));
    EXPECT_TRUE(Logged("system time changed by -2 seconds"));
}

TEST_F(MemoryMonitorTest, DisabledThrottlingWatchesOnlyTheClock)
{
    usage = MEMORY_LIMIT * 2;
    monitor.Tick(false);
    TickAfter(61s, MEMORY_LIMIT * 2, false);
    wall += 61;
    monitor.Tick(false);
    EXPECT_FALSE(throttling);
    EXPECT_TRUE(published.empty());
    EXPECT_EQ(Lines(),
              (std::vector<std::string>{"memory limit set to 199229440", "system time changed by 61 seconds"}));
}

// The monitor inside a core: low memory refuses gated frames, and a provider must start again
// with a key frame once the episode is over.
class ThrottledCore : public dvr::test::RecordingCore {
public:
    std::chrono::steady_clock::time_point Now() override { return clock; }
    std::chrono::steady_clock::time_point clock{std::chrono::hours(3)};
};

TEST(MonitorInCore, HeldDataCountsBetweenMemoryChecks)
{
    // Ten frames of headroom at the check (and a page for the core's own queued log lines): the
    // eleventh is refused although the next check is up to a second away.
    constexpr uint32_t FRAME = 1 << 20;
    constexpr size_t HEADROOM = 10 * size_t{FRAME} + 4096;
    ThrottledCore core;
    size_t resident = MEMORY_LIMIT - HEADROOM;
    core.wallClock = [] { return time_t{1'700'000'000}; };
    int64_t heldAtCheck = 0;
    core.residentBytes = [&] {
        heldAtCheck = core.HeldDataBytes(); // as the check has just read it
        return resident;
    };
    std::vector<char> payload(FRAME, 'v');
    _EventParmsIn frame = dvr::test::MakeEvent(0x00110000, EVT_VIDEO, EVF_MEDIA_GATED);
    frame.data = payload.data();
    frame.len = FRAME;
    _EventParmsOut out = dvr::test::MakeResult();

    core.PluginEvent(&frame, &out);
    EXPECT_EQ(out.result, EVENT_NO_KEY_FRAME) << "no memory check yet: only the key frame rule applies";
    core.memoryMonitor.Tick(true);
    int accepted = 0;
    int64_t heldAtRefusal = 0;
    for (int i = 0; i < 12; ++i) {
        SetEventKeyFrame(&frame, i == 0 || out.result != EVENT_ACCEPTED);
        if (i == 10)
            heldAtRefusal = core.HeldDataBytes() + FRAME;
        core.PluginEvent(&frame, &out);
        accepted += out.result == EVENT_ACCEPTED;
        if (i >= 10) {
            EXPECT_EQ(out.result, EVENT_THROTTLED) << "frame " << i;
        }
    }
    EXPECT_EQ(accepted, 10);
    EXPECT_FALSE(core.throttling.load()) << "the throttling state itself changes only at a check";
    // The refusals while the flag is clear are explained once, with the figures, at level 50.
    auto refusalLines = [&core] {
        std::vector<std::string> lines;
        for (const auto& line : core.Lines())
            if (line.text.starts_with("refusing gated frames:")) {
                EXPECT_EQ(line.level, 50);
                lines.push_back(line.text);
            }
        return lines;
    };
    EXPECT_EQ(refusalLines(),
              std::vector<std::string>{"refusing gated frames: held event data of " + std::to_string(heldAtRefusal) +
                                       " bytes would pass the headroom of " + std::to_string(HEADROOM + heldAtCheck) +
                                       " bytes below the memory limit of 199229440 bytes"});

    // The next check reads a resident size that includes the ten held frames: they are not
    // counted twice, so ten more frames of headroom are left.
    resident = MEMORY_LIMIT - HEADROOM;
    core.memoryMonitor.Tick(true); // the same wall-clock second: no check, still refused
    SetEventKeyFrame(&frame, 1);
    core.PluginEvent(&frame, &out);
    EXPECT_EQ(out.result, EVENT_THROTTLED);
    EXPECT_EQ(refusalLines().size(), 1u) << "one line per episode";
    core.wallClock = [] { return time_t{1'700'000'001}; };
    core.memoryMonitor.Tick(true);
    core.PluginEvent(&frame, &out);
    EXPECT_EQ(out.result, EVENT_ACCEPTED);
    // That check ended the episode: the next refusal starts a new one.
    for (int i = 0; i < 12 && out.result == EVENT_ACCEPTED; ++i)
        core.PluginEvent(&frame, &out);
    EXPECT_EQ(out.result, EVENT_THROTTLED);
    EXPECT_EQ(refusalLines().size(), 2u);

    // With throttling disabled the held data is not counted.
    core.wallClock = [] { return time_t{1'700'000'002}; };
    core.memoryMonitor.Tick(false);
    for (int i = 0; i < 12; ++i) {
        SetEventKeyFrame(&frame, i == 0); // the refusal above asks for a key frame first
        core.PluginEvent(&frame, &out);
        EXPECT_EQ(out.result, EVENT_ACCEPTED);
    }
    core.RequestStop();
    core.RunQueueWorker(); // delivers and frees every queued frame
    EXPECT_EQ(core.HeldDataBytes(), 0);
}

// 2038-01-19 03:14:07 UTC, the last second a signed 32-bit time_t can count, and 2040-01-01 00:00:00 UTC.
constexpr time_t LAST_32_BIT_SECOND = 0x7fffffff;
constexpr time_t YEAR_2040 = 2'208'988'800;

// A core that records the console line of each log line at the moment it is logged.
class ConsoleCore : public ThrottledCore {
public:
    void WriteLogLine(uint32_t providerID, uint32_t level, const char* text, size_t length) override
    {
        consoleLines.push_back(ConsoleLine(providerID, level, dvr::LogMessageText(text, length)));
    }
    std::vector<std::string> consoleLines; // the test's thread only
};

TEST(MonitorInCore, WallClockPast2038IsWatchedAndShownRight)
{
    time_t wall = LAST_32_BIT_SECOND - 1;
    ConsoleCore core;
    core.moduleNames.Set(CORE_PROVIDER_ID, "core");
    core.colourOutput = false;
    core.wallClock = [&] { return wall; };
    core.residentBytes = [] { return size_t{0}; };
    core.memoryMonitor.Tick(true);
    wall += 1;
    core.memoryMonitor.Tick(true);
    wall += 100; // across the end of the 32-bit clock
    core.memoryMonitor.Tick(true);
    wall = YEAR_2040;
    core.memoryMonitor.Tick(true);
    wall += 1;
    core.memoryMonitor.Tick(true);
    wall -= 3600;
    core.memoryMonitor.Tick(true);

    std::vector<std::string> jumps;
    for (const std::string& line : core.consoleLines)
        if (line.find("system time") != std::string::npos)
            jumps.push_back(line);
    EXPECT_EQ(jumps, (std::vector<std::string>{"03:15:47 core   system time changed by 100 seconds\n",
                                               "00:00:00 core   system time changed by 61505053 seconds\n",
                                               "23:00:01 core   system time changed by -3600 seconds\n"}));
}

// A plugin that subscribes to everything but log lines and keeps the texts it is written.
std::vector<std::string> documentsWritten; // the queue worker's thread, read after it returns

int DocumentWrite(void* in, void*)
{
    auto* parms = static_cast<_WriteParmsIn*>(in);
    if (parms->eventType == EVT_STATUS)
        documentsWritten.emplace_back(static_cast<const char*>(parms->data), parms->len);
    return 0;
}

TEST(MonitorInCore, StatusDocumentIsSentAsDocumented)
{
    documentsWritten.clear();
    time_t wall = 1'700'000'000;
    ThrottledCore core;
    core.wallClock = [&] { return wall; };
    auto subscriber = std::make_shared<PLUGININFO>();
    subscriber->name = "subscriber.so";
    subscriber->Write = &DocumentWrite;
    subscriber->info.size = sizeof subscriber->info;
    subscriber->info.providerID = 0x00120000;
    for (uint32_t& classMask : subscriber->info.classMasks)
        classMask = 0xFFFFFFFF;
    subscriber->info.classMasks[6] = 0;
    subscriber->info.acceptsWrites = 1;
    core.plugins.Append(subscriber);

    core.PublishThrottlingState();
    core.throttling = true;
    wall = YEAR_2040; // Time stays a signed 32-bit decimal: it wraps past 2038
    core.PublishThrottlingState();
    core.RequestStop();
    core.RunQueueWorker();
    EXPECT_EQ(documentsWritten,
              (std::vector<std::string>{
                  "<?xml ?><oDVR><Memory ID=\"-2147483648\" Throttling=\"0\" Time=\"1700000000\" /></oDVR>",
                  "<?xml ?><oDVR><Memory ID=\"-2147483648\" Throttling=\"1\" Time=\"-2085978496\" /></oDVR>"}));
}

TEST(MonitorInCore, ThrottlingRefusesGatedFramesUntilMemoryRecovers)
{
    ThrottledCore core;
    time_t wall = 1'700'000'000;
    size_t resident = MEMORY_LIMIT + 1;
    core.wallClock = [&] { return wall; };
    core.residentBytes = [&] { return resident; };
    core.memoryMonitor.Tick(true);
    _EventParmsIn frame = dvr::test::MakeEvent(0x00110000, EVT_VIDEO, EVF_MEDIA_GATED);
    SetEventKeyFrame(&frame, 1);
    _EventParmsOut out = dvr::test::MakeResult();
    core.PluginEvent(&frame, &out);
    EXPECT_EQ(out.result, EVENT_THROTTLED);
    resident = 0;
    ++wall;
    core.memoryMonitor.Tick(true);
    SetEventKeyFrame(&frame, 0);
    core.PluginEvent(&frame, &out);
    EXPECT_EQ(out.result, EVENT_NO_KEY_FRAME);
    SetEventKeyFrame(&frame, 1);
    core.PluginEvent(&frame, &out);
    EXPECT_EQ(out.result, EVENT_ACCEPTED);
}

} // namespace
