// MediaSource's capture times: a frame is stamped when it was captured, not when a burst read it.
#include "capture_clock.h"

#include <gtest/gtest.h>

#include <cstdint>

using media_source::CaptureClock;

namespace {
constexpr int64_t MS = 1'000'000;
constexpr int64_t TICKS_PER_MS = 90;
constexpr int64_t OPENED = int64_t{1'796'810'400'000} * MS;
} // namespace

TEST(CaptureClock, StampsByMediaTimeFromTheOpenNeverAfterTheReadAndReanchorsFarFromIt)
{
    CaptureClock clock(OPENED);
    // The probe read 1.3 s of frames, handed over at once after it: each at its own time.
    for (int64_t ms = 0; ms <= 1300; ms += 100)
        EXPECT_EQ(clock.Stamp(5000 + ms * TICKS_PER_MS, OPENED + 1300 * MS), OPENED + ms * MS) << ms;
    // Live frames read 40 ms after their time keep the media time; one read before it (a leap
    // forward, a file read fast) is stamped at its read and anchors the frames after it.
    EXPECT_EQ(clock.Stamp(5000 + 2000 * TICKS_PER_MS, OPENED + 2040 * MS), OPENED + 2000 * MS);
    EXPECT_EQ(clock.Stamp(5000 + 4000 * TICKS_PER_MS, OPENED + 3000 * MS), OPENED + 3000 * MS);
    EXPECT_EQ(clock.Stamp(5000 + 4100 * TICKS_PER_MS, OPENED + 3200 * MS), OPENED + 3100 * MS);
    // A stall or a jump back of more than MAX_LAG_NS: stamped at the read, anchored there.
    const int64_t late = OPENED + 3100 * MS + CaptureClock::MAX_LAG_NS + MS;
    EXPECT_EQ(clock.Stamp(5000 + 4100 * TICKS_PER_MS, late), late);
    EXPECT_EQ(clock.Stamp(5000 + 4200 * TICKS_PER_MS, late + 200 * MS), late + 100 * MS);
    // Hostile timestamps cannot overflow the arithmetic.
    EXPECT_EQ(clock.Stamp(INT64_MIN, late + 300 * MS), late + 300 * MS);
    EXPECT_EQ(clock.Stamp(INT64_MAX, late + 400 * MS), late + 400 * MS);
}
