// SegmentRecorder: records every camera's media frames (the media frame convention of
// dvrcore/media.h) into fragmented MP4 files cut at key frames. Write only validates a frame and
// hands its block to the camera's writer thread; a housekeeping thread reconciles the recordings
// once, runs retention every 10 s (at once when a disk is full) and logs each camera's summary
// once a minute.
#include "camera_writer.h"
#include "ffmpeg_log.h"
#include "free_space_estimate.h"
#include "recorder_config.h"
#include "recorder_log.h"
#include "recording_store.h"

#include <dvrcore/media.h>
#include <dvrcore/plugin_api.h>

extern "C" {
#include <libavutil/error.h>
}

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/statvfs.h>
#include <thread>
#include <vector>

#define RECORDER_EXPORT extern "C" __attribute__((visibility("default")))

namespace segrec {

namespace {

constexpr const char* CONFIG_FILE = "segment_recorder.xml";
constexpr auto RETENTION_PERIOD = std::chrono::seconds(10);
constexpr auto SUMMARY_PERIOD = std::chrono::minutes(1);
// How long Close takes at most: the core waits 10 s for a Close and then leaves the plugin loaded.
// The writers have CLOSE_DRAIN to write their queues and the rest of CLOSE_LIMIT to end their files.
constexpr auto CLOSE_DRAIN = std::chrono::seconds(6);
constexpr auto CLOSE_LIMIT = std::chrono::seconds(8);
// How often a bounded wait for a thread looks at the clock.
constexpr auto WAIT_SLICE = std::chrono::milliseconds(20);
using SteadyTime = std::chrono::steady_clock::time_point;
// Log lines travel like the core's own, so the log plugin's mask takes them.
constexpr uint32_t LOG_FLAGS = EVF_MEDIA_GATED | EVF_LOG_MESSAGE;
constexpr int VIDEO_CLASS = 0; // positions in EVENT_CLASS_BITS
constexpr int AUDIO_CLASS = 1;
constexpr int PARAMS_CLASS = 4;
static_assert(DVR_EVT_MEDIA_PARAMS == 0x0010u, "the stream parameters' class is the fifth of EVENT_CLASS_BITS");

// Set by Load, read by every thread afterwards; cleared by Unload, so a thread left stuck in a
// write that returns after it calls the core no more.
std::atomic<PluginEntryPoint> coreCallback{nullptr};

int64_t WallClockNs()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void ReleaseBlock(void* block)
{
    const PluginEntryPoint core = coreCallback;
    if (core == nullptr)
        return;
    _EventParmsIn in = DvrReleaseEvent(RECORDER_PROVIDER_ID, block);
    _EventParmsOut out = DvrEventParmsOut();
    core(&in, &out);
}

// Tells a camera's sender how far its writer got with the camera's flow-controlled frames.
void SendFlow(uint32_t camera, uint64_t doneBytes, uint64_t windowBytes)
{
    const PluginEntryPoint core = coreCallback;
    if (core == nullptr)
        return;
    _DvrMediaFlow flow{};
    flow.size = sizeof flow;
    flow.version = DVR_MEDIA_FLOW_VERSION;
    flow.camera = camera;
    flow.doneBytes = doneBytes;
    flow.windowBytes = windowBytes;
    _EventParmsIn in = DvrMediaFlowEvent(RECORDER_PROVIDER_ID, &flow);
    _EventParmsOut out = DvrEventParmsOut();
    core(&in, &out);
}

// The plugin between Open and Close.
class Recorder {
public:
    explicit Recorder(RecorderConfig config);
    ~Recorder(); // Stop
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Delivery thread: true when the block is kept.
    bool Take(const _WriteParmsIn& event);
    // Every camera's figures in one text.
    std::string Figures();
    // Why nothing can be recorded (another process holds the recordings folder...); empty when it can.
    const std::string& Unusable() const { return store_.Unusable(); }
    // Finishes every file and joins every thread: the writers have until drainBy to write their
    // queues and until finishBy to end their files (CameraWriter::Stop). False when a thread is
    // still inside a call that has not returned (a hung disk): it was detached, and this object
    // must outlive it.
    bool Stop(SteadyTime drainBy, SteadyTime finishBy);

private:
    void Housekeep();
    bool WaitForStore();
    void RequestRetention();
    // Any thread: free bytes on the recordings' disk (UINT64_MAX when unknown).
    uint64_t FreeBytes() const;
    // Writer threads: FreeBytes, after a retention pass (run by the housekeeping thread, waited
    // for here) when it is below the floor; 0 when it is still below it then (another program
    // fills the disk), so a camera that found the disk full waits for room for a whole file.
    uint64_t MakeRoom();
    void LogSummaries(bool final);

