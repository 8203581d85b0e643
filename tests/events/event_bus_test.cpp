// The event bus driven in-process: a core with a table of fake plugins whose entry points are
// functions of this test, and the queue worker on a thread of the test.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

#include "support/bounded_wait.h"
#include "support/event_memory_failure.h"
#include "support/grouping_locale.h"
#include "support/recording_core.h"

using dvr::test::MakeEvent;
using dvr::test::MakeResult;
using dvr::test::ReadersLeft;
using dvr::test::TestThread;
using dvr::test::WaitOn;
using dvr::test::WaitReady;
using dvr::test::WaitUntil;

namespace {

constexpr uint32_t ALL = 0xFFFFFFFFu;
constexpr uint32_t SOURCE_ID = 0x00110000;

// What one fake plugin received, and how it answers.
struct FakeState {
    std::mutex mutex;
    std::vector<_WriteParmsIn> writes;  // guarded by mutex
    std::vector<std::string> writeData; // guarded by mutex
    std::vector<_IoctlParmsIn> ioctls;  // guarded by mutex
    std::vector<void*> keptBlocks;      // guarded by mutex
    uint32_t keep = 0;                  // set before the worker runs
    int writeReturn = 0;
    std::function<void(_ReadParmsIn&)> onRead;   // runs on the reader thread
    std::function<void(_WriteParmsIn&)> onWrite; // runs on the worker thread, first in Write

    void Reset()
    {
        std::lock_guard lock(mutex);
        writes.clear();
        writeData.clear();
        ioctls.clear();
        keptBlocks.clear();
        keep = 0;
        writeReturn = 0;
        onRead = nullptr;
        onWrite = nullptr;
    }
    size_t Writes()
    {
        std::lock_guard lock(mutex);
        return writes.size();
    }
};

FakeState fakes[3];

template <int N>
int FakeWrite(void* in, void* out)
{
    auto* parms = static_cast<_WriteParmsIn*>(in);
    auto* result = static_cast<_WriteParmsOut*>(out);
    if (fakes[N].onWrite)
        fakes[N].onWrite(*parms);
    std::lock_guard lock(fakes[N].mutex);
    fakes[N].writes.push_back(*parms);
    fakes[N].writeData.emplace_back(static_cast<const char*>(parms->data), parms->len);
    result->keep = fakes[N].keep;
    if (fakes[N].keep && parms->data)
        fakes[N].keptBlocks.push_back(parms->data);
    return fakes[N].writeReturn;
}

template <int N>
int FakeIoctl(void* in, void* out)
{
    auto* parms = static_cast<_IoctlParmsIn*>(in);
    std::lock_guard lock(fakes[N].mutex);
    fakes[N].ioctls.push_back(*parms);
    static_cast<_IoctlParmsOut*>(out)->keep = fakes[N].keep;
    if (fakes[N].keep && parms->data)
        fakes[N].keptBlocks.push_back(parms->data);
    return 0;
}

template <int N>
int FakeRead(void* in, void*)
{
    auto* parms = static_cast<_ReadParmsIn*>(in);
    if (fakes[N].onRead)
        fakes[N].onRead(*parms);
    return 0;
}

template <int N>
std::shared_ptr<PLUGININFO> MakeFake(uint32_t providerID, uint32_t mask, bool wantsReads = false)
{
    auto plugin = std::make_shared<PLUGININFO>();
    plugin->name = "fake" + std::to_string(N) + ".so";
    plugin->Write = &FakeWrite<N>;
    plugin->IOCTL = &FakeIoctl<N>;
    plugin->Read = &FakeRead<N>;
    plugin->info.size = sizeof plugin->info;
    plugin->info.providerID = providerID;
    for (uint32_t& classMask : plugin->info.classMasks)
        classMask = mask;
    plugin->info.classMasks[6] = 0; // no log lines: the core's own lines would reach the fakes too
    plugin->info.acceptsWrites = 1;
    plugin->info.wantsReads = wantsReads ? 1 : 0;
    return plugin;
}

// A core whose clock the test moves.
class BusCore : public dvr::test::RecordingCore {
public:
    std::chrono::steady_clock::time_point Now() override { return clock; }
    std::chrono::steady_clock::time_point clock{std::chrono::hours(1)};
};

class EventBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (FakeState& fake : fakes)
            fake.Reset();
    }
    void TearDown() override
    {
        StopWorker();
        // As the unload steps do: no reader thread may outlive the core it reports to.
        for (const auto& plugin : *core.plugins.Load())
            EXPECT_TRUE(ReadersLeft(core.readers, plugin.get(), "the reader threads of " + plugin->name + " to end"));
    }

    void StartWorker()
    {
        worker_ = TestThread([this] { core.RunQueueWorker(); });
    }
    void StopWorker()
    {
        core.RequestStop();
        EXPECT_TRUE(worker_.Join("the queue worker to return after the stop"));
    }

    int Send(_EventParmsIn event)
    {
        _EventParmsOut out = MakeResult(99);
        core.PluginEvent(&event, &out);
        return out.result;
    }

    BusCore core;
    TestThread worker_;
};

