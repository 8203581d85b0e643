// The demo source and recorder: each driven through its entry points with a stand-in for the core's
// callback, then both in the real core with the log plugin and a test supervisor.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

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

// One event as the stand-in core saw it.
struct RaisedEvent {
    uint32_t eventType;
    uint32_t eventFlags;
    uint32_t providerID;
    uint8_t keyFrame;
    void* address;              // the data pointer as raised
    std::vector<uint8_t> bytes; // a copy of the data, except for releases
    std::thread::id thread;
};

// The stand-in for the core's callback, which has no context pointer, hence globals: it records
// every event, frees parent packets as the core would, and answers with answer (accepted if unset).
std::mutex raisedLock;
std::condition_variable raisedChanged;
std::vector<RaisedEvent> raised;
std::function<int32_t(const _EventParmsIn&)> answer;

int StandInCallback(void* in, void* out)
{
    auto* event = static_cast<_EventParmsIn*>(in);
    RaisedEvent copy{.eventType = event->eventType,
                     .eventFlags = event->eventFlags,
                     .providerID = event->providerID,
                     .keyFrame = EventKeyFrame(event),
                     .address = event->data,
                     .bytes = {},
                     .thread = std::this_thread::get_id()};
    if (event->eventType != EVT_RELEASE && event->data != nullptr)
        copy.bytes.assign(static_cast<uint8_t*>(event->data), static_cast<uint8_t*>(event->data) + event->len);
    if (event->eventType == EVT_PARENT_SEND)
        free(event->data);
    std::lock_guard lock(raisedLock);
    if (event->eventType != EVT_RELEASE)
        static_cast<_EventParmsOut*>(out)->result = answer ? answer(*event) : EVENT_ACCEPTED;
    raised.push_back(std::move(copy));
    raisedChanged.notify_all();
    return 0;
}

std::vector<RaisedEvent> Raised(uint32_t eventType)
{
    std::lock_guard lock(raisedLock);
    std::vector<RaisedEvent> found;
    std::copy_if(raised.begin(), raised.end(), std::back_inserter(found),
                 [&](const RaisedEvent& event) { return event.eventType == eventType; });
    return found;
}

// Waits until at least count events of eventType were raised; false when they never are.
bool WaitForRaised(uint32_t eventType, size_t count)
{
    auto enough = [&] {
        auto ofType = [&](const RaisedEvent& event) { return event.eventType == eventType; };
        return static_cast<size_t>(std::count_if(raised.begin(), raised.end(), ofType)) >= count;
    };
    std::unique_lock lock(raisedLock);
    return raisedChanged.wait_for(lock, PATIENCE, enough);
}

