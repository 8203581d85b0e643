#include "live_stream.h"

#include "ffmpeg_log.h"
#include "parameter_sets.h"
#include "web_log.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace webview {

namespace {

// Codec parameters that free themselves.
struct ParametersHolder {
    AVCodecParameters* parameters = avcodec_parameters_alloc();
    ~ParametersHolder() { avcodec_parameters_free(&parameters); }
};

bool SetExtradata(AVCodecParameters& parameters, const std::vector<uint8_t>& bytes)
{
    if (bytes.empty())
        return true;
    parameters.extradata = static_cast<uint8_t*>(av_mallocz(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (parameters.extradata == nullptr)
        return false;
    std::memcpy(parameters.extradata, bytes.data(), bytes.size());
    parameters.extradata_size = static_cast<int>(bytes.size());
    return true;
}

} // namespace

// ---- LiveChannel ---------------------------------------------------------------------------------

ViewerQueue::Offered LiveChannel::Offer(std::shared_ptr<const LivePacket> packet)
{
    bool wake = false;
    ViewerQueue::Offered offered;
    {
        std::lock_guard lock(mutex_);
        offered = queue_.Offer(std::move(packet));
        peakBytes_ = std::max<uint64_t>(peakBytes_, queue_.Bytes());
        wake = offered == ViewerQueue::Offered::Queued && idle_;
        if (wake)
            idle_ = false;
    }
    if (wake)
        wake_();
    return offered;
}

std::shared_ptr<const LivePacket> LiveChannel::Next()
{
    std::lock_guard lock(mutex_);
    auto packet = queue_.Next();
    idle_ = packet == nullptr;
    return packet;
}

void LiveChannel::Sent(bool fragment)
{
    std::lock_guard lock(mutex_);
    queue_.Sent();
    fragmentsSent_ += fragment ? 1 : 0;
}

LiveFigures LiveChannel::Figures() const
{
    std::lock_guard lock(mutex_);
    LiveFigures figures;
    figures.viewers = 1;
    figures.fragmentsSent = fragmentsSent_;
    figures.skips = queue_.Skips();
    figures.skippedFragments = queue_.SkippedFragments();
    figures.peakViewerBytes = peakBytes_;
    return figures;
}

// ---- LiveHub: the delivery thread's side ---------------------------------------------------------

LiveHub::~LiveHub()
{
    Stop();
}

void LiveHub::Start()
{
    std::lock_guard lock(mutex_);
    if (thread_.joinable())
        return;
    stopping_ = false;
    thread_ = std::thread([this] {
        // The muxers' messages, as the plugin's lines.
        ffmpeg_common::FfmpegLines lines(
            "live", "", "", [](int32_t level, const std::string& line) { Log(level, "%s", line.c_str()); });
        ffmpeg_common::FfmpegLinesScope scope(&lines);
        try {
            Run();
        } catch (const std::exception& error) { // the last resort: std::terminate would end the core
            Log(LOG_FAILURE, "the live view stopped: %s", error.what());
        }
    });
}

void LiveHub::Stop()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        wake_.notify_all();
    }
    if (thread_.joinable())
        thread_.join();
    std::lock_guard lock(mutex_);
    for (auto& [number, camera] : cameras_) {
        camera.inbox.clear(); // but for the parameters, which the next Start begins with
        camera.inboxBytes = 0;
        camera.init.reset();
        if (camera.params) {
            Input input;
            input.kind = DVR_EVT_MEDIA_PARAMS;
            input.params = camera.params;
            camera.inbox.push_back(std::move(input));
        }
    }
    remuxes_.clear(); // the thread has ended
}

void LiveHub::Parameters(const _DvrMediaParams& params, const uint8_t* extradata)
{
    auto copy = std::make_shared<Params>();
    copy->params = params;
    copy->videoExtradata.assign(extradata, extradata + params.videoExtradataLength);
    copy->audioExtradata.assign(extradata + params.videoExtradataLength,
                                extradata + params.videoExtradataLength + params.audioExtradataLength);
    std::lock_guard lock(mutex_);
    Camera& camera = cameras_[params.camera];
    camera.params = copy;
    // Queued even without viewers, for the live thread to know them; parameters that nothing
    // followed are replaced, so an unwatched camera's inbox holds one item at most.
    Input input;
    input.kind = DVR_EVT_MEDIA_PARAMS;
    input.params = std::move(copy);
    if (!camera.inbox.empty() && camera.inbox.back().kind == DVR_EVT_MEDIA_PARAMS)
        camera.inbox.back() = std::move(input);
    else
        camera.inbox.push_back(std::move(input));
    wake_.notify_one();
}

