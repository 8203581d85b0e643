#include "events/media_gate.h"

#include <gtest/gtest.h>

namespace dvr {
namespace {

constexpr uint32_t CAMERA = 0x110000;

_EventParmsIn Frame(uint32_t eventType, bool keyFrame = false, uint32_t providerID = CAMERA)
{
    _EventParmsIn event{};
    event.size = sizeof event;
    event.version = EVENT_PARMS_IN_VERSION;
    event.providerID = providerID;
    event.eventType = eventType;
    event.eventFlags = EVF_MEDIA_GATED;
    SetEventKeyFrame(&event, keyFrame ? 1 : 0);
    return event;
}

TEST(MediaGate, VideoMustStartWithAKeyFrame)
{
    MediaGate gate;
    EXPECT_EQ(gate.Gate(Frame(EVT_VIDEO), false), EVENT_NO_KEY_FRAME);
    _EventParmsIn almostKey = Frame(EVT_VIDEO);
    SetEventKeyFrame(&almostKey, 2);
    EXPECT_EQ(gate.Gate(almostKey, false), EVENT_NO_KEY_FRAME) << "only the value 1 marks a key frame";
    EXPECT_EQ(gate.Gate(Frame(EVT_VIDEO, true), false), EVENT_ACCEPTED);
    EXPECT_EQ(gate.Gate(Frame(EVT_VIDEO, false, CAMERA + 1), false), EVENT_NO_KEY_FRAME)
        << "each provider has its own gate";
}

TEST(MediaGate, GateExpiresAt765thFrameAfterTheKeyFrame)
{
    MediaGate gate;
    ASSERT_EQ(gate.Gate(Frame(EVT_VIDEO, true), false), EVENT_ACCEPTED);
    for (int frame = 1; frame <= 764; ++frame)
        ASSERT_EQ(gate.Gate(Frame(EVT_VIDEO), false), EVENT_ACCEPTED) << "frame " << frame;
    for (int frame = 765; frame <= 3000; ++frame)
        ASSERT_EQ(gate.Gate(Frame(EVT_VIDEO), false), EVENT_GATE_EXPIRED) << "frame " << frame;
    EXPECT_EQ(gate.Gate(Frame(EVT_VIDEO, true), false), EVENT_ACCEPTED);
    EXPECT_EQ(gate.Gate(Frame(EVT_VIDEO), false), EVENT_ACCEPTED) << "a key frame opens the gate again";
}

TEST(MediaGate, ThrottlingDropsAndCountsAndDemandsANewKeyFrame)
{
    MediaGate gate;
    ASSERT_EQ(gate.Gate(Frame(EVT_VIDEO, true), false), EVENT_ACCEPTED);
    EXPECT_EQ(gate.Gate(Frame(EVT_VIDEO, true), true), EVENT_THROTTLED) << "even key frames are dropped";
    EXPECT_EQ(gate.Gate(Frame(EVT_AUDIO), true), EVENT_THROTTLED);
    EXPECT_EQ(gate.Gate(Frame(EVT_VIDEO | EVT_AUDIO), true), EVENT_THROTTLED);

    ThrottledFrames taken = gate.TakeThrottledFrames();
    EXPECT_EQ(taken.video, 2u);
    EXPECT_EQ(taken.audio, 2u) << "a frame of both kinds counts in both";
    taken = gate.TakeThrottledFrames();
    EXPECT_EQ(taken.video, 0u) << "taking the counters zeroes them";
    EXPECT_EQ(taken.audio, 0u);

    EXPECT_EQ(gate.Gate(Frame(EVT_VIDEO), false), EVENT_NO_KEY_FRAME);
    EXPECT_EQ(gate.Gate(Frame(EVT_VIDEO, true), false), EVENT_ACCEPTED);
}

TEST(MediaGate, AudioPassesWithoutKeyFramesWhenNotThrottling)
{
    MediaGate gate;
    for (int frame = 0; frame < 1000; ++frame)
        ASSERT_EQ(gate.Gate(Frame(EVT_AUDIO), false), EVENT_ACCEPTED);
    EXPECT_EQ(gate.Gate(Frame(EVT_VIDEO | EVT_AUDIO), false), EVENT_NO_KEY_FRAME)
        << "a frame with the video bit is gated as video";
}

} // namespace
} // namespace dvr
