#include "camera_writer.h"

#include "recorder_log.h"
#include "recording_names.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <utility>

namespace segrec {

namespace {

constexpr int64_t CLOCK_RATE = DVR_MEDIA_CLOCK_RATE;
// Stop's deadlines are on hooks_.now, which need not be the condition's clock: it is read again at
// least this often.
constexpr auto WAIT_SLICE = std::chrono::milliseconds(20);
// The frame buffer keeps up to this much between frames, and more only while frames need it.
constexpr size_t KEEP_BUFFER_BYTES = 1 << 20;
// The writer thread is woken for a batch of frames, not for each one: every wake-up costs a context
// switch and two system calls, and the muxer writes nothing to the disk before a fragment ends
// anyway. A batch is due at this many items, at a video key frame (it ends a fragment), at new
// parameters, and when a flow-controlled sender's queued frames reach a quarter of its window (it
// waits for the writer before it fills the window); frames that do not fill a batch wait at most
// BATCH_HOLD.
constexpr size_t BATCH_ITEMS = 16;
constexpr auto BATCH_HOLD = std::chrono::milliseconds(200);
// Jobs the file finisher may hold: two files' ends and their successors' index lines. Past that the
// writer waits for the disk, as it did for each file before.
constexpr size_t FINISHER_JOBS = 4;

// A frame as the timeline policy judges it.
TimelineFrame FrameOf(const _DvrMediaFrame& frame, bool video, uint32_t skipped)
{
    TimelineFrame judged;
    judged.video = video;
    judged.key = video && (frame.flags & DVR_MEDIA_KEY_FRAME) != 0;
    judged.hasDts = (frame.flags & DVR_MEDIA_NO_DTS) == 0;
    judged.dts = frame.dts;
    judged.pts = frame.pts;
    judged.duration = frame.duration;
    judged.sequence = frame.sequence;
    judged.skipped = skipped;
    return judged;
}

// The parameter set NAL units (with their start codes) of an Annex B key frame, for a camera that
// sends them in band only.
std::vector<uint8_t> ParameterSets(const uint8_t* data, size_t size, bool hevc)
{
    std::vector<uint8_t> sets;
    size_t i = 0;
    auto nextStart = [&](size_t from) {
        for (size_t j = from; j + 3 <= size; ++j)
            if (data[j] == 0 && data[j + 1] == 0 && data[j + 2] == 1)
                return j;
        return size;
    };
    i = nextStart(0);
    while (i < size) {
        size_t begin = i + 3;
        size_t end = nextStart(begin);
        size_t next = end;
        while (end > begin && data[end - 1] == 0) // trailing zeros belong to a four-byte start code
            --end;
        if (begin < end) {
            unsigned type = hevc ? (data[begin] >> 1) & 0x3F : data[begin] & 0x1F;
            bool parameterSet = hevc ? type >= 32 && type <= 34 : type == 7 || type == 8;
            if (parameterSet) {
                const uint8_t startCode[] = {0, 0, 0, 1};
                sets.insert(sets.end(), startCode, startCode + 4);
                sets.insert(sets.end(), data + begin, data + end);
            }
        }
        i = next;
    }
    return sets;
}

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

CameraWriter::CameraWriter(uint32_t camera, const RecorderConfig& config, RecordingStore& store, WriterHooks hooks)
    : camera_(camera),
      config_(config),
      store_(store),
      hooks_(std::move(hooks)),
      name_("camera" + std::to_string(camera)),
      timeline_(static_cast<int64_t>(config.segmentSeconds) * CLOCK_RATE),
      ffmpegLines_(name_, "", "", [](int32_t level, const std::string& line) { Log(level, "%s", line.c_str()); }),
      nextSync_(std::chrono::steady_clock::now()),
      finisher_(FINISHER_JOBS),
      thread_([this] {
          ffmpeg_common::FfmpegLinesScope ffmpegLines(&ffmpegLines_);
          try {
              Run();
          } catch (const std::exception& error) { // the last resort: std::terminate would end the core
              Log(LOG_FAILURE, "camera %u: the writer stopped: %s", camera_, error.what());
          }
          finisher_.Drain(); // every file it ended is on the disk and in the index
          std::lock_guard lock(mutex_);
          ended_ = true;
          endedChanged_.notify_all();
      })
{
}

CameraWriter::~CameraWriter()
{
    Stop();
}

bool CameraWriter::OfferFrame(uint32_t kind, const _DvrMediaFrame& frame, void* block, const uint8_t* payload,
                              size_t size)
{
    const bool key = kind == EVT_VIDEO && (frame.flags & DVR_MEDIA_KEY_FRAME) != 0;
    // A flow-controlled sender waits for room instead of losing frames: its frames are never held
    // to the media-time bound, and their bytes are counted back to it whatever becomes of them.
    const bool flowControlled = (frame.flags & DVR_MEDIA_FLOW_CONTROLLED) != 0;
    const uint64_t flowBytes = flowControlled ? frame.size + size : 0;
    std::unique_lock lock(mutex_);
    if (stopping_)
        return false;
    flowControlled_ = flowControlled_ || flowControlled;
    const bool promised = flowControlled && flowPromise_.Offer(flowBytes);
    if (kind == EVT_VIDEO && (frame.flags & DVR_MEDIA_REPEATED) != 0 && haveVideoSequence_ &&
        static_cast<int32_t>(frame.sequence - lastVideoSequence_) <= 0) {
        // A key frame sent again only to open the core's gate: this writer has it already.
        const auto record = FlowDoneLocked(flowBytes);
        lock.unlock();
        SendFlow(record);
        return false;
    }
    if (kind == EVT_VIDEO) {
        haveVideoSequence_ = true;
        lastVideoSequence_ = frame.sequence;
    }
    bool overBytes = queuedBytes_ + size > static_cast<uint64_t>(config_.queueMB) * 1024 * 1024;
    // Media time queued: the sum of the steps between queued video frames, each taken as at most a
    // second, so a jump in the camera's timestamps does not look like a long queue.
    int64_t step = 0;
    if (kind == EVT_VIDEO) {
        step = haveOfferedVideo_ ? std::clamp<int64_t>(frame.dts - lastOfferedVideoDts_, 0, CLOCK_RATE) : 0;
        lastOfferedVideoDts_ = frame.dts;
        haveOfferedVideo_ = true;
    }
    const bool overTime =
        !flowControlled && queuedTicks_ + step > static_cast<int64_t>(config_.queueSeconds) * CLOCK_RATE;
    // The shared bound is asked last: only a frame that is queued takes from it.
    // The room a flow record promised stays the sender's when a camera joins and the shares shrink.
    if (!overBytes && !overTime && !(droppingToKey_ && !key) && hooks_.budget != nullptr &&
        !hooks_.budget->Take(camera_, size, promised))
        overBytes = true;
    if (overBytes || overTime || (droppingToKey_ && !key)) {
        const bool first = !droppingToKey_;
        droppingToKey_ = true;
        ++counters_.droppedQueueFull;
        ++skipped_[kind == EVT_VIDEO ? 0 : 1];
        const std::string name = name_;
        const auto record = FlowDoneLocked(flowBytes);
        lock.unlock(); // never call the core holding a lock
        SendFlow(record);
        if (first)
            Log(LOG_WARNING, "%s: the writer is behind (queue over %s); dropping until the next key frame",
                name.c_str(), overBytes ? "its size" : "its media time");
        return false;
    }
    droppingToKey_ = false;
    Item item;
    item.kind = kind;
    item.frame = frame;
    item.block = block;
    item.payload = payload;
    item.size = size;
    item.step = step;
    item.skipped = std::exchange(skipped_[kind == EVT_VIDEO ? 0 : 1], 0);
    item.flowBytes = flowBytes;
    if (queue_.empty())
        batchSince_ = std::chrono::steady_clock::now();
    queue_.push_back(std::move(item));
    queuedBytes_ += size;
    queuedTicks_ += step;
    if (queue_.size() >= BATCH_ITEMS || key || (flowControlled && queuedBytes_ >= flowPromise_.Window() / 4))
        BatchDueLocked();
    if (flowControlled && !flowPromise_.Announced()) {
        const auto record = FlowDoneLocked(0);
        lock.unlock();
        SendFlow(record);
    }
    return true;
}

void CameraWriter::OfferParams(std::shared_ptr<const CameraParams> params)
{
    std::lock_guard lock(mutex_);
    if (stopping_)
        return;
    if (params->params.name[0] != '\0')
        name_ = params->params.name;
    Item item;
    item.kind = DVR_EVT_MEDIA_PARAMS;
    item.params = std::move(params);
    if (queue_.empty())
        batchSince_ = std::chrono::steady_clock::now();
    queue_.push_back(std::move(item));
    BatchDueLocked();
}

void CameraWriter::BatchDueLocked()
{
    if (batchDue_)
        return;
    batchDue_ = true;
    if (writerIdle_)
        wake_.notify_one();
}

void CameraWriter::RequestStop()
{
    std::lock_guard lock(mutex_);
    stopping_ = true;
    wake_.notify_one();
}

bool CameraWriter::Stop(std::chrono::steady_clock::time_point drainBy, std::chrono::steady_clock::time_point finishBy)
{
    RequestStop();
    const auto endedBy = [this](std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        while (!ended_ && hooks_.now() < deadline)
            endedChanged_.wait_for(lock, WAIT_SLICE);
        return ended_;
    };
    if (!endedBy(drainBy)) {
        DropQueue();
        if (!endedBy(finishBy)) {
            if (thread_.joinable()) {
                Log(LOG_FAILURE, "%s: the writer is stuck in a write or sync that has not returned; left running",
                    Name().c_str());
                thread_.detach();
            }
            return false;
        }
    }
    if (thread_.joinable())
        thread_.join();
    return true;
}

void CameraWriter::Stop()
{
    RequestStop();
    if (thread_.joinable())
        thread_.join();
}

void CameraWriter::DropQueue()
{
    std::deque<Item> dropped;
    uint64_t frames = 0;
    uint64_t bytes = 0;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(queue_);
        for (const Item& item : dropped) {
            frames += item.block != nullptr ? 1 : 0;
            flowDone_ += item.flowBytes; // no record: the camera is closing
        }
        bytes = queuedBytes_;
        if (hooks_.budget != nullptr)
            hooks_.budget->Give(camera_, queuedBytes_);
        queuedBytes_ = 0;
        queuedTicks_ = 0;
        counters_.droppedClosing += frames;
    }
    for (const Item& item : dropped) // without the lock: the core is called
        if (item.block != nullptr)
            hooks_.release(item.block);
    if (frames > 0)
        Log(LOG_WARNING, "%s: closing: the disk did not take the queue in time; %llu frames (%llu bytes) dropped",
            Name().c_str(), static_cast<unsigned long long>(frames), static_cast<unsigned long long>(bytes));
}

std::pair<uint64_t, uint64_t> CameraWriter::FlowDoneLocked(uint64_t bytes)
{
    flowDone_ += bytes;
    // The first record goes out with the camera's first flow-controlled frame: until it comes, the
    // sender keeps to a small first window.
    if (!flowControlled_ || (flowPromise_.Announced() && flowDone_ == flowPromise_.ReportedDone()))
        return {0, 0};
    uint64_t window = static_cast<uint64_t>(config_.queueMB) * 1024 * 1024;
    if (hooks_.budget != nullptr)
        window = std::min(window, hooks_.budget->Share());
    // A record every quarter window keeps the sender going; one whenever the queue runs empty
    // reaches a sender that waits for the frames still on their way here.
    if (flowPromise_.Announced() && !queue_.empty() && flowDone_ - flowPromise_.ReportedDone() < window / 4)
        return {0, 0};
    flowPromise_.Announce(flowDone_, window);
    return {flowDone_, window};
}

void CameraWriter::SendFlow(std::pair<uint64_t, uint64_t> record)
{
    if (record.second != 0 && hooks_.flow)
        hooks_.flow(camera_, record.first, record.second);
}

CameraCounters CameraWriter::Counters() const
{
    std::lock_guard lock(mutex_);
    return counters_;
}

std::string CameraWriter::Name() const
{
    std::lock_guard lock(mutex_);
    return name_;
}

void CameraWriter::Count(uint64_t CameraCounters::*counter, uint64_t amount)
{
    std::lock_guard lock(mutex_);
    counters_.*counter += amount;
}

// The writer thread: everything queued is handled, including after Stop (unless Stop's time ran out
// and it dropped the rest itself), so no block stays kept.
void CameraWriter::Run()
{
    const auto syncPeriod = std::chrono::milliseconds(config_.syncMs);
    std::unique_lock lock(mutex_);
    bool draining = false; // once a batch is begun, the queue is written until it runs empty
    const auto idleUntil = [&](std::chrono::steady_clock::time_point until) {
        writerIdle_ = true;
        wake_.wait_until(lock, until);
        writerIdle_ = false;
    };
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextSync_) {
            nextSync_ = std::chrono::steady_clock::now() + syncPeriod;
            lock.unlock();
            if (file_) {
                file_->Sync();
                hooks_.makeRoom(); // retention keeps the floor before the disk fills
            }
            lock.lock();
            continue;
        }
        if (queue_.empty()) {
            if (stopping_)
                break;
            draining = false;
            idleUntil(nextSync_);
            continue;
        }
        if (!draining && !batchDue_ && !stopping_ && now < batchSince_ + BATCH_HOLD) {
            idleUntil(std::min(nextSync_, batchSince_ + BATCH_HOLD));
            continue;
        }
        draining = true;
        batchDue_ = false;
        Item item = std::move(queue_.front());
        queue_.pop_front();
        queuedBytes_ -= item.size;
        queuedTicks_ -= item.step;
        if (hooks_.budget != nullptr)
            hooks_.budget->Give(camera_, item.size);
        const auto record = FlowDoneLocked(item.flowBytes);
        lock.unlock();
        SendFlow(record);
        current_ = &item;
        HandleSafely(item);
        current_ = nullptr;
        if (item.block != nullptr)
            hooks_.release(item.block);
        PostEnded(); // a file that ended with no other begun after it
        try {
            if (!WriteFragment())
                EndFile("write failed");
        } catch (const std::exception& error) { // std::terminate would end the core
            Log(LOG_WARNING, "%s: a file could not be ended: %s", Name().c_str(), error.what());
        }
        lock.lock();
    }
    lock.unlock();
    try {
        if (file_)
            EndFile("closing");
        PostEnded();
    } catch (const std::exception& error) { // std::terminate would end the core
        Log(LOG_FAILURE, "%s: the last file could not be finished: %s", Name().c_str(), error.what());
    }
}