    const RecorderConfig config_;
    RecordingStore store_;
    QueueBudget budget_;                                   // every camera's queue together
    FreeSpaceEstimate freeSpace_{std::chrono::seconds(5)}; // between queries of the disk

    // mutex_ guards everything below it; wake_ wakes the housekeeping thread and the writers
    // waiting for the store. No lock is held while a writer is stopped or the core is called.
    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<uint32_t, std::unique_ptr<CameraWriter>> cameras_; // by camera number
    std::map<uint32_t, uint64_t> withoutParams_;                // frames of cameras whose parameters never came
    uint64_t malformed_ = 0;                                    // events too short for their header
    uint64_t deletedFiles_ = 0;                                 // by retention
    uint64_t deletedBytes_ = 0;
    bool storeReady_ = false;
    bool retentionNow_ = false;
    bool retentionRunning_ = false;
    uint64_t retentionPasses_ = 0; // finished
    bool stopping_ = false;
    bool stopped_ = false; // Stop has run
    bool allEnded_ = true; // what Stop answered
    bool housekeeperEnded_ = false;

    std::thread housekeeper_; // last: starts once everything above exists
};

Recorder::Recorder(RecorderConfig config)
    : config_(std::move(config)),
      store_(config_.folder, [](int level, const std::string& text) { Log(level, "%s", text.c_str()); }),
      budget_(static_cast<uint64_t>(config_.queueTotalMB) * 1024 * 1024),
      housekeeper_([this] {
          try {
              Housekeep();
          } catch (const std::exception& error) { // std::terminate would end the core
              Log(LOG_FAILURE, "housekeeping stopped: %s", error.what());
          }
          std::lock_guard lock(mutex_);
          housekeeperEnded_ = true;
          wake_.notify_all();
      })
{
}

Recorder::~Recorder()
{
    Stop(SteadyTime::max(), SteadyTime::max());
}

bool Recorder::Take(const _WriteParmsIn& event)
{
    if (event.eventType == DVR_EVT_MEDIA_PARAMS) {
        auto params = std::make_shared<CameraParams>();
        if (!DvrReadMediaParams(event.data, event.len, &params->params)) {
            std::lock_guard lock(mutex_);
            ++malformed_;
            return false;
        }
        const auto* extradata = static_cast<const uint8_t*>(event.data) + params->params.size;
        params->videoExtradata.assign(extradata, extradata + params->params.videoExtradataLength);
        extradata += params->params.videoExtradataLength;
        params->audioExtradata.assign(extradata, extradata + params->params.audioExtradataLength);
        std::lock_guard lock(mutex_);
        if (stopping_)
            return false;
        auto found = cameras_.find(params->params.camera);
        if (found == cameras_.end()) {
            // Made before it is entered, so a writer whose thread cannot start leaves no entry.
            WriterHooks hooks{.release = ReleaseBlock,
                              .noSpace = [this] { RequestRetention(); },
                              .freeBytes = [this] { return FreeBytes(); },
                              .makeRoom = [this] { return MakeRoom(); },
                              .wrote = [this](uint64_t bytes) { freeSpace_.Wrote(bytes); },
                              .waitForStore = [this] { return WaitForStore(); },
                              .now = [] { return std::chrono::steady_clock::now(); },
                              .budget = &budget_,
                              .flow = SendFlow};
            budget_.Join(params->params.camera);
            auto camera = std::make_unique<CameraWriter>(params->params.camera, config_, store_, std::move(hooks));
            found = cameras_.emplace(params->params.camera, std::move(camera)).first;
        }
        found->second->OfferParams(std::move(params)); // takes the camera's lock only
        return false;
    }
    if (event.eventType != EVT_VIDEO && event.eventType != EVT_AUDIO)
        return false;
    _DvrMediaFrame frame{};
    if (!DvrReadMediaFrame(event.data, event.len, &frame)) {
        std::lock_guard lock(mutex_);
        ++malformed_;
        return false;
    }
    CameraWriter* camera = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto found = cameras_.find(frame.camera);
        if (found == cameras_.end() || stopping_) {
            ++withoutParams_[frame.camera];
            return false;
        }
        camera = found->second.get(); // stays until Stop, which no Write overlaps
    }
    const auto* payload = static_cast<const uint8_t*>(event.data) + frame.size;
    return camera->OfferFrame(event.eventType, frame, event.data, payload, event.len - frame.size);
}

bool Recorder::WaitForStore()
{
    std::unique_lock lock(mutex_);
    // Not given up at Stop: the frames queued before it are written once the store is ready.
    wake_.wait(lock, [this] { return storeReady_ || housekeeperEnded_; });
    return storeReady_;
}

void Recorder::RequestRetention()
{
    std::lock_guard lock(mutex_);
    retentionNow_ = true;
    wake_.notify_all();
}

uint64_t Recorder::FreeBytes() const
{
    return store_.FreeBytes();
}

// Why config's free-space floor cannot be kept (it is the size of the recordings' disk or more:
// retention would delete every file); empty when it can. Asked before the recorder starts, so the
// folder may not exist yet: the disk is then that of its nearest existing parent.
std::string FloorRefusal(const RecorderConfig& config)
{
    struct statvfs disk {};
    std::error_code error;
    std::filesystem::path folder = std::filesystem::absolute(config.folder, error);
    while (statvfs(folder.c_str(), &disk) != 0) {
        if (errno != ENOENT || folder == folder.parent_path())
            return {}; // unknown: retention's own free-space query says so
        folder = folder.parent_path();
    }
    const uint64_t size = static_cast<uint64_t>(disk.f_blocks) * disk.f_frsize;
    const uint64_t floor = static_cast<uint64_t>(config.minFreeMB) * 1024 * 1024;
    if (floor < size)
        return {};
    char text[256];
    std::snprintf(text, sizeof text,
                  "minFreeMB=\"%d\" is not below the size of the file system of %s (%llu MB): retention would "
                  "delete every recording",
                  config.minFreeMB, config.folder.c_str(), static_cast<unsigned long long>(size >> 20));
    return text;
}

uint64_t Recorder::MakeRoom()
{
    // Without a floor, or with one lower than that, the store keeps room for every camera's next file.
    const uint64_t floor =
        std::max<uint64_t>(static_cast<uint64_t>(config_.minFreeMB) * 1024 * 1024,
                           store_.NextSegmentsBytes(static_cast<int64_t>(config_.segmentSeconds) * 1000000000LL));
    if (const auto estimate = freeSpace_.Enough(floor, std::chrono::steady_clock::now()))
        return *estimate;
    const uint64_t free = FreeBytes();
    freeSpace_.Measured(free, std::chrono::steady_clock::now());
    if (free >= floor)
        return free;
    {
        // A pass already running may have listed the files before the last one was finished: wait
        // for the one after it.
        std::unique_lock lock(mutex_);
        const uint64_t until = retentionPasses_ + (retentionRunning_ ? 2 : 1);
        retentionNow_ = true;
        wake_.notify_all();
        wake_.wait(lock, [&] { return retentionPasses_ >= until || stopping_; });
    }
    const uint64_t after = FreeBytes();
    freeSpace_.Measured(after, std::chrono::steady_clock::now());
    return after >= floor ? after : 0;
}

// The housekeeping thread: reconciles once, then retention every RETENTION_PERIOD (or when asked)
// and the summaries every SUMMARY_PERIOD, until Stop.
void Recorder::Housekeep()
{
    try {
        store_.Reconcile();
    } catch (const std::exception& error) {
        Log(LOG_WARNING, "the recordings could not be reconciled with their index: %s", error.what());
    }
    RetentionPolicy policy;
    policy.maxAgeNs = static_cast<int64_t>(config_.maxAgeHours) * 3600 * 1000000000LL;
    policy.minFreeBytes = static_cast<uint64_t>(config_.minFreeMB) * 1024 * 1024;
    policy.batch = static_cast<unsigned>(config_.retentionBatch);
    policy.segmentNs = static_cast<int64_t>(config_.segmentSeconds) * 1000000000LL;
    auto nextRetention = std::chrono::steady_clock::now();
    auto nextSummary = nextRetention + SUMMARY_PERIOD;
    bool belowFloor = false; // the last pass left free space below the floor
    std::unique_lock lock(mutex_);
    storeReady_ = true;
    wake_.notify_all();
    while (!stopping_) {
        const auto now = std::chrono::steady_clock::now();
        if (retentionNow_ || now >= nextRetention) {
            retentionNow_ = false;
            retentionRunning_ = true;
            nextRetention = now + RETENTION_PERIOD;
            lock.unlock();
            RetentionResult result;
            try {
                result = store_.EnforceRetention(policy, WallClockNs());
            } catch (const std::exception& error) {
                Log(LOG_WARNING, "retention failed: %s", error.what());
            }
            // Said when the disk goes below the floor, not at every pass while it stays there.
            if (result.floorStillReached && !belowFloor)
                Log(LOG_WARNING,
                    "free space is still below %d MB, or the room for every camera's next file, after deleting %u "
                    "files",
                    config_.minFreeMB, result.deleted);
            belowFloor = result.floorStillReached;
            lock.lock();
            deletedFiles_ += result.deleted;
            deletedBytes_ += result.bytesFreed;
            retentionRunning_ = false;
            ++retentionPasses_;
            wake_.notify_all();
            continue;
        }
        if (now >= nextSummary) {
            nextSummary = now + SUMMARY_PERIOD;
            lock.unlock();
            LogSummaries(false); // never throws
            lock.lock();
            continue;
        }
        wake_.wait_until(lock, std::min(nextRetention, nextSummary));
    }
}

std::string CameraFigures(const std::string& name, const CameraCounters& c)
{
    char text[768];
    std::snprintf(
        text, sizeof text,
        "%s: %llu video and %llu audio frames, %llu bytes, %llu files; dropped: queue full %llu, "
        "awaiting key frame %llu, early audio %llu, audio behind %llu, audio codec %llu, write failed %llu, disk full "
        "%llu; timestamps fixed %llu, discontinuities %llu, audio moved %llu; never reached the recorder %llu, their "
        "gaps %llu; dropped at close %llu",
        name.c_str(), static_cast<unsigned long long>(c.video), static_cast<unsigned long long>(c.audio),
        static_cast<unsigned long long>(c.bytes), static_cast<unsigned long long>(c.segments),
        static_cast<unsigned long long>(c.droppedQueueFull), static_cast<unsigned long long>(c.droppedAwaitingKey),
        static_cast<unsigned long long>(c.droppedAudioEarly), static_cast<unsigned long long>(c.droppedAudioBehind),
        static_cast<unsigned long long>(c.droppedAudioCodec), static_cast<unsigned long long>(c.droppedWriteFailed),
        static_cast<unsigned long long>(c.droppedDiskFull), static_cast<unsigned long long>(c.clampedTimestamps),
        static_cast<unsigned long long>(c.discontinuities), static_cast<unsigned long long>(c.audioRebased),
        static_cast<unsigned long long>(c.lostUpstream), static_cast<unsigned long long>(c.upstreamGaps),
        static_cast<unsigned long long>(c.droppedClosing));
    return text;
}

void Recorder::LogSummaries(bool final)
{
    std::vector<std::string> lines;
    try {
        std::lock_guard lock(mutex_); // the writers' own locks are taken inside, never the reverse
        for (const auto& [number, camera] : cameras_)
            lines.push_back(CameraFigures(camera->Name(), camera->Counters()));
    } catch (const std::exception& error) {
        Log(LOG_WARNING, "camera figures skipped: %s", error.what());
    }
    for (const std::string& line : lines) // without the lock: the core is called
        Log(LOG_INFO, "%s%s", final ? "closing after " : "", line.c_str());
}

std::string Recorder::Figures()
{
    std::lock_guard lock(mutex_);
    std::string text = "recorder:";
    for (const auto& [number, camera] : cameras_) {
        // Appended piece by piece: gcc 12 at -O3 takes " " + std::string for overlapping copies.
        text += ' ';
        text += CameraFigures(camera->Name(), camera->Counters());
        text += ';';
    }
    uint64_t orphans = 0;
    for (const auto& [number, count] : withoutParams_)
        orphans += count;
    char tail[256];
    std::snprintf(tail, sizeof tail,
                  " frames without stream parameters %llu, malformed events %llu; retention deleted %llu files "
                  "(%llu bytes)",
                  static_cast<unsigned long long>(orphans), static_cast<unsigned long long>(malformed_),
                  static_cast<unsigned long long>(deletedFiles_), static_cast<unsigned long long>(deletedBytes_));
    return text + tail;
}

bool Recorder::Stop(SteadyTime drainBy, SteadyTime finishBy)
{
    std::vector<CameraWriter*> cameras;
    {
        std::lock_guard lock(mutex_);
        if (stopped_)
            return allEnded_;
        stopped_ = true;
        stopping_ = true; // Take adds no camera from here on
        wake_.notify_all();
        for (auto& [number, camera] : cameras_)
            cameras.push_back(camera.get());
    }
    // Without the lock: a writer finishing its file may call the hooks, which take it.
    for (CameraWriter* camera : cameras)
        camera->RequestStop(); // every camera writes its queue while the others do
    bool ended = true;
    {
        std::unique_lock lock(mutex_);
        while (!housekeeperEnded_ && std::chrono::steady_clock::now() < finishBy)
            wake_.wait_for(lock, WAIT_SLICE);
        ended = housekeeperEnded_;
    }
    if (ended) {
        housekeeper_.join();
    } else {
        Log(LOG_FAILURE,
            "housekeeping is stuck in a call on the recordings folder that has not returned; left running");
        housekeeper_.detach();
    }
    for (CameraWriter* camera : cameras)
        ended = camera->Stop(drainBy, finishBy) && ended;
    // Only on a disk that answered: a rewrite on a hung one would hold Close past its limit.
    if (ended && std::chrono::steady_clock::now() < finishBy)
        store_.Compact();
    LogSummaries(true);
    std::lock_guard lock(mutex_);
    allEnded_ = ended;
    return ended;
}

// Keeps this shared object mapped when the core closes it: a thread left stuck in a write still
// has its code to return into.
void PinModule()
{
    Dl_info self{};
    if (dladdr(reinterpret_cast<const void*>(&PinModule), &self) == 0 || self.dli_fname == nullptr) {
        Log(LOG_FAILURE, "cannot keep the recorder in memory for its stuck threads: its file is not known");
    } else if (dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) == nullptr) {
        const char* why = dlerror();
        Log(LOG_FAILURE, "cannot keep the recorder in memory for its stuck threads: %s", why != nullptr ? why : "");
    }
}

