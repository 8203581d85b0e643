// SegmentRecorder.so driven through the plugin harness as a media source would drive it: clips made
// with the ffmpeg tool are read with libavformat and pushed as stream parameters and frames; the
// files it writes are checked with ffmpeg and ffprobe.
#include "fault_injection.h"
#include "ffmpeg_log.h"

#include <dvrcore/harness.h>
#include <dvrcore/media.h>
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <mutex>

// Every fdatasync of the recorder's files: this executable exports fdatasync, so the plugin it
// loads calls this one instead of the C library's.
namespace {
struct FileSync {
    std::string name;  // the file's name
    uint64_t bytes;    // its size when synced
    bool listedBefore; // its day's index already said complete
};
std::mutex syncMutex;
std::vector<FileSync> fileSyncs;    // guarded by syncMutex
std::atomic<bool> failSyncs{false}; // every fdatasync fails with EIO
} // namespace

extern "C" int fdatasync(int fd)
{
    char link[64];
    char target[4096] = {};
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, target, sizeof target - 1);
    struct stat info {};
    if (length > 0 && fstat(fd, &info) == 0) {
        const std::filesystem::path path(target);
        std::ifstream index(path.parent_path() / "index.txt");
        const std::string text((std::istreambuf_iterator<char>(index)), std::istreambuf_iterator<char>());
        const size_t line = text.rfind("\n" + path.filename().string() + " "); // its latest line
        const bool complete = line != std::string::npos &&
                              text.substr(line, text.find('\n', line) - line).find(" complete") != std::string::npos;
        const std::lock_guard lock(syncMutex);
        fileSyncs.push_back({path.filename().string(), static_cast<uint64_t>(info.st_size), complete});
    }
    if (failSyncs) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(syscall(SYS_fdatasync, fd));
}