void CameraWriter::DetachFrame(AVPacket* packet)
{
    if (current_ == nullptr || current_->block == nullptr)
        return;
    Item& item = *current_;
    try {
        frameCopy_.assign(item.payload, item.payload + item.size);
    } catch (const std::bad_alloc&) {
        return;
    }
    // A buffer that grew for one large frame is given back at the next small one.
    if (frameCopy_.capacity() > KEEP_BUFFER_BYTES && frameCopy_.capacity() > 4 * item.size)
        frameCopy_.shrink_to_fit();
    if (packet != nullptr && packet->data == item.payload)
        packet->data = frameCopy_.data();
    item.payload = frameCopy_.data();
    hooks_.release(item.block);
    item.block = nullptr;
}

AVPacket* CameraWriter::Packet()
{
    if (!packet_)
        packet_.reset(av_packet_alloc());
    else
        av_packet_unref(packet_.get());
    return packet_.get();
}

bool CameraWriter::WriteFragment()
{
    if (!file_ || !file_->HasPending())
        return true;
    const uint64_t before = file_->Bytes();
    const int result = file_->WritePending();
    if (result < 0) {
        writeError_ = result;
        Count(&CameraCounters::droppedWriteFailed);
        return false;
    }
    wholeEndDts_ = pendingEndDts_;
    if (hooks_.wrote)
        hooks_.wrote(file_->Bytes() - before);
    hooks_.makeRoom();
    return true;
}

