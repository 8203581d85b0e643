// The demo source and recorder: each in the plugin test harness, then both in the real core with
// the log plugin and a test supervisor.
#include <dvrcore/harness.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <utility>

#include "ipc/parent_protocol.h"
#include "support/core_installation.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t SOURCE_ID = 0x00A00000;
constexpr uint32_t RECORDER_ID = 0x00A10000;
constexpr uint32_t MEDIA_FLAGS = EVF_MEDIA_GATED | 0x1; // gated, demo channel 1
constexpr auto PATIENCE = 60s;                          // a limit for waiting only, generous for sanitizer builds

std::string BundledPlugin(const std::string& name)
{
    return DVRCORE_BUILD_DIR "/plugins/" + name;
}

// A demo frame: the header {"DEMO", kind, sequence, length}, then body byte i is (sequence + i) & 0xFF.
std::vector<uint8_t> MakeFrame(uint32_t kind, uint32_t sequence, uint32_t length)
{
    std::vector<uint8_t> frame(length);
    const uint32_t header[4] = {0x4F4D4544, kind, sequence, length}; // "DEMO" on a little-endian host
    memcpy(frame.data(), header, sizeof header);
    for (uint32_t i = sizeof header; i < length; ++i)
        frame[i] = static_cast<uint8_t>(sequence + i);
    return frame;
}

// "name value" lines of a demo plugin's stats file.
std::map<std::string, uint64_t> ReadStats(const std::string& path)
{
    std::map<std::string, uint64_t> stats;
    std::istringstream lines(dvr::test::ReadFile(path));
    std::string name;
    for (uint64_t value; lines >> name >> value;)
        stats[name] = value;
    return stats;
}

// One demo plugin in the plugin test harness, in a fresh working folder where it writes its stats.
class DemoPlugins : public ::testing::Test {
protected:
    DemoPlugins()
        : previous_(std::filesystem::current_path())
    {
        std::filesystem::current_path(dir.Path());
    }
    ~DemoPlugins() override
    {
        if (h != nullptr) {
            EXPECT_EQ(Teardown(), "");
        }
        std::filesystem::current_path(previous_);
    }

    // Loads the plugin (withWorker: and starts its worker) and opens it; its first video events get
    // videoAnswers.
    void Start(const std::string& name, bool withWorker, int timeoutMs = DVR_HARNESS_DEFAULT_TIMEOUT_MS,
               const std::vector<int32_t>& videoAnswers = {})
    {
        h = dvr_harness_new(BundledPlugin(name).c_str());
        dvr_harness_set_timeout(h, timeoutMs);
        dvr_harness_set_worker_thread(h, withWorker ? 1 : 0);
        dvr_harness_queue_answers(h, EVT_VIDEO, videoAnswers.data(), videoAnswers.size());
        ASSERT_EQ(dvr_harness_start(h), DVR_HARNESS_OK) << dvr_harness_load_refusal(h);
    }
    // Delivers a frame of the source as the event bus would; returns the block the plugin got.
    const void* Write(uint32_t eventType, const std::vector<uint8_t>& frame, bool keyFrame, uint32_t expectedKeep)
    {
        _EventParmsIn event = DvrFrameEvent(SOURCE_ID, eventType, MEDIA_FLAGS, frame.data(),
                                            static_cast<uint32_t>(frame.size()), keyFrame ? 1 : 0);
        dvr_harness_delivery delivery{};
        EXPECT_EQ(dvr_harness_push_ex(h, &event, &delivery), DVR_HARNESS_OK);
        EXPECT_EQ(delivery.keep, expectedKeep);
        return delivery.block;
    }
    // Sends a status packet to the plugin of module index moduleIndex; the text it sends back.
    std::string AskParent(uint32_t moduleIndex)
    {
        EXPECT_EQ(dvr_harness_push_parent(h, moduleIndex << 20, 1, "status", 6, nullptr), DVR_HARNESS_OK);
        const dvr_harness_event* reply = dvr_harness_wait_event(h, EVT_PARENT_SEND, -1);
        return reply == nullptr ? "" : std::string(static_cast<const char*>(reply->data), reply->record.len);
    }
    // The events raised so far of eventType.
    std::vector<const dvr_harness_event*> Raised(uint32_t eventType)
    {
        std::vector<const dvr_harness_event*> events;
        while (const dvr_harness_event* event = dvr_harness_event_at(h, eventType, events.size()))
            events.push_back(event);
        return events;
    }
    // The harness's report: empty when the plugin left nothing behind.
    std::string Teardown()
    {
        char report[4096];
        dvr_harness_teardown(std::exchange(h, nullptr), report, sizeof report);
        return report;
    }

