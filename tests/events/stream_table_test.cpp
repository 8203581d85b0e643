#include "events/stream_table.h"

#include <atomic>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "events/reader_tracker.h"
#include "support/bounded_wait.h"

namespace dvr {
namespace {

using test::ReadersLeft;
using test::TestThread;
using test::WaitReady;

constexpr uint32_t STREAM = 7;

void* PendingBlock(ReaderContext& context)
{
    std::lock_guard lock(context.mutex);
    return context.pendingBlock;
}

TEST(StreamTable, OnlyRunningReadersOfOpenStreamsAreAdmitted)
{
    StreamTable streams;
    EXPECT_EQ(streams.AdmitStreamEvent(STREAM), nullptr) << "this thread is not a reader";

    std::shared_ptr<ReaderContext> admitted, whileClosed, reopened, afterRead;
    TestThread reader([&] {
        {
            ReaderRegistration registration(streams);
            admitted = streams.AdmitStreamEvent(STREAM);
            streams.CloseStream(STREAM);
            whileClosed = streams.AdmitStreamEvent(STREAM);
            streams.ReopenStream(STREAM);
            reopened = streams.AdmitStreamEvent(STREAM);
        }
        afterRead = streams.AdmitStreamEvent(STREAM);
    });
    ASSERT_TRUE(reader.Join("the reader to return"));
    EXPECT_NE(admitted, nullptr);
    EXPECT_EQ(whileClosed, nullptr);
    EXPECT_EQ(reopened, admitted) << "the reader keeps its one context";
    EXPECT_EQ(afterRead, nullptr);
    EXPECT_FALSE(streams.IsClosed(STREAM));
}

TEST(StreamTable, ReleaseClearsOnlyTheContextsPendingOnThatBlock)
{
    StreamTable streams;
    streams.RegisterReader();
    std::shared_ptr<ReaderContext> context = streams.AdmitStreamEvent(STREAM);
    ASSERT_NE(context, nullptr);
    int first, other;
    StreamTable::WaitAndSetPending(*context, &first);
    streams.BlockReleased(&other);
    streams.BlockReleased(nullptr);
    EXPECT_EQ(PendingBlock(*context), &first);
    streams.BlockReleased(&first);
    EXPECT_EQ(PendingBlock(*context), nullptr);
    streams.UnregisterReader();
}

TEST(StreamTable, ReadersSecondBlockWaitsUntilTheFirstIsReleased)
{
    StreamTable streams;
    int first, second;
    std::atomic<bool> firstReleased{false};
    std::atomic<bool> releaseSeenBySecond{false};
    std::promise<void> firstQueued;
    std::future<void> queued = firstQueued.get_future();
    TestThread reader([&] {
        ReaderRegistration registration(streams);
        std::shared_ptr<ReaderContext> context = streams.AdmitStreamEvent(STREAM);
        StreamTable::WaitAndSetPending(*context, &first);
        firstQueued.set_value();
        StreamTable::WaitAndSetPending(*context, &second);
        releaseSeenBySecond = firstReleased.load();
        EXPECT_EQ(PendingBlock(*context), &second);
    });
    ASSERT_TRUE(WaitReady(queued, "the reader's first block"));
    firstReleased = true;
    streams.BlockReleased(&first);
    ASSERT_TRUE(reader.Join("the reader's second block to be queued after the release"));
    EXPECT_TRUE(releaseSeenBySecond) << "the second block was queued before the first was released";
}

TEST(ReaderTracker, RetiredPluginWaitsForItsReadersAndRefusesNewOnes)
{
    ReaderTracker tracker;
    int plugin, otherPlugin;
    ASSERT_TRUE(tracker.Enter(&plugin));
    ASSERT_TRUE(tracker.Enter(&plugin));
    ASSERT_TRUE(tracker.Enter(&otherPlugin));
    EXPECT_EQ(tracker.Running(&plugin), 2u);

    std::atomic<int> stillInRead{2};
    TestThread shutdown([&] {
        EXPECT_TRUE(ReadersLeft(tracker, &plugin, "the plugin's readers to leave"));
        EXPECT_EQ(stillInRead.load(), 0) << "retired while a reader was still inside Read";
        EXPECT_FALSE(tracker.Enter(&plugin));
    });
    for (int reader = 0; reader < 2; ++reader) {
        --stillInRead;
        tracker.Leave(&plugin);
    }
    ASSERT_TRUE(shutdown.Join("the retirement to end"));
    EXPECT_EQ(tracker.Running(&plugin), 0u);
    EXPECT_EQ(tracker.Running(&otherPlugin), 1u) << "other plugins are not affected";
    EXPECT_TRUE(tracker.Enter(&otherPlugin));
}

} // namespace
} // namespace dvr