TEST_F(EventBus, DeliversAPrivateCopyToMatchingPluginsInTableOrder)
{
    core.plugins.Append(MakeFake<0>(0x00210000, ALL));
    core.plugins.Append(MakeFake<1>(0x00220000, 0x10)); // class 0x08 mask without the event's key bit 0x04
    core.plugins.Append(MakeFake<2>(0x00230000, ALL));
    char frame[] = "frame-bytes";
    _EventParmsIn event = MakeEvent(SOURCE_ID, 0x0008, 0x00000004, frame, sizeof frame);
    event.streamID = 0;
    event.extra[100] = 0x5A;
    EXPECT_EQ(Send(event), EVENT_ACCEPTED);
    memset(frame, 0, sizeof frame); // the sender may reuse its buffer at once
    StartWorker();
    StopWorker();

    ASSERT_EQ(fakes[0].writes.size(), 1u);
    EXPECT_EQ(fakes[1].writes.size(), 0u);
    ASSERT_EQ(fakes[2].writes.size(), 1u);
    const _WriteParmsIn& written = fakes[0].writes[0];
    EXPECT_EQ(written.size, sizeof(_WriteParmsIn));
    EXPECT_EQ(written.version, 1u);
    EXPECT_EQ(written.providerID, SOURCE_ID);
    EXPECT_EQ(written.eventType, 0x0008u);
    EXPECT_EQ(written.eventFlags, 0x00000004u);
    EXPECT_EQ(written.extra[100], 0x5A);
    EXPECT_EQ(fakes[0].writeData[0], std::string("frame-bytes", sizeof frame));
    EXPECT_NE(written.data, static_cast<void*>(frame));
    EXPECT_EQ(written.data, fakes[2].writes[0].data); // one copy for every receiver
    EXPECT_EQ(core.referenceBlocks.BlockCount(), 0u); // freed after delivery
}

TEST_F(EventBus, EventWithoutDataOrReceiverIsQueuedAndReleased)
{
    core.plugins.Append(MakeFake<0>(0x00210000, 0));
    EXPECT_EQ(Send(MakeEvent(SOURCE_ID, 0x0080, 0x1)), EVENT_ACCEPTED);
    char bytes[] = "nobody wants this";
    EXPECT_EQ(Send(MakeEvent(SOURCE_ID, 0x0080, 0x1, bytes, sizeof bytes)), EVENT_ACCEPTED);
    EXPECT_EQ(Send(MakeEvent(SOURCE_ID, 0x0080, 0x0)), EVENT_ACCEPTED); // key 0 matches a mask of 0
    StartWorker();
    StopWorker();
    EXPECT_EQ(fakes[0].writes.size(), 1u);
    EXPECT_EQ(fakes[0].writes[0].data, nullptr);
    EXPECT_EQ(core.referenceBlocks.BlockCount(), 0u);
}

TEST_F(EventBus, ConfigurationDocumentGoesToEveryOtherPluginsIoctl)
{
    core.plugins.Append(MakeFake<0>(SOURCE_ID, 0)); // the sender
    core.plugins.Append(MakeFake<1>(0x00220000, 0));
    core.plugins.Append(MakeFake<2>(0x00230000, ALL));
    char document[] = "<oDVR Delta=\"0\"/>";
    EXPECT_EQ(Send(MakeEvent(SOURCE_ID, EVT_CONFIG, 0x10, document, sizeof document - 1)), EVENT_ACCEPTED);
    StartWorker();
    StopWorker();
    EXPECT_TRUE(fakes[0].ioctls.empty());
    ASSERT_EQ(fakes[1].ioctls.size(), 1u);
    ASSERT_EQ(fakes[2].ioctls.size(), 1u);
    EXPECT_EQ(fakes[1].ioctls[0].command, IOCTL_CONFIG);
    EXPECT_EQ(fakes[1].ioctls[0].subSize, 16u);
    EXPECT_EQ(fakes[1].ioctls[0].len, sizeof document - 1);
    EXPECT_TRUE(fakes[2].writes.empty()); // configuration goes through IOCTL, not Write
    EXPECT_TRUE(fakes[0].writes.empty()); // 0x100 is no routable class
}