// A recorder whose threads are stuck in calls that never returned: kept, never destroyed, for as long
// as the process runs, since a thread may come back at any time and use it. Closed plugin only.
void KeepForever(std::shared_ptr<Recorder> stuck)
{
    static auto* const kept = new std::vector<std::shared_ptr<Recorder>>(); // never freed, on purpose
    kept->push_back(std::move(stuck));
}

// Whether the last Write could not take its event for want of memory or threads: the first of a run
// is logged, the rest only answered. Delivery thread.
std::atomic<bool> shortOfMemory{false};

std::mutex recorderLock;            // guards recorder between Open, Close, Write and IOCTL
std::shared_ptr<Recorder> recorder; // between Open and Close

std::shared_ptr<Recorder> Current()
{
    std::lock_guard lock(recorderLock);
    return recorder;
}

} // namespace

void Log(int level, const char* format, ...)
{
    const PluginEntryPoint core = coreCallback;
    if (core == nullptr)
        return;
    char text[768];
    va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length <= 0)
        return;
    _EventParmsIn in = DvrLogEvent(RECORDER_PROVIDER_ID, level, text);
    in.eventFlags = LOG_FLAGS;
    _EventParmsOut out = DvrEventParmsOut();
    core(&in, &out);
}

std::string AvError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_make_error_string(text, sizeof text, code);
    return text;
}

} // namespace segrec

