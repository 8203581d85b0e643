#include <gtest/gtest.h>

#include <cstring>

#include "events/event_callback.h"
#include "log/core_log.h"
#include "log/log_gate.h"
#include "support/recording_core.h"

using dvr::LogGateDecision;
using dvr::test::MakeEvent;
using dvr::test::MakeResult;
using dvr::test::RecordingCore;

namespace {

constexpr uint32_t PLUGIN_ID = 0x00040000; // module index 4

TEST(LogGate, DecisionTable)
{
    EXPECT_EQ(dvr::DecideLogMessage(25, 24), LogGateDecision::Drop);
    EXPECT_EQ(dvr::DecideLogMessage(25, 25), LogGateDecision::WriteAndDeliver);
    EXPECT_EQ(dvr::DecideLogMessage(0, 0), LogGateDecision::WriteAndDeliver);
    EXPECT_EQ(dvr::DecideLogMessage(-1, 0), LogGateDecision::WriteOnly);
    EXPECT_EQ(dvr::DecideLogMessage(-1, 1), LogGateDecision::WriteAndDeliver);
    EXPECT_EQ(dvr::DecideLogMessage(-1, -5), LogGateDecision::WriteAndDeliver);
    EXPECT_EQ(dvr::DecideLogMessage(100, 101), LogGateDecision::WriteAndDeliver);
}

TEST(LogGate, ThresholdQueryAnswersTheSendersModule)
{
    RecordingCore core;
    EXPECT_EQ(dvr::QueryLogThreshold(PLUGIN_ID, EventCallback), -1);
    EXPECT_EQ(dvr::QueryLogThreshold(CORE_PROVIDER_ID, EventCallback), 25);
    core.logLevels.Set(4, 60);
    EXPECT_EQ(dvr::QueryLogThreshold(PLUGIN_ID, EventCallback), 60);
    EXPECT_TRUE(dvr::LogLevelEnabled(PLUGIN_ID, EventCallback, 60));
    EXPECT_FALSE(dvr::LogLevelEnabled(PLUGIN_ID, EventCallback, 59));
    core.logLevels.Set(4, -1);
    EXPECT_TRUE(dvr::LogLevelEnabled(PLUGIN_ID, EventCallback, -7)); // unset: every level
    // A module index beyond the table has no threshold.
    EXPECT_EQ(dvr::QueryLogThreshold(0x0FFF0000, EventCallback), -1);
}

TEST(LogGate, MessageBothQueryAndMessageIsAMessage)
{
    RecordingCore core;
    char text[] = "hello";
    _EventParmsIn in = MakeEvent(PLUGIN_ID, EVT_LOG, EVF_LOG_QUERY | EVF_LOG_MESSAGE, text, sizeof text);
    SetEventLogLevel(&in, 50);
    _EventParmsOut out = MakeResult(77);
    core.PluginEvent(&in, &out);
    ASSERT_EQ(core.Lines().size(), 1u);
    EXPECT_EQ(core.Lines()[0].text, "hello");
    EXPECT_NE(out.result, -1); // not answered as a query
}

TEST(LogGate, DroppedLineLeavesResultAsTheCallerSetIt)
{
    RecordingCore core;
    core.logLevels.Set(4, 30);
    char text[] = "chatter";
    _EventParmsIn in = MakeEvent(PLUGIN_ID, EVT_LOG, EVF_LOG_MESSAGE, text, sizeof text);
    SetEventLogLevel(&in, 29);
    _EventParmsOut out = MakeResult(77);
    core.PluginEvent(&in, &out);
    EXPECT_TRUE(core.Lines().empty());
    EXPECT_EQ(out.result, 77);
}

TEST(LogGate, UnconfiguredModuleChatterIsWrittenButNotPassedOn)
{
    RecordingCore core;
    char text[] = "level zero";
    _EventParmsIn in = MakeEvent(PLUGIN_ID, EVT_LOG, EVF_LOG_MESSAGE, text, sizeof text);
    _EventParmsOut out = MakeResult(77);
    core.PluginEvent(&in, &out);
    ASSERT_EQ(core.Lines().size(), 1u);
    EXPECT_EQ(core.Lines()[0].providerID, PLUGIN_ID);
    EXPECT_EQ(out.result, 77); // answered before any queueing
}

TEST(LogGate, TextWithoutTerminatingZeroIsReadOnlyWithinLen)
{
    RecordingCore core;
    // A sender's buffer that ends right after the text, with no zero byte.
    char buffer[16];
    memset(buffer, 'z', sizeof buffer);
    memcpy(buffer, "abcd", 4);
    _EventParmsIn in = MakeEvent(PLUGIN_ID, EVT_LOG, EVF_LOG_MESSAGE, buffer, 4);
    SetEventLogLevel(&in, 10);
    _EventParmsOut out = MakeResult();
    core.PluginEvent(&in, &out);
    ASSERT_EQ(core.Lines().size(), 1u);
    EXPECT_EQ(core.Lines()[0].text, "abcd");
}

TEST(CoreLog, LongLinesAreCutTo511Bytes)
{
    RecordingCore core;
    core.logLevels.Set(0, 0);
    std::string longText(600, 'q');
    dvr::CoreLog(CORE_PROVIDER_ID, EventCallback, 50, "%s", longText.c_str());
    ASSERT_EQ(core.Lines().size(), 1u);
    EXPECT_EQ(core.Lines()[0].text, std::string(511, 'q'));
    EXPECT_EQ(core.Lines()[0].level, 50);
}

TEST(CoreLog, SubmitsTheLineWithItsTerminatingZeroCounted)
{
    static _EventParmsIn seen;
    static int messages;
    messages = 0;
    auto capture = [](void* in, void* out) {
        auto* event = static_cast<_EventParmsIn*>(in);
        if (event->eventFlags & EVF_LOG_QUERY && !(event->eventFlags & EVF_LOG_MESSAGE)) {
            static_cast<_EventParmsOut*>(out)->result = -1;
            return 0;
        }
        seen = *event;
        ++messages;
        return 0;
    };
    dvr::CoreLog(0x00050000, capture, 40, "a%sc", "b");
    ASSERT_EQ(messages, 1);
    EXPECT_EQ(seen.len, 4u);
    EXPECT_EQ(seen.eventType, EVT_LOG);
    EXPECT_EQ(seen.eventFlags, 0x01000002u);
    EXPECT_EQ(seen.providerID, 0x00050000u);
    EXPECT_EQ(EventLogLevel(&seen), 40);
    dvr::CoreLog(0x00050000, capture, 40, "%s", ""); // empty lines are never submitted
    dvr::CoreLog(0x00050000, nullptr, 40, "x");      // no callback, no line
    EXPECT_EQ(messages, 1);
}

TEST(CoreLog, LinesBelowTheCoreThresholdAreNotWritten)
{
    RecordingCore core;
    core.Log(0, "Core: Loaded plugin: %s", "x.so");
    core.Log(25, "successfully started");
    ASSERT_EQ(core.Lines().size(), 1u);
    EXPECT_EQ(core.Lines()[0].text, "successfully started");
}

} // namespace
