#include "frame_sender.h"

#include "plugin_log.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

namespace media_source {
namespace {

DropCause CauseOf(int32_t result)
{
    switch (result) {
    case EVENT_THROTTLED: return kDropThrottled;
    case EVENT_NO_KEY_FRAME: return kDropNoKeyFrame;
    case EVENT_GATE_EXPIRED: return kDropGateExpired;
    case EVENT_NO_MEMORY: return kDropNoMemory;
    default: return kDropRefused;
    }
}

} // namespace

std::string FormatStats(const std::string& name, const CameraStats& stats)
{
    char text[512];
    std::snprintf(text, sizeof text,
                  "%s: read %" PRIu64 ", sent %" PRIu64 ", key frames %" PRIu64 ", %" PRIu64
                  " bytes; dropped: throttled %" PRIu64 ", no key frame %" PRIu64 ", gate expired %" PRIu64
                  ", no memory %" PRIu64 ", refused %" PRIu64 ", before key frame %" PRIu64 "; reconnects %" PRIu64,
                  name.c_str(), stats.framesRead, stats.framesSent, stats.keyFrames, stats.bytesSent,
                  stats.drops[kDropThrottled], stats.drops[kDropNoKeyFrame], stats.drops[kDropGateExpired],
                  stats.drops[kDropNoMemory], stats.drops[kDropRefused], stats.drops[kDropBeforeKeyFrame],
                  stats.reconnects);
    return text;
}

FrameSender::FrameSender(uint32_t camera, std::string name)
    : camera_(camera),
      providerID_(kProviderBase | (camera & 0xFFFFu)),
      name_(std::move(name))
{
}

void FrameSender::StartConnection(const StreamInfo& info)
{
    ++generation_;
    hasVideo_ = info.videoCodec != 0;
    waitingForKeyFrame_ = hasVideo_;
    waitCause_ = kDropBeforeKeyFrame;

    _DvrMediaParams params{};
    params.size = sizeof params;
    params.version = DVR_MEDIA_PARAMS_VERSION;
    params.camera = camera_;
    params.flags = generation_ > 1 ? DVR_MEDIA_DISCONTINUITY : 0;
    params.generation = generation_;
    params.videoCodec = info.videoCodec;
    params.width = info.width;
    params.height = info.height;
    params.videoExtradataLength = static_cast<uint32_t>(info.videoExtradata.size());
    params.audioCodec = info.audioCodec;
    params.sampleRate = info.sampleRate;
    params.channels = info.channels;
    params.audioExtradataLength = static_cast<uint32_t>(info.audioExtradata.size());
    std::snprintf(params.name, sizeof params.name, "%s", name_.c_str());

    std::vector<uint8_t> data(sizeof params + info.videoExtradata.size() + info.audioExtradata.size());
    std::memcpy(data.data(), &params, sizeof params);
    if (!info.videoExtradata.empty())
        std::memcpy(data.data() + sizeof params, info.videoExtradata.data(), info.videoExtradata.size());
    if (!info.audioExtradata.empty())
        std::memcpy(data.data() + sizeof params + info.videoExtradata.size(), info.audioExtradata.data(),
                    info.audioExtradata.size());
    _EventParmsIn in = DvrMediaParamsEvent(providerID_, reinterpret_cast<const _DvrMediaParams*>(data.data()),
                                           static_cast<uint32_t>(data.size()));
    _EventParmsOut out = DvrEventParmsOut();
    CoreCallback()(&in, &out);
    if (out.result != EVENT_ACCEPTED)
        Log(kProviderBase, kLogWarning, "camera %s: the core refused its stream parameters (%d)", name_.c_str(),
            static_cast<int>(out.result));
}

void FrameSender::Send(const MediaPacket& packet)
{
    uint32_t sequence = sequence_[packet.video ? 0 : 1]++;
    {
        std::lock_guard<std::mutex> lock(statsLock_);
        ++stats_.framesRead;
        if (packet.video && packet.keyFrame)
            ++stats_.keyFrames;
    }
    // After a refusal the gate wants this camera's key frame; audio waits with the video, so the
    // receiver gets both again from the same point.
    if (waitingForKeyFrame_ && !(packet.video && packet.keyFrame)) {
        Drop(waitCause_);
        return;
    }
    _DvrMediaFrame header{};
    header.size = sizeof header;
    header.version = DVR_MEDIA_FRAME_VERSION;
    header.camera = camera_;
    header.sequence = sequence;
    header.dts = packet.dts;
    header.pts = packet.pts;
    header.captureTimeNs = packet.captureTimeNs;
    header.duration = packet.duration;
    header.flags = (packet.keyFrame ? DVR_MEDIA_KEY_FRAME : 0) | (packet.noDts ? DVR_MEDIA_NO_DTS : 0);
    try {
        buffer_.resize(sizeof header + packet.size);
    } catch (const std::bad_alloc&) {
        // As if the core had no memory for it: dropped to the next key frame, one line a run.
        if (!(waitingForKeyFrame_ && waitCause_ == kDropNoMemory))
            Log(kProviderBase, kLogWarning,
                "camera %s: no memory for a frame of %zu bytes; dropping to the next key frame", name_.c_str(),
                packet.size);
        Refused(EVENT_NO_MEMORY);
        return;
    }
    std::memcpy(buffer_.data(), &header, sizeof header);
    if (packet.size != 0)
        std::memcpy(buffer_.data() + sizeof header, packet.data, packet.size);

    _EventParmsIn in = DvrMediaFrameEvent(providerID_, packet.video ? EVT_VIDEO : EVT_AUDIO, &header,
                                          static_cast<uint32_t>(buffer_.size()));
    in.data = buffer_.data();
    _EventParmsOut out = DvrEventParmsOut();
    CoreCallback()(&in, &out);
    if (out.result == EVENT_ACCEPTED) {
        if (packet.video)
            waitingForKeyFrame_ = false;
        std::lock_guard<std::mutex> lock(statsLock_);
        ++stats_.framesSent;
        stats_.bytesSent += packet.size;
        return;
    }
    Refused(out.result);
}

void FrameSender::Refused(int32_t result)
{
    DropCause cause = CauseOf(result);
    Drop(cause);
    if (hasVideo_) {
        waitingForKeyFrame_ = true;
        waitCause_ = cause;
    }
}

void FrameSender::Drop(DropCause cause)
{
    std::lock_guard<std::mutex> lock(statsLock_);
    ++stats_.drops[cause];
}

void FrameSender::CountReconnect()
{
    std::lock_guard<std::mutex> lock(statsLock_);
    ++stats_.reconnects;
}

CameraStats FrameSender::Stats() const
{
    std::lock_guard<std::mutex> lock(statsLock_);
    return stats_;
}

} // namespace media_source
