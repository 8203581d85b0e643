#include <gtest/gtest.h>

#include <cstdlib>

#include "events/event_queue.h"
#include "support/event_memory_failure.h"

namespace {

using Pushed = dvr::EventQueue::PushResult;

TEST(EventQueue, OnlyTheCoresOwnLinesAreQueuedAfterAStopUntilTheWorkerEnds)
{
    dvr::EventQueue queue;
    _EventParmsIn event{};
    event.eventType = EVT_AUDIO;
    _EventParmsIn coreLine{};
    coreLine.providerID = CORE_PROVIDER_ID;
    coreLine.eventType = EVT_LOG;
    _EventParmsIn pluginLine = coreLine;
    pluginLine.providerID = 0x00100000;
    EXPECT_EQ(queue.Push(event), Pushed::Queued);
    queue.RequestStop();
    // A sender that tested the stop flag just before the stop must not queue an event that the
    // worker, already gone, would never deliver.
    EXPECT_EQ(queue.Push(event), Pushed::Stopped);
    EXPECT_EQ(queue.Push(pluginLine), Pushed::Stopped);
    EXPECT_EQ(queue.Push(coreLine), Pushed::Queued);
    dvr::EventRing taken;
    ASSERT_TRUE(queue.TakeAll(taken)); // what was queued before the stop is still taken
    ASSERT_EQ(taken.Size(), 2u);
    EXPECT_EQ(taken.PopFront().eventType, static_cast<uint32_t>(EVT_AUDIO));
    EXPECT_EQ(taken.PopFront().providerID, CORE_PROVIDER_ID);
    EXPECT_FALSE(queue.TakeAll(taken));
    EXPECT_EQ(queue.Push(coreLine), Pushed::Stopped) << "queued after the worker ended";
}

TEST(EventQueue, ABatchKeepsTheOrderAcrossRingGrowthAndWrap)
{
    dvr::EventQueue queue;
    dvr::EventRing batch;
    uint32_t sent = 0;
    uint32_t expected = 0;
    // Rounds of different sizes move the ring's front around its storage before it must grow, so
    // a growth copies a wrapped ring.
    for (uint32_t round : {3u, 250u, 7u, 600u, 1u, 2000u}) {
        for (uint32_t i = 0; i < round; ++i) {
            _EventParmsIn event{};
            event.streamID = sent++;
            ASSERT_EQ(queue.Push(event), Pushed::Queued);
        }
        EXPECT_EQ(queue.Size(), round);
        ASSERT_TRUE(queue.TakeAll(batch));
        EXPECT_EQ(queue.Size(), 0u);
        // Half taken now, half after the next round is queued behind them.
        while (batch.Size() > round / 2)
            EXPECT_EQ(batch.PopFront().streamID, expected++);
        for (uint32_t i = 0; i < 5; ++i) {
            _EventParmsIn event{};
            event.streamID = 1'000'000 + i;
            batch.PushBack(event); // the worker's ring grows and wraps like the queue's
        }
        while (batch.Size() > 5)
            EXPECT_EQ(batch.PopFront().streamID, expected++);
        for (uint32_t i = 0; i < 5; ++i)
            EXPECT_EQ(batch.PopFront().streamID, 1'000'000 + i);
    }
    EXPECT_EQ(expected, sent);
}

TEST(EventQueue, UndeliveredDataIsFreedWithTheQueue)
{
    // Run under the leak sanitizer: the block of an event still queued goes with the queue.
    dvr::EventQueue queue;
    _EventParmsIn event{};
    event.data = malloc(64);
    event.len = 64;
    EXPECT_EQ(queue.Push(event), Pushed::Queued);
}

TEST(EventQueue, RingThatCannotGrowRefusesAndABacklogsMemoryComesBack)
{
    constexpr size_t INITIAL = dvr::EventRing::INITIAL_CAPACITY;
    dvr::EventQueue queue;
    dvr::EventRing batch;
    _EventParmsIn event{};
    for (uint32_t i = 0; i < INITIAL; ++i) {
        event.streamID = i;
        ASSERT_EQ(queue.Push(event), Pushed::Queued);
    }
    {
        dvr::test::EventMemoryFailure noMemory;
        event.streamID = 999;
        EXPECT_EQ(queue.Push(event), Pushed::NoMemory) << "a full ring that cannot double";
    }
    event.streamID = INITIAL;
    ASSERT_EQ(queue.Push(event), Pushed::Queued);
    ASSERT_TRUE(queue.TakeAll(batch));
    for (uint32_t i = 0; i <= INITIAL; ++i)
        ASSERT_EQ(batch.PopFront().streamID, i) << "the refused event left no trace";

    // A backlog grows both rings; small fills afterwards halve them back, one step per fill.
    for (int round = 0; round < 2; ++round) {
        for (uint32_t i = 0; i < 20 * INITIAL; ++i)
            ASSERT_EQ(queue.Push(event), Pushed::Queued);
        ASSERT_TRUE(queue.TakeAll(batch));
        while (!batch.Empty())
            batch.PopFront();
    }
    EXPECT_GE(batch.Capacity(), 20 * INITIAL);
    EXPECT_GE(queue.Capacity(), 20 * INITIAL);
    for (int fill = 0; fill < 20; ++fill) {
        ASSERT_EQ(queue.Push(event), Pushed::Queued);
        ASSERT_TRUE(queue.TakeAll(batch));
        batch.PopFront();
    }
    EXPECT_EQ(batch.Capacity(), INITIAL);
    EXPECT_EQ(queue.Capacity(), INITIAL);
}

} // namespace
