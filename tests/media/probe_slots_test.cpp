// The bound on cameras probing at once.
#include "probe_slots.h"

#include <gtest/gtest.h>

#include <future>

using media_source::ProbeSlots;
using namespace std::chrono_literals;

TEST(ProbeSlots, ATakerWaitsForAFreeSlotAndGivesUpOnStopOrAtTheEndOfItsWait)
{
    std::atomic<bool> running{false};
    ProbeSlots slots(2, 60s);
    ASSERT_TRUE(slots.Take(running));
    ASSERT_TRUE(slots.Take(running));

    // The third waits until a slot is given back.
    auto third = std::async(std::launch::async, [&] { return slots.Take(running); });
    EXPECT_EQ(third.wait_for(50ms), std::future_status::timeout);
    slots.Give();
    ASSERT_EQ(third.wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(third.get());

    // A camera told to stop leaves its wait at once, without a slot.
    std::atomic<bool> stopping{false};
    auto stopped = std::async(std::launch::async, [&] { return slots.Take(stopping); });
    stopping = true;
    slots.Wake();
    ASSERT_EQ(stopped.wait_for(30s), std::future_status::ready) << "a stop did not end the wait";
    EXPECT_FALSE(stopped.get());

    // A wait that runs out gives no slot: the camera goes on without one.
    ProbeSlots full(1, 10ms);
    ASSERT_TRUE(full.Take(running));
    EXPECT_FALSE(full.Take(running));
    full.Give();
    EXPECT_TRUE(full.Take(running));
}