void CameraWriter::HandleSafely(const Item& item)
{
    try {
        Handle(item);
        outOfMemory_ = false;
    } catch (const std::exception& error) {
        // Without memory the frame is lost, as a failed write loses it; one line a run.
        Count(&CameraCounters::droppedWriteFailed);
        if (!outOfMemory_)
            Log(LOG_WARNING, "%s: a frame could not be written: %s", Name().c_str(), error.what());
        outOfMemory_ = true;
    }
}

void CameraWriter::Handle(const Item& item)
{
    if (item.kind == DVR_EVT_MEDIA_PARAMS)
        HandleParams(item.params);
    else if (item.kind == EVT_VIDEO)
        HandleVideo(item);
    else
        HandleAudio(item);
}

void CameraWriter::HandleParams(const std::shared_ptr<const CameraParams>& params)
{
    const _DvrMediaParams& next = params->params;
    if (next.name[0] != '\0')
        ffmpegLines_.subject = next.name;
    bool changed = !params_ || params_->params.videoCodec != next.videoCodec ||
                   params_->params.audioCodec != next.audioCodec || params_->params.width != next.width ||
                   params_->params.height != next.height || params_->params.sampleRate != next.sampleRate ||
                   params_->params.channels != next.channels || params_->videoExtradata != params->videoExtradata ||
                   params_->audioExtradata != params->audioExtradata;
    if (changed || (next.flags & DVR_MEDIA_DISCONTINUITY) != 0) {
        const char* video = next.videoCodec == DVR_CODEC_H264   ? "H.264"
                            : next.videoCodec == DVR_CODEC_HEVC ? "H.265"
                                                                : "none";
        const char* audio = next.audioCodec == DVR_CODEC_AAC    ? "AAC"
                            : next.audioCodec == DVR_CODEC_ALAW ? "G.711 A-law (recorded as AAC)"
                            : next.audioCodec == DVR_CODEC_ULAW ? "G.711 mu-law (recorded as AAC)"
                            : next.audioCodec == 0              ? "none"
                                                                : "not recordable (skipped)";
        Log(LOG_INFO, "%s: %s%s, video %s %ux%u, audio %s", next.name,
            params_ ? "new stream parameters" : "stream parameters",
            (next.flags & DVR_MEDIA_DISCONTINUITY) != 0 ? " after a discontinuity" : "", video, next.width, next.height,
            audio);
        if (file_) {
            Count(&CameraCounters::discontinuities);
            EndFile(changed ? "stream parameters changed" : "discontinuity");
        }
        timeline_.Restart();
    }
    params_ = params;
}

