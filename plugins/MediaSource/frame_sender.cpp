#include "frame_sender.h"

#include "plugin_log.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

namespace media_source {
namespace {

// A camera whose AAC configuration has not come by this video key frame is sent without audio until
// it comes, rather than losing its video as well.
constexpr uint32_t kKeyFramesWithoutAudioConfig = 2;
// The frame buffer keeps up to this much between frames, and more only while frames need it.
constexpr size_t kKeepBufferBytes = 1 << 20;
// A lossless camera's pause before it offers a refused frame again.
constexpr auto kRetryPause = std::chrono::milliseconds(20);
// Offers of one frame refused for a missing key frame after the last key frame was sent again.
constexpr int kGateRetries = 2;
// What a lossless camera sends before a receiver's first flow record: less than any receiver's
// window. Once it is out, the camera waits its first-record wait for a record before it takes it
// that no receiver follows its frames and sends on without waiting.
constexpr uint64_t kFirstWindowBytes = 512 * 1024;

// A buffer that grew for one large frame is given back at the next small one.
void ShrinkIfOversized(FrameBytes& buffer)
{
    if (buffer.capacity() > kKeepBufferBytes && buffer.capacity() > 4 * buffer.size())
        buffer.shrink_to_fit();
}

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
                  ", no memory %" PRIu64 ", refused %" PRIu64 ", before key frame %" PRIu64 ", no parameters %" PRIu64
                  ", damaged %" PRIu64 "; reconnects %" PRIu64 ", offered again %" PRIu64,
                  name.c_str(), stats.framesRead, stats.framesSent, stats.keyFrames, stats.bytesSent,
                  stats.drops[kDropThrottled], stats.drops[kDropNoKeyFrame], stats.drops[kDropGateExpired],
                  stats.drops[kDropNoMemory], stats.drops[kDropRefused], stats.drops[kDropBeforeKeyFrame],
                  stats.drops[kDropNoParameters], stats.drops[kDropDamaged], stats.reconnects, stats.offeredAgain);
    return text;
}

FrameSender::FrameSender(uint32_t camera, std::string name, bool lossless, std::chrono::milliseconds firstRecordWait)
    : camera_(camera),
      providerID_(kProviderBase | (camera & 0xFFFFu)),
      name_(std::move(name)),
      lossless_(lossless),
      firstRecordWait_(firstRecordWait)
{
}

void FrameSender::StartConnection(const StreamInfo& info)
{
    ++generation_;
    hasVideo_ = info.videoCodec != 0;
    waitingForKeyFrame_ = hasVideo_;
    waitCause_ = kDropBeforeKeyFrame;
    loopAwaitsKeyFrame_ = false;
    info_ = info;
    paramsDue_ = true;
    paramsSent_ = false;
    paramsLogged_ = false;
    keyFramesWaiting_ = 0;
    audioLeftOut_ = false;
    keyCopy_.clear(); // another connection's key frame opens no gate for this one's frames
    gateClosed_ = false;
    SendParams();
}

void FrameSender::ChangeParams(const StreamInfo& info)
{
    info_ = info;
    paramsDue_ = true;
}

