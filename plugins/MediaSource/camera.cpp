#include "camera.h"

#include "capture_clock.h"
#include "pacing_policy.h"
#include "packet_filter.h"
#include "parameter_sets.h"
#include "plugin_log.h"
#include "probe_slots.h"
#include "reconnect_policy.h"
#include "rtsp_input.h"
#include "url_mask.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cmath>

#include <malloc.h>

namespace media_source {
namespace {

constexpr int64_t kNsPerSecond = 1000000000LL;
// How long a network camera's reader lets frames gather once it has caught up (see ReadBatch).
constexpr int64_t kReadBatchNs = 60'000'000;

struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

// The frames read from what one read of an RTSP connection brought, sent together once the
// connection holds nothing more (or kCapacity gathered): the core's worker then wakes once for
// them, not once per frame. Used by the camera's reading thread only.
class HeldFrames {
public:
    static constexpr size_t kCapacity = 16;

    explicit HeldFrames(FrameSender& sender)
        : sender_(sender)
    {
    }
    ~HeldFrames() { Clear(); }
    HeldFrames(const HeldFrames&) = delete;
    HeldFrames& operator=(const HeldFrames&) = delete;

    // Takes packet's data over for media; false (packet untouched) when no packet could be allocated.
    bool Hold(MediaPacket media, AVPacket& packet)
    {
        if (count_ == packets_.size()) {
            std::unique_ptr<AVPacket, PacketFree> spare(av_packet_alloc());
            if (spare == nullptr)
                return false;
            packets_.push_back(std::move(spare));
        }
        av_packet_move_ref(packets_[count_].get(), &packet);
        media.data = packets_[count_]->data;
        frames_[count_++] = media;
        return true;
    }
    bool Full() const { return count_ == kCapacity; }
    // Sends what is held, in the order read; the number sent.
    size_t Send()
    {
        const size_t sent = count_;
        for (size_t i = 0; i < count_; ++i)
            sender_.Send(frames_[i]);
        Clear();
        return sent;
    }

private:
    void Clear()
    {
        for (size_t i = 0; i < count_; ++i)
            av_packet_unref(packets_[i].get());
        count_ = 0;
    }