void LiveHub::Frame(uint32_t kind, const _DvrMediaFrame& frame, const uint8_t* payload, size_t size)
{
    std::lock_guard lock(mutex_);
    auto found = cameras_.find(frame.camera);
    if (found == cameras_.end() || found->second.viewers.empty() || stopping_)
        return;
    Camera& camera = found->second;
    const bool key = kind == EVT_VIDEO && (frame.flags & DVR_MEDIA_KEY_FRAME) != 0;
    if (camera.droppingToKey && !key) {
        ++camera.inboxDropped;
        return;
    }
    if (camera.inboxBytes + size > settings_.inboxBytes || camera.inbox.size() >= settings_.inboxFrames) {
        camera.droppingToKey = true;
        ++camera.inboxDropped;
        return;
    }
    camera.droppingToKey = false;
    Input input;
    input.kind = kind;
    input.frame = frame;
    input.bytes.assign(payload, payload + size);
    camera.inboxBytes += size;
    camera.inbox.push_back(std::move(input));
    wake_.notify_one();
}

std::shared_ptr<LiveChannel> LiveHub::Attach(uint32_t number, std::function<void()> wake)
{
    std::lock_guard lock(mutex_);
    auto found = cameras_.find(number);
    if (found == cameras_.end() || stopping_)
        return nullptr;
    auto channel = std::make_shared<LiveChannel>(settings_, std::move(wake));
    if (found->second.init)
        channel->Offer(found->second.init);
    found->second.viewers.push_back(channel);
    return channel;
}

void LiveHub::Detach(uint32_t number, const std::shared_ptr<LiveChannel>& channel)
{
    const LiveFigures gone = channel->Figures();
    std::lock_guard lock(mutex_);
    auto found = cameras_.find(number);
    if (found == cameras_.end())
        return;
    Camera& camera = found->second;
    std::erase(camera.viewers, channel);
    camera.departed.fragmentsSent += gone.fragmentsSent;
    camera.departed.skips += gone.skips;
    camera.departed.skippedFragments += gone.skippedFragments;
    camera.departed.peakViewerBytes = std::max(camera.departed.peakViewerBytes, gone.peakViewerBytes);
    if (camera.viewers.empty()) {
        viewersLeft_ = true;
        wake_.notify_one();
    }
}

LiveFigures LiveHub::Figures(uint32_t number) const
{
    std::vector<std::shared_ptr<LiveChannel>> viewers;
    LiveFigures figures;
    {
        std::lock_guard lock(mutex_);
        auto found = cameras_.find(number);
        if (found == cameras_.end())
            return figures;
        viewers = found->second.viewers;
        figures = found->second.departed;
        figures.inboxDropped = found->second.inboxDropped;
    }
    for (const auto& viewer : viewers) {
        const LiveFigures one = viewer->Figures();
        figures.viewers += 1;
        figures.fragmentsSent += one.fragmentsSent;
        figures.skips += one.skips;
        figures.skippedFragments += one.skippedFragments;
        figures.peakViewerBytes = std::max(figures.peakViewerBytes, one.peakViewerBytes);
    }
    return figures;
}

// ---- LiveHub: the live thread --------------------------------------------------------------------

void LiveHub::Run()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] {
            if (stopping_ || viewersLeft_)
                return true;
            for (const auto& [number, camera] : cameras_)
                if (!camera.inbox.empty())
                    return true;
            return false;
        });
        if (stopping_)
            return;
        viewersLeft_ = false;
        for (auto& [number, camera] : cameras_) {
            std::deque<Input> inputs;
            inputs.swap(camera.inbox);
            camera.inboxBytes = 0;
            const bool watched = !camera.viewers.empty();
            if (!watched)
                camera.init.reset();
            lock.unlock();
            Remux& remux = remuxes_[number];
            if (!watched)
                remux.muxer.reset(); // nobody watches: no cost but the counters
            for (const Input& input : inputs)
                if (watched || input.kind == DVR_EVT_MEDIA_PARAMS)
                    Handle(number, remux, input);
            lock.lock();
            if (stopping_)
                return;
        }
    }
}