TEST_F(EventBus, ConfigurationDocumentKeptFromIoctlStaysUntilReleased)
{
    core.plugins.Append(MakeFake<0>(SOURCE_ID, 0)); // the sender
    core.plugins.Append(MakeFake<1>(0x00220000, 0));
    fakes[1].keep = 1;
    char document[] = "<oDVR Delta=\"1\"/>";
    StartWorker();
    Send(MakeEvent(SOURCE_ID, EVT_CONFIG, 0x10, document, sizeof document - 1));
    auto ioctls = [] {
        std::lock_guard lock(fakes[1].mutex);
        return fakes[1].ioctls.size();
    };
    ASSERT_TRUE(WaitUntil([&] { return ioctls() == 1; }, "the document to reach the IOCTL"));
    {
        std::lock_guard lock(fakes[1].mutex);
        fakes[1].keep = 0;
    }
    // A block of the same size delivered after it would reuse the document's block, were it freed.
    char other[] = "<oDVR Delta=\"2\"/>";
    Send(MakeEvent(SOURCE_ID, EVT_CONFIG, 0x10, other, sizeof other - 1));
    StopWorker();
    ASSERT_EQ(fakes[1].keptBlocks.size(), 1u);
    void* block = fakes[1].keptBlocks[0];
    EXPECT_EQ(core.referenceBlocks.BlockCount(), 1u); // still registered for the plugin
    EXPECT_EQ(core.referenceBlocks.ByteTotal(), sizeof document - 1);
    EXPECT_EQ(std::string(static_cast<const char*>(block), sizeof document - 1), "<oDVR Delta=\"1\"/>");

    _EventParmsIn release = MakeEvent(0x00220000, EVT_RELEASE, 0, block);
    _EventParmsOut out = MakeResult();
    core.PluginEvent(&release, &out);
    EXPECT_EQ(core.referenceBlocks.BlockCount(), 0u);
}

TEST_F(EventBus, KeptBlockIsFreedOnlyAfterEveryHolderReleasedIt)
{
    core.plugins.Append(MakeFake<0>(0x00210000, ALL));
    core.plugins.Append(MakeFake<1>(0x00220000, ALL));
    fakes[0].keep = 1;
    fakes[1].keep = 1;
    char bytes[] = "kept";
    Send(MakeEvent(SOURCE_ID, EVT_VIDEO, 0x1, bytes, sizeof bytes));
    StartWorker();
    StopWorker();
    ASSERT_EQ(fakes[0].keptBlocks.size(), 1u);
    void* block = fakes[0].keptBlocks[0];
    EXPECT_EQ(core.referenceBlocks.BlockCount(), 1u); // the core's own release did not free it
    EXPECT_EQ(core.referenceBlocks.ByteTotal(), sizeof bytes);

    _EventParmsIn release = MakeEvent(0x00210000, EVT_RELEASE, 0, block);
    _EventParmsOut out = MakeResult(42);
    core.PluginEvent(&release, &out);
    EXPECT_EQ(out.result, 42); // release answers nothing
    EXPECT_EQ(core.referenceBlocks.BlockCount(), 1u);
    core.PluginEvent(&release, &out); // the same holder again: nothing changes
    EXPECT_EQ(core.referenceBlocks.BlockCount(), 1u);
    release.providerID = 0x00220000;
    core.PluginEvent(&release, &out);
    EXPECT_EQ(core.referenceBlocks.BlockCount(), 0u);
    core.PluginEvent(&release, &out); // a second release of a freed block frees nothing (no double free)
    char foreign[8];
    release.data = foreign; // an address the core never handed out
    core.PluginEvent(&release, &out);
    EXPECT_EQ(core.referenceBlocks.BlockCount(), 0u);
}

TEST_F(EventBus, FailingWriteIsLoggedAndDeliveryGoesOn)
{
    core.logLevels.Set(0, 0);
    core.plugins.Append(MakeFake<0>(0x00210000, ALL));
    core.plugins.Append(MakeFake<1>(0x00220000, ALL));
    fakes[0].writeReturn = 7;
    Send(MakeEvent(SOURCE_ID, EVT_AUDIO, 0x1));
    StartWorker();
    StopWorker();
    EXPECT_TRUE(core.Logged("plugin fake0.so write returned 7 error 0"));
    EXPECT_EQ(fakes[1].writes.size(), 1u);
}

TEST_F(EventBus, PluginWithoutWriteIsReportedAsUnavailable)
{
    core.logLevels.Set(0, 0);
    auto plugin = MakeFake<0>(0x00210000, ALL);
    plugin->Write = nullptr;
    core.plugins.Append(plugin);
    Send(MakeEvent(SOURCE_ID, EVT_AUDIO, 0x1));
    StartWorker();
    StopWorker();
    EXPECT_TRUE(core.Logged("plugin fake0.so write returned -100 error 0"));
}