    dvr::test::TemporaryDirectory dir;
    dvr_harness* h = nullptr;

private:
    std::filesystem::path previous_;
};

std::vector<uint8_t> Bytes(const dvr_harness_event* event)
{
    const auto* data = static_cast<const uint8_t*>(event->data);
    return std::vector<uint8_t>(data, data + event->record.len);
}

TEST_F(DemoPlugins, SourceNumbersIntactFramesAndSendsKeyFramesAsTheGateNeeds)
{
    // The gate's answers to video frames 3, 10, 15 and 20; everything else is accepted.
    std::vector<int32_t> gate(21, EVENT_ACCEPTED);
    gate[3] = EVENT_THROTTLED;
    gate[10] = EVENT_NO_KEY_FRAME;
    gate[15] = EVENT_GATE_EXPIRED;
    gate[20] = EVENT_REFUSED;
    Start("DemoSource.so", true, static_cast<int>(std::chrono::milliseconds(PATIENCE).count()), gate);
    ASSERT_EQ(dvr_harness_info(h)->providerID, SOURCE_ID);
    ASSERT_EQ(dvr_harness_wait_events(h, EVT_VIDEO, 70, -1), DVR_HARNESS_OK);
    // The totals so far, while frames still flow: whole and consistent.
    unsigned sent = 0, accepted = 0, dropped = 0;
    ASSERT_EQ(
        sscanf(AskParent(0x0A0).c_str(), "source: %u frames sent, %u accepted, %u dropped", &sent, &accepted, &dropped),
        3);
    EXPECT_EQ(sent, accepted + dropped);
    EXPECT_GE(dropped, 4u);
    ASSERT_EQ(dvr_harness_close(h), 0);

    std::vector<const dvr_harness_event*> video = Raised(EVT_VIDEO);
    std::vector<const dvr_harness_event*> audio = Raised(EVT_AUDIO);
    std::map<int32_t, uint64_t> answers; // every answer the source got, by result
    std::vector<uint32_t> keyFrames;
    for (uint32_t i = 0; i < video.size(); ++i) {
        EXPECT_TRUE(Bytes(video[i]) == MakeFrame(EVT_VIDEO, i, video[i]->record.len)) << i;
        EXPECT_EQ(video[i]->record.eventFlags, MEDIA_FLAGS);
        if (EventKeyFrame(&video[i]->record) == 1)
            keyFrames.push_back(i);
        ++answers[video[i]->answer];
    }
    // The first frame, every 25th, and the one after each answer that means the gate lost its key
    // frame; a plain refusal (the core stopping) needs none.
    std::vector<uint32_t> expected{0, 4, 11, 16, 41, 66, 91, 116, 141};
    expected.erase(std::find_if(expected.begin(), expected.end(), [&](uint32_t i) { return i >= video.size(); }),
                   expected.end());
    EXPECT_EQ(keyFrames, expected);
    for (uint32_t i = 0; i < audio.size(); ++i) {
        EXPECT_TRUE(Bytes(audio[i]) == MakeFrame(EVT_AUDIO, i, 640)) << i;
        EXPECT_EQ(audio[i]->record.eventFlags, MEDIA_FLAGS);
        ++answers[audio[i]->answer];
    }
    // Each tick sends an audio frame, and every second tick a video frame after it.
    EXPECT_TRUE(audio.size() == 2 * video.size() || audio.size() + 1 == 2 * video.size()) << audio.size();

    // Its stats count exactly the answers it got (frames sent as the harness stopped are refused).
    auto stats = ReadStats(dir / "demo_source.stats");
    EXPECT_EQ(stats["video"] + stats["audio"], video.size() + audio.size());
    EXPECT_EQ(stats["keyFrames"], keyFrames.size());
    EXPECT_EQ(stats["accepted"], answers[EVENT_ACCEPTED]);
    EXPECT_LE(sent, stats["video"] + stats["audio"]);
    EXPECT_GE(answers[EVENT_REFUSED], 1u);
    EXPECT_EQ((std::vector<uint64_t>{stats["throttled"], stats["noKeyFrame"], stats["gateExpired"], stats["refused"]}),
              (std::vector<uint64_t>{1, 1, 1, answers[EVENT_REFUSED]}));
}

