#include "events/stream_table.h"

#include <atomic>
#include <latch>
#include <thread>

#include <gtest/gtest.h>

#include "events/reader_tracker.h"

namespace dvr {
namespace {

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
    std::thread reader([&] {
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
    reader.join();
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
    std::latch firstQueued(1);
    std::thread reader([&] {
        ReaderRegistration registration(streams);
        std::shared_ptr<ReaderContext> context = streams.AdmitStreamEvent(STREAM);
        StreamTable::WaitAndSetPending(*context, &first);
        firstQueued.count_down();
        StreamTable::WaitAndSetPending(*context, &second);
        releaseSeenBySecond = firstReleased.load();
        EXPECT_EQ(PendingBlock(*context), &second);
    });
    firstQueued.wait();
    firstReleased = true;
    streams.BlockReleased(&first);
    reader.join();
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
    std::thread shutdown([&] {
        tracker.RetireAndWait(&plugin);
        EXPECT_EQ(stillInRead.load(), 0) << "retired while a reader was still inside Read";
        EXPECT_FALSE(tracker.Enter(&plugin));
    });
    for (int reader = 0; reader < 2; ++reader) {
        --stillInRead;
        tracker.Leave(&plugin);
    }
    shutdown.join();
    EXPECT_EQ(tracker.Running(&plugin), 0u);
    EXPECT_EQ(tracker.Running(&otherPlugin), 1u) << "other plugins are not affected";
    EXPECT_TRUE(tracker.Enter(&otherPlugin));
}

} // namespace
} // namespace dvr