void CameraWriter::HandleVideo(const Item& item)
{
    const TimelineFrame frame = FrameOf(item.frame, true, item.skipped);
    TimelineDecision decision;
    for (;;) {
        decision = timeline_.Judge(frame);
        if (decision.cut != TimelineCut::None && decision.cut != TimelineCut::SegmentComplete)
            ReportBreak("video", decision);
        if (decision.action == TimelineAction::EndFile) {
            EndFile(decision.cut == TimelineCut::SegmentComplete ? "segment complete" : "timestamp jump");
            continue;
        }
        if (decision.action != TimelineAction::StartFile)
            break;
        if (diskFull_ && !RoomAgain()) {
            timeline_.Seen(frame);
            Count(&CameraCounters::droppedDiskFull);
            return;
        }
        if (!StartFile(item)) {
            timeline_.Seen(frame);
            Count(&CameraCounters::droppedAwaitingKey);
            return;
        }
    }
    CountDecision(decision);
    if (decision.action != TimelineAction::Write) {
        Count(diskFull_ ? &CameraCounters::droppedDiskFull : &CameraCounters::droppedAwaitingKey);
        return;
    }
    AVPacket* packet = Packet();
    if (packet == nullptr)
        return;
    packet->data = const_cast<uint8_t*>(item.payload); // read only: the file copies what it keeps
    packet->size = static_cast<int>(item.size);
    packet->dts = decision.dts;
    packet->pts = decision.pts;
    const AVRational timeBase = file_->TimeBase(VIDEO_TRACK);
    packet->duration = av_rescale_q(item.frame.duration, AVRational{1, DVR_MEDIA_CLOCK_RATE}, timeBase);
    packet->flags = frame.key ? AV_PKT_FLAG_KEY : 0;
    if (WritePacket(VIDEO_TRACK, *packet, timeBase, decision.end)) {
        std::lock_guard lock(mutex_);
        ++counters_.video;
        counters_.bytes += item.size;
    }
    if (writeError_ != 0)
        EndFile("write failed");
}