TEST_F(DemoPlugins, RecorderCountsMissingReorderedAndDamagedFramesAndGivesBackKeptBlocksAtClose)
{
    Start("DemoRecorder.so", false); // no worker: every kept block stays until Close
    ASSERT_EQ(dvr_harness_info(h)->providerID, RECORDER_ID);

    std::vector<std::vector<uint8_t>> video;
    for (uint32_t sequence : {0u, 1u, 2u, 5u, 4u, 6u}) // 3 never comes, 4 comes after 5
        video.push_back(MakeFrame(EVT_VIDEO, sequence, 3000));
    std::vector<std::vector<uint8_t>> audio{MakeFrame(EVT_AUDIO, 7, 640), MakeFrame(EVT_AUDIO, 8, 640),
                                            MakeFrame(EVT_AUDIO, 11, 640)};
    std::vector<std::vector<uint8_t>> damaged{MakeFrame(EVT_VIDEO, 7, 3000), std::vector<uint8_t>(10, 'x'),
                                              MakeFrame(EVT_AUDIO, 7, 640)}; // flipped bit, too short, wrong kind
    damaged[0][2000] ^= 1;

    std::vector<const void*> keptBlocks;
    for (size_t i = 0; i < video.size(); ++i) { // key frames are kept
        const bool keyFrame = i == 0 || i == 5;
        const void* block = Write(EVT_VIDEO, video[i], keyFrame, keyFrame ? 1u : 0u);
        if (keyFrame)
            keptBlocks.push_back(block);
    }
    for (const std::vector<uint8_t>& frame : audio)
        Write(EVT_AUDIO, frame, false, 0);
    for (const std::vector<uint8_t>& frame : damaged) // damaged key frames are not
        Write(EVT_VIDEO, frame, true, 0);
    EXPECT_EQ(AskParent(0x0A1), "recorder: 9 frames, 4 missing, 3 damaged, holding 2");
    EXPECT_EQ(dvr_harness_event_count(h, EVT_RELEASE), 0u);

    ASSERT_EQ(dvr_harness_close(h), 0);
    std::vector<const dvr_harness_event*> releases = Raised(EVT_RELEASE);
    ASSERT_EQ(releases.size(), 2u);
    EXPECT_EQ(releases[0]->record.data, keptBlocks[0]);
    EXPECT_EQ(releases[1]->record.data, keptBlocks[1]);
    EXPECT_EQ(Teardown(), ""); // each given back once, under its own ID, unchanged
    EXPECT_EQ(ReadStats(dir / "demo_recorder.stats"),
              (std::map<std::string, uint64_t>{{"video", 6},
                                               {"keyFrames", 2},
                                               {"audio", 3},
                                               {"bytes", 6 * 3000 + 3 * 640},
                                               {"missing", 4}, // on arrival: video 3 and 4, audio 9 and 10
                                               {"reordered", 1},
                                               {"damaged", 3},
                                               {"kept", 2},
                                               {"released", 2},
                                               {"holding", 0}}));
}

TEST_F(DemoPlugins, RecorderGivesBackKeptBlocksFromItsWorkerWhileRunning)
{
    Start("DemoRecorder.so", true, static_cast<int>(std::chrono::milliseconds(PATIENCE).count()));
    const void* block = Write(EVT_VIDEO, MakeFrame(EVT_VIDEO, 0, 3000), true, 1);
    const dvr_harness_event* release = dvr_harness_wait_event(h, EVT_RELEASE, -1);
    ASSERT_NE(release, nullptr);
    EXPECT_EQ(release->record.data, block);
    EXPECT_EQ(release->thread_role, DVR_HARNESS_THREAD_WORKER);
    ASSERT_EQ(dvr_harness_close(h), 0);
    EXPECT_EQ(dvr_harness_event_count(h, EVT_RELEASE), 1u); // nothing given back twice
}

