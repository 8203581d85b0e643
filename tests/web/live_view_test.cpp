// The live view on the plugin author's harness: a clip's frames in through Write, WebSocket viewers
// on 127.0.0.1 out. What a viewer receives must decode, start at a key frame and start again on new
// parameters; a viewer that never reads must cost only itself; and nobody unauthenticated is upgraded.
#include "web_client.h"

#include <dvrcore/harness.h>
#include <dvrcore/media.h>
#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include <crypt.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace web::test;
using json = nlohmann::json;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = boost::asio::ip::tcp;

constexpr uint32_t SOURCE_ID = 0x00A20000;
constexpr uint32_t CAMERA = 1;

// A clip's parameters and frames as MediaSource sends them: each event's data ready to push.
struct Clip {
    std::vector<uint8_t> params;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> frames; // EVT_VIDEO or EVT_AUDIO, data
    size_t largestFrame = 0;
};

Clip ReadClip(const std::string& path)
{
    Clip clip;
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(input, nullptr) < 0) {
        ADD_FAILURE() << "cannot read " << path;
        return clip;
    }
    _DvrMediaParams params{};
    params.size = sizeof params;
    params.version = DVR_MEDIA_PARAMS_VERSION;
    params.camera = CAMERA;
    params.generation = 1;
    std::strcpy(params.name, "cam");
    std::vector<uint8_t> video;
    std::vector<uint8_t> audio;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVCodecParameters* codec = input->streams[i]->codecpar;
        const std::vector<uint8_t> extradata(codec->extradata, codec->extradata + codec->extradata_size);
        if (codec->codec_id == AV_CODEC_ID_H264) {
            params.videoCodec = DVR_CODEC_H264;
            params.width = static_cast<uint32_t>(codec->width);
            params.height = static_cast<uint32_t>(codec->height);
            video = extradata;
        } else if (codec->codec_id == AV_CODEC_ID_AAC) {
            params.audioCodec = DVR_CODEC_AAC;
            params.sampleRate = static_cast<uint32_t>(codec->sample_rate);
            params.channels = static_cast<uint32_t>(codec->ch_layout.nb_channels);
            audio = extradata;
        }
    }
    params.videoExtradataLength = static_cast<uint32_t>(video.size());
    params.audioExtradataLength = static_cast<uint32_t>(audio.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(&params);
    clip.params.assign(bytes, bytes + sizeof params);
    clip.params.insert(clip.params.end(), video.begin(), video.end());
    clip.params.insert(clip.params.end(), audio.begin(), audio.end());
    AVPacket* packet = av_packet_alloc();
    uint32_t sequence[2] = {};
    while (av_read_frame(input, packet) >= 0) {
        const AVStream* stream = input->streams[packet->stream_index];
        const bool isVideo = stream->codecpar->codec_id == AV_CODEC_ID_H264;
        if (isVideo || stream->codecpar->codec_id == AV_CODEC_ID_AAC) {
            const AVRational clock{1, DVR_MEDIA_CLOCK_RATE};
            _DvrMediaFrame frame{};
            frame.size = sizeof frame;
            frame.version = DVR_MEDIA_FRAME_VERSION;
            frame.camera = CAMERA;
            frame.sequence = sequence[isVideo ? 0 : 1]++;
            frame.dts = av_rescale_q(packet->dts, stream->time_base, clock);
            frame.pts = av_rescale_q(packet->pts, stream->time_base, clock);
            frame.duration = static_cast<uint32_t>(av_rescale_q(packet->duration, stream->time_base, clock));
            frame.flags = (packet->flags & AV_PKT_FLAG_KEY) != 0 && isVideo ? DVR_MEDIA_KEY_FRAME : 0;
            std::vector<uint8_t> data(reinterpret_cast<const uint8_t*>(&frame),
                                      reinterpret_cast<const uint8_t*>(&frame) + sizeof frame);
            data.insert(data.end(), packet->data, packet->data + packet->size);
            clip.largestFrame = std::max(clip.largestFrame, data.size());
            clip.frames.emplace_back(isVideo ? EVT_VIDEO : EVT_AUDIO, std::move(data));
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&input);
    return clip;
}

// A WebSocket viewer of /live/cam; every step bounded (asynchronous, run for at most 10 s).
class Viewer {
public:
    // receiveBuffer: a small one makes a viewer that never reads hold up the server soon. Throws
    // when the server refuses the upgrade.
    Viewer(uint16_t port, const std::string& cookie = "", int receiveBuffer = 0)
    {
        tcp::socket& socket = ws_.next_layer();
        socket.open(tcp::v4());
        if (receiveBuffer > 0)
            socket.set_option(boost::asio::socket_base::receive_buffer_size(receiveBuffer));
        socket.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
        ws_.set_option(websocket::stream_base::decorator([cookie](websocket::request_type& request) {
            if (!cookie.empty())
                request.set(beast::http::field::cookie, cookie);
        }));
        beast::error_code ec = boost::asio::error::timed_out;
        ws_.async_handshake("127.0.0.1", "/live/cam", [&](beast::error_code done) { ec = done; });
        if (!Run() || ec)
            throw boost::system::system_error(ec);
    }

    // The next message: its text, or its bytes for a binary one; empty with ended set when the
    // connection ended, and a failure when nothing came within 10 s.
    std::string Read(bool& text, bool* ended = nullptr)
    {
        beast::flat_buffer buffer;
        beast::error_code ec = boost::asio::error::timed_out;
        ws_.async_read(buffer, [&](beast::error_code done, size_t) { ec = done; });
        const bool inTime = Run();
        EXPECT_TRUE(inTime) << "nothing came within 10 s";
        if (ended != nullptr)
            *ended = inTime && ec;
        else
            EXPECT_FALSE(ec) << ec.message();
        text = ws_.got_text();
        return ec ? std::string() : beast::buffers_to_string(buffer.data());
    }
    // A TEXT message as JSON, and the BINARY message after it (none after "skipped").
    json ReadPacket(std::string* binary)
    {
        bool text = false;
        const json head = json::parse(Read(text), nullptr, false);
        EXPECT_TRUE(text && head.is_object()) << head.dump();
        if (head.is_object() && head.value("type", "") != "skipped") {
            *binary = Read(text);
            EXPECT_FALSE(text);
        }
        return head;
    }

private:
    // Runs the operation started; false when it had not ended within 10 s (it is cancelled then).
    bool Run()
    {
        io_.restart();
        io_.run_for(std::chrono::seconds(10));
        if (io_.stopped())
            return true;
        beast::error_code ignored;
        ws_.next_layer().cancel(ignored);
        io_.restart();
        io_.run();
        return false;
    }

    boost::asio::io_context io_;
    websocket::stream<tcp::socket> ws_{io_};
};

class LiveViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/live_view_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        ASSERT_EQ(chdir(folder_.c_str()), 0);
    }
    void TearDown() override
    {
        if (h_ != nullptr) {
            char report[4096] = "";
            EXPECT_EQ(dvr_harness_teardown(h_, report, sizeof report), 0u) << report;
        }
        EXPECT_EQ(chdir("/"), 0);
        std::filesystem::remove_all(folder_);
    }

    uint16_t Open(const std::string& users = "")
    {
        std::ofstream(folder_ / "web_view.xml") << "<WebView port=\"0\" recordings=\"rec\">" << users << "</WebView>\n";
        h_ = dvr_harness_new(WEB_VIEW_PLUGIN);
        EXPECT_EQ(dvr_harness_load(h_), DVR_HARNESS_OK) << dvr_harness_load_refusal(h_);
        EXPECT_EQ(dvr_harness_open(h_), DVR_HARNESS_OK);
        for (size_t i = 0; i < dvr_harness_event_count(h_, EVT_LOG); ++i) {
            const std::string line = static_cast<const char*>(dvr_harness_event_at(h_, EVT_LOG, i)->data);
            const size_t at = line.find("://127.0.0.1:");
            if (at != std::string::npos)
                return port_ = static_cast<uint16_t>(std::stoi(line.substr(at + 13)));
        }
        ADD_FAILURE() << "no line names the port";
        return 0;
    }

    void Push(uint32_t kind, const std::vector<uint8_t>& data, int64_t shift = 0)
    {
        std::vector<uint8_t> copy = data;
        if (kind != DVR_EVT_MEDIA_PARAMS) {
            _DvrMediaFrame frame;
            std::memcpy(&frame, copy.data(), sizeof frame);
            frame.dts += shift;
            frame.pts += shift;
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            frame.captureTimeNs = int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
            std::memcpy(copy.data(), &frame, sizeof frame);
        }
        _EventParmsIn event =
            kind == DVR_EVT_MEDIA_PARAMS
                ? DvrMediaParamsEvent(SOURCE_ID, reinterpret_cast<const _DvrMediaParams*>(copy.data()),
                                      static_cast<uint32_t>(copy.size()))
                : DvrFrameEvent(SOURCE_ID, kind, EVF_MEDIA_GATED | DVR_MEDIA_CAMERA_KEY(CAMERA), copy.data(),
                                static_cast<uint32_t>(copy.size()), 0);
        uint32_t keep = 1;
        ASSERT_EQ(dvr_harness_push(h_, &event, &keep), DVR_HARNESS_OK);
        EXPECT_EQ(keep, 0u);
    }

    // The camera's live figures in /api/status.
    json Live(const std::string& cookie = "")
    {
        const Answer status = Fetch(port_, "/api/status", cookie.empty() ? "" : "Cookie: " + cookie + "\r\n");
        const json body = json::parse(status.body, nullptr, false);
        if (!body.is_object() || body["cameras"].empty())
            return json::object();
        return body["cameras"][0]["live"];
    }

    // Waits until the camera has this many viewers.
    void AwaitViewers(uint64_t count)
    {
        for (int i = 0; i < 1000 && Live().value("viewers", uint64_t{0}) != count; ++i)
            usleep(10'000);
        ASSERT_EQ(Live().value("viewers", uint64_t{0}), count) << "the viewers never came";
    }

    std::filesystem::path folder_;
    dvr_harness* h_ = nullptr;
    uint16_t port_ = 0;
};