// One plugin file loaded into the test and called the way the core calls it.
class LoadedPlugin {
public:
    explicit LoadedPlugin(const std::string& path)
        : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL))
    {
        _LoadParmsIn in{sizeof in, LOAD_PARMS_IN_VERSION, nullptr, StandInCallback, "", 0};
        info.size = sizeof info;
        info.version = LOAD_PARMS_OUT_VERSION;
        if (handle_ == nullptr || Call("Load", &in, &info) != 0)
            throw std::runtime_error("cannot load " + path);
    }
    ~LoadedPlugin()
    {
        Close();
        _UnloadParmsIn in{sizeof in, UNLOAD_PARMS_IN_VERSION};
        _UnloadParmsOut out{sizeof out, UNLOAD_PARMS_OUT_VERSION, 0};
        Call("Unload", &in, &out);
        dlclose(handle_);
    }

    void StartWorker()
    {
        worker_ = std::thread([this] { Ioctl(IOCTL_WORKER, nullptr, 0); });
    }
    std::thread::id WorkerId() const { return worker_.get_id(); }
    void Open()
    {
        _OpenParmsIn in{sizeof in, OPEN_PARMS_IN_VERSION, {0, 0}, 0};
        _OpenParmsOut out{sizeof out, OPEN_PARMS_OUT_VERSION, {0, 0}};
        EXPECT_EQ(Call("Open", &in, &out), 0);
    }
    // Closes the plugin (once) and joins its worker, as the core does.
    void Close()
    {
        _CloseParmsIn in{sizeof in, CLOSE_PARMS_IN_VERSION, 0};
        _CloseParmsOut out{sizeof out, CLOSE_PARMS_OUT_VERSION, 0};
        if (!closed_) {
            EXPECT_EQ(Call("Close", &in, &out), 0);
            closed_ = true;
        }
        if (worker_.joinable())
            worker_.join();
    }
    int Ioctl(uint32_t command, void* data, uint32_t len)
    {
        uint32_t subSize = data == nullptr ? IOCTL_SUB_SIZE_NO_DATA : IOCTL_SUB_SIZE_DATA;
        _IoctlParmsIn in{sizeof in, IOCTL_PARMS_IN_VERSION, command, subSize, IOCTL_SUB_VERSION, len, data};
        _IoctlParmsOut out{sizeof out, IOCTL_PARMS_OUT_VERSION, command, 0, 0, 0, 0};
        out.subSize = IOCTL_SUB_SIZE_NO_DATA; // as the core pre-sets the result's sub-record
        out.subVersion = IOCTL_SUB_VERSION;
        return Call("IOCTL", &in, &out);
    }
    // Delivers a frame of the source as the event bus would; returns the keep word.
    uint32_t Write(uint32_t eventType, std::vector<uint8_t>& frame, uint8_t keyFrame = 0)
    {
        _WriteParmsIn in{};
        in.size = sizeof in;
        in.version = WRITE_PARMS_IN_VERSION;
        in.len = static_cast<uint32_t>(frame.size());
        in.data = frame.data();
        in.providerID = SOURCE_ID;
        in.eventType = eventType;
        in.eventFlags = MEDIA_FLAGS;
        in.extra[EVENT_EXTRA_KEY_FRAME] = keyFrame;
        _WriteParmsOut out{sizeof out, WRITE_PARMS_OUT_VERSION, {0, 0}, 0, 0};
        EXPECT_EQ(Call("Write", &in, &out), 0);
        return out.keep;
    }
    // Sends a parent packet; returns the text of the packet sent back, if one was.
    std::string AskParent()
    {
        std::vector<uint8_t> packet = dvr::MakeParentPacket(0, 1, "status", 6);
        size_t before = Raised(EVT_PARENT_SEND).size();
        EXPECT_EQ(Ioctl(IOCTL_PARENT, packet.data(), static_cast<uint32_t>(packet.size())), 0);
        std::vector<RaisedEvent> replies = Raised(EVT_PARENT_SEND);
        return replies.size() == before + 1 ? std::string(replies.back().bytes.begin(), replies.back().bytes.end())
                                            : "";
    }

    _LoadParmsOut info{};

private:
    int Call(const char* name, void* in, void* out)
    {
        auto entry = reinterpret_cast<PluginEntryPoint>(dlsym(handle_, name));
        return entry == nullptr ? PLUGIN_ENTRY_UNAVAILABLE : entry(in, out);
    }

    void* handle_;
    std::thread worker_;
    bool closed_ = false;
};

// Each test in a fresh working folder, where the plugins write their stats, with no events yet.
class DemoPlugins : public ::testing::Test {
protected:
    DemoPlugins()
        : previous_(std::filesystem::current_path())
    {
        std::filesystem::current_path(dir.Path());
        std::lock_guard lock(raisedLock);
        raised.clear();
        answer = nullptr;
    }
    ~DemoPlugins() override { std::filesystem::current_path(previous_); }

    dvr::test::TemporaryDirectory dir;

private:
    std::filesystem::path previous_;
};

TEST_F(DemoPlugins, SourceNumbersIntactFramesAndSendsKeyFramesAsTheGateNeeds)
{
    LoadedPlugin source(BundledPlugin("DemoSource.so"));
    ASSERT_EQ(source.info.providerID, SOURCE_ID);
    // The gate's answers to some video frames, by sequence number; everything else is accepted.
    const std::map<uint32_t, int32_t> gate{
        {3, EVENT_THROTTLED}, {10, EVENT_NO_KEY_FRAME}, {15, EVENT_GATE_EXPIRED}, {20, EVENT_REFUSED}};
    answer = [&](const _EventParmsIn& event) {
        auto found = event.eventType == EVT_VIDEO ? gate.find(static_cast<const uint32_t*>(event.data)[2]) : gate.end();
        return found == gate.end() ? EVENT_ACCEPTED : found->second;
    };
    source.StartWorker();
    source.Open();
    ASSERT_TRUE(WaitForRaised(EVT_VIDEO, 70));
    source.Close();

    std::vector<RaisedEvent> video = Raised(EVT_VIDEO);
    std::vector<RaisedEvent> audio = Raised(EVT_AUDIO);
    std::vector<uint32_t> keyFrames;
    for (uint32_t i = 0; i < video.size(); ++i) {
        EXPECT_TRUE(video[i].bytes == MakeFrame(EVT_VIDEO, i, static_cast<uint32_t>(video[i].bytes.size()))) << i;
        EXPECT_EQ(video[i].eventFlags, MEDIA_FLAGS);
        if (video[i].keyFrame == 1)
            keyFrames.push_back(i);
    }
    // The first frame, every 25th, and the one after each answer that means the gate lost its key
    // frame; a plain refusal (the core stopping) needs none.
    std::vector<uint32_t> expected{0, 4, 11, 16, 41, 66, 91, 116, 141};
    expected.erase(std::find_if(expected.begin(), expected.end(), [&](uint32_t i) { return i >= video.size(); }),
                   expected.end());
    EXPECT_EQ(keyFrames, expected);
    for (uint32_t i = 0; i < audio.size(); ++i) {
        EXPECT_TRUE(audio[i].bytes == MakeFrame(EVT_AUDIO, i, 640)) << i;
        EXPECT_EQ(audio[i].eventFlags, MEDIA_FLAGS);
    }
    // Each tick sends an audio frame, and every second tick a video frame after it.
    EXPECT_TRUE(audio.size() == 2 * video.size() || audio.size() + 1 == 2 * video.size()) << audio.size();

    auto stats = ReadStats(dir / "demo_source.stats");
    const uint64_t sent = video.size() + audio.size();
    EXPECT_EQ(stats["keyFrames"], keyFrames.size());
    EXPECT_EQ(stats["accepted"], sent - 4);
    EXPECT_EQ((std::vector<uint64_t>{stats["throttled"], stats["noKeyFrame"], stats["gateExpired"], stats["refused"]}),
              (std::vector<uint64_t>{1, 1, 1, 1}));
    EXPECT_EQ(source.AskParent(),
              "source: " + std::to_string(sent) + " frames sent, " + std::to_string(sent - 4) + " accepted, 4 dropped");
}