TEST_F(EventBus, GatedMediaFramesAreThrottledAndKeyFrameGated)
{
    _EventParmsIn video = MakeEvent(SOURCE_ID, EVT_VIDEO, EVF_MEDIA_GATED);
    EXPECT_EQ(Send(video), EVENT_NO_KEY_FRAME);
    SetEventKeyFrame(&video, 1);
    EXPECT_EQ(Send(video), EVENT_ACCEPTED);
    core.throttling = true;
    _EventParmsIn both = MakeEvent(SOURCE_ID, EVT_VIDEO | EVT_AUDIO, EVF_MEDIA_GATED);
    EXPECT_EQ(Send(both), EVENT_THROTTLED);
    core.throttling = false;
    SetEventKeyFrame(&video, 0);
    EXPECT_EQ(Send(video), EVENT_NO_KEY_FRAME); // after throttling a key frame must come first
    dvr::ThrottledFrames throttled = core.mediaGate.TakeThrottledFrames();
    EXPECT_EQ(throttled.video, 1u);
    EXPECT_EQ(throttled.audio, 1u);
    EXPECT_EQ(Send(MakeEvent(SOURCE_ID, EVT_VIDEO, 0)), EVENT_ACCEPTED); // not gated without the flag
}

TEST_F(EventBus, StopDrainsTheQueueAndRefusesLaterEvents)
{
    core.plugins.Append(MakeFake<0>(0x00210000, ALL));
    for (int i = 0; i < 5; ++i)
        Send(MakeEvent(SOURCE_ID, EVT_AUDIO, 0x1));
    core.RequestStop();
    EXPECT_EQ(Send(MakeEvent(SOURCE_ID, EVT_AUDIO, 0x1)), EVENT_REFUSED);
    core.RunQueueWorker(); // returns once the queue is empty
    EXPECT_EQ(fakes[0].writes.size(), 5u);
    // Log lines are still written after the stop.
    core.Log(50, "after stop");
    EXPECT_TRUE(core.Logged("after stop"));
}

// A backlog behind a slow Write is delivered only until the drain's bound: the rest is refused and
// freed with one line, and the core's own lines, queued before or logged during the drain, still
// reach the log plugin; nothing is queued once the worker is done.
TEST_F(EventBus, StopRefusesTheBacklogLeftAfterTheDrainsBound)
{
    constexpr size_t SENT = 10;
    core.plugins.Append(MakeFake<0>(0x00210000, ALL));
    auto logPlugin = MakeFake<1>(0x00220000, 0);
    logPlugin->info.classMasks[6] = ALL;
    core.plugins.Append(logPlugin);
    fakes[0].onWrite = [this](_WriteParmsIn&) { core.clock += std::chrono::seconds(3); };
    char bytes[32] = "frame";
    for (size_t i = 0; i < SENT; ++i)
        ASSERT_EQ(Send(MakeEvent(SOURCE_ID, EVT_AUDIO, 0x1, bytes, sizeof bytes)), EVENT_ACCEPTED);
    core.Log(dvr::LOG_INFO, "queued behind the backlog");
    core.RequestStop();
    core.RunQueueWorker();
    core.Log(dvr::LOG_INFO, "after the worker");

    const size_t delivered = fakes[0].Writes();
    EXPECT_GT(delivered, 0u);
    EXPECT_LT(delivered, SENT);
    const std::string countLine =
        std::to_string(SENT - delivered) + " queued events refused at stop: the queue was not drained within 10 s";
    EXPECT_TRUE(core.Logged(countLine));
    auto reachedLogPlugin = [](const std::string& text) {
        std::lock_guard lock(fakes[1].mutex);
        for (const std::string& data : fakes[1].writeData)
            if (data.find(text) != std::string::npos)
                return true;
        return false;
    };
    EXPECT_TRUE(reachedLogPlugin("queued behind the backlog"));
    EXPECT_TRUE(reachedLogPlugin(countLine));
    EXPECT_FALSE(reachedLogPlugin("after the worker"));
    EXPECT_EQ(core.eventQueue.Size(), 0u);
    EXPECT_EQ(core.referenceBlocks.BlockCount(), 0u);
}