// What a tool run with -v error prints (empty for `ffmpeg -i FILE -f null -` when FILE decodes whole).
std::string RunTool(const std::string& tool, const std::string& arguments)
{
    const std::string command = "timeout 60 " + tool + " -v error " + arguments + " 2>&1";
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        while (fgets(buffer, sizeof buffer, pipe) != nullptr)
            output += buffer;
        if (pclose(pipe) != 0)
            output += "(exit status not 0)";
    }
    return output;
}

TEST_F(LiveViewTest, AViewerGetsAnInitSegmentThenFragmentsFromAKeyFrameThatDecode)
{
    const Clip clip = ReadClip(MEDIA_CLIP_DIR "/h264_aac.mp4");
    ASSERT_GT(clip.frames.size(), 100u);
    ASSERT_NE(Open(), 0);
    Push(DVR_EVT_MEDIA_PARAMS, clip.params);
    Viewer viewer(port_);
    AwaitViewers(1);

    // The clip from its second video frame: the viewer waits for the key frame a second later.
    size_t pushedVideo = 0;
    size_t firstKey = 0;
    bool first = true;
    for (size_t i = 0; i < clip.frames.size(); ++i) {
        if (clip.frames[i].first == EVT_VIDEO && std::exchange(first, false))
            continue;
        Push(clip.frames[i].first, clip.frames[i].second);
        if (clip.frames[i].first == EVT_VIDEO) {
            ++pushedVideo;
            const auto* frame = reinterpret_cast<const _DvrMediaFrame*>(clip.frames[i].second.data());
            if (firstKey == 0 && (frame->flags & DVR_MEDIA_KEY_FRAME) != 0)
                firstKey = pushedVideo;
        }
    }
    ASSERT_GT(firstKey, 1u);
    std::string init;
    const json head = viewer.ReadPacket(&init);
    EXPECT_EQ(head.value("type", ""), "init");
    EXPECT_EQ(head.value("codecs", "").substr(0, 5), "avc1.");
    EXPECT_NE(head.value("codecs", "").find(",mp4a.40.2"), std::string::npos) << head.dump();
    EXPECT_EQ(head.value("width", 0), 320);
    EXPECT_EQ(head.value("height", 0), 240);
    std::string stream = init;
    for (size_t i = firstKey; i <= pushedVideo; ++i) {
        std::string fragment;
        const json message = viewer.ReadPacket(&fragment);
        ASSERT_EQ(message.value("type", ""), "fragment") << message.dump();
        EXPECT_EQ(message.value("key", false), i == firstKey || (i - firstKey) % 25 == 0) << i;
        EXPECT_GT(message.value("captureMs", int64_t{0}), int64_t{1'600'000'000'000});
        stream += fragment;
    }
    std::ofstream("live.mp4", std::ios::binary) << stream;
    EXPECT_EQ(RunTool(MEDIA_FFMPEG, "-i live.mp4 -f null -"), "");
    EXPECT_EQ(RunTool(MEDIA_FFPROBE,
                      "-select_streams v -show_entries stream=width,height,nb_read_frames -count_frames -of csv=p=0 "
                      "live.mp4"),
              "320,240," + std::to_string(pushedVideo - firstKey + 1) + "\n");

    // New parameters: a new init segment, and fragments again from the next key frame.
    Push(DVR_EVT_MEDIA_PARAMS, clip.params);
    const int64_t later = 100 * DVR_MEDIA_CLOCK_RATE;
    for (size_t i = 0; i < 30; ++i)
        Push(clip.frames[i].first, clip.frames[i].second, later);
    std::string again;
    EXPECT_EQ(viewer.ReadPacket(&again).value("type", ""), "init");
    EXPECT_EQ(again, init);
    std::string fragment;
    const json next = viewer.ReadPacket(&fragment);
    EXPECT_EQ(next.value("type", ""), "fragment");
    EXPECT_TRUE(next.value("key", false));
    EXPECT_GE(Live().value("fragmentsSent", uint64_t{0}), pushedVideo - firstKey + 2);
}