using namespace segrec;

RECORDER_EXPORT int Load(void* in, void* out)
{
    auto* parms = static_cast<_LoadParmsIn*>(in);
    auto* self = static_cast<_LoadParmsOut*>(out);
    if (parms == nullptr || self == nullptr || self->size < sizeof(_LoadParmsOut))
        return 1;
    coreCallback = parms->callback;
    self->providerID = RECORDER_PROVIDER_ID;
    self->classMasks[VIDEO_CLASS] = DVR_MEDIA_FRAME_MASK;
    self->classMasks[AUDIO_CLASS] = DVR_MEDIA_FRAME_MASK;
    self->classMasks[PARAMS_CLASS] = DVR_MEDIA_KEYS;
    self->acceptsWrites = 1;
    self->logLevelDefault = LOG_INFO;
    ffmpeg_common::InstallFfmpegLog();
    return 0;
}

RECORDER_EXPORT int Open(void* in, void* out)
{
    (void)in;
    (void)out;
    RecorderConfig config;
    try {
        config = ReadRecorderConfig(CONFIG_FILE);
        // Refused before anything starts: the first retention pass would delete every file.
        if (const std::string refusal = FloorRefusal(config); !refusal.empty()) {
            Log(LOG_FAILURE, "recording nothing: %s", refusal.c_str());
            return 1;
        }
        auto started = std::make_shared<Recorder>(config);
        if (!started->Unusable().empty()) {
            // Said once, here: nothing is recorded by this process until it is opened again.
            Log(LOG_FAILURE, "recording nothing: %s", started->Unusable().c_str());
            started->Stop(SteadyTime::max(), SteadyTime::max()); // nothing was recorded
            return 1;
        }

        std::lock_guard lock(recorderLock);
        recorder = std::move(started);
    } catch (const std::exception& error) {
        Log(LOG_FAILURE, "cannot start recording into %s: %s", config.folder.c_str(), error.what());
        return 1;
    }
    Log(LOG_INFO, "recording into %s: files of %d s, fragments of at most %d ms, synced every %d ms",
        config.folder.c_str(), config.segmentSeconds, config.fragmentMs, config.syncMs);
    return 0;
}