// Reads packets from the core until one begins with prefix; empty when none comes.
std::string ReceiveReply(const dvr::test::ParentEnd& parent, const std::string& prefix)
{
    while (auto packet = parent.Receive(PATIENCE))
        if (std::string text(packet->begin(), packet->end()); text.rfind(prefix, 0) == 0)
            return text;
    return "";
}

TEST_F(DemoPlugins, InTheCoreFramesReachTheRecorderAndEveryKeptBlockGoesBack)
{
    dvr::test::CoreInstallation install;
    for (const char* name : {"LogPI.so", "DemoSource.so", "DemoRecorder.so"})
        install.AddPlugin(BundledPlugin(name));
    // The core's level-0 lines on the console: a leak report would show there.
    dvr::test::WriteFile(install / "core.xml",
                         R"(<oDVR><Modules><Module><Plugin ID="-2147483648" LogLevel="0"/></Module></Modules></oDVR>)");
    dvr::test::ParentEnd parent;
    auto core = install.Start({std::to_string(parent.CoreDescriptor())}, {parent.CoreDescriptor()});
    parent.ReleaseCoreEnd();
    parent.SendParameters(std::string("ovrimd\0"
                                      "1.0.0",
                                      12));
    ASSERT_TRUE(core->WaitForOutput("successfully started core version", PATIENCE)) << core->Output();
    // Lets frames flow for a while, reading the console meanwhile so the core never blocks on it.
    core->WaitForOutput("text the core never prints", 2500ms);

    unsigned sent = 0;
    unsigned received = 0;
    parent.Send(dvr::MakeParentPacket(0x0A000000, 1, "status", 6)); // module index 0x0A0: the source
    EXPECT_EQ(sscanf(ReceiveReply(parent, "source: ").c_str(), "source: %u frames sent", &sent), 1);
    parent.Send(dvr::MakeParentPacket(0x0A100000, 1, "status", 6)); // 0x0A1: the recorder
    EXPECT_EQ(sscanf(ReceiveReply(parent, "recorder: ").c_str(), "recorder: %u frames", &received), 1);
    EXPECT_GT(sent, 0u);
    EXPECT_GT(received, 0u);

    parent.Send(dvr::MakeParentPacket(0, IPC_STOP, nullptr, 0));
    ASSERT_EQ(core->Wait(PATIENCE), 0) << core->Output() << core->Errors();
    EXPECT_NE(core->Output().find("Core: Loaded plugin: DemoRecorder.so"), std::string::npos) << core->Output();
    EXPECT_EQ(core->Output().find("leaked by plugins"), std::string::npos) << core->Output();

    auto source = ReadStats(install / "demo_source.stats");
    auto recorder = ReadStats(install / "demo_recorder.stats");
    const uint64_t delivered = recorder["video"] + recorder["audio"];
    EXPECT_GT(recorder["video"], 0u);
    EXPECT_GT(recorder["audio"], 0u);
    EXPECT_GT(recorder["kept"], 0u);
    EXPECT_EQ(recorder["released"], recorder["kept"]);
    EXPECT_EQ(recorder["damaged"] + recorder["reordered"] + recorder["holding"], 0u);
    // Every accepted frame arrives, except perhaps the one the source had in hand as the core
    // stopped; every gap is a frame the core did not accept.
    EXPECT_LE(delivered, source["accepted"]);
    EXPECT_LE(source["accepted"], delivered + 1);
    EXPECT_LE(recorder["missing"], source["video"] + source["audio"] - source["accepted"]);
    // The plugins' lines reach the log plugin's file.
    EXPECT_NE(dvr::test::ReadFile(install / "dvrcore.log").find("0x00A00000  25 sending 25 video frames per second"),
              std::string::npos);
}

} // namespace