TEST_F(EventBus, StreamEventsAreTakenOnlyFromReaderThreadsOfOpenStreams)
{
    core.plugins.Append(MakeFake<0>(0x00210000, ALL, true));
    core.plugins.Append(MakeFake<1>(0x00220000, ALL));
    std::vector<int> answers;
    std::string readData;
    std::atomic<bool> readDone{false};
    std::atomic<int> readCalls{0};
    fakes[0].onRead = [&](_ReadParmsIn& parms) {
        if (readCalls++ != 0)
            return; // the reader started when the stream reopens below does nothing
        readData.assign(static_cast<const char*>(parms.data), parms.len);
        _EventParmsIn frame = MakeEvent(0x00210000, EVT_AUDIO, 0x1);
        frame.streamID = parms.streamID;
        answers.push_back(Send(frame));
        Send(MakeEvent(0, EVT_STREAM_CLOSE, 0)); // stream 0 closes nothing of ours
        _EventParmsIn close = MakeEvent(0, EVT_STREAM_CLOSE, 0);
        close.streamID = parms.streamID;
        Send(close);
        answers.push_back(Send(frame)); // closed now
        readDone = true;
    };
    char request[] = "open-stream";
    _EventParmsIn open = MakeEvent(0, 0x0001, 0x1, request, sizeof request);
    open.streamID = 7;
    EXPECT_EQ(Send(open), EVENT_ACCEPTED);
    const PLUGININFO* reader = core.plugins.Load()->at(0).get();
    ASSERT_TRUE(WaitUntil([&] { return readDone && core.readers.Running(reader) == 0; }, "the Read to return"));
    EXPECT_EQ(readData, std::string(request, sizeof request));
    EXPECT_EQ(answers, (std::vector<int>{EVENT_ACCEPTED, EVENT_REFUSED}));

    _EventParmsIn fromElsewhere = MakeEvent(0x00210000, EVT_AUDIO, 0x1);
    fromElsewhere.streamID = 7;
    EXPECT_EQ(Send(fromElsewhere), EVENT_REFUSED); // not a reader thread
    EXPECT_TRUE(core.streams.IsClosed(7));
    EXPECT_EQ(Send(open), EVENT_ACCEPTED); // reopens the stream
    EXPECT_FALSE(core.streams.IsClosed(7));
    ASSERT_TRUE(WaitUntil([&] { return readCalls == 2 && core.readers.Running(reader) == 0; },
                          "the Read of the reopened stream to return"));
    StartWorker();
    StopWorker();
    EXPECT_EQ(fakes[1].Writes(), 1u); // the one accepted stream frame
}

TEST_F(EventBus, ReaderThreadHasOneBlockInFlight)
{
    core.plugins.Append(MakeFake<0>(0x00210000, ALL, true));
    core.plugins.Append(MakeFake<1>(0x00220000, ALL));
    fakes[1].keep = 1;
    auto sent = std::make_shared<std::atomic<int>>(0); // the reader may outlive a failed test's locals
    fakes[0].onRead = [this, sent](_ReadParmsIn& parms) {
        char bytes[] = "block";
        _EventParmsIn frame = MakeEvent(0x00210000, EVT_AUDIO, 0x1, bytes, sizeof bytes);
        frame.streamID = parms.streamID;
        Send(frame);
        *sent = 1;
        Send(frame); // waits until the first block is freed
        *sent = 2;
    };
    StartWorker();
    _EventParmsIn open = MakeEvent(0, 0x0001, 0x1);
    open.streamID = 3;
    Send(open);
    ASSERT_TRUE(WaitUntil([] { return fakes[1].Writes() != 0; }, "the reader's first block to be delivered"));
    // The first block is kept by plugin 1: the reader cannot have queued its second one.
    EXPECT_EQ(fakes[1].Writes(), 1u);
    void* block = nullptr;
    {
        std::lock_guard lock(fakes[1].mutex);
        block = fakes[1].keptBlocks.at(0);
    }
    ASSERT_TRUE(WaitUntil([&] { return *sent != 0; }, "the reader's first send to return"));
    EXPECT_EQ(sent->load(), 1); // the second send waits for the block plugin 1 still keeps
    _EventParmsIn release = MakeEvent(0x00220000, EVT_RELEASE, 0, block);
    _EventParmsOut out = MakeResult();
    core.PluginEvent(&release, &out);
    ASSERT_TRUE(WaitUntil([&] { return *sent == 2 && fakes[1].Writes() == 2; },
                          "the reader's second block to be sent and delivered after the release"));
    StopWorker();
    std::lock_guard lock(fakes[1].mutex);
    release.data = fakes[1].keptBlocks.at(1);
    core.PluginEvent(&release, &out);
    EXPECT_EQ(core.referenceBlocks.BlockCount(), 0u);
}

