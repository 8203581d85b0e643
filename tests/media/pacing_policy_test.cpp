// MediaSource's pacing of a file camera: each frame due by its timestamp, for as long as it loops.
#include "pacing_policy.h"

#include <gtest/gtest.h>

#include <cstdint>

using media_source::FilePacer;
using media_source::ReadBatch;

namespace {
constexpr int64_t MS = 1'000'000;
constexpr int64_t TICKS_PER_MS = 90;
constexpr int64_t FRAME = 40 * TICKS_PER_MS; // 25 frames a second
} // namespace

TEST(FilePacer, FramesAreDueByTheirTimestampsAndAFileFarBehindStartsAgain)
{
    FilePacer pacer;
    EXPECT_EQ(pacer.Due(5000, 100 * MS), 100 * MS); // the first at its read
    EXPECT_EQ(pacer.Due(5000 + FRAME, 101 * MS), 140 * MS);
    EXPECT_EQ(pacer.Due(5000 + 10 * FRAME, 200 * MS), 500 * MS);
    // Read up to a second after it was due: still due then (sent at once, the pace kept).
    EXPECT_EQ(pacer.Due(5000 + 11 * FRAME, 1500 * MS), 540 * MS);
    // More than a second late: due at its read, and the frames after it from there.
    EXPECT_EQ(pacer.Due(5000 + 12 * FRAME, 1600 * MS), 1600 * MS);
    EXPECT_EQ(pacer.Due(5000 + 13 * FRAME, 1601 * MS), 1640 * MS);
}

TEST(FilePacer, ALoopingFileIsPacedPastTheDayAndAHalfWhereNanosecondsTimesTicksOverflow)
{
    FilePacer pacer;
    const int64_t hour = 3600 * 1000 * TICKS_PER_MS;
    pacer.Due(0, 0);
    // 28.5 hours of media time in ns times 90,000 passes 2^63; each frame is due as far on as
    // its timestamp says, read on time.
    for (int64_t hours : {1, 28, 29, 30, 1000, 100000}) {
        const int64_t dueNs = hours * 3600 * 1000 * MS;
        EXPECT_EQ(pacer.Due(hours * hour, dueNs - MS), dueNs) << hours << " h";
        EXPECT_EQ(pacer.Due(hours * hour + FRAME, dueNs), dueNs + 40 * MS) << hours << " h";
    }
}

TEST(ReadBatch, OnlyAReadThatWaitedForTheNetworkIsFollowedByASleep)
{
    const ReadBatch batch(60 * MS);
    EXPECT_EQ(batch.NextRead(100 * MS, 100 * MS + MS / 2), 100 * MS + MS / 2); // data was there: read on
    EXPECT_EQ(batch.NextRead(100 * MS, 102 * MS), 102 * MS);                   // not longer than the limit
    EXPECT_EQ(batch.NextRead(100 * MS, 130 * MS), 190 * MS);                   // caught up: let frames gather
    EXPECT_EQ(ReadBatch(0).NextRead(100 * MS, 130 * MS), 130 * MS);            // a file never sleeps
}