    FrameSender& sender_;
    std::array<MediaPacket, kCapacity> frames_{};
    std::vector<std::unique_ptr<AVPacket, PacketFree>> packets_; // reused; the first count_ hold data
    size_t count_ = 0;
};

// The one conversion of FFmpeg times into the media clock.
int64_t To90k(int64_t value, AVRational base)
{
    return av_rescale_q(value, base, AVRational{1, DVR_MEDIA_CLOCK_RATE});
}

uint32_t FourCC(AVCodecID codec)
{
    switch (codec) {
    case AV_CODEC_ID_H264: return DVR_CODEC_H264;
    case AV_CODEC_ID_HEVC: return DVR_CODEC_HEVC;
    case AV_CODEC_ID_AAC: return DVR_CODEC_AAC;
    case AV_CODEC_ID_PCM_ALAW: return DVR_CODEC_ALAW;
    case AV_CODEC_ID_PCM_MULAW: return DVR_CODEC_ULAW;
    default: return 0;
    }
}

std::string CodecName(uint32_t fourCC)
{
    std::string name;
    for (int shift = 0; shift < 32; shift += 8)
        name += static_cast<char>((fourCC >> shift) & 0xFF);
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    return name;
}

std::string DescribeStreams(const StreamInfo& info)
{
    std::string text;
    if (info.videoCodec != 0)
        text += CodecName(info.videoCodec) + " " + std::to_string(info.width) + "x" + std::to_string(info.height);
    if (info.audioCodec != 0)
        text += (text.empty() ? "" : ", ") + CodecName(info.audioCodec) + " " + std::to_string(info.sampleRate) +
                " Hz " + std::to_string(info.channels) + " ch";
    return text;
}

std::vector<uint8_t> Extradata(const AVCodecParameters* parameters)
{
    if (parameters->extradata == nullptr || parameters->extradata_size <= 0)
        return {};
    return {parameters->extradata, parameters->extradata + parameters->extradata_size};
}

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// Cameras that probe their streams at the same time. A probe decodes a few pictures, megabytes
// each at 1080p: sixteen cameras connecting together made the process's peak memory about twice its
// steady size. A camera waits at most 3 s for a slot, so one whose probe hangs until its stall
// time-out delays the others' connections by no more than that.
ProbeSlots& Probes()
{
    static ProbeSlots slots(2, std::chrono::seconds(3));
    return slots;
}

// Probes the streams with single-threaded decoders: a decoder with a thread per core holds that many
// pictures, and cameras that connect together would make the process's peak memory several times
// its steady size.
int FindStreamInfo(AVFormatContext* context)
{
    std::vector<AVDictionary*> options(context->nb_streams, nullptr);
    int error = 0;
    for (AVDictionary*& streamOptions : options)
        if (error >= 0)
            error = av_dict_set(&streamOptions, "threads", "1", 0);
    if (error >= 0)
        error = avformat_find_stream_info(context, options.empty() ? nullptr : options.data());
    for (AVDictionary*& streamOptions : options)
        av_dict_free(&streamOptions);
    return error;
}

} // namespace

void FormatContextCloser::operator()(AVFormatContext* context) const
{
    CloseInput(context);
}

Camera::Camera(CameraConfig config)
    : config_(std::move(config)),
      maskedUrl_(MaskUrl(config_.url)),
      providerID_(kProviderBase | (config_.number & 0xFFFFu)),
      isFile_(StartsWith(config_.url, "file:") || config_.url.find("://") == std::string::npos),
      sender_(config_.number, config_.name, isFile_), // nothing of a file is lost by waiting
      ffmpegLines_("camera " + config_.name, config_.url, maskedUrl_,
                   [id = providerID_](int32_t level, const std::string& line) { Log(id, level, "%s", line.c_str()); }),
      stall_(config_.timeoutSeconds * kNsPerSecond)
{
}

Camera::~Camera()
{
    RequestStop();
    Join();
}

void Camera::Start()
{
    thread_ = std::thread(&Camera::Run, this);
}

void Camera::RequestStop()
{
    {
        std::lock_guard<std::mutex> lock(waitLock_);
        stopping_ = true;
    }
    wake_.notify_all();
    sender_.Interrupt();
    Probes().Wake();
}

void Camera::Join()
{
    if (thread_.joinable())
        thread_.join();
}

bool Camera::JoinBy(std::chrono::steady_clock::time_point deadline)
{
    if (!thread_.joinable())
        return true;
    bool ended;
    {
        std::unique_lock<std::mutex> lock(waitLock_);
        ended = wake_.wait_until(lock, deadline, [this] { return ended_; });
    }
    if (ended)
        thread_.join();
    else
        thread_.detach();
    return ended;
}

int Camera::Interrupted(void* opaque)
{
    // FFmpeg calls it on the thread in the blocking call: the reading thread.
    const auto* camera = static_cast<const Camera*>(opaque);
    return camera->stopping_ || camera->stall_.Expired(MonotonicNs());
}

bool Camera::WaitUntil(int64_t atNs)
{
    std::unique_lock<std::mutex> lock(waitLock_);
    while (!stopping_) {
        int64_t now = MonotonicNs();
        if (now >= atNs)
            return true;
        wake_.wait_for(lock, std::chrono::nanoseconds(atNs - now));
    }
    return false;
}

void Camera::Run()
{
    FfmpegLinesScope ffmpegLines(&ffmpegLines_);
    try {
        ReadLoop();
    } catch (const std::exception& error) { // std::terminate would end the core
        Log(providerID_, kLogFailure, "camera %s: reading stopped: %s", config_.name.c_str(), error.what());
    }
    std::lock_guard<std::mutex> lock(waitLock_);
    ended_ = true;
    wake_.notify_all();
}

void Camera::ReadLoop()
{
    const char* name = config_.name.c_str();
    uint32_t failures = 0; // failed attempts since the last connection that delivered frames
    for (bool first = true; !stopping_; first = false) {
        if (!first)
            sender_.CountReconnect();
        uint64_t packetsSent = 0;
        try {
            if (!Attempt(packetsSent))
                break;
        } catch (const std::exception& error) {
            // No memory (or threads) for a connection: what it held is freed on the way out, and
            // the camera is tried again after the back-off, like one that dropped.
            Log(providerID_, kLogWarning, "camera %s: lost %s: %s", name, maskedUrl_.c_str(), error.what());
        }
        // A connection that delivered frames was good: this failure is the first of a new run.
        failures = packetsSent > 0 ? 1 : failures + 1;
        const int delaySeconds = ReconnectDelaySeconds(failures);
        Log(providerID_, kLogInfo, "camera %s: retrying in %d s", name, delaySeconds);
        if (!WaitUntil(MonotonicNs() + delaySeconds * kNsPerSecond))
            break;
    }
}

bool Camera::Attempt(uint64_t& packetsSent)
{
    const char* name = config_.name.c_str();
    Log(providerID_, kLogInfo, "camera %s: connecting to %s", name, maskedUrl_.c_str());
    FormatContext input;
    StreamInfo info;
    std::string reason;
    if (!Connect(input, info, reason)) {
        if (stopping_)
            return false;
        Log(providerID_, kLogWarning, "camera %s: cannot open %s: %s", name, maskedUrl_.c_str(), reason.c_str());
        return true;
    }
    Log(providerID_, kLogInfo, "camera %s: connected to %s: %s", name, maskedUrl_.c_str(),
        DescribeStreams(info).c_str());
    sender_.StartConnection(info);
    reason = ReadUntilLost(input.get(), info, packetsSent);
    input.reset();
    if (stopping_)
        return false;
    Log(providerID_, kLogWarning, "camera %s: lost %s: %s", name, maskedUrl_.c_str(), reason.c_str());
    return true;
}

bool Camera::Connect(FormatContext& input, StreamInfo& info, std::string& reason)
{
    auto describe = [&](int error) {
        if (!stopping_ && stall_.Expired(MonotonicNs()))
            return "nothing received for " + std::to_string(config_.timeoutSeconds) + " s";
        return ErrorText(error);
    };
    AVFormatContext* context = avformat_alloc_context();
    if (context == nullptr) {
        reason = "out of memory";
        return false;
    }
    context->interrupt_callback.callback = &Camera::Interrupted;
    context->interrupt_callback.opaque = this;
    AVDictionary* options = nullptr;
    if (StartsWith(config_.url, "rtsp://") || StartsWith(config_.url, "rtsps://")) {
        // TCP survives the lossy networks UDP would drop frames on. timeout is the socket's, in us: a
        // second later than the stall watch, so the watch notices a stall first and says so.
        if (av_dict_set(&options, "rtsp_transport", "tcp", 0) < 0 ||
            av_dict_set_int(&options, "timeout", (config_.timeoutSeconds + 1) * 1000000LL, 0) < 0) {
            av_dict_free(&options);
            avformat_free_context(context);
            reason = "out of memory";
            return false;
        }
    }
    stall_.Arm(MonotonicNs());
    int error = 0;
    bool opened = false;
    if (ownRtsp_ && StartsWith(config_.url, "rtsp://")) {
        switch (RtspInput::Open(
            config_.url, [this] { return Interrupted(this) != 0; }, context, reason)) {
        case RtspInput::Result::Opened: opened = true; break;
        case RtspInput::Result::Failed:
            av_dict_free(&options);
            if (!stopping_ && stall_.Expired(MonotonicNs()))
                reason = "nothing received for " + std::to_string(config_.timeoutSeconds) + " s";
            return false; // the context is freed
        case RtspInput::Result::Unsupported:
            // For good: this camera is read by FFmpeg's client from now on.
            ownRtsp_ = false;
            Log(providerID_, kLogInfo, "camera %s: read by FFmpeg's RTSP client: %s", config_.name.c_str(),
                reason.c_str());
            stall_.Arm(MonotonicNs());
            break;
        }
    }
    if (!opened) {
        error = avformat_open_input(&context, config_.url.c_str(), nullptr, &options);
        av_dict_free(&options);
        if (error < 0) {
            reason = describe(error); // avformat_open_input freed the context
            return false;
        }
    } else {
        av_dict_free(&options);
    }
    input.reset(context);
    openedNs_ = RealtimeNs(); // the stream flows from here; probing it reads its first frames
    const bool slot = Probes().Take(stopping_);
    if (stopping_) {
        if (slot)
            Probes().Give();
        reason = "closing";
        return false;
    }
    stall_.Arm(MonotonicNs());
    error = FindStreamInfo(context);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The probe's decoders are closed: their pictures go back to the system, not to a heap that
    // keeps them for the process's life. (Under a sanitizer the heap is the sanitizer's, and
    // glibc's trim, first called from two cameras at once, races setting up glibc's unused heap.)
    malloc_trim(0);
#endif
    if (slot)
        Probes().Give();
    if (error < 0) {
        reason = "no stream information: " + describe(error);
        return false;
    }
    videoStream_ = audioStream_ = -1;
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVCodecParameters* parameters = context->streams[i]->codecpar;
        uint32_t codec = FourCC(parameters->codec_id);
        if (parameters->codec_type == AVMEDIA_TYPE_VIDEO && videoStream_ < 0 && codec != 0) {
            videoStream_ = static_cast<int>(i);
            info.videoCodec = codec;
            info.width = static_cast<uint32_t>(std::max(parameters->width, 0));
            info.height = static_cast<uint32_t>(std::max(parameters->height, 0));
            info.videoExtradata = Extradata(parameters);
        } else if (parameters->codec_type == AVMEDIA_TYPE_AUDIO && audioStream_ < 0 && codec != 0) {
            audioStream_ = static_cast<int>(i);
            info.audioCodec = codec;
            info.sampleRate = static_cast<uint32_t>(std::max(parameters->sample_rate, 0));
            info.channels = static_cast<uint32_t>(std::max(parameters->ch_layout.nb_channels, 0));
            info.audioExtradata = Extradata(parameters);
            // AAC in ADTS frames (MPEG-TS) brings its configuration only with its first frame,
            // through its filter; plain AAC-LC's is known from the probe already, so the first
            // video key frame need not wait for it. A configuration that turns out otherwise is
            // sent as new parameters.
            if (codec == DVR_CODEC_AAC && info.audioExtradata.empty() && parameters->profile == FF_PROFILE_AAC_LOW)
                info.audioExtradata = AacLcConfig(info.sampleRate, info.channels);
        }
    }
    if (videoStream_ < 0 && audioStream_ < 0) {
        reason = "no H.264 or H.265 video and no AAC, A-law or mu-law audio";
        return false;
    }
    return true;
}