RECORDER_EXPORT int Close(void* in, void* out)
{
    (void)in;
    (void)out;
    std::shared_ptr<Recorder> closing;
    {
        std::lock_guard lock(recorderLock);
        closing = std::move(recorder);
    }
    if (!closing)
        return 0;
    // Never throws: it joins threads that exist and logs without throwing.
    const auto now = std::chrono::steady_clock::now();
    if (!closing->Stop(now + CLOSE_DRAIN, now + CLOSE_LIMIT)) {
        // Detaching is only safe while the thread's code and data stay: the object is pinned, the
        // recorder kept, and Unload stops the calls into the core.
        PinModule();
        KeepForever(std::move(closing));
        Log(LOG_FAILURE, "closed with a thread stuck on the recordings' disk; the files it was writing end at "
                         "their last whole fragment when the recorder next starts");
        return 1;
    }
    return 0;
}

RECORDER_EXPORT int Unload(void* in, void* out)
{
    Close(in, out);
    ffmpeg_common::RemoveFfmpegLog(); // before this code is unmapped
    coreCallback = nullptr;
    return 0;
}

RECORDER_EXPORT int Write(void* in, void* out)
{
    const auto* event = static_cast<const _WriteParmsIn*>(in);
    auto* result = static_cast<_WriteParmsOut*>(out);
    if (event == nullptr || result == nullptr)
        return 1;
    result->keep = 0;
    std::shared_ptr<Recorder> current = Current();
    try {
        if (current && current->Take(*event))
            result->keep = 1;
    } catch (const std::exception& error) {
        // Nothing of the event was kept: the core frees it. A writer whose thread could not start
        // is no memory to the core as well; the next parameters try again.
        result->error = EVENT_NO_MEMORY;
        if (!shortOfMemory.exchange(true))
            Log(LOG_WARNING, "no memory for an event of type 0x%x: %s; dropping such events until there is",
                event->eventType, error.what());
        return 1;
    }
    shortOfMemory = false;
    return 0;
}

RECORDER_EXPORT int IOCTL(void* in, void* out)
{
    const auto* parms = static_cast<const _IoctlParmsIn*>(in);
    (void)out;
    if (parms == nullptr || parms->command != IOCTL_PARENT || parms->len < PARENT_PACKET_HEADER_SIZE)
        return 0;
    std::shared_ptr<Recorder> current = Current();
    std::string text;
    try {
        text = current ? current->Figures() : "recorder: closed";
    } catch (const std::exception& error) {
        Log(LOG_WARNING, "no figures for the parent: %s", error.what());
        return 1;
    }
    void* block = std::malloc(text.size());
    if (block == nullptr)
        return 1;
    std::memcpy(block, text.data(), text.size());
    _EventParmsIn send = DvrParentSendEvent(RECORDER_PROVIDER_ID, block, static_cast<uint32_t>(text.size()));
    _EventParmsOut answer = DvrEventParmsOut();
    coreCallback.load()(&send, &answer);
    return 0;
}
