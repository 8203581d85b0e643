// MediaSource's reconnect schedule: how soon a camera that went away is read again.
#include "reconnect_policy.h"

#include <gtest/gtest.h>

#include <cstdint>

using media_source::ReconnectDelaySeconds;

TEST(ReconnectPolicy, WaitsDoubleFromOneSecondUpToACapOfFour)
{
    const struct {
        uint32_t failures;
        int seconds;
    } cases[] = {
        {0, 1}, {1, 1}, {2, 2}, {3, 4}, {4, 4}, {5, 4}, {6, 4}, {31, 4}, {32, 4}, {UINT32_MAX, 4},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReconnectDelaySeconds(c.failures), c.seconds) << c.failures << " failures";
}

TEST(ReconnectPolicy, ACameraBackFromAnOutageIsTriedAgainWithinTheCap)
{
    // Attempts fail at once while the camera is away (a refused connection), every outage from 1 s
    // to an hour: the first attempt after the camera returns comes at most 4 s later.
    for (int outage = 1; outage <= 3600; ++outage) {
        int at = 0;
        uint32_t failures = 0;
        while (at < outage)
            at += ReconnectDelaySeconds(++failures);
        EXPECT_LE(at - outage, 4) << "an outage of " << outage << " s";
    }
}

TEST(ReconnectPolicy, AStallIsNoticedOneTimeOutAfterTheLastReadBeganAndAFlushedFrameDoesNotHideIt)
{
    constexpr int64_t S = 1000000000LL;
    media_source::StallWatch watch(5 * S);
    // Each step: an Arm (a read begins), or a frame handed over, at a time; and what the watch says.
    const struct {
        bool arm;
        int64_t atNs;
        bool alive; // not expired at an Arm's time, Received for a frame
    } steps[] = {
        {true, 0, true},      {false, 4 * S, true},       // a frame within the time-out
        {true, 4 * S, true},  {false, 9 * S, true},       // the time-out counts from the read's start
        {true, 9 * S, true},  {false, 14 * S + 1, false}, // a frame flushed after the silence
        {true, 20 * S, true}, {false, 20 * S, true},      // the next connection's read
    };
    for (const auto& step : steps) {
        if (step.arm) {
            watch.Arm(step.atNs);
            EXPECT_EQ(!watch.Expired(step.atNs), step.alive) << "armed at " << step.atNs;
        } else {
            EXPECT_EQ(watch.Received(step.atNs), step.alive) << "a frame at " << step.atNs;
            EXPECT_EQ(!watch.Expired(step.atNs), step.alive) << "at " << step.atNs;
        }
    }
}
