#include <gtest/gtest.h>

#include <cstdlib>

#include "events/event_queue.h"

namespace {

TEST(EventQueue, NothingIsQueuedOnceAStopIsRequested)
{
    dvr::EventQueue queue;
    _EventParmsIn event{};
    event.eventType = EVT_AUDIO;
    EXPECT_TRUE(queue.Push(event));
    queue.RequestStop();
    // A sender that tested the stop flag just before the stop must not queue an event that the
    // worker, already gone, would never deliver.
    EXPECT_FALSE(queue.Push(event));
    _EventParmsIn taken{};
    size_t remaining = 99;
    ASSERT_TRUE(queue.Pop(taken, remaining)); // what was queued before the stop is still taken
    EXPECT_EQ(remaining, 0u);
    EXPECT_FALSE(queue.Pop(taken, remaining));
}

TEST(EventQueue, UndeliveredDataIsFreedWithTheQueue)
{
    // Run under the leak sanitizer: the block of an event still queued goes with the queue.
    dvr::EventQueue queue;
    _EventParmsIn event{};
    event.data = malloc(64);
    event.len = 64;
    EXPECT_TRUE(queue.Push(event));
}

} // namespace