bool FrameSender::SendParams()
{
    const bool noAudioConfig = info_.audioCodec == DVR_CODEC_AAC && info_.audioExtradata.empty();
    const bool leaveOutAudio =
        noAudioConfig && info_.videoCodec != 0 && keyFramesWaiting_ >= kKeyFramesWithoutAudioConfig;
    const char* missing = info_.videoCodec != 0 && (info_.width == 0 || info_.height == 0) ? "no picture size yet"
                          : noAudioConfig && !leaveOutAudio                                ? "no AAC configuration yet"
                                                                                           : nullptr;
    if (missing != nullptr) {
        if (!paramsLogged_)
            Log(kProviderBase, kLogInfo, "camera %s: %s: frames wait for it", name_.c_str(), missing);
        paramsLogged_ = true;
        return false;
    }

    _DvrMediaParams params{};
    params.size = sizeof params;
    params.version = DVR_MEDIA_PARAMS_VERSION;
    params.camera = camera_;
    params.flags = generation_ > 1 && !paramsSent_ ? DVR_MEDIA_DISCONTINUITY : 0;
    params.generation = generation_;
    params.videoCodec = info_.videoCodec;
    params.width = info_.width;
    params.height = info_.height;
    params.videoExtradataLength = static_cast<uint32_t>(info_.videoExtradata.size());
    if (!leaveOutAudio) {
        params.audioCodec = info_.audioCodec;
        params.sampleRate = info_.sampleRate;
        params.channels = info_.channels;
        params.audioExtradataLength = static_cast<uint32_t>(info_.audioExtradata.size());
    }
    std::snprintf(params.name, sizeof params.name, "%s", name_.c_str());

    std::vector<uint8_t> data(sizeof params + params.videoExtradataLength + params.audioExtradataLength);
    std::memcpy(data.data(), &params, sizeof params);
    if (params.videoExtradataLength != 0)
        std::memcpy(data.data() + sizeof params, info_.videoExtradata.data(), params.videoExtradataLength);
    if (params.audioExtradataLength != 0)
        std::memcpy(data.data() + sizeof params + params.videoExtradataLength, info_.audioExtradata.data(),
                    params.audioExtradataLength);
    _EventParmsIn in = DvrMediaParamsEvent(providerID_, reinterpret_cast<const _DvrMediaParams*>(data.data()),
                                           static_cast<uint32_t>(data.size()));
    _EventParmsOut out = DvrEventParmsOut();
    CallCore(&in, &out);
    if (out.result != EVENT_ACCEPTED) {
        if (!paramsLogged_)
            Log(kProviderBase, kLogWarning,
                "camera %s: the core refused its stream parameters (%d): frames wait, and they are sent again",
                name_.c_str(), static_cast<int>(out.result));
        paramsLogged_ = true;
        return false;
    }
    if (leaveOutAudio && !audioLeftOut_)
        Log(kProviderBase, kLogWarning,
            "camera %s: no AAC configuration by its key frame %u: sent without audio until it comes", name_.c_str(),
            keyFramesWaiting_);
    audioLeftOut_ = leaveOutAudio;
    paramsDue_ = false;
    paramsSent_ = true;
    paramsLogged_ = false;
    return true;
}