void CameraWriter::HandleAudio(const Item& item)
{
    const TimelineDecision decision = timeline_.Judge(FrameOf(item.frame, false, item.skipped));
    CountDecision(decision);
    if (decision.rebased)
        Log(LOG_INFO, "%s: audio timestamps far from the video's; the audio is moved onto the video's timeline",
            Name().c_str());
    if (decision.action != TimelineAction::Write) {
        const bool recordable =
            params_ && (params_->params.audioCodec == DVR_CODEC_AAC || params_->params.audioCodec == DVR_CODEC_ALAW ||
                        params_->params.audioCodec == DVR_CODEC_ULAW);
        if (decision.drop == TimelineDrop::AudioBehind)
            Count(&CameraCounters::droppedAudioBehind);
        else
            Count(recordable ? &CameraCounters::droppedAudioEarly : &CameraCounters::droppedAudioCodec);
        return;
    }
    const AVRational timeBase = file_->TimeBase(AUDIO_TRACK);
    bool written = false;
    if (transcoder_) {
        DetachFrame(); // the transcoder reads the frame while its packets are written
        const int64_t firstSample = av_rescale_q(decision.dts, timeBase, AVRational{1, transcoder_->SampleRate()});
        int result = transcoder_->Feed(item.payload, item.size, firstSample,
                                       [this](AVPacket& packet) { return WriteAac(packet); });
        written = result >= 0;
        if (result < 0 && writeError_ == 0)
            Log(LOG_WARNING, "%s: G.711 frame not transcoded: %s", Name().c_str(), AvError(result).c_str());
    } else {
        AVPacket* packet = Packet();
        if (packet == nullptr)
            return;
        packet->data = const_cast<uint8_t*>(item.payload);
        packet->size = static_cast<int>(item.size);
        packet->dts = packet->pts = decision.dts;
        packet->duration = av_rescale_q(item.frame.duration, AVRational{1, DVR_MEDIA_CLOCK_RATE}, timeBase);
        packet->flags = AV_PKT_FLAG_KEY;
        written = WritePacket(AUDIO_TRACK, *packet, timeBase, decision.end);
    }
    if (written) {
        std::lock_guard lock(mutex_);
        ++counters_.audio;
        counters_.bytes += item.size;
    }
    if (writeError_ != 0)
        EndFile("write failed");
}

