// Which of FFmpeg's messages reach the core's log, and how many a camera may write a minute.
#include "ffmpeg_log_policy.h"

#include <gtest/gtest.h>

#include <cstdint>

using ffmpeg_common::FfmpegLineLevel;
using ffmpeg_common::LineRateLimit;

TEST(FfmpegLogPolicy, ErrorsAndWarningsAreLoggedAndTheChatterIsNot)
{
    const struct {
        int avLevel;
        int32_t level;
    } cases[] = {
        {0, 75}, {8, 75}, {16, 75}, {24, 50}, {32, -1}, {40, -1}, {48, -1}, {56, -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FfmpegLineLevel(c.avLevel), c.level) << "FFmpeg level " << c.avLevel;
}

TEST(FfmpegLogPolicy, ThreeLinesAMinuteThenOneCountingTheRest)
{
    constexpr int64_t S = 1000000000LL;
    LineRateLimit limit(3, 60 * S);
    const struct {
        int64_t atNs;
        bool pass;
        uint64_t suppressedBefore;
    } cases[] = {
        {100 * S, true, 0},  {101 * S, true, 0},  {102 * S, true, 0}, // the window opens at 100 s
        {103 * S, false, 0}, {159 * S, false, 0},                     // its fourth and fifth line
        {160 * S, true, 2},                                           // a new window says so first
        {161 * S, true, 0},  {300 * S, true, 0},                      // a quiet window owes nothing
    };
    for (const auto& c : cases) {
        LineRateLimit::Verdict verdict = limit.Offer(c.atNs);
        EXPECT_EQ(verdict.pass, c.pass) << "at " << c.atNs / S << " s";
        EXPECT_EQ(verdict.suppressedBefore, c.suppressedBefore) << "at " << c.atNs / S << " s";
    }
}