void LiveHub::Handle(uint32_t camera, Remux& remux, const Input& input)
{
    if (input.kind == DVR_EVT_MEDIA_PARAMS) {
        remux.params = input.params;
        EndMuxer(camera, remux); // the next key frame starts a muxer with a new init segment
        return;
    }
    const _DvrMediaFrame& frame = input.frame;
    if (input.kind == EVT_VIDEO) {
        // A key frame sent again to open the core's gate is one this camera's muxer has had.
        if ((frame.flags & DVR_MEDIA_REPEATED) != 0 && remux.haveSequence &&
            static_cast<int32_t>(frame.sequence - remux.lastSequence) <= 0)
            return;
        remux.haveSequence = true;
        remux.lastSequence = frame.sequence;
        const bool key = (frame.flags & DVR_MEDIA_KEY_FRAME) != 0;
        if (!remux.muxer && (!key || !StartMuxer(camera, remux, input)))
            return;
        if (frame.dts > remux.lastVideoDts && remux.lastVideoDts > remux.origin)
            remux.frameTicks = std::min<int64_t>(frame.dts - remux.lastVideoDts, DVR_MEDIA_CLOCK_RATE);
    } else if (!remux.muxer || !remux.muxer->HasAudio() || frame.dts < remux.origin) {
        return; // audio before the first key frame, or of a codec the live view leaves out
    }
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr)
        return;
    packet->data = const_cast<uint8_t*>(input.bytes.data()); // the muxer copies what it keeps
    packet->size = static_cast<int>(input.bytes.size());
    packet->dts = frame.dts - remux.origin;
    packet->pts = frame.pts - remux.origin;
    const bool video = input.kind == EVT_VIDEO;
    if (frame.duration > 0)
        packet->duration = frame.duration;
    else
        packet->duration =
            video ? remux.frameTicks
                  : av_rescale(1024, DVR_MEDIA_CLOCK_RATE, std::max<uint32_t>(remux.params->params.sampleRate, 1));
    if (video && (frame.flags & DVR_MEDIA_KEY_FRAME) != 0)
        packet->flags |= AV_PKT_FLAG_KEY;
    int result = remux.muxer->Write(video ? LiveMuxer::VIDEO_TRACK : LiveMuxer::AUDIO_TRACK, *packet,
                                    AVRational{1, DVR_MEDIA_CLOCK_RATE});
    av_packet_free(&packet);
    std::vector<uint8_t> fragment;
    if (result >= 0 && video)
        result = remux.muxer->EndFragment(fragment);
    if (result < 0) {
        Log(LOG_DETAIL, "live %s: remuxing failed (%s); the view starts again at the next key frame",
            remux.params->params.name, ffmpeg_common::AvErrorText(result).c_str());
        EndMuxer(camera, remux);
        return;
    }
    if (!video)
        return;
    remux.lastVideoDts = frame.dts;
    auto out = std::make_shared<LivePacket>();
    out->key = (frame.flags & DVR_MEDIA_KEY_FRAME) != 0;
    out->captureNs = frame.captureTimeNs;
    out->text = "{\"type\":\"fragment\",\"captureMs\":" + std::to_string(frame.captureTimeNs / 1'000'000) +
                ",\"key\":" + (out->key ? "true" : "false") + "}";
    out->binary = std::move(fragment);
    Publish(camera, std::move(out));
}

bool LiveHub::StartMuxer(uint32_t camera, Remux& remux, const Input& key)
{
    if (!remux.params || remux.params->params.videoCodec != DVR_CODEC_H264)
        return false;
    const _DvrMediaParams& p = remux.params->params;
    ParametersHolder video;
    ParametersHolder audio;
    if (video.parameters == nullptr || audio.parameters == nullptr)
        return false;
    video.parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    video.parameters->codec_id = AV_CODEC_ID_H264;
    video.parameters->width = static_cast<int>(p.width);
    video.parameters->height = static_cast<int>(p.height);
    std::vector<uint8_t> extradata = remux.params->videoExtradata;
    if (extradata.empty()) // Annex B with the parameter sets in band only
        extradata = media_source::ParameterSetsOf(DVR_CODEC_H264, key.bytes.data(), key.bytes.size());
    std::string codecs = H264CodecString(extradata.data(), extradata.size());
    if (codecs.empty() || !SetExtradata(*video.parameters, extradata)) {
        if (!remux.failed)
            Log(LOG_WARNING, "live %s: no sequence parameter set; no live view", p.name);
        remux.failed = true;
        return false;
    }
    const AVCodecParameters* audioTrack = nullptr;
    if (p.audioCodec == DVR_CODEC_AAC && p.sampleRate > 0 && p.channels > 0) {
        audio.parameters->codec_type = AVMEDIA_TYPE_AUDIO;
        audio.parameters->codec_id = AV_CODEC_ID_AAC;
        audio.parameters->sample_rate = static_cast<int>(p.sampleRate);
        av_channel_layout_default(&audio.parameters->ch_layout, static_cast<int>(p.channels));
        audio.parameters->frame_size = 1024;
        if (!SetExtradata(*audio.parameters, remux.params->audioExtradata))
            return false;
        audioTrack = audio.parameters;
        codecs += ",mp4a.40.2";
    }
    auto init = std::make_shared<LivePacket>();
    std::string why;
    remux.muxer = LiveMuxer::Create(*video.parameters, audioTrack, init->binary, why);
    if (!remux.muxer) {
        if (!remux.failed)
            Log(LOG_WARNING, "live %s: %s; no live view", p.name, why.c_str());
        remux.failed = true;
        return false;
    }
    remux.failed = false;
    remux.origin = key.frame.dts;
    remux.lastVideoDts = key.frame.dts;
    init->init = true;
    init->text = "{\"type\":\"init\",\"codecs\":\"" + codecs + "\",\"width\":" + std::to_string(p.width) +
                 ",\"height\":" + std::to_string(p.height) + "}";
    Publish(camera, std::move(init));
    return true;
}

void LiveHub::EndMuxer(uint32_t camera, Remux& remux)
{
    remux.muxer.reset();
    std::lock_guard lock(mutex_);
    cameras_[camera].init.reset();
}

void LiveHub::Publish(uint32_t number, std::shared_ptr<const LivePacket> packet)
{
    std::vector<std::shared_ptr<LiveChannel>> viewers;
    {
        std::lock_guard lock(mutex_);
        Camera& camera = cameras_[number];
        if (packet->init)
            camera.init = packet;
        viewers = camera.viewers;
    }
    for (const auto& viewer : viewers)
        viewer->Offer(packet);
}

} // namespace webview