void Camera::FollowChanges(const AVStream* stream, const AVPacket& packet, bool video, PictureSizeReader& sizes,
                           StreamInfo& info)
{
    bool changed = false;
    // A filter's first packet brings the configuration it found (AAC's from its ADTS header); a
    // demuxer's packet, a change of it mid-stream.
    size_t extradataSize = 0;
    const uint8_t* extradata = av_packet_get_side_data(&packet, AV_PKT_DATA_NEW_EXTRADATA, &extradataSize);
    std::vector<uint8_t>& known = video ? info.videoExtradata : info.audioExtradata;
    if (extradata != nullptr && extradataSize > 0 &&
        !std::equal(known.begin(), known.end(), extradata, extradata + extradataSize)) {
        known.assign(extradata, extradata + extradataSize);
        changed = true;
    }
    // The parameter sets an Annex B key frame carries in band: new ones (a new picture size or
    // profile without a reconnect), or the first ones of a stream that connected without them (and
    // without a picture size).
    if (video && (packet.flags & AV_PKT_FLAG_KEY) != 0 && IsAnnexB(info.videoExtradata)) {
        std::vector<uint8_t> sets = ParameterSetsOf(info.videoCodec, packet.data, std::max(packet.size, 0));
        if (!sets.empty() && !SameParameterSets(info.videoCodec, sets, info.videoExtradata)) {
            uint32_t width = 0, height = 0;
            if (sizes.Read(stream, &packet, width, height)) {
                info.width = width;
                info.height = height;
            }
            info.videoExtradata = std::move(sets);
            changed = true;
        }
    }
    if (changed)
        sender_.ChangeParams(info);
}

