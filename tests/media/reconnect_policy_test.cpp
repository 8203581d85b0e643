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