void FrameSender::CountDamaged(bool video)
{
    ++sequence_[video ? 0 : 1];
    std::lock_guard<std::mutex> lock(statsLock_);
    ++stats_.framesRead;
    ++stats_.drops[kDropDamaged];
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
    // Frames never go out ahead of the parameters that describe them; a video frame dropped for
    // them breaks the picture's chain, so the camera then waits for a key frame as after a refusal.
    if (paramsDue_ && packet.video && packet.keyFrame)
        ++keyFramesWaiting_;
    if (paramsDue_ && !SendParams()) {
        Drop(kDropNoParameters);
        if (hasVideo_ && !(waitingForKeyFrame_ && waitCause_ == kDropNoParameters)) {
            waitingForKeyFrame_ = true;
            waitCause_ = kDropNoParameters;
        }
        return;
    }
    if (!packet.video && audioLeftOut_) {
        Drop(kDropNoParameters);
        return;
    }
    if (packet.video && loopAwaitsKeyFrame_) {
        if (!packet.keyFrame) {
            Drop(kDropBeforeKeyFrame);
            return;
        }
        loopAwaitsKeyFrame_ = false;
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
    header.flags = (packet.keyFrame ? DVR_MEDIA_KEY_FRAME : 0) | (packet.noDts ? DVR_MEDIA_NO_DTS : 0) |
                   (lossless_ ? DVR_MEDIA_FLOW_CONTROLLED : 0);
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
    ShrinkIfOversized(buffer_);
    std::memcpy(buffer_.data(), &header, sizeof header);
    if (packet.size != 0)
        std::memcpy(buffer_.data() + sizeof header, packet.data, packet.size);

    const int32_t result = lossless_ ? OfferUntilTaken(packet.video, packet.keyFrame) : Offer(buffer_, packet.video);
    if (result == EVENT_ACCEPTED) {
        if (packet.video)
            waitingForKeyFrame_ = false;
        std::lock_guard<std::mutex> lock(statsLock_);
        ++stats_.framesSent;
        stats_.bytesSent += packet.size;
        return;
    }
    Refused(result);
}

int32_t FrameSender::Offer(const FrameBytes& buffer, bool video)
{
    const auto len = static_cast<uint32_t>(buffer.size());
    if (lossless_) {
        bool unfollowed = false; // said after the lock: the core is never called holding it
        {
            std::unique_lock<std::mutex> lock(flowLock_);
            auto room = [&] {
                const uint64_t window = flowKnown_ ? windowBytes_ : kFirstWindowBytes;
                return interrupted_ || unfollowed_ || sentBytes_ <= doneBytes_ ||
                       sentBytes_ - doneBytes_ + len <= window;
            };
            if (!flowKnown_ && !flowChanged_.wait_for(lock, firstRecordWait_, room))
                unfollowed = unfollowed_ = true;
            flowChanged_.wait(lock, room);
            if (interrupted_)
                return EVENT_REFUSED;
        }
        if (unfollowed)
            Log(kProviderBase, kLogInfo, "camera %s: no receiver follows its frames: they go on without waiting",
                name_.c_str());
    }
    _DvrMediaFrame header{};
    std::memcpy(&header, buffer.data(), sizeof header);
    _EventParmsIn in = DvrMediaFrameEvent(providerID_, video ? EVT_VIDEO : EVT_AUDIO, &header, len);
    in.data = const_cast<uint8_t*>(buffer.data());
    _EventParmsOut out = DvrEventParmsOut();
    CallCore(&in, &out);
    if (out.result == EVENT_ACCEPTED && lossless_) {
        std::lock_guard<std::mutex> lock(flowLock_);
        sentBytes_ += len;
    }
    return out.result;
}

int32_t FrameSender::OfferUntilTaken(bool video, bool key)
{
    bool offeredAgain = false;
    for (int gateRetries = 0;;) {
        // Throttling made the core's gate start again at a key frame: the last one goes again first,
        // marked repeated so the receiver skips it, and the frames after it then pass.
        if (video && !key && gateClosed_ && !keyCopy_.empty()) {
            const int32_t opened = Offer(keyCopy_, true);
            if (opened == EVENT_ACCEPTED) {
                gateClosed_ = false;
            } else if (opened == EVENT_THROTTLED || opened == EVENT_NO_MEMORY) {
                if (!Pause(kRetryPause))
                    return EVENT_REFUSED;
                continue;
            } else {
                return opened;
            }
        }
        const int32_t result = Offer(buffer_, video);
        if (result == EVENT_ACCEPTED) {
            if (video && key) {
                // The core has its own copy of the frame: its bytes become the key copy without
                // another, and the next frame is built in the old key copy's storage.
                keyCopy_.swap(buffer_);
                ShrinkIfOversized(keyCopy_);
                _DvrMediaFrame header{};
                std::memcpy(&header, keyCopy_.data(), sizeof header);
                header.flags |= DVR_MEDIA_REPEATED;
                std::memcpy(keyCopy_.data(), &header, sizeof header);
            }
            if (video)
                gateClosed_ = false;
            if (offeredAgain) {
                std::lock_guard<std::mutex> lock(statsLock_);
                ++stats_.offeredAgain;
            }
            return result;
        }
        if (result == EVENT_NO_KEY_FRAME && !keyCopy_.empty() && gateRetries++ < kGateRetries) {
            gateClosed_ = true;
            offeredAgain = true;
            continue;
        }
        if (result != EVENT_THROTTLED && result != EVENT_NO_MEMORY)
            return result;
        gateClosed_ = true; // a throttled frame of either kind closes the camera's gate
        offeredAgain = true;
        if (!Pause(kRetryPause))
            return EVENT_REFUSED;
    }
}

bool FrameSender::Pause(std::chrono::milliseconds pause)
{
    std::unique_lock<std::mutex> lock(flowLock_);
    return !flowChanged_.wait_for(lock, pause, [this] { return interrupted_; });
}

void FrameSender::Acknowledge(uint64_t doneBytes, uint64_t windowBytes)
{
    {
        std::lock_guard<std::mutex> lock(flowLock_);
        flowKnown_ = true;
        unfollowed_ = false;
        doneBytes_ = doneBytes;
        windowBytes_ = windowBytes;
    }
    flowChanged_.notify_all();
}

void FrameSender::Interrupt()
{
    {
        std::lock_guard<std::mutex> lock(flowLock_);
        interrupted_ = true;
    }
    flowChanged_.notify_all();
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
