// The plugin test harness, driven against its test plugin (harness_subject.c): what it calls on
// which thread, what it delivers, how it answers, and every fault its teardown must report.
#include <dvrcore/harness.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/bounded_wait.h"

namespace {

using dvr::test::TestThread;

constexpr uint32_t SUBJECT_ID = 0x00B00000;
constexpr uint32_t SUBJECT_TARGET = 0x0B000000; // parent packets for module 0x0B0
constexpr uint32_t SENDER_ID = 0x00A00000;

// A started harness of the test plugin; Finish tears it down and gives the report.
class Subject {
public:
    explicit Subject(int timeoutMs = DVR_HARNESS_DEFAULT_TIMEOUT_MS, int32_t threshold = -1)
        : h_(dvr_harness_new(HARNESS_SUBJECT))
    {
        dvr_harness_set_timeout(h_, timeoutMs);
        dvr_harness_set_log_threshold(h_, threshold);
        EXPECT_EQ(dvr_harness_start(h_), DVR_HARNESS_OK) << dvr_harness_load_refusal(h_);
    }
    ~Subject()
    {
        if (h_ != nullptr)
            Finish();
    }
    Subject(const Subject&) = delete;
    Subject& operator=(const Subject&) = delete;

    dvr_harness* operator*() const { return h_; }
    int Command(const std::string& text) const
    {
        return dvr_harness_push_parent(h_, SUBJECT_TARGET, 1, text.data(), static_cast<uint32_t>(text.size()), nullptr);
    }
    int Frame(uint32_t flags = 0x1, uint32_t type = EVT_VIDEO, uint32_t* keep = nullptr) const
    {
        _EventParmsIn frame = DvrFrameEvent(SENDER_ID, type, flags, "frame", 5, 1);
        return dvr_harness_push(h_, &frame, keep);
    }
    // The teardown's violations and report.
    std::pair<size_t, std::string> Finish()
    {
        char report[4096];
        size_t violations = dvr_harness_teardown(h_, report, sizeof report);
        h_ = nullptr;
        return {violations, report};
    }

private:
    dvr_harness* h_;
};

// The event's data as text, without a terminating zero.
std::string Text(const dvr_harness_event* event)
{
    if (event == nullptr)
        return "(none)";
    const auto* text = static_cast<const char*>(event->data);
    return std::string(text, strnlen(text, event->record.len));
}

TEST(Harness, RunsTheLifeCycleOnTheCoresThreads)
{
    Subject subject(DVR_HARNESS_DEFAULT_TIMEOUT_MS, 42);
    ASSERT_NE(dvr_harness_info(*subject), nullptr);
    EXPECT_EQ(dvr_harness_info(*subject)->providerID, SUBJECT_ID);
    EXPECT_EQ(dvr_harness_load_outcome(*subject), DVR_HARNESS_LOADED);

    // Open's log line on the main thread; the worker's threshold query answered with the threshold.
    const dvr_harness_event* opened = dvr_harness_wait_event(*subject, EVT_LOG, -1);
    const dvr_harness_event* query = dvr_harness_wait_event(*subject, EVT_LOG, -1);
    ASSERT_NE(query, nullptr);
    if (opened->thread_role == DVR_HARNESS_THREAD_WORKER) // the worker may come first
        std::swap(opened, query);
    EXPECT_EQ(Text(opened), "opened");
    EXPECT_EQ(opened->thread_role, DVR_HARNESS_THREAD_MAIN);
    EXPECT_EQ(query->thread_role, DVR_HARNESS_THREAD_WORKER);
    EXPECT_EQ(query->answer, 42);

    // Parent packets on the I/O thread; what the plugin raises from there is recorded with its data.
    EXPECT_EQ(subject.Command("raise 2"), DVR_HARNESS_OK);
    ASSERT_EQ(dvr_harness_wait_events(*subject, EVT_VIDEO, 2, -1), DVR_HARNESS_OK);
    EXPECT_EQ(dvr_harness_event_at(*subject, EVT_VIDEO, 1)->thread_role, DVR_HARNESS_THREAD_IO);
    EXPECT_EQ(static_cast<const uint8_t*>(dvr_harness_event_at(*subject, EVT_VIDEO, 1)->data)[0], 1);
    EXPECT_EQ(Text(dvr_harness_wait_event(*subject, EVT_PARENT_SEND, -1)), "0 0");

    EXPECT_EQ(dvr_harness_close(*subject), 0);
    EXPECT_EQ(subject.Frame(), DVR_HARNESS_NOT_RUNNING);
    EXPECT_EQ(dvr_harness_unload(*subject), 0);
    EXPECT_EQ(subject.Finish().first, 0u);
}

TEST(Harness, GivesTheLoadersVerdict)
{
    dvr_harness* h = dvr_harness_new(DVRCORE_TEST_PLUGIN_DIR "/plugin_no_load.so");
    EXPECT_EQ(dvr_harness_start(h), DVR_HARNESS_REFUSED);
    EXPECT_EQ(dvr_harness_load_outcome(h), DVR_HARNESS_MISSING_LOAD);
    EXPECT_EQ(std::string(dvr_harness_load_refusal(h)),
              "Core: Failed to load plugin: plugin_no_load.so (missing symbol)");
    EXPECT_EQ(dvr_harness_info(h), nullptr);
    EXPECT_EQ(dvr_harness_teardown(h, nullptr, 0), 0u);
}

// The inspector and the validator flag the same record with the same text (one check of the rules).
TEST(Harness, TeardownReportsALoadResultRecordWithItsHeaderChanged)
{
    dvr_harness* h = dvr_harness_new(DVRCORE_BROKEN_PLUGIN_DIR "/broken_record_header.so");
    ASSERT_EQ(dvr_harness_load(h), DVR_HARNESS_OK) << dvr_harness_load_refusal(h);
    char report[4096];
    EXPECT_EQ(dvr_harness_teardown(h, report, sizeof report), 2u) << report;
    EXPECT_NE(std::string(report).find("Load changed the size of its result record from 68 to 64"), std::string::npos)
        << report;
    EXPECT_NE(std::string(report).find("Load changed the version of its result record from 2 to 1"), std::string::npos)
        << report;
}

TEST(Harness, DeliversOnlyWhatTheCoreWouldDeliver)
{
    Subject subject;
    EXPECT_EQ(subject.Frame(0x1), DVR_HARNESS_OK);
    EXPECT_EQ(subject.Frame(0x2), DVR_HARNESS_NOT_DELIVERED);            // key bit outside the mask
    EXPECT_EQ(subject.Frame(0x1, EVT_AUDIO), DVR_HARNESS_NOT_DELIVERED); // a class it does not take
    EXPECT_EQ(dvr_harness_push_config(*subject, "<config/>", nullptr), DVR_HARNESS_OK);
    _EventParmsIn ownConfig = DvrEventParmsIn(SUBJECT_ID, EVT_CONFIG, 0);
    EXPECT_EQ(dvr_harness_push(*subject, &ownConfig, nullptr), DVR_HARNESS_NOT_DELIVERED); // its own document
    EXPECT_EQ(dvr_harness_push_parent(*subject, 0x0A000000, 1, "raise 1", 7, nullptr), DVR_HARNESS_NOT_DELIVERED);
    EXPECT_EQ(dvr_harness_push_parent(*subject, SUBJECT_TARGET, IPC_STOP, nullptr, 0, nullptr),
              DVR_HARNESS_NOT_DELIVERED);
    _EventParmsIn audioStream = DvrEventParmsIn(0, EVT_AUDIO, 0x1);
    EXPECT_EQ(dvr_harness_open_stream(*subject, &audioStream), DVR_HARNESS_NOT_DELIVERED);
    EXPECT_EQ(subject.Finish().first, 0u);
}

TEST(Harness, AnswersFromTheScript)
{
    Subject subject;
    // Queued answers first (of the type, then of any type), then the type's standing answer.
    dvr_harness_set_answer(*subject, EVT_VIDEO, EVENT_THROTTLED);
    const int32_t videoAnswers[] = {EVENT_NO_KEY_FRAME, EVENT_GATE_EXPIRED};
    const int32_t anyAnswers[] = {EVENT_NO_MEMORY};
    dvr_harness_queue_answers(*subject, EVT_VIDEO, videoAnswers, 2);
    dvr_harness_queue_answers(*subject, 0, anyAnswers, 1);
    dvr_harness_set_answer(*subject, EVT_PARENT_SEND, EVENT_REFUSED);
    subject.Command("raise 5");
    const dvr_harness_event* reply = dvr_harness_wait_event(*subject, EVT_PARENT_SEND, -1);
    EXPECT_EQ(Text(reply), "3 4 -1 5 5");
    EXPECT_EQ(reply->answer, EVENT_REFUSED);
    EXPECT_EQ(subject.Finish().first, 0u);
}

TEST(Harness, StreamEventsAreTakenOnlyFromTheReaderOfAnOpenStream)
{
    Subject subject;
    _EventParmsIn open = DvrEventParmsIn(0, EVT_VIDEO, 0x1);
    open.streamID = 7;
    open.data = const_cast<char*>("stream 7");
    open.len = 8;
    ASSERT_EQ(dvr_harness_open_stream(*subject, &open), DVR_HARNESS_OK);
    ASSERT_EQ(dvr_harness_wait_events(*subject, EVT_VIDEO, 2, -1), DVR_HARNESS_OK);
    const dvr_harness_event* fromReader = dvr_harness_event_at(*subject, EVT_VIDEO, 0);
    const dvr_harness_event* fromHelper = dvr_harness_event_at(*subject, EVT_VIDEO, 1);
    EXPECT_EQ(Text(fromReader), "stream 7"); // the reader's copy of the stream event's data
    EXPECT_EQ(fromReader->record.streamID, 7u);
    EXPECT_EQ(fromReader->thread_role, DVR_HARNESS_THREAD_READER);
    EXPECT_EQ(fromReader->answer, EVENT_ACCEPTED);
    EXPECT_EQ(fromHelper->thread_role, DVR_HARNESS_THREAD_OTHER);
    EXPECT_EQ(fromHelper->answer, EVENT_REFUSED);

    dvr_harness_close_stream(*subject, 7);
    subject.Command("stream-again");
    ASSERT_EQ(dvr_harness_wait_readers(*subject, -1), DVR_HARNESS_OK);
    EXPECT_EQ(dvr_harness_event_at(*subject, EVT_VIDEO, 2)->answer, EVENT_REFUSED);
    EXPECT_EQ(subject.Finish().first, 0u);
}

// The report of a run in which the plugin is configured with config and then given commands.
std::pair<size_t, std::string> FaultRun(const char* config, const std::vector<std::string>& commands)
{
    Subject subject(300);
    dvr_harness_push_config(*subject, config, nullptr);
    uint32_t keep = 0;
    EXPECT_EQ(subject.Frame(0x1, EVT_VIDEO, &keep), DVR_HARNESS_OK);
    EXPECT_EQ(keep, std::string(config).find("keep") != std::string::npos ? 1u : 0u);
    for (const std::string& command : commands)
        subject.Command(command);
    return subject.Finish();
}

TEST(Harness, TeardownReportsWhatThePluginDidWrongWithBlocks)
{
    EXPECT_EQ(FaultRun("keep", {"release"}).first, 0u);
    auto leak = FaultRun("keep", {});
    EXPECT_EQ(leak.first, 1u);
    EXPECT_NE(leak.second.find("leak: block"), std::string::npos) << leak.second;
    auto twice = FaultRun("keep", {"release-twice"});
    EXPECT_EQ(twice.first, 1u);
    EXPECT_NE(twice.second.find("double release"), std::string::npos) << twice.second;
    auto foreign = FaultRun("keep", {"release-foreign"}); // another ID, then an unknown pointer: both, and the leak
    EXPECT_EQ(foreign.first, 3u);
    EXPECT_NE(foreign.second.find("given back under provider ID 0x00B10000, not 0x00B00000"), std::string::npos)
        << foreign.second;
    EXPECT_NE(foreign.second.find("is no block the plugin was given"), std::string::npos) << foreign.second;
    auto modified = FaultRun("modify", {});
    EXPECT_EQ(modified.first, 1u);
    EXPECT_NE(modified.second.find("modified the bytes of block"), std::string::npos) << modified.second;
    auto modifiedKept = FaultRun("keep modify", {"release"});
    EXPECT_EQ(modifiedKept.first, 1u);
    EXPECT_NE(modifiedKept.second.find("modified the bytes of kept block"), std::string::npos) << modifiedKept.second;
}

// The step hook's record of what the harness waited for.
void RecordStep(void* steps, const char* step)
{
    static_cast<std::vector<std::string>*>(steps)->push_back(step);
}

TEST(Harness, ToolsSeeEachStepTheBlockCountsAndTheThreadsLeft)
{
    std::vector<std::string> steps; // the hook runs on this thread only: every call is made from it
    dvr_harness* h = dvr_harness_new(HARNESS_SUBJECT);
    dvr_harness_set_step_hook(h, RecordStep, &steps);
    ASSERT_EQ(dvr_harness_start(h), DVR_HARNESS_OK);
    dvr_harness_push_config(h, "keep", nullptr);
    _EventParmsIn frame = DvrFrameEvent(SENDER_ID, EVT_VIDEO, 0x1, "frame", 5, 1);
    dvr_harness_push(h, &frame, nullptr);
    dvr_harness_push_parent(h, SUBJECT_TARGET, 1, "release-twice", 13, nullptr);
    dvr_harness_block_counts counts{};
    dvr_harness_blocks(h, &counts);
    EXPECT_EQ(counts.delivered, 2u);
    EXPECT_EQ(counts.kept, 1u);
    EXPECT_EQ(counts.double_releases, 1u);
    EXPECT_EQ(
        counts.leaked + counts.unkept_releases + counts.foreign_releases + counts.wrong_provider + counts.modified, 0u);
    EXPECT_EQ(dvr_harness_teardown(h, nullptr, 0), 1u); // the double release
    const std::vector<std::string> expected = {
        "Load",  "Open",         "IOCTL_CONFIG",          "Write",  "IOCTL_PARENT", "Write", "IOCTL_PARENT",
        "Close", "IOCTL_WORKER", "The asynchronous Read", "Unload", "dlclose"};
    EXPECT_EQ(steps, expected);

    // A thread no harness started counts until it has ended.
    const size_t before = dvr_harness_thread_count();
    std::mutex lock;
    lock.lock();
    TestThread other([&lock] { std::lock_guard held(lock); });
    EXPECT_EQ(dvr_harness_wait_threads(before, 0), 1u);
    lock.unlock();
    ASSERT_TRUE(other.Join("the thread to end once the lock was free"));
    EXPECT_EQ(dvr_harness_wait_threads(before, DVR_HARNESS_DEFAULT_TIMEOUT_MS), 0u);
}

TEST(Harness, TeardownReportsThreadsAndFailureLinesLeftBehind)
{
    auto stray = FaultRun("", {"stray-thread"});
    EXPECT_EQ(stray.first, 1u);
    EXPECT_NE(stray.second.find("1 thread(s) of the plugin still running after Unload"), std::string::npos)
        << stray.second;

    auto failure = FaultRun("", {"fail disk gone"});
    EXPECT_EQ(failure.first, 1u);
    EXPECT_NE(failure.second.find("unexpected failure line (level 100): disk gone"), std::string::npos)
        << failure.second;

    Subject expected;
    dvr_harness_expect_log(*expected, 100, "disk");
    expected.Command("fail disk gone");
    EXPECT_EQ(dvr_harness_wait_log(*expected, 100, "gone", -1), DVR_HARNESS_OK);
    EXPECT_EQ(expected.Finish().first, 0u);
}

TEST(Harness, WaitsEndAtTheirTimeOut)
{
    Subject subject(100);
    EXPECT_EQ(dvr_harness_wait_event(*subject, EVT_AUDIO, 50), nullptr);
    EXPECT_EQ(dvr_harness_pull(*subject, EVT_AUDIO), nullptr);
    EXPECT_EQ(dvr_harness_wait_events(*subject, EVT_VIDEO, 1, -1), DVR_HARNESS_TIMED_OUT);
    EXPECT_EQ(dvr_harness_wait_log(*subject, 100, "never", -1), DVR_HARNESS_TIMED_OUT);
    // A Write that never returns fails the push, then the teardown; the test goes on.
    dvr_harness_push_config(*subject, "hang", nullptr);
    EXPECT_EQ(subject.Frame(), DVR_HARNESS_TIMED_OUT);
    auto [violations, report] = subject.Finish();
    EXPECT_EQ(violations, 1u);
    EXPECT_NE(report.find("Write did not return within 100 ms"), std::string::npos) << report;
}

// The harness's clock, moved on by 2 s at every reading: each timed call seems to take 2 s.
int64_t SlowClock(void* now)
{
    return *static_cast<std::atomic<int64_t>*>(now) += 2'000'000'000;
}

TEST(Harness, TeardownReportsAWriteOverTheCoresWriteBudget)
{
    std::atomic<int64_t> now{0};
    Subject subject;
    dvr_harness_set_clock(*subject, SlowClock, &now);
    EXPECT_EQ(subject.Frame(), DVR_HARNESS_OK);
    EXPECT_EQ(subject.Frame(), DVR_HARNESS_OK);
    dvr_harness_call_time write{};
    ASSERT_EQ(dvr_harness_slowest_call(*subject, "Write", &write), DVR_HARNESS_OK);
    EXPECT_EQ(write.wall_ns, 2'000'000'000);
    dvr_harness_call_time open{};
    EXPECT_EQ(dvr_harness_slowest_call(*subject, "Open", &open), DVR_HARNESS_OK); // timed by the real clock
    EXPECT_EQ(dvr_harness_slowest_call(*subject, "IOCTL_PARENT", &open), DVR_HARNESS_NOT_DELIVERED);
    // Only Write has a budget: the slow Close and Unload pass.
    auto [violations, report] = subject.Finish();
    EXPECT_EQ(violations, 1u) << report;
    EXPECT_NE(report.find("2 Write call(s) took 6 ms or more of the plugin's own time"), std::string::npos) << report;
}

// Each call takes 10 ms by this clock while it is slow, 1 us otherwise.
struct StepClock {
    int64_t now = 0;
    int readings = 0;
    int slowCalls = 0;
};
int64_t StepClockRead(void* context)
{
    auto* clock = static_cast<StepClock*>(context);
    bool ending = ++clock->readings % 2 == 0;
    clock->now += ending && clock->slowCalls-- > 0 ? 10'000'000 : 1'000;
    return clock->now;
}

TEST(Harness, WritesJustPastTheBudgetAreReportedWhenTheyAreTheRuleNotAlone)
{
    for (int slow : {1, 2}) {
        StepClock clock{.slowCalls = slow};
        Subject subject;
        dvr_harness_set_clock(*subject, StepClockRead, &clock);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(subject.Frame(), DVR_HARNESS_OK);
        auto [violations, report] = subject.Finish();
        EXPECT_EQ(violations, slow == 1 ? 0u : 1u) << slow << " of 4 Writes slow: " << report;
    }
}

TEST(Harness, StressCallsThePluginFromSeveralThreadsAtOnce)
{
    Subject subject;
    dvr_harness_push_config(*subject, "keep", nullptr);
    const _EventParmsIn frames[] = {DvrFrameEvent(SENDER_ID, EVT_VIDEO, 0x1, "a", 1, 1),
                                    DvrFrameEvent(SENDER_ID, EVT_VIDEO, 0x1, "b", 1, 0)};
    _EventParmsIn stream = DvrEventParmsIn(0, EVT_VIDEO, 0x1);
    stream.streamID = 100;
    dvr_harness_stress_plan plan{};
    plan.threads = 4;
    plan.rounds = 8;
    plan.events = frames;
    plan.event_count = 2;
    plan.parent_command = 1;
    plan.parent_target = SUBJECT_TARGET;
    plan.parent_body = "release"; // gives back what the writes kept, while more are written
    plan.parent_len = 7;
    plan.stream_open = &stream;
    EXPECT_EQ(dvr_harness_stress(*subject, &plan), 0u);
    subject.Command("release");
    EXPECT_EQ(dvr_harness_event_count(*subject, EVT_RELEASE), 64u);
    EXPECT_EQ(subject.Finish().first, 0u);

    // Closed while the stress runs: no Write or parent packet reaches the plugin after Close.
    Subject closing;
    plan.rounds = 200;
    plan.stream_open = nullptr;
    TestThread stress([&] { dvr_harness_stress(*closing, &plan); });
    dvr_harness_wait_events(*closing, EVT_RELEASE, 10, -1);
    EXPECT_EQ(dvr_harness_close(*closing), 0);
    ASSERT_TRUE(stress.Join("the stress run to end after the close"));
    auto [violations, report] = closing.Finish();
    EXPECT_EQ(violations, 0u) << report;
}

} // namespace