TEST_F(LiveViewTest, AViewerThatNeverReadsIsSkippedWithinItsBoundWhileAnotherGetsEveryFragment)
{
    const Clip clip = ReadClip(MEDIA_CLIP_DIR "/busy.mp4");
    ASSERT_GT(clip.frames.size(), 50u);
    ASSERT_NE(Open(), 0);
    Push(DVR_EVT_MEDIA_PARAMS, clip.params);
    Viewer reader(port_);
    Viewer stuck(port_, "", 4096);
    AwaitViewers(2);
    std::string bytes;
    // The clip looped until the stuck viewer was skipped, each frame read by the other viewer before
    // the next one goes in, so the live thread never has more than one frame waiting.
    const int64_t loop = 4 * DVR_MEDIA_CLOCK_RATE;
    size_t frames = 0;
    json live = json::object();
    for (int round = 0; round < 40 && live.value("skips", uint64_t{0}) == 0; ++round) {
        for (const auto& [kind, data] : clip.frames) {
            Push(kind, data, round * loop);
            if (kind != EVT_VIDEO)
                continue;
            if (frames == 0) {
                ASSERT_EQ(reader.ReadPacket(&bytes).value("type", ""), "init");
            }
            const json message = reader.ReadPacket(&bytes);
            ASSERT_EQ(message.value("type", ""), "fragment") << message.dump();
            ASSERT_EQ(message.value("key", false), frames % 25 == 0) << frames;
            ++frames;
        }
        live = Live();
    }
    EXPECT_GE(live.value("skips", uint64_t{0}), 1u) << live.dump();
    EXPECT_GE(live.value("skippedFragments", uint64_t{0}), 1u) << live.dump();
    EXPECT_EQ(live.value("inboxDropped", uint64_t{1}), 0u) << live.dump();
    EXPECT_LE(live.value("peakViewerBytes", uint64_t{0}), 4 * 1024 * 1024 + 2 * clip.largestFrame + 1024)
        << live.dump();
    EXPECT_EQ(live.value("fragmentsSent", uint64_t{0}) >= frames, true) << live.dump();

    // Close ends both viewers, the one that never read included.
    EXPECT_EQ(dvr_harness_close(h_), 0);
    for (Viewer* viewer : {&reader, &stuck}) {
        bool text = false;
        bool ended = false;
        for (int i = 0; i < 100'000 && !ended; ++i)
            viewer->Read(text, &ended);
        EXPECT_TRUE(ended);
    }
}

// A crypt hash of password, as `openssl passwd -6` makes one.
std::string HashOf(const char* password)
{
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    EXPECT_NE(crypt_gensalt_rn("$6$", 0, nullptr, 0, salt, sizeof salt), nullptr);
    crypt_data data{};
    return crypt_r(password, salt, &data);
}

TEST_F(LiveViewTest, TheLiveRouteNeedsASessionAKnownCameraAndAnUpgrade)
{
    ASSERT_NE(Open("<User name=\"alice\" hash=\"" + HashOf("s3cret word") + "\"/>"), 0);
    const Clip clip = ReadClip(MEDIA_CLIP_DIR "/h264_aac.mp4");
    Push(DVR_EVT_MEDIA_PARAMS, clip.params);
    const std::string upgrade = "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    EXPECT_EQ(Fetch(port_, "/live/cam", upgrade).status, 401);
    EXPECT_THROW(Viewer refused(port_), boost::system::system_error);

    const Answer login = Fetch(port_, "/api/login", "Content-Type: application/json\r\n", "POST",
                               "{\"name\":\"alice\",\"password\":\"s3cret word\"}");
    ASSERT_EQ(login.status, 200);
    const std::string session = login.Header("Set-Cookie").substr(0, login.Header("Set-Cookie").find(';'));
    EXPECT_EQ(Fetch(port_, "/live/other", "Cookie: " + session + "\r\n" + upgrade).status, 404);
    EXPECT_EQ(Fetch(port_, "/live/cam", "Cookie: " + session + "\r\n").status, 426);
    // Another site's page opens no live view with the user's browser (and its cookie).
    EXPECT_EQ(Fetch(port_, "/live/cam", "Cookie: " + session + "\r\nOrigin: http://evil.example\r\n" + upgrade).status,
              403);

    // Viewers count against the connections of an address (32): one more connection is not served
    // until one of them leaves.
    std::vector<std::unique_ptr<Viewer>> viewers;
    for (int i = 0; i < 32; ++i)
        viewers.push_back(std::make_unique<Viewer>(port_, session));
    EXPECT_EQ(Fetch(port_, "/api/cameras", "Cookie: " + session + "\r\n").status, 0);
    viewers.pop_back();
    json live = Live(session);
    for (int i = 0; i < 1000 && live.value("viewers", uint64_t{0}) != 31; ++i) {
        usleep(10'000);
        live = Live(session);
    }
    EXPECT_EQ(live.value("viewers", uint64_t{0}), 31u) << live.dump();
}

} // namespace