std::string Camera::ReadUntilLost(AVFormatContext* input, StreamInfo& info, uint64_t& packetsSent)
{
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    if (packet == nullptr)
        return "out of memory";
    PacketFilter filters[2]; // video, audio
    PictureSizeReader sizes; // the video's
    std::string reason;
    if ((videoStream_ >= 0 && !filters[0].Open(input->streams[videoStream_], reason)) ||
        (audioStream_ >= 0 && !filters[1].Open(input->streams[audioStream_], reason)))
        return reason;
    const std::string stalled = "nothing received for " + std::to_string(config_.timeoutSeconds) + " s";
    // A looped file's timestamps go on from where its last pass ended: loopOffset moves each pass
    // past the end of the one before (firstDts is the file's first raw dts, endDts the end of the
    // last frame sent), so a loop is no discontinuity.
    int64_t loopOffset = 0;
    int64_t firstDts = INT64_MAX;
    int64_t endDts = INT64_MIN;
    bool firstPass = true;
    bool readThisPass = false;
    // A loop seeks back to the first decode time of this stream, in its own time base. Not to the
    // file's start_time: that is a presentation time, and with B-frames the first frames' decode
    // times lie before it, so a seek by decode time (an MPEG-TS file's) would land after the first
    // key frame and keep the frames that depend on it.
    const int seekStream = videoStream_ >= 0 ? videoStream_ : audioStream_;
    int64_t seekDts = AV_NOPTS_VALUE;
    int64_t lastDts[2] = {AV_NOPTS_VALUE, AV_NOPTS_VALUE}; // video, audio: sent timestamps
    FilePacer pacer;
    // RTSP is read over TCP (see Connect), which holds what comes while the reader sleeps.
    const bool overTcp = StartsWith(config_.url, "rtsp://") || StartsWith(config_.url, "rtsps://");
    const ReadBatch batch(overTcp ? kReadBatchNs : 0);
    int64_t nextRead = 0;
    CaptureClock captureClock(openedNs_);
    keyFrames_.Restart();
    // Our own RTSP session says when it runs dry; frames of other inputs go one by one.
    RtspInput* rtsp = RtspInput::Of(input);
    HeldFrames held(sender_);
    if (rtsp != nullptr)
        rtsp->SetBeforeWait([&] { packetsSent += held.Send(); });
    struct Unhook {
        RtspInput* rtsp;
        ~Unhook()
        {
            if (rtsp != nullptr)
                rtsp->SetBeforeWait(nullptr);
        }
    } unhook{rtsp};

    while (!stopping_) {
        if (nextRead > MonotonicNs() && !WaitUntil(nextRead)) // a network camera's frames gather
            return "closing";
        // Armed for each read: the waits between reads (pacing, throttling) are the camera's own.
        const int64_t readStart = MonotonicNs();
        stall_.Arm(readStart);
        int error = av_read_frame(input, packet.get());
        nextRead = batch.NextRead(readStart, MonotonicNs());
        if (error == AVERROR_EOF && isFile_ && readThisPass) {
            firstPass = readThisPass = false;
            loopOffset = endDts - (firstDts == INT64_MAX ? 0 : firstDts);
            if (seekDts != AV_NOPTS_VALUE) {
                error = av_seek_frame(input, seekStream, seekDts, AVSEEK_FLAG_BACKWARD);
            } else {
                int64_t start = input->start_time != AV_NOPTS_VALUE ? input->start_time : 0;
                error = av_seek_frame(input, -1, start, AVSEEK_FLAG_BACKWARD);
            }
            if (error < 0)
                return "cannot go back to the start: " + ErrorText(error);
            sender_.StartOver();
            continue;
        }
        if (error < 0) {
            if (stopping_)
                return "closing";
            packetsSent += held.Send(); // what the connection brought before it ended
            if (stall_.Expired(MonotonicNs()))
                return stalled;
            return error == AVERROR_EOF && isFile_ ? "no frames in the file" : ErrorText(error);
        }
        if (!stall_.Received(MonotonicNs()))
            return stalled;
        const bool video = packet->stream_index == videoStream_;
        if (!video && packet->stream_index != audioStream_) {
            av_packet_unref(packet.get());
            continue;
        }
        if (firstPass && packet->stream_index == seekStream && packet->dts != AV_NOPTS_VALUE &&
            (seekDts == AV_NOPTS_VALUE || packet->dts < seekDts))
            seekDts = packet->dts;
        error = filters[video ? 0 : 1].Apply(packet.get());
        if (error < 0) {
            if (error != AVERROR(EAGAIN))
                sender_.CountDamaged(video);
            continue;
        }
        FollowChanges(input->streams[packet->stream_index], *packet, video, sizes, info);
        const AVRational base = input->streams[packet->stream_index]->time_base;
        int64_t dts = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
        int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        MediaPacket media;
        media.video = video;
        media.keyFrame = (packet->flags & AV_PKT_FLAG_KEY) != 0;
        media.noDts = packet->dts == AV_NOPTS_VALUE;
        media.duration = packet->duration > 0 ? static_cast<uint32_t>(To90k(packet->duration, base)) : 0;
        int64_t& last = lastDts[video ? 0 : 1];
        if (dts == AV_NOPTS_VALUE) {
            media.dts = media.pts = last == AV_NOPTS_VALUE ? loopOffset : last + media.duration;
        } else {
            int64_t raw = To90k(dts, base);
            if (firstPass)
                firstDts = std::min(firstDts, raw);
            media.dts = raw + loopOffset;
            media.pts = To90k(pts, base) + loopOffset;
        }
        last = media.dts;
        endDts = std::max(endDts, media.dts + std::max<int64_t>(media.duration, 1));
        readThisPass = true;
        if (video && keyFrames_.Observe(media.keyFrame, media.dts)) {
            const KeyFrameInterval& group = keyFrames_.Last();
            Log(providerID_, kLogWarning,
                "camera %s: key frames come %u frames (%.1f s) apart, more than the core's key-frame gate lets "
                "through (%u frames): the rest of every group is dropped (gate expired); set the camera's key-frame "
                "interval (GOP) to at most %u frames or %.1f s",
                config_.name.c_str(), group.frames, static_cast<double>(group.ticks) / DVR_MEDIA_CLOCK_RATE,
                kGateFrames, kGateFrames, std::floor(group.GateSeconds() * 10) / 10); // at most: rounded down
        }

        if (isFile_ && config_.paced && !WaitUntil(pacer.Due(media.dts, MonotonicNs())))
            return "closing";
        media.captureTimeNs = captureClock.Stamp(media.dts, RealtimeNs());
        media.data = packet->data;
        media.size = static_cast<size_t>(std::max(packet->size, 0));
        if (rtsp != nullptr && held.Hold(media, *packet)) {
            if (held.Full())
                packetsSent += held.Send();
            continue;
        }
        packetsSent += held.Send(); // none is left behind the one sent now
        sender_.Send(media);
        ++packetsSent;
        av_packet_unref(packet.get());
    }
    return "closing";
}

} // namespace media_source