void CameraWriter::CountDecision(const TimelineDecision& decision)
{
    std::lock_guard lock(mutex_);
    counters_.clampedTimestamps += static_cast<uint64_t>(decision.clamps);
    counters_.lostUpstream += decision.lost;
    counters_.audioRebased += decision.rebased ? 1 : 0;
}

void CameraWriter::ReportBreak(const char* track, const TimelineDecision& decision)
{
    const int64_t jump = decision.jump;
    const char* after = timeline_.FileOpen() ? "the file ends and the next one starts at the next key frame"
                                             : "recording resumes at the next key frame";
    if (decision.cut == TimelineCut::FramesLost) {
        Log(LOG_INFO,
            "%s: %u %s frames dropped before the recorder (by the core's key-frame gate or the source) left a gap of "
            "%.3f s; %s",
            Name().c_str(), decision.lost, track, static_cast<double>(jump) / CLOCK_RATE, after);
        Count(&CameraCounters::upstreamGaps);
        return;
    }
    Log(LOG_INFO, "%s: %s timestamps %s by %.3f s; %s", Name().c_str(), track, jump < 0 ? "went back" : "leapt ahead",
        static_cast<double>(jump < 0 ? -jump : jump) / CLOCK_RATE, after);
    Count(&CameraCounters::discontinuities);
}