namespace {

namespace fs = std::filesystem;

constexpr uint32_t SOURCE_ID = 0x00A20000;
constexpr uint32_t RECORDER_TARGET = 0x0A300000; // parent packets for module 0x0A3
constexpr int64_t CLOCK_RATE = DVR_MEDIA_CLOCK_RATE;
constexpr int64_t START_NS = 1767323045LL * 1000000000LL; // 2026-01-02 03:04:05 UTC

struct Sample {
    uint32_t kind;
    int64_t dts;
    int64_t pts;
    uint32_t duration;
    bool key;
    std::vector<uint8_t> bytes;
    bool noDts = false; // sent as a frame the stream gave no decode time (dts a copy of pts)
};

// A clip as a source sends it: its stream parameters and its frames in file order, times in 1/90,000 s.
struct Clip {
    _DvrMediaParams params{};
    std::vector<uint8_t> extradata; // video, then audio
    std::vector<Sample> samples;
    size_t videoFrames = 0;
};

std::string Shell(const std::string& command, int* status = nullptr)
{
    std::string output;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    char buffer[4096];
    size_t n;
    while (pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    int result = pipe != nullptr ? pclose(pipe) : -1;
    if (status != nullptr)
        *status = result;
    return output;
}

uint32_t CodecOf(AVCodecID id)
{
    switch (id) {
    case AV_CODEC_ID_H264: return DVR_CODEC_H264;
    case AV_CODEC_ID_AAC: return DVR_CODEC_AAC;
    case AV_CODEC_ID_PCM_ALAW: return DVR_CODEC_ALAW;
    default: return 0;
    }
}

// The clip's frames; with annexB its video as Annex B with the parameter sets in band only, as a
// camera without extradata sends it.
Clip ReadClip(const std::string& path, bool annexB = false)
{
    Clip clip;
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(input, nullptr) < 0) {
        ADD_FAILURE() << "cannot read " << path;
        return clip;
    }
    const int video = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const int audio = av_find_best_stream(input, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    const AVCodecParameters* v = input->streams[video]->codecpar;
    const AVCodecParameters* a = input->streams[audio]->codecpar;
    _DvrMediaParams& p = clip.params;
    p.size = sizeof p;
    p.version = DVR_MEDIA_PARAMS_VERSION;
    p.generation = 1;
    p.videoCodec = CodecOf(v->codec_id);
    p.width = static_cast<uint32_t>(v->width);
    p.height = static_cast<uint32_t>(v->height);
    p.videoExtradataLength = static_cast<uint32_t>(v->extradata_size);
    p.audioCodec = CodecOf(a->codec_id);
    p.sampleRate = static_cast<uint32_t>(a->sample_rate);
    p.channels = static_cast<uint32_t>(a->ch_layout.nb_channels);
    p.audioExtradataLength = static_cast<uint32_t>(a->extradata_size);
    std::strcpy(p.name, "front");
    clip.extradata.assign(v->extradata, v->extradata + v->extradata_size);
    clip.extradata.insert(clip.extradata.end(), a->extradata, a->extradata + a->extradata_size);
    AVBSFContext* toAnnexB = nullptr;
    if (annexB) {
        clip.extradata.erase(clip.extradata.begin(), clip.extradata.begin() + p.videoExtradataLength);
        p.videoExtradataLength = 0;
        av_bsf_alloc(av_bsf_get_by_name("h264_mp4toannexb"), &toAnnexB);
        avcodec_parameters_copy(toAnnexB->par_in, v);
        toAnnexB->time_base_in = input->streams[video]->time_base;
        EXPECT_EQ(av_bsf_init(toAnnexB), 0);
    }
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(input, packet) >= 0) {
        if (toAnnexB != nullptr && packet->stream_index == video) {
            EXPECT_TRUE(av_bsf_send_packet(toAnnexB, packet) == 0 && av_bsf_receive_packet(toAnnexB, packet) == 0);
        }
        if (packet->stream_index == video || packet->stream_index == audio) {
            const AVRational from = input->streams[packet->stream_index]->time_base;
            const AVRational to{1, DVR_MEDIA_CLOCK_RATE};
            const bool isVideo = packet->stream_index == video;
            clip.samples.push_back({isVideo ? EVT_VIDEO : EVT_AUDIO, av_rescale_q(packet->dts, from, to),
                                    av_rescale_q(packet->pts, from, to),
                                    static_cast<uint32_t>(av_rescale_q(packet->duration, from, to)),
                                    isVideo && (packet->flags & AV_PKT_FLAG_KEY) != 0,
                                    std::vector<uint8_t>(packet->data, packet->data + packet->size)});
            clip.videoFrames += isVideo ? 1 : 0;
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    av_bsf_free(&toAnnexB);
    avformat_close_input(&input);
    return clip;
}

// A harness of the recorder in a working folder of its own, with segment_recorder.xml of config.
class Recorder {
public:
    // With refusal, Open is expected to fail with a failure line holding that text.
    explicit Recorder(const std::string& config, const char* refusal = nullptr)
        : h_(dvr_harness_new(SEGMENT_RECORDER))
    {
        std::ofstream("segment_recorder.xml") << config;
        dvr_harness_set_timeout(h_, 30000);
        if (refusal != nullptr) {
            dvr_harness_expect_log(h_, 100, refusal);
            EXPECT_NE(dvr_harness_start(h_), DVR_HARNESS_OK);
        } else {
            EXPECT_EQ(dvr_harness_start(h_), DVR_HARNESS_OK) << dvr_harness_load_refusal(h_);
        }
    }
    ~Recorder()
    {
        if (h_ != nullptr)
            Finish();
    }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;
    dvr_harness* operator*() const { return h_; }

    // Sends the clip's parameters (with flags), then its frames with shift added to their times;
    // the wall clock of a frame is startNs plus its time in the clip.
    void Push(const Clip& clip, int64_t shift, int64_t startNs, uint32_t flags = 0, uint32_t camera = 0)
    {
        std::vector<uint8_t> params(sizeof clip.params);
        _DvrMediaParams p = clip.params;
        p.flags = flags;
        p.camera = camera;
        std::memcpy(params.data(), &p, sizeof p);
        params.insert(params.end(), clip.extradata.begin(), clip.extradata.end());
        _EventParmsIn event = DvrMediaParamsEvent(SOURCE_ID, reinterpret_cast<const _DvrMediaParams*>(params.data()),
                                                  static_cast<uint32_t>(params.size()));
        ASSERT_EQ(dvr_harness_push(h_, &event, nullptr), DVR_HARNESS_OK);
        for (const Sample& sample : clip.samples)
            PushFrame(sample, shift, startNs + (sample.dts - clip.samples.front().dts) * 1000000000 / CLOCK_RATE,
                      camera);
    }
    void PushFrame(const Sample& sample, int64_t shift, int64_t captureNs, uint32_t camera = 0)
    {
        const uint32_t flags = (sample.key ? DVR_MEDIA_KEY_FRAME : 0) | (sample.noDts ? DVR_MEDIA_NO_DTS : 0);
        _DvrMediaFrame header{sizeof header,
                              DVR_MEDIA_FRAME_VERSION,
                              camera,
                              sequence_[sample.kind == EVT_VIDEO ? 0 : 1]++,
                              sample.dts + shift,
                              sample.pts + shift,
                              captureNs,
                              sample.duration,
                              flags};
        std::vector<uint8_t> data(sizeof header);
        std::memcpy(data.data(), &header, sizeof header);
        data.insert(data.end(), sample.bytes.begin(), sample.bytes.end());
        _EventParmsIn event = DvrMediaFrameEvent(SOURCE_ID, sample.kind, reinterpret_cast<_DvrMediaFrame*>(data.data()),
                                                 static_cast<uint32_t>(data.size()));
        ASSERT_EQ(dvr_harness_push(h_, &event, nullptr), DVR_HARNESS_OK);
    }
    // Frames of kind that the source read but never sent, as the core's key-frame gate drops them.
    void Skip(uint32_t kind, uint32_t frames) { sequence_[kind == EVT_VIDEO ? 0 : 1] += frames; }
    // The parent packet's answer.
    std::string Figures()
    {
        dvr_harness_push_parent(h_, RECORDER_TARGET, 1, nullptr, 0, nullptr);
        const dvr_harness_event* answer = dvr_harness_wait_event(h_, EVT_PARENT_SEND, -1);
        return answer == nullptr ? "" : std::string(static_cast<const char*>(answer->data), answer->record.len);
    }
    // Closes (every file finished) and returns the closing summary line of camera name.
    std::string Close(const std::string& name = "front")
    {
        EXPECT_EQ(dvr_harness_close(h_), 0);
        for (size_t i = 0; i < dvr_harness_event_count(h_, EVT_LOG); ++i) {
            const dvr_harness_event* line = dvr_harness_event_at(h_, EVT_LOG, i);
            std::string text(static_cast<const char*>(line->data));
            if (text.rfind("closing after " + name + ":", 0) == 0)
                return text;
        }
        return "";
    }
    void Finish()
    {
        char report[4096];
        EXPECT_EQ(dvr_harness_teardown(h_, report, sizeof report), 0u) << report; // every block given back
        h_ = nullptr;
    }

private:
    dvr_harness* h_;
    uint32_t sequence_[2] = {}; // video, audio
};

// The recorded files, oldest name first.
std::vector<std::string> Recordings()
{
    std::vector<std::string> files;
    if (fs::exists("recordings"))
        for (const auto& entry : fs::recursive_directory_iterator("recordings"))
            if (entry.path().extension() == ".mp4")
                files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

// Checks that file decodes without an error and starts with a key frame; returns its video packets.
size_t CheckFile(const std::string& file, const std::string& audioCodec)
{
    int status = 0;
    EXPECT_EQ(Shell("ffmpeg -v error -i " + file + " -f null -", &status), "") << file;
    EXPECT_EQ(status, 0) << file;
    std::string flags = Shell("ffprobe -v error -select_streams v:0 -show_entries packet=flags -of csv=p=0 " + file);
    EXPECT_EQ(flags.substr(0, 1), "K") << file << " does not start with a key frame";
    EXPECT_EQ(Shell("ffprobe -v error -select_streams a:0 -show_entries stream=codec_name -of csv=p=0 " + file),
              audioCodec + "\n")
        << file;
    return static_cast<size_t>(std::count(flags.begin(), flags.end(), '\n'));
}

class SegmentRecorder : public testing::Test {
protected:
    void SetUp() override
    {
        char folder[] = "/tmp/segment_recorder_XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        folder_ = folder;
        previous_ = fs::current_path();
        fs::current_path(folder_);
    }
    void TearDown() override
    {
        fs::current_path(previous_);
        fs::remove_all(folder_);
    }
    // A clip of seconds of 25 frames/s H.264 with a key frame every second (or as video says), and
    // audio of codec at 8 kHz (or rate).
    static Clip MakeClip(int seconds, const std::string& audio, bool annexB = false,
                         const std::string& video = "-g 25 -sc_threshold 0", int rate = 8000)
    {
        const std::string file = audio == "aac" ? "clip.mp4" : "clip.mov";
        int status = 0;
        std::string output = Shell("ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i "
                                   "sine=sample_rate=8000 -t " +
                                       std::to_string(seconds) + " -c:v libx264 " + video + " -c:a " + audio + " -ar " +
                                       std::to_string(rate) + " -ac 1 " + file,
                                   &status);
        EXPECT_EQ(status, 0) << output;
        return ReadClip(file, annexB);
    }

    fs::path folder_;
    fs::path previous_;
};

TEST_F(SegmentRecorder, RecordsWholeFilesCutAtKeyFramesWithNoFrameLostOrRepeated)
{
    Clip clip = MakeClip(6, "aac");
    ASSERT_EQ(clip.videoFrames, 150u);
    Recorder recorder(R"(<SegmentRecorder segmentSeconds="2" fragmentMs="200" queueMB="many"/>)");
    recorder.PushFrame(clip.samples.front(), 0, START_NS, 3); // a camera without stream parameters
    recorder.Push(clip, 0, START_NS);
    std::string figures = recorder.Figures();
    EXPECT_NE(figures.find("front: "), std::string::npos) << figures;
    EXPECT_NE(figures.find("frames without stream parameters 1,"), std::string::npos) << figures;
    std::string summary = recorder.Close();
    EXPECT_NE(summary.find("150 video"), std::string::npos) << summary;
    EXPECT_NE(summary.find("3 files"), std::string::npos) << summary;
    EXPECT_EQ(dvr_harness_wait_log(*recorder, 50, "queueMB=\"many\"", 0), DVR_HARNESS_OK);

    // Named by the wall clock of each file's first frame; two seconds and one key frame each.
    std::vector<std::string> files = Recordings();
    ASSERT_EQ(files, (std::vector<std::string>{"recordings/front/2026-01-02/03-04-05.mp4",
                                               "recordings/front/2026-01-02/03-04-07.mp4",
                                               "recordings/front/2026-01-02/03-04-09.mp4"}));
    for (const std::string& file : files)
        EXPECT_EQ(CheckFile(file, "aac"), 50u) << file;
}

// The index's lines of camera front's day as name -> "<bytes> <state>".
std::map<std::string, std::string> IndexOf(const std::string& day)
{
    std::map<std::string, std::string> entries;
    std::ifstream index("recordings/front/" + day + "/index.txt");
    std::string line, name, start, duration, bytes, state;
    while (std::getline(index, line)) {
        std::istringstream fields(line);
        if (!line.starts_with("#") && fields >> name >> start >> duration >> bytes >> state)
            entries[name] = bytes + " " + state;
    }
    return entries;
}

TEST_F(SegmentRecorder, AFileIsSyncedWholeBeforeItsIndexSaysCompleteAndNeverCompleteAfterAFailedSync)
{
    Clip clip = MakeClip(4, "aac");
    for (const bool fail : {false, true}) {
        fs::remove_all("recordings");
        {
            const std::lock_guard lock(syncMutex);
            fileSyncs.clear();
        }
        failSyncs = fail;
        Recorder recorder(R"(<SegmentRecorder segmentSeconds="2" fragmentMs="200"/>)");
        recorder.Push(clip, 0, START_NS);
        recorder.Close();
        failSyncs = false;
        const std::map<std::string, std::string> index = IndexOf("2026-01-02");
        ASSERT_EQ(index.size(), 2u) << fail;
        for (const auto& [name, entry] : index) {
            const uint64_t bytes = fs::file_size("recordings/front/2026-01-02/" + name);
            if (fail) {
                EXPECT_EQ(entry, std::to_string(bytes) + " interrupted") << name;
                continue;
            }
            EXPECT_EQ(entry, std::to_string(bytes) + " complete") << name;
            const std::lock_guard lock(syncMutex);
            EXPECT_TRUE(std::any_of(
                fileSyncs.begin(), fileSyncs.end(),
                [&](const FileSync& sync) { return sync.name == name && sync.bytes == bytes && !sync.listedBefore; }))
                << name << " was not synced whole before its index said complete";
        }
        if (fail) {
            EXPECT_EQ(dvr_harness_wait_log(*recorder, 50, "is not known to be whole on the disk", 0), DVR_HARNESS_OK);
        }
    }
}

TEST_F(SegmentRecorder, RecordsG711AudioAsAacAndAnnexBVideoWithoutExtradata)
{
    Clip clip = MakeClip(4, "pcm_alaw", true);
    ASSERT_EQ(clip.params.audioCodec, DVR_CODEC_ALAW);
    ASSERT_EQ(clip.params.videoExtradataLength, 0u);
    Recorder recorder("<SegmentRecorder segmentSeconds=\"2\"/>");
    recorder.Push(clip, 0, START_NS);
    recorder.Close();
    std::vector<std::string> files = Recordings();
    ASSERT_EQ(files.size(), 2u);
    double audioSeconds = 0;
    for (const std::string& file : files) {
        EXPECT_EQ(CheckFile(file, "aac"), 50u) << file;
        std::string durations =
            Shell("ffprobe -v error -select_streams a:0 -show_entries packet=duration_time -of csv=p=0 " + file);
        for (size_t at = 0, end; (end = durations.find('\n', at)) != std::string::npos; at = end + 1)
            audioSeconds += std::atof(durations.substr(at, end - at).c_str());
    }
    // Every second of audio is there, but for what precedes each file's first key frame.
    EXPECT_NEAR(audioSeconds, 4.0, 0.3);
}

// When the first track of kind ("v" or "a") in file starts and ends, in seconds, as played: after
// the edit lists.
std::pair<double, double> TrackSpan(const std::string& file, const char* kind)
{
    std::string out = Shell(std::string("ffprobe -v error -select_streams ") + kind +
                            ":0 -show_entries stream=start_time,duration -of csv=p=0 " + file);
    double start = 0, duration = 0;
    EXPECT_EQ(std::sscanf(out.c_str(), "%lf,%lf", &start, &duration), 2) << out;
    return {start, start + duration};
}

TEST_F(SegmentRecorder, G711AudioStaysWithVideoAcrossHolesAndItsPrimingIsNotPlayed)
{
    // Audio from 0.3 s, well after the encoder's priming of 0.128 s; then, in a file of its own,
    // audio with a hole from 1 s to 3 s, as from a camera that dropped it.
    const auto drop = [](Clip clip, int64_t from, int64_t to) {
        std::erase_if(clip.samples, [&](const Sample& sample) {
            return sample.kind == EVT_AUDIO && sample.dts >= from && sample.dts < to;
        });
        return clip;
    };
    const Clip clip = MakeClip(6, "pcm_alaw");
    const Clip late = drop(clip, 0, CLOCK_RATE * 3 / 10);
    const Clip holed = drop(clip, CLOCK_RATE, 3 * CLOCK_RATE);
    Recorder recorder(R"(<SegmentRecorder segmentSeconds="10" queueSeconds="600"/>)");
    recorder.Push(late, 0, START_NS);
    recorder.Push(holed, 6 * CLOCK_RATE, START_NS + 6000000000LL, DVR_MEDIA_DISCONTINUITY);
    recorder.Close();
    std::vector<std::string> files = Recordings();
    ASSERT_EQ(files.size(), 2u);
    const auto firstAudio = std::find_if(late.samples.begin(), late.samples.end(),
                                         [](const Sample& sample) { return sample.kind == EVT_AUDIO; });
    const double lateBy = static_cast<double>(firstAudio->dts) / CLOCK_RATE;
    // At 8 kHz an AAC frame is 0.128 s: audio may end a frame short of the video, never later, and
    // starts with its first sample, not the encoder's priming before it.
    for (size_t i = 0; i < files.size(); ++i) {
        CheckFile(files[i], "aac");
        const auto [videoStart, videoEnd] = TrackSpan(files[i], "v");
        const auto [audioStart, audioEnd] = TrackSpan(files[i], "a");
        EXPECT_NEAR(audioStart - videoStart, i == 0 ? lateBy : 0.0, 0.01) << files[i];
        EXPECT_NEAR(audioEnd, videoEnd, 0.13) << files[i];
    }
}

// FFmpeg's messages on a writer's thread reach the recorder's log under the camera, while the other
// messages pass on to the plugin that installed its callback before, here played by this test with
// its own copy of the chain; and a plugin that leaves the chain first, out of order, is skipped.
TEST_F(SegmentRecorder, FfmpegMessagesOfAWriterAreTheRecordersAndTheOthersPassOn)
{
    // AAC in ADTS frames with no configuration, as from a source that sends a transport stream's
    // audio as it comes: FFmpeg's muxer says what it cannot take.
    int status = 0;
    const std::string output = Shell("ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i "
                                     "sine=sample_rate=8000 -t 2 -c:v libx264 -g 25 -c:a aac -f mpegts clip.ts",
                                     &status);
    ASSERT_EQ(status, 0) << output;
    const Clip clip = ReadClip("clip.ts");
    std::vector<std::string> mine; // this test's thread's messages, as the earlier plugin logs them
    ffmpeg_common::FfmpegLines lines("test", "", "",
                                     [&mine](int32_t, const std::string& line) { mine.push_back(line); });
    ffmpeg_common::FfmpegLinesScope scope(&lines);
    ffmpeg_common::InstallFfmpegLog();
    Recorder recorder(R"(<SegmentRecorder queueSeconds="600"/>)");
    av_log(nullptr, AV_LOG_ERROR, "one\n");
    EXPECT_EQ(mine, std::vector<std::string>{"test: FFmpeg: one"});
    recorder.Push(clip, 0, START_NS);
    EXPECT_EQ(dvr_harness_wait_log(*recorder, 75, "front: FFmpeg: ", -1), DVR_HARNESS_OK);
    ffmpeg_common::RemoveFfmpegLog(); // the earlier one leaves first: the recorder passes on past it
    av_log(nullptr, AV_LOG_ERROR, "two\n");
    EXPECT_EQ(mine.size(), 1u);
    const size_t before = dvr_harness_event_count(*recorder, EVT_LOG);
    recorder.Push(clip, 10 * CLOCK_RATE, START_NS + 10000000000LL, DVR_MEDIA_DISCONTINUITY);
    recorder.Close();
    size_t after = 0;
    for (size_t i = before; i < dvr_harness_event_count(*recorder, EVT_LOG); ++i)
        after += std::string(static_cast<const char*>(dvr_harness_event_at(*recorder, EVT_LOG, i)->data))
                     .find("front: FFmpeg: ") != std::string::npos;
    EXPECT_GT(after, 0u);
    recorder.Finish(); // unloaded: FFmpeg's own callback is back, or this would call unmapped code
    av_log(nullptr, AV_LOG_ERROR, "three\n");
    EXPECT_EQ(mine.size(), 1u);
}

TEST_F(SegmentRecorder, TimestampsGoingWrongAreClampedOrStartANewFile)
{
    Clip clip = MakeClip(4, "aac");
    Clip stalled = clip; // two video frames whose dts does not increase (the second goes back half a
                         // frame), one with pts before dts
    for (size_t i = 1, changed = 0; i < stalled.samples.size() && changed < 3; ++i) {
        Sample& sample = stalled.samples[i];
        if (sample.kind != EVT_VIDEO || sample.key || i < 40)
            continue;
        const Sample* previous = nullptr;
        for (size_t j = i; j-- > 0 && previous == nullptr;)
            previous = stalled.samples[j].kind == EVT_VIDEO ? &stalled.samples[j] : nullptr;
        if (changed++ < 2)
            sample.dts = previous->dts - (changed == 2 ? CLOCK_RATE / 50 : 0);
        else
            sample.pts = sample.dts - 900;
    }
    Recorder recorder(R"(<SegmentRecorder queueSeconds="600"/>)");  // room for every frame pushed
    recorder.Push(stalled, 0, START_NS);                            // one file
    recorder.Push(clip, 0, START_NS + 4000000000LL);                // 4 s back: a new file
    recorder.Push(clip, 4 * CLOCK_RATE, START_NS + 8000000000LL,    // continuing, but after
                  DVR_MEDIA_DISCONTINUITY);                         // a discontinuity: a new file
    recorder.Push(clip, 30 * CLOCK_RATE, START_NS + 30000000000LL); // 22 s ahead: a new file
    recorder.Push(clip, 32 * CLOCK_RATE, START_NS + 40000000000LL); // 2 s back: a new file
    std::string summary = recorder.Close();
    EXPECT_NE(summary.find("500 video"), std::string::npos) << summary;
    EXPECT_NE(summary.find("timestamps fixed 3,"), std::string::npos) << summary;
    EXPECT_NE(summary.find("discontinuities 4"), std::string::npos) << summary;
    EXPECT_EQ(dvr_harness_wait_log(*recorder, 25, "timestamps went back by", 0), DVR_HARNESS_OK);
    std::vector<std::string> files = Recordings();
    ASSERT_EQ(files, (std::vector<std::string>{
                         "recordings/front/2026-01-02/03-04-05.mp4", "recordings/front/2026-01-02/03-04-09.mp4",
                         "recordings/front/2026-01-02/03-04-13.mp4", "recordings/front/2026-01-02/03-04-35.mp4",
                         "recordings/front/2026-01-02/03-04-45.mp4"}));
    for (const std::string& file : files)
        EXPECT_EQ(CheckFile(file, "aac"), 100u) << file;
}

// Records clip, changed by change, as one camera into files of a minute: every file decodes and
// starts with a key frame. Returns the closing summary; files and video frames written come back.
std::string RecordChanged(Clip clip, const std::function<void(Sample&, size_t videoIndex)>& change,
                          std::vector<std::string>& files, size_t& videoFrames)
{
    size_t videoIndex = 0;
    for (Sample& sample : clip.samples) {
        change(sample, videoIndex);
        videoIndex += sample.kind == EVT_VIDEO ? 1 : 0;
    }
    std::string summary;
    {
        Recorder recorder(R"(<SegmentRecorder queueSeconds="600" segmentSeconds="60"/>)");
        recorder.Push(clip, 0, START_NS);
        summary = recorder.Close();
    }
    files = Recordings();
    videoFrames = 0;
    for (const std::string& file : files)
        videoFrames += CheckFile(file, "aac");
    return summary;
}

TEST_F(SegmentRecorder, ClampedAudioRisesInItsOwnTimeBaseAndNeverEndsAFile)
{
    // Audio frames with the dts of the one before: a tick later is the same time in 1/8,000 s.
    for (int rate : {8000, 16000}) {
        SCOPED_TRACE(std::to_string(rate) + " Hz");
        fs::remove_all("recordings");
        std::vector<std::string> files;
        size_t video = 0;
        int64_t lastAudio = 0;
        int repeated = 0;
        std::string summary = RecordChanged(
            MakeClip(4, "aac", false, "-g 25 -sc_threshold 0", rate),
            [&](Sample& sample, size_t) {
                if (sample.kind != EVT_AUDIO)
                    return;
                const int64_t dts = sample.dts;
                if (dts > CLOCK_RATE && repeated < 3 && sample.dts != lastAudio) {
                    sample.dts = sample.pts = lastAudio;
                    ++repeated;
                }
                lastAudio = dts;
            },
            files, video);
        EXPECT_EQ(files.size(), 1u);
        EXPECT_EQ(video, 100u);
        EXPECT_NE(summary.find("write failed 0,"), std::string::npos) << summary;
        EXPECT_NE(summary.find("timestamps fixed 3,"), std::string::npos) << summary;
    }
}

TEST_F(SegmentRecorder, BFramesWithoutDecodeTimesAtConnectCostNoFileAndNoFrame)
{
    // The first two frames without a dts, as a demuxer gives them before it knows the reorder depth.
    std::vector<std::string> files;
    size_t video = 0;
    std::string summary = RecordChanged(
        MakeClip(4, "aac", false, "-g 25 -sc_threshold 0 -bf 2"),
        [](Sample& sample, size_t videoIndex) {
            if (sample.kind == EVT_VIDEO && videoIndex < 2) {
                sample.noDts = true;
                sample.dts = sample.pts;
            }
        },
        files, video);
    EXPECT_EQ(files.size(), 1u);
    EXPECT_EQ(video, 100u);
    EXPECT_NE(summary.find("discontinuities 0"), std::string::npos) << summary;
}

TEST_F(SegmentRecorder, AudioOffsetOrGoingBackAfterAConnectNeverEndsAFile)
{
    const struct {
        const char* what;
        int64_t shift;   // added to the audio's timestamps
        int64_t after;   // from this dts on
        bool audioWhole; // every audio frame written
    } cases[] = {
        {"a steady 6 s ahead", 6 * CLOCK_RATE, INT64_MIN, true},
        {"a steady 7 s behind", -7 * CLOCK_RATE, INT64_MIN, true},
        {"0.469 s back after 0.2 s", -42210, CLOCK_RATE / 5, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all("recordings");
        std::vector<std::string> files;
        size_t video = 0;
        const Clip clip = MakeClip(4, "aac");
        const auto audio = static_cast<size_t>(std::count_if(clip.samples.begin(), clip.samples.end(),
                                                             [](const Sample& s) { return s.kind == EVT_AUDIO; }));
        std::string summary = RecordChanged(
            clip,
            [&](Sample& sample, size_t) {
                if (sample.kind == EVT_AUDIO && sample.dts >= c.after) {
                    sample.dts += c.shift;
                    sample.pts += c.shift;
                }
            },
            files, video);
        EXPECT_EQ(files.size(), 1u);
        EXPECT_EQ(video, 100u);
        EXPECT_NE(summary.find("discontinuities 0"), std::string::npos) << summary;
        size_t written = 0;
        EXPECT_EQ(std::sscanf(summary.c_str(), "closing after front: %*u video and %zu audio", &written), 1) << summary;
        // All but the encoder's priming frame before the first key frame, and the 0.469 s gone back.
        EXPECT_GE(written + 1, c.audioWhole ? audio : audio - 4) << summary;
    }
}

TEST_F(SegmentRecorder, ALeapOverFramesDroppedBeforeTheRecorderIsNamedForWhatItIs)
{
    // 6 s of frames the core's key-frame gate dropped: a gap in the sequence numbers and the dts.
    Clip clip = MakeClip(2, "aac");
    Recorder recorder(R"(<SegmentRecorder queueSeconds="600"/>)");
    recorder.Push(clip, 0, START_NS);
    recorder.Skip(EVT_VIDEO, 150);
    recorder.Push(clip, 8 * CLOCK_RATE, START_NS + 8000000000LL);
    std::string summary = recorder.Close();
    EXPECT_EQ(dvr_harness_wait_log(*recorder, 25, "150 video frames dropped before the recorder", 0), DVR_HARNESS_OK);
    EXPECT_NE(summary.find("discontinuities 0,"), std::string::npos) << summary;
    EXPECT_NE(summary.find("never reached the recorder 150, their gaps 1"), std::string::npos) << summary;
}

TEST_F(SegmentRecorder, FinishedFragmentsAreInTheFileWhileItIsWritten)
{
    Clip clip = MakeClip(4, "aac");
    Recorder recorder("<SegmentRecorder fragmentMs=\"200\"/>");
    recorder.Push(clip, 0, START_NS);
    // What a crash would leave: a copy of the open file plays, with all but the last fragment.
    const std::string file = "recordings/front/2026-01-02/03-04-05.mp4";
    size_t frames = 0;
    for (int attempt = 0; attempt < 300 && frames < 90; ++attempt) {
        const uintmax_t size = fs::exists(file) ? fs::file_size(file) : 0;
        std::string flags =
            Shell("ffprobe -v quiet -select_streams v:0 -show_entries packet=flags -of csv=p=0 " + file);
        if (size > 0 && fs::file_size(file) == size) // no fragment written meanwhile
            frames = static_cast<size_t>(std::count(flags.begin(), flags.end(), '\n'));
    }
    fs::copy_file(file, "crash.mp4");
    frames = CheckFile("crash.mp4", "aac");
    EXPECT_GE(frames, 90u);
    EXPECT_LT(frames, 100u); // the last fragment waits for the next key frame or for the end
    recorder.Close();
    EXPECT_EQ(CheckFile(file, "aac"), 100u);
}

// How many of the recorder's lines contain one of texts.
size_t LinesWith(dvr_harness* h, std::initializer_list<const char*> texts)
{
    size_t count = 0;
    for (size_t i = 0; i < dvr_harness_event_count(h, EVT_LOG); ++i) {
        const std::string line(static_cast<const char*>(dvr_harness_event_at(h, EVT_LOG, i)->data));
        count += std::any_of(texts.begin(), texts.end(),
                             [&](const char* text) { return line.find(text) != std::string::npos; });
    }
    return count;
}

TEST_F(SegmentRecorder, AFullDiskEndsTheFileAtItsLastWholeFragmentAndRecordingGoesOnOnceAFileFits)
{
    // A 64 kB file system without a free-space floor, which another program fills but for 12 kB,
    // less than one two-second file (root only, to mount it).
    fs::create_directory("small");
    int status = 0;
    std::string output = Shell("mount -t tmpfs -o size=64k none small", &status);
    if (status != 0)
        GTEST_SKIP() << "cannot mount a small file system: " << output;
    struct Unmount {
        ~Unmount() { Shell("umount small"); }
    } unmount;
    Clip clip = MakeClip(6, "aac");
    const uint64_t room = fs::space("small").available;
    ASSERT_GT(room, 12u * 1024);
    std::ofstream("small/others.bin") << std::string(room - 12 * 1024, 'x');
    {
        Recorder recorder(R"(<SegmentRecorder folder="small" segmentSeconds="2" fragmentMs="200" minFreeMB="0"/>)");
        // The full disk may have no room for the day index's rewrite either: the next one, once
        // space is free again, holds the entry.
        dvr_harness_expect_log(*recorder, 100, "index.txt: No space left on device");
        recorder.Push(clip, 0, START_NS);
        EXPECT_EQ(dvr_harness_wait_log(*recorder, 50, "No space left on device", -1), DVR_HARNESS_OK);
        EXPECT_EQ(dvr_harness_wait_log(*recorder, 50, "no new file until", -1), DVR_HARNESS_OK);
        // The other program frees a little, not enough for a file: nothing is begun only to be cut
        // or deleted again, and the file cut short is kept, since deleting it would not make room.
        fs::resize_file("small/others.bin", room - 16 * 1024);
        recorder.Push(clip, 0, START_NS + 7000000000LL);
        std::string summary = recorder.Close();
        EXPECT_NE(summary.find("write failed 1, disk full "), std::string::npos) << summary;
        EXPECT_EQ(summary.find("disk full 0;"), std::string::npos) << summary;
        EXPECT_EQ(LinesWith(*recorder, {"ended without a whole fragment", "no new file until"}), 1u);
    }
    fs::remove("small/others.bin");
    clip.samples.resize(40); // a second, later: a file in the space freed
    {
        Recorder recorder(R"(<SegmentRecorder folder="small" segmentSeconds="2" fragmentMs="200" minFreeMB="0"/>)");
        recorder.Push(clip, 0, START_NS + 14000000000LL);
        recorder.Close();
    }
    const std::string day = "small/front/2026-01-02/";
    const size_t cut = CheckFile(day + "03-04-05.mp4", "aac"); // up to its last whole fragment
    EXPECT_GT(cut, 0u);
    EXPECT_LT(cut, 50u);
    // Its index entry's duration is that of the fragments kept, not of the one lost, and no entry
    // is left as being written.
    std::ifstream index(day + "index.txt");
    std::string name, state;
    int64_t startNs = 0, durationNs = -1;
    uint64_t bytes = 0;
    while (index >> name && name != "03-04-05.mp4")
        index.ignore(1 << 16, '\n');
    index >> startNs >> durationNs >> bytes >> state;
    const double seconds =
        std::atof(Shell("ffprobe -v error -show_entries format=duration -of csv=p=0 " + day + "03-04-05.mp4").c_str());
    EXPECT_NEAR(static_cast<double>(durationNs) / 1e9, seconds, 0.1) << cut << " frames";
    const auto video = std::count_if(clip.samples.begin(), clip.samples.end(),
                                     [](const Sample& sample) { return sample.kind == EVT_VIDEO; });
    EXPECT_EQ(CheckFile(day + "03-04-19.mp4", "aac"), static_cast<size_t>(video));
    EXPECT_EQ(Shell("grep -c writing " + day + "index.txt"), "0\n");
}

TEST_F(SegmentRecorder, ASecondProcessOnTheFolderRecordsNothingAndSaysWhyOnce)
{
    // The lock of a process still finishing its files, as a restarted core finds it.
    fs::create_directory("recordings");
    const int held = open("recordings/.recorder.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const char* refusal = "recording nothing: the recordings folder recordings: another process records into it";
    {
        Recorder recorder("<SegmentRecorder/>", refusal);
        recorder.Push(MakeClip(2, "aac"), 0, START_NS);
        size_t said = 0;
        for (size_t i = 0; i < dvr_harness_event_count(*recorder, EVT_LOG); ++i)
            said += std::string(static_cast<const char*>(dvr_harness_event_at(*recorder, EVT_LOG, i)->data))
                        .find("recording nothing") != std::string::npos;
        EXPECT_EQ(said, 1u);
    }
    close(held);
    EXPECT_EQ(Recordings(), std::vector<std::string>{});
}

TEST_F(SegmentRecorder, AFreeSpaceFloorAsLargeAsTheDiskIsRefusedBeforeAnyFileIsDeleted)
{
    {
        Recorder recorder(R"(<SegmentRecorder segmentSeconds="2"/>)");
        recorder.Push(MakeClip(2, "aac"), 0, START_NS);
        recorder.Close();
    }
    const std::vector<std::string> recorded = Recordings();
    ASSERT_EQ(recorded.size(), 1u);
    // 1 PiB: more than any disk the tests run on.
    Recorder recorder(R"(<SegmentRecorder minFreeMB="1073741824"/>)",
                      "recording nothing: minFreeMB=\"1073741824\" is not below the size of the file system of "
                      "recordings (");
    EXPECT_EQ(Recordings(), recorded);
}

TEST_F(SegmentRecorder, WithoutMemoryOrThreadsAWriteIsAnsweredNoMemoryWithOneLine)
{
    Recorder recorder("<SegmentRecorder/>");
    // Stream parameters whose video extradata is of a size nothing else here allocates.
    constexpr size_t EXTRADATA_SIZE = 654321;
    std::vector<uint8_t> data(sizeof(_DvrMediaParams) + EXTRADATA_SIZE, 0);
    _DvrMediaParams params{};
    params.size = sizeof params;
    params.version = DVR_MEDIA_PARAMS_VERSION;
    params.videoCodec = DVR_CODEC_H264;
    params.videoExtradataLength = EXTRADATA_SIZE;
    std::snprintf(params.name, sizeof params.name, "front");
    std::memcpy(data.data(), &params, sizeof params);
    _EventParmsIn event = DvrMediaParamsEvent(SOURCE_ID, reinterpret_cast<const _DvrMediaParams*>(data.data()),
                                              static_cast<uint32_t>(data.size()));
    auto push = [&] {
        dvr_harness_delivery delivery{};
        EXPECT_EQ(dvr_harness_push_ex(*recorder, &event, &delivery), DVR_HARNESS_OK);
        EXPECT_EQ(delivery.keep, 0u);
        return delivery.error;
    };

    {
        fault::AllocationsOfSizeFail noMemory(EXTRADATA_SIZE);
        EXPECT_EQ(push(), EVENT_NO_MEMORY);
        EXPECT_EQ(push(), EVENT_NO_MEMORY);
    }
    {
        fault::ThreadsFail noThreads; // the camera's writer thread cannot start
        EXPECT_EQ(push(), EVENT_NO_MEMORY);
    }
    EXPECT_EQ(fault::failures, 3);
    EXPECT_EQ(push(), 0);
    EXPECT_NE(recorder.Figures().find(" front: "), std::string::npos) << "the camera is recorded once it can be";

    size_t said = 0;
    for (size_t i = 0; i < dvr_harness_event_count(*recorder, EVT_LOG); ++i)
        said += std::string(static_cast<const char*>(dvr_harness_event_at(*recorder, EVT_LOG, i)->data))
                    .find("no memory for an event") != std::string::npos;
    EXPECT_EQ(said, 1u);
}

} // namespace
