// MediaSource's measure of a camera's key-frame interval against the core's key-frame gate.
#include "key_frame_policy.h"

#include <gtest/gtest.h>

#include <cstdint>

using media_source::KeyFrameWatch;
using media_source::kGateFrames;

namespace {

constexpr int64_t FRAME = 3600; // 25 frames a second

// Feeds groups of the given lengths (frames, key frame included) from dts, and the key frame that
// ends the last one; returns after which group Observe said true (1-based), or 0.
size_t Feed(KeyFrameWatch& watch, std::initializer_list<uint32_t> groups, int64_t& dts)
{
    size_t said = 0, group = 0;
    for (uint32_t frames : groups) {
        ++group;
        for (uint32_t i = 0; i < frames; ++i, dts += FRAME)
            if (watch.Observe(i == 0, dts))
                said = said == 0 ? group - 1 : said;
    }
    if (watch.Observe(true, dts))
        said = said == 0 ? group : said;
    return said;
}

} // namespace

TEST(KeyFrameWatch, SaysOnceWhenAGroupIsLongerThanTheGateWithItsFramesAndSeconds)
{
    struct Case {
        std::initializer_list<uint32_t> groups;
        size_t said; // after which group, 0: never
    } cases[] = {
        {{25, 25, 25}, 0},
        {{kGateFrames, kGateFrames}, 0}, // the gate lets a group of 765 through whole
        {{25, kGateFrames + 1, 25}, 2},  // one frame more is refused
        {{1000, 1000, 2000}, 1},         // once, at the first
        {{30, 1000}, 2},
    };
    for (const Case& c : cases) {
        KeyFrameWatch watch;
        int64_t dts = 1000;
        EXPECT_EQ(Feed(watch, c.groups, dts), c.said) << *c.groups.begin() << " ...";
    }

    // A 40 s group at 25 frames a second: 1000 frames, and 765 frames are 30.6 s.
    KeyFrameWatch watch;
    int64_t dts = 0;
    ASSERT_EQ(Feed(watch, {1000}, dts), 1u);
    EXPECT_EQ(watch.Last().frames, 1000u);
    EXPECT_EQ(watch.Last().ticks, 40 * DVR_MEDIA_CLOCK_RATE);
    EXPECT_DOUBLE_EQ(watch.Last().GateSeconds(), 30.6);
}

TEST(KeyFrameWatch, FramesBeforeAConnectionsFirstKeyFrameBelongToNoGroup)
{
    KeyFrameWatch watch;
    int64_t dts = 0;
    for (uint32_t i = 0; i < 2 * kGateFrames; ++i, dts += FRAME)
        EXPECT_FALSE(watch.Observe(false, dts));
    EXPECT_FALSE(watch.Observe(true, dts)); // the first key frame opens the first group
    dts += FRAME;
    EXPECT_EQ(watch.Last().frames, 0u);
    // A reconnect in the middle of a group: the two halves do not make one long group.
    for (uint32_t i = 0; i < 500; ++i, dts += FRAME)
        watch.Observe(false, dts);
    watch.Restart();
    for (uint32_t i = 0; i < 500; ++i, dts += FRAME)
        EXPECT_FALSE(watch.Observe(false, dts));
    EXPECT_FALSE(watch.Observe(true, dts));
    EXPECT_EQ(watch.Last().frames, 0u);
}