bool CameraWriter::StartFile(const Item& key)
{
    DetachFrame(); // the store and retention may wait for the disk
    if (!params_ || (params_->params.videoCodec != DVR_CODEC_H264 && params_->params.videoCodec != DVR_CODEC_HEVC))
        return false;
    if (!hooks_.waitForStore())
        return false;
    hooks_.makeRoom(); // the oldest files go before this one needs their space
    const _DvrMediaParams& p = params_->params;
    const bool hevc = p.videoCodec == DVR_CODEC_HEVC;
    ParametersHolder video;
    ParametersHolder audio;
    if (video.parameters == nullptr || audio.parameters == nullptr)
        return false;
    video.parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    video.parameters->codec_id = hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    video.parameters->width = static_cast<int>(p.width);
    video.parameters->height = static_cast<int>(p.height);
    std::vector<uint8_t> extradata = params_->videoExtradata;
    if (extradata.empty()) // Annex B with the parameter sets in band only
        extradata = ParameterSets(key.payload, key.size, hevc);
    if (!SetExtradata(*video.parameters, extradata))
        return false;

    const AVCodecParameters* audioTrack = nullptr;
    std::string why;
    if (p.audioCodec == DVR_CODEC_AAC && p.sampleRate > 0 && p.channels > 0) {
        audio.parameters->codec_type = AVMEDIA_TYPE_AUDIO;
        audio.parameters->codec_id = AV_CODEC_ID_AAC;
        audio.parameters->sample_rate = static_cast<int>(p.sampleRate);
        av_channel_layout_default(&audio.parameters->ch_layout, static_cast<int>(p.channels));
        audio.parameters->frame_size = 1024;
        if (!SetExtradata(*audio.parameters, params_->audioExtradata))
            return false;
        audioTrack = audio.parameters;
    } else if ((p.audioCodec == DVR_CODEC_ALAW || p.audioCodec == DVR_CODEC_ULAW) && p.sampleRate > 0 &&
               p.channels > 0) {
        transcoder_ =
            AudioTranscoder::Create(p.audioCodec == DVR_CODEC_ALAW ? AV_CODEC_ID_PCM_ALAW : AV_CODEC_ID_PCM_MULAW,
                                    static_cast<int>(p.sampleRate), static_cast<int>(p.channels), why);
        int result = transcoder_ ? transcoder_->FillParameters(*audio.parameters) : -1;
        if (result >= 0) {
            audioTrack = audio.parameters;
        } else {
            Log(LOG_WARNING, "%s: G.711 audio not recorded: %s", p.name,
                transcoder_ ? AvError(result).c_str() : why.c_str());
            transcoder_.reset();
        }
    }

    UniqueFd created;
    RecordingStore::Continuation continuation;
    continuation.notBeforeNs = notBeforeNs_;
    try {
        path_ = store_.BeginSegment(Name(), key.frame.captureTimeNs, &created, continuation);
    } catch (const std::exception& error) {
        Log(LOG_WARNING, "%s: no new file: %s", p.name, error.what());
        path_.clear();
    }
    if (path_.empty()) { // the store said why
        transcoder_.reset();
        return false;
    }
    fileStartNs_ = continuation.startNs;
    PostEnded(&continuation); // after the previous file's end, as the index must list them
    file_ = SegmentFile::Create(std::move(created), *video.parameters, audioTrack, config_.fragmentMs, why);
    if (!file_) {
        Log(LOG_WARNING, "%s: %s: %s", p.name, path_.c_str(), why.c_str());
        finisher_.Post([this, path = path_, camera = std::string(p.name)] {
            try { // deletes the file: without its header it holds nothing playable
                store_.EndSegment(path, 0, 0);
            } catch (const std::exception& error) {
                Log(LOG_WARNING, "%s: %s", camera.c_str(), error.what());
            }
        });
        transcoder_.reset();
        return false;
    }
    timeline_.FileStarted(file_->TimeBase(VIDEO_TRACK),
                          file_->HasAudio() ? file_->TimeBase(AUDIO_TRACK) : AVRational{0, 1});
    endDts_ = 0;
    wholeEndDts_ = 0;
    Count(&CameraCounters::segments);
    Log(LOG_DETAIL, "%s: recording to %s", p.name, path_.c_str());
    return true;
}

