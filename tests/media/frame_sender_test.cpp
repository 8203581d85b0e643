// A file camera's frames against a receiver's flow records, with the core played by the test: the
// camera never has more in flight than the last record allows, and without any record it goes on
// once its first-record wait is over.
#include "frame_sender.h"
#include "plugin_log.h"

#include "support/bounded_wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using dvr::test::WaitUntil;
using media_source::FrameSender;

namespace {

constexpr size_t kFrameBytes = 100 * 1024;
constexpr uint64_t kEventBytes = kFrameBytes + sizeof(_DvrMediaFrame);
constexpr int kFrames = 20;

// What the core was given; the fake core's callback is called from the sending thread.
std::mutex coreMutex;
size_t framesTaken = 0;        // video frames; guarded by coreMutex
std::vector<std::string> logs; // guarded by coreMutex

int TakeEvent(void* in, void* out)
{
    auto* event = static_cast<_EventParmsIn*>(in);
    static_cast<_EventParmsOut*>(out)->result = EVENT_ACCEPTED;
    const std::lock_guard lock(coreMutex);
    if (event->eventType == EVT_VIDEO)
        ++framesTaken;
    else if (event->eventType == EVT_LOG)
        logs.emplace_back(static_cast<const char*>(event->data), event->len);
    return 0;
}

size_t FramesTaken()
{
    const std::lock_guard lock(coreMutex);
    return framesTaken;
}

// A sender with no room offers nothing: no frame beyond count comes within a short while (a frame
// sent wrongly comes at once; a sender that behaves passes however slow the machine).
bool NoMoreFrames(size_t count)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (std::chrono::steady_clock::now() < until && FramesTaken() == count)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return FramesTaken() == count;
}

class FlowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::lock_guard lock(coreMutex);
        framesTaken = 0;
        logs.clear();
        media_source::SetCoreCallback(TakeEvent);
    }
    void TearDown() override { media_source::SetCoreCallback(nullptr); }

    // kFrames video key frames of kFrameBytes each, sent on a thread of their own as a camera's
    // reading thread sends them; the sender is interrupted and the thread joined at the end of the
    // scope, whatever failed before.
    struct Sending {
        FrameSender& sender;
        std::thread thread;
        ~Sending()
        {
            sender.Interrupt();
            thread.join();
        }
    };
    Sending SendFrames(FrameSender& sender)
    {
        media_source::StreamInfo info;
        info.videoCodec = DVR_CODEC_H264;
        info.width = 320;
        info.height = 240;
        sender.StartConnection(info);
        return {sender, std::thread([&sender] {
                    std::vector<uint8_t> payload(kFrameBytes, 0x42);
                    for (int n = 0; n < kFrames; ++n) {
                        media_source::MediaPacket packet;
                        packet.video = packet.keyFrame = true;
                        packet.dts = packet.pts = n * 3600;
                        packet.data = payload.data();
                        packet.size = payload.size();
                        sender.Send(packet);
                    }
                })};
    }
};

} // namespace

TEST_F(FlowTest, ALosslessCameraSendsNoMoreThanTheLastRecordAllowsAndStopsWaitingWhenInterrupted)
{
    FrameSender sender(0, "clip", true, std::chrono::hours(1));
    Sending sending = SendFrames(sender);
    // Before any record: the first window, 512 KiB, holds five frames, and no more go.
    ASSERT_TRUE(WaitUntil([] { return FramesTaken() == 5; }, "the first window's frames"));
    EXPECT_TRUE(NoMoreFrames(5));
    // A record that is done with none, with a window smaller than what is out: still no more.
    sender.Acknowledge(0, 250 * 1024);
    EXPECT_TRUE(NoMoreFrames(5));
    // Done with the five: room for two more.
    sender.Acknowledge(5 * kEventBytes, 250 * 1024);
    ASSERT_TRUE(WaitUntil([] { return FramesTaken() >= 7; }, "the two frames the window has room for"));
    EXPECT_TRUE(NoMoreFrames(7));
    // A window for everything: the rest go.
    sender.Acknowledge(7 * kEventBytes, 64 * 1024 * 1024);
    ASSERT_TRUE(WaitUntil([] { return FramesTaken() == kFrames; }, "every frame"));

    // A camera waiting for room stops waiting when it is interrupted (the plugin closes).
    FrameSender waiting(1, "stopped", true, std::chrono::hours(1));
    {
        Sending stopped = SendFrames(waiting);
        ASSERT_TRUE(WaitUntil([] { return FramesTaken() == kFrames + 5; }, "the second camera's first window"));
    } // interrupted and joined: a Send that waited on would hang the test here
    EXPECT_EQ(FramesTaken(), static_cast<size_t>(kFrames + 5));
}

TEST_F(FlowTest, ALosslessCameraThatNoReceiverFollowsSendsEverythingAfterItsFirstRecordWait)
{
    FrameSender sender(0, "clip", true, std::chrono::milliseconds(0));
    {
        Sending sending = SendFrames(sender);
        ASSERT_TRUE(WaitUntil([] { return FramesTaken() == kFrames; }, "every frame without a record"));
    }
    const std::lock_guard lock(coreMutex);
    bool said = false;
    for (const std::string& line : logs)
        said = said || line.find("camera clip: no receiver follows its frames") != std::string::npos;
    EXPECT_TRUE(said);
}