TEST_F(DemoPlugins, RecorderCountsMissingReorderedAndDamagedFramesAndGivesBackKeptBlocksAtClose)
{
    LoadedPlugin recorder(BundledPlugin("DemoRecorder.so"));
    ASSERT_EQ(recorder.info.providerID, RECORDER_ID);
    recorder.Open(); // no worker: every kept block stays until Close

    std::vector<std::vector<uint8_t>> video;
    for (uint32_t sequence : {0u, 1u, 2u, 5u, 4u, 6u}) // 3 never comes, 4 comes after 5
        video.push_back(MakeFrame(EVT_VIDEO, sequence, 3000));
    std::vector<std::vector<uint8_t>> audio{MakeFrame(EVT_AUDIO, 7, 640), MakeFrame(EVT_AUDIO, 8, 640),
                                            MakeFrame(EVT_AUDIO, 11, 640)};
    std::vector<std::vector<uint8_t>> damaged{MakeFrame(EVT_VIDEO, 7, 3000), std::vector<uint8_t>(10, 'x'),
                                              MakeFrame(EVT_AUDIO, 7, 640)}; // flipped bit, too short, wrong kind
    damaged[0][2000] ^= 1;

    for (size_t i = 0; i < video.size(); ++i) // key frames are kept
        EXPECT_EQ(recorder.Write(EVT_VIDEO, video[i], i == 0 || i == 5), i == 0 || i == 5 ? 1u : 0u) << i;
    for (std::vector<uint8_t>& frame : audio)
        EXPECT_EQ(recorder.Write(EVT_AUDIO, frame), 0u);
    for (std::vector<uint8_t>& frame : damaged) // damaged key frames are not
        EXPECT_EQ(recorder.Write(EVT_VIDEO, frame, 1), 0u);
    EXPECT_EQ(recorder.AskParent(), "recorder: 9 frames, 4 missing, 3 damaged, holding 2");
    EXPECT_TRUE(Raised(EVT_RELEASE).empty());

    recorder.Close();
    std::vector<RaisedEvent> releases = Raised(EVT_RELEASE);
    ASSERT_EQ(releases.size(), 2u);
    EXPECT_EQ(releases[0].address, video[0].data());
    EXPECT_EQ(releases[1].address, video[5].data());
    EXPECT_EQ(releases[0].providerID, RECORDER_ID);
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
    LoadedPlugin recorder(BundledPlugin("DemoRecorder.so"));
    recorder.StartWorker();
    recorder.Open();
    std::vector<uint8_t> keyFrame = MakeFrame(EVT_VIDEO, 0, 3000);
    ASSERT_EQ(recorder.Write(EVT_VIDEO, keyFrame, 1), 1u);
    ASSERT_TRUE(WaitForRaised(EVT_RELEASE, 1));
    EXPECT_EQ(Raised(EVT_RELEASE)[0].address, keyFrame.data());
    EXPECT_EQ(Raised(EVT_RELEASE)[0].thread, recorder.WorkerId());
    recorder.Close();
    EXPECT_EQ(Raised(EVT_RELEASE).size(), 1u); // nothing given back twice
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