void CameraWriter::EndFile(const char* why)
{
    DetachFrame(); // the trailer, the scan and the finisher may wait for the disk
    if (transcoder_ && writeError_ == 0) {
        int result = transcoder_->Flush([this](AVPacket& packet) { return WriteAac(packet); });
        if (result < 0 && writeError_ == 0)
            Log(LOG_WARNING, "%s: the last AAC frames were not encoded: %s", Name().c_str(), AvError(result).c_str());
    }
    if (!file_)
        return;
    if (writeError_ != 0)
        Log(LOG_WARNING, "%s: writing %s failed (%s); the file ends at its last whole fragment", Name().c_str(),
            path_.c_str(), file_->LastErrno() != 0 ? std::strerror(file_->LastErrno()) : AvError(writeError_).c_str());
    const int result = file_->WriteTrailer(); // its last fragment may find the disk full too
    if (result < 0)
        Log(LOG_WARNING, "%s: %s not finished cleanly: %s", Name().c_str(), path_.c_str(), AvError(result).c_str());
    const int error = file_->LastErrno();
    // A failed write cut the file back to its whole fragments: its duration is theirs.
    const int64_t end = writeError_ == 0 && error == 0 ? endDts_ : wholeEndDts_;
    const int64_t durationNs = av_rescale(end, 1000000000, CLOCK_RATE);
    // The file as the index will list it: its end bounds the next file's start now, before the
    // finisher has entered it.
    const recindex::FragmentScan scan = store_.ScanSegment(path_);
    if (scan.Playable())
        notBeforeNs_ = SegmentEnd(fileStartNs_, scan.durationNs > 0 ? scan.durationNs : durationNs);
    PostEnded(); // one ended before, not followed by another file yet
    endedFile_ = EndedFile{std::shared_ptr<SegmentFile>(std::move(file_)), path_, durationNs, scan, why};
    transcoder_.reset();
    timeline_.FileEnded();
    if (writeError_ != 0 || error != 0) {
        writeError_ = 0;
        timeline_.Restart();
    }
    if (error == ENOSPC) {
        PostEnded();
        finisher_.Drain(); // free space is judged once the file is entered, or deleted when it holds nothing
        diskFull_ = true;
        freeAtFailure_ = hooks_.freeBytes();
        Log(LOG_WARNING, "%s: the disk is full; no new file until retention frees space", Name().c_str());
        hooks_.noSpace();
    }
}

void CameraWriter::PostEnded(const RecordingStore::Continuation* next)
{
    std::optional<RecordingStore::Continuation> following;
    if (next != nullptr)
        following = *next;
    if (!endedFile_) {
        if (following)
            finisher_.Post([this, following] { store_.WriteBegunLine(*following); });
        return;
    }
    finisher_.Post([this, ended = std::move(*endedFile_), following] {
        const int synced = ended.file->SyncAndClose();
        if (synced < 0)
            Log(LOG_WARNING, "%s: %s not finished cleanly: %s", Name().c_str(), ended.path.c_str(),
                AvError(synced).c_str());
        bool together = false;
        try {
            together = store_.EndSegment(ended.path, ended.durationNs, ended.file->Bytes(), ended.file->Durable(),
                                         &ended.scan, following ? &*following : nullptr);
        } catch (const std::exception& error) {
            Log(LOG_WARNING, "%s: %s not entered in its day's index: %s", Name().c_str(), ended.path.c_str(),
                error.what());
        }
        Log(LOG_DETAIL, "%s: %s ended (%s): %.1f s, %llu bytes", Name().c_str(), ended.path.c_str(), ended.why.c_str(),
            static_cast<double>(ended.durationNs) / 1e9, static_cast<unsigned long long>(ended.file->Bytes()));
        if (following && !together)
            store_.WriteBegunLine(*following);
    });
    endedFile_.reset();
}

bool CameraWriter::RoomAgain()
{
    DetachFrame();
    const uint64_t free = hooks_.makeRoom();
    if (free <= freeAtFailure_)
        return false;
    diskFull_ = false;
    Log(LOG_INFO, "%s: %llu kB free again; recording resumes", Name().c_str(),
        static_cast<unsigned long long>(free / 1024));
    return true;
}

int CameraWriter::WriteAac(AVPacket& packet)
{
    const AVRational samples{1, transcoder_->SampleRate()};
    const int64_t end = av_rescale(packet.pts + packet.duration, CLOCK_RATE, samples.den);
    return WritePacket(AUDIO_TRACK, packet, samples, end) ? 0 : AVERROR(EIO);
}

bool CameraWriter::WritePacket(int track, AVPacket& packet, AVRational from, int64_t end90k)
{
    if (!file_ || writeError_ != 0)
        return false;
    if (file_->HasPending()) { // a second fragment ends within one frame: the first is written now
        DetachFrame(&packet);
        if (!WriteFragment())
            return false;
    }
    const int result = file_->Write(track, packet, from);
    if (result < 0) {
        writeError_ = result;
        Count(&CameraCounters::droppedWriteFailed);
        return false;
    }
    if (file_->HasPending()) // it holds the packets before this one
        pendingEndDts_ = endDts_;
    endDts_ = std::max(endDts_, end90k);
    return true;
}

} // namespace segrec