// The answers the core gave to each stream's reader, shared with the reader threads: a reader
// still waiting when a failed test returns may be woken later, when the test's locals are gone.
class ReaderAnswers {
public:
    void Add(uint32_t streamID, int answer)
    {
        std::lock_guard lock(mutex_);
        answers_[streamID].push_back(answer);
        changed_.notify_all();
    }
    // Waits until the reader of streamID has had count answers; after says after what.
    ::testing::AssertionResult Await(uint32_t streamID, size_t count, const std::string& after)
    {
        std::unique_lock lock(mutex_);
        return WaitOn(
            changed_, lock, [&] { return answers_[streamID].size() >= count; },
            "answer " + std::to_string(count) + " to the reader of stream " + std::to_string(streamID) + " " + after);
    }
    std::vector<int> Of(uint32_t streamID)
    {
        std::lock_guard lock(mutex_);
        return answers_[streamID];
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;              // signalled at each answer
    std::map<uint32_t, std::vector<int>> answers_; // guarded by mutex_
};

// A subscriber keeps every block until its Close: a reader's second block waits for the first
// with nothing else to free it. The close of its stream, or the stop, ends the wait.
TEST_F(EventBus, WaitingReaderIsWokenByTheCloseOfItsStreamAndByTheStop)
{
    core.plugins.Append(MakeFake<0>(0x00210000, ALL, true));
    core.plugins.Append(MakeFake<1>(0x00220000, ALL));
    fakes[1].keep = 1;
    auto answers = std::make_shared<ReaderAnswers>();
    fakes[0].onRead = [this, answers](_ReadParmsIn& parms) {
        char bytes[] = "block";
        _EventParmsIn frame = MakeEvent(0x00210000, EVT_AUDIO, 0x1, bytes, sizeof bytes);
        frame.streamID = parms.streamID;
        for (int i = 0; i < 2; ++i)
            answers->Add(parms.streamID, Send(frame));
    };
    StartWorker();
    for (uint32_t streamID : {3u, 4u}) {
        _EventParmsIn open = MakeEvent(0, 0x0001, 0x1);
        open.streamID = streamID;
        Send(open);
        ASSERT_TRUE(answers->Await(streamID, 1, "after the open"));
    }
    _EventParmsIn close = MakeEvent(0, EVT_STREAM_CLOSE, 0);
    close.streamID = 3;
    Send(close);
    ASSERT_TRUE(answers->Await(3, 2, "after the close of its stream"));
    EXPECT_EQ(answers->Of(3), (std::vector<int>{EVENT_ACCEPTED, EVENT_REFUSED}));
    StopWorker();
    ASSERT_TRUE(answers->Await(4, 2, "after the stop"));
    EXPECT_EQ(answers->Of(4), (std::vector<int>{EVENT_ACCEPTED, EVENT_REFUSED}));
    ASSERT_TRUE(ReadersLeft(core.readers, core.plugins.Load()->at(0).get(), "the woken readers to return"));
    // The refused copies went back to the pool (the second may have reused the first's block);
    // the kept blocks are still the subscriber's.
    EXPECT_GE(core.blockPool.CachedBytes(), dvr::BlockPool::ClassSize(sizeof "block"));
    EXPECT_EQ(core.referenceBlocks.BlockCount(), 2u);
    _EventParmsOut out = MakeResult();
    for (void* block : fakes[1].keptBlocks) {
        _EventParmsIn release = MakeEvent(0x00220000, EVT_RELEASE, 0, block);
        core.PluginEvent(&release, &out);
    }
}

TEST_F(EventBus, ReaderThreadThatCannotStartIsLoggedAndNotWaitedFor)
{
    core.plugins.Append(MakeFake<0>(0x00210000, ALL, true));
    core.plugins.Append(MakeFake<1>(0x00220000, ALL, true));
    std::atomic<int> started{0};
    fakes[1].onRead = [&](_ReadParmsIn&) { ++started; };
    auto start = core.startReaderThread;
    int attempts = 0;
    core.startReaderThread = [&](std::function<void()> body) {
        if (attempts++ == 0)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        start(std::move(body));
    };
    char request[] = "open-stream";
    _EventParmsIn open = MakeEvent(0, 0x0001, 0x1, request, sizeof request);
    open.streamID = 5;
    EXPECT_EQ(Send(open), EVENT_ACCEPTED); // the stream is open; the other plugin serves it
    EXPECT_EQ(core.readers.Running(core.plugins.Load()->at(0).get()), 0u);
    ASSERT_TRUE(ReadersLeft(core.readers, core.plugins.Load()->at(1).get(), "the other plugin's reader to return"));
    EXPECT_EQ(started.load(), 1);
    EXPECT_TRUE(core.Logged("could not start a reader thread for fake0.so: "));
    // Without memory for a reader's copy of the request, no plugin starts a Read without it.
    {
        dvr::test::EventMemoryFailure noMemory;
        EXPECT_EQ(Send(open), EVENT_ACCEPTED);
    }
    EXPECT_EQ(core.readers.Running(core.plugins.Load()->at(0).get()), 0u);
    EXPECT_EQ(started.load(), 1);
    EXPECT_TRUE(core.Logged("no memory for a reader's copy of a stream event: an event of provider 0 withheld from a "
                            "plugin (1 events refused or dropped for lack of memory since the last such line)"));
}

TEST_F(EventBus, StatusReportComesWithTheFirstEventAMinuteAfterTheLast)
{
    if (!dvr::test::GroupingLocaleExists())
        GTEST_SKIP() << "the en_US.UTF-8 locale is not installed: the byte total is not grouped as 6,500";
    core.plugins.Append(MakeFake<0>(0x00060000, ALL));
    fakes[0].keep = 1;
    char bytes[2000] = {};
    for (int i = 0; i < 3; ++i)
        Send(MakeEvent(SOURCE_ID, EVT_AUDIO, 0x1, bytes, sizeof bytes));
    StartWorker();
    ASSERT_TRUE(WaitUntil([] { return fakes[0].Writes() == 3; }, "the three kept events to be delivered"));
    EXPECT_FALSE(core.Logged("core event queue size:"));
    core.clock += std::chrono::seconds(59);
    char small[500] = {};
    fakes[0].keep = 0;
    Send(MakeEvent(SOURCE_ID, EVT_AUDIO, 0x1, small, sizeof small));
    ASSERT_TRUE(WaitUntil([] { return fakes[0].Writes() == 4; }, "the fourth event to be delivered"));
    EXPECT_FALSE(core.Logged("core event queue size:"));
    core.clock += std::chrono::seconds(1);
    Send(MakeEvent(SOURCE_ID, EVT_AUDIO, 0x1, small, sizeof small));
    StopWorker();
    EXPECT_TRUE(core.Logged("core event queue size: 0, throttledframes:[v:0 a:0], events:5, refblks: 4 (6,500 bytes)"));
    EXPECT_TRUE(core.Logged("Top - 60000:3, 80000000:1"));
    for (void* block : fakes[0].keptBlocks) { // the kept blocks go back, as the plugin would at Close
        _EventParmsIn release = MakeEvent(0x00060000, EVT_RELEASE, 0, block);
        _EventParmsOut out = MakeResult();
        core.PluginEvent(&release, &out);
    }
    EXPECT_EQ(core.referenceBlocks.BlockCount(), 0u);
}

TEST_F(EventBus, StatusReportCountsTheDeliveredBlocksAndTheCurrentOneNotTheWaitingBatch)
{
    core.plugins.Append(MakeFake<0>(0x00060000, ALL));
    // Shared with the worker, which may still run the hook after a failed test has returned.
    auto writing = std::make_shared<std::promise<void>>();
    std::future<void> written = writing->get_future();
    std::promise<void> resume;
    fakes[0].onWrite = [writing, resumed = resume.get_future().share(),
                        first =
                            true](_WriteParmsIn&) mutable { // the first Write holds the worker while events queue up
        if (std::exchange(first, false)) {
            writing->set_value();
            EXPECT_TRUE(WaitReady(resumed, "the test to let the first Write return"));
        }
    };
    char bytes[500] = {};
    Send(MakeEvent(SOURCE_ID, EVT_AUDIO, 0x1, bytes, sizeof bytes));
    StartWorker();
    ASSERT_TRUE(WaitReady(written, "the first Write"));
    for (int i = 0; i < 4; ++i) // taken as one batch: the first is current, three wait behind it
        Send(MakeEvent(SOURCE_ID, EVT_AUDIO, 0x1, bytes, sizeof bytes));
    core.clock += std::chrono::seconds(60);
    resume.set_value();
    StopWorker();
    EXPECT_TRUE(core.Logged("core event queue size: 3, throttledframes:[v:0 a:0], events:2, refblks: 1 (500 bytes)"));
    EXPECT_TRUE(core.Logged("Top - 80000000:1"));
    EXPECT_EQ(core.referenceBlocks.BlockCount(), 0u);
}

TEST_F(EventBus, ReleaseInTheCoresNameLeavesTheCoresHold)
{
    // A block the core holds, as it holds every block of a taken batch: a release naming the core
    // must not free it while it waits for delivery.
    void* waiting = malloc(64);
    core.referenceBlocks.AddHolder(waiting, 64, CORE_PROVIDER_ID);
    EXPECT_EQ(Send(MakeEvent(CORE_PROVIDER_ID, EVT_RELEASE, 0, waiting)), 99);
    EXPECT_EQ(core.referenceBlocks.BlockCount(), 1u);
    core.ReleaseBlock(waiting, CORE_PROVIDER_ID);
    EXPECT_EQ(core.referenceBlocks.BlockCount(), 0u);

    // With two subscribers, the first naming the core while it writes: the block is still passed
    // on and freed, not left to the first plugin.
    core.plugins.Append(MakeFake<0>(0x00060000, ALL));
    core.plugins.Append(MakeFake<1>(0x00070000, ALL));
    fakes[0].onWrite = [this](_WriteParmsIn& parms) { Send(MakeEvent(CORE_PROVIDER_ID, EVT_RELEASE, 0, parms.data)); };
    char bytes[100] = {};
    Send(MakeEvent(SOURCE_ID, EVT_AUDIO, 0x1, bytes, sizeof bytes));
    StartWorker();
    StopWorker();
    EXPECT_EQ(fakes[1].Writes(), 1u);
    EXPECT_EQ(core.referenceBlocks.BlockCount(), 0u);
}

TEST_F(EventBus, WriteOfSixMillisecondsOrMoreIsLoggedWhenTheCoresDiagnosticsAreOn)
{
    core.plugins.Append(MakeFake<0>(0x00060000, ALL));
    // Each Write takes, on the core's clock, the nanoseconds its data starts with.
    fakes[0].onWrite = [this](_WriteParmsIn& parms) {
        int64_t takes;
        memcpy(&takes, parms.data, sizeof takes);
        core.clock += std::chrono::nanoseconds(takes);
    };
    auto sendTaking = [this](int64_t nanoseconds) {
        char bytes[600] = {};
        memcpy(bytes, &nanoseconds, sizeof nanoseconds);
        Send(MakeEvent(SOURCE_ID, EVT_AUDIO, 0x1, bytes, sizeof bytes));
    };
    sendTaking(9'000'000); // the core's level-0 lines are off: not timed
    StartWorker();
    ASSERT_TRUE(WaitUntil([] { return fakes[0].Writes() == 1; }, "the untimed event to be delivered"));
    core.logLevels.Set(0, 0);
    sendTaking(5'999'999);
    sendTaking(6'000'000);
    sendTaking(17'999'999);
    StopWorker();
    std::vector<std::string> slow;
    for (const auto& line : core.Lines())
        if (line.text.find("core write took") != std::string::npos)
            slow.push_back(line.text);
    EXPECT_EQ(slow, (std::vector<std::string>{
                        "core write took 6ms, providerID 110000, eventType: 2, len: 600 -> fake0.so",
                        "core write took 17ms, providerID 110000, eventType: 2, len: 600 -> fake0.so"}));
}

TEST_F(EventBus, NoMemoryRefusesOrDropsTheEventLoggedOnceAMinuteAndFreesWhatItTook)
{
    core.plugins.Append(MakeFake<0>(0x00060000, ALL));
    auto noMemoryLines = [this] {
        size_t count = 0;
        for (const auto& line : core.Lines())
            count += line.text.starts_with("no memory for ") && line.level == 50;
        return count;
    };
    char bytes[300] = {};
    {
        dvr::test::EventMemoryFailure noMemory;
        EXPECT_EQ(Send(MakeEvent(SOURCE_ID, EVT_AUDIO, 0x1, bytes, sizeof bytes)), EVENT_NO_MEMORY);
        EXPECT_TRUE(core.Logged("no memory for a copy of event data: an event of provider 110000 refused with -1 (1 "
                                "events refused or dropped for lack of memory since the last such line)"));
        _EventParmsIn frame = MakeEvent(0x00120000, EVT_VIDEO, EVF_MEDIA_GATED);
        SetEventKeyFrame(&frame, 1);
        EXPECT_EQ(Send(frame), EVENT_NO_MEMORY) << "a new provider's gate counter";
        EXPECT_EQ(noMemoryLines(), 1u) << "within the minute the failures are only counted";
    }
    // Queued while memory was there, then the table, full up to where it must grow and without
    // memory to grow, cannot take the batch: dropped, not delivered.
    Send(MakeEvent(SOURCE_ID, EVT_AUDIO, 0x1, bytes, sizeof bytes));
    Send(MakeEvent(SOURCE_ID, EVT_AUDIO, 0x1, bytes, sizeof bytes));
    core.clock += std::chrono::seconds(60);
    std::vector<char> filler(200'000);
    {
        dvr::test::EventMemoryFailure noMemory;
        for (char& block : filler)
            core.referenceBlocks.AddHolder(&block, 1, CORE_PROVIDER_ID);
        core.RequestStop();
        core.RunQueueWorker();
    }
    for (char& block : filler)
        core.referenceBlocks.RemoveHolder(&block, CORE_PROVIDER_ID);
    EXPECT_EQ(fakes[0].Writes(), 0u);
    EXPECT_EQ(core.referenceBlocks.BlockCount(), 0u);
    EXPECT_TRUE(core.Logged("no memory for the reference block table: an event of provider 110000 dropped"));
    EXPECT_EQ(noMemoryLines(), 2u);
}

} // namespace
