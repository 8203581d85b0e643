/*
 * MediaSource: reads the cameras of media_source.xml (RTSP, files, anything FFmpeg opens), one
 * reading thread each, and sends their frames as the gated media events of <dvrcore/media.h>:
 * camera n's stream parameters before each connection's first frame and again before the first
 * frame after a change, then one event per packet, under provider ID 0x00A20000 | n. The core's
 * worker thread logs a summary line per camera once a minute; every parent packet addressed to
 * module 0x0A2 gets one packet of every camera's figures. A <Camera> has name, url and timeout
 * (seconds without data before reconnecting, 10); a file (file: URL or plain path) loops and is
 * paced by its timestamps unless pace="0" (default 1), which reads it as fast as it can be read, as
 * a benchmark does.
 */
#include "camera.h"
#include "camera_config.h"
#include "ffmpeg_log.h"
#include "plugin_log.h"

#include <dvrcore/plugin_api.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <memory>
#include <mutex>
#include <vector>

#define MEDIA_SOURCE_EXPORT extern "C" __attribute__((visibility("default")))

namespace media_source {
namespace {

constexpr auto kSummaryInterval = std::chrono::seconds(60);
// How long Close waits for the cameras' threads to end. Every blocking FFmpeg call is interrupted
// at once but one: the resolver inside avformat_open_input, which may wait for a name server for
// many seconds; a thread still there by then is left running, well inside the core's own bound on
// Close.
constexpr auto kCloseLimit = std::chrono::seconds(5);

// Guards everything below it; never held while calling the core or joining a camera.
std::mutex stateLock;
std::condition_variable stateChanged; // Close wakes the worker's summary wait
bool closing = false;
std::vector<std::unique_ptr<Camera>> cameras; // created by Open, stopped and destroyed by Close

struct CameraFigures {
    std::string name;
    CameraStats stats;
};

std::vector<CameraFigures> CollectFigures()
{
    std::lock_guard<std::mutex> lock(stateLock);
    std::vector<CameraFigures> figures;
    figures.reserve(cameras.size());
    for (const auto& camera : cameras)
        figures.push_back({camera->Name(), camera->Stats()});
    return figures;
}

// A line per camera of the figures collect() returns. Never throws: without memory for their text
// the lines are skipped, with one saying so.
template <class Collect>
void LogSummary(const char* when, Collect collect)
{
    try {
        for (const CameraFigures& camera : collect())
            Log(kProviderBase, kLogInfo, "%s camera %s", when, FormatStats(camera.name, camera.stats).c_str());
    } catch (const std::exception& error) {
        Log(kProviderBase, kLogWarning, "%s camera figures skipped: %s", when, error.what());
    }
}

// IOCTL_WORKER on the core's worker thread: once a minute of the monotonic clock, until Close, a
// line per camera with its figures since Open.
int RunWorker()
{
    auto next = std::chrono::steady_clock::now() + kSummaryInterval;
    std::unique_lock<std::mutex> lock(stateLock);
    while (!closing) {
        if (stateChanged.wait_until(lock, next) == std::cv_status::timeout && !closing) {
            next += kSummaryInterval;
            lock.unlock();
            LogSummary("status:", CollectFigures);
            lock.lock();
        }
    }
    return 0;
}

// IOCTL_PARENT on the I/O thread: one packet of every camera's figures, a line each. The block
// passes to the core, which frees it once sent.
int AnswerParent()
{
    std::string text = "media_source:";
    std::vector<CameraFigures> figures = CollectFigures();
    // Appended piece by piece: gcc 12 at -O3 takes " " + std::string for overlapping copies (-Wrestrict).
    text += ' ';
    text += std::to_string(figures.size());
    text += " cameras\n";
    for (const CameraFigures& camera : figures)
        text += FormatStats(camera.name, camera.stats) + "\n";
    if (text.size() > PARENT_PACKET_MAX_LENGTH - PARENT_PACKET_HEADER_SIZE)
        text.resize(PARENT_PACKET_MAX_LENGTH - PARENT_PACKET_HEADER_SIZE);
    // The packet is the text's bytes, without a terminating zero.
    auto* block = static_cast<char*>(std::malloc(text.size()));
    if (block == nullptr)
        return 1;
    text.copy(block, text.size());
    _EventParmsIn in = DvrParentSendEvent(kProviderBase, block, static_cast<uint32_t>(text.size()));
    _EventParmsOut out = DvrEventParmsOut();
    CallCore(&in, &out);
    return 0;
}

// Keeps this shared object mapped when the core unloads it: a thread left in a call still has its
// code to return into.
void PinModule()
{
    Dl_info self{};
    if (dladdr(reinterpret_cast<const void*>(&PinModule), &self) == 0 || self.dli_fname == nullptr) {
        Log(kProviderBase, kLogFailure, "closing: cannot keep MediaSource in memory for a thread left running");
    } else if (dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) == nullptr) {
        const char* why = dlerror();
        Log(kProviderBase, kLogFailure, "closing: cannot keep MediaSource in memory for a thread left running: %s",
            why != nullptr ? why : "");
    }
}

// Cameras whose threads were left running: kept, never destroyed, for as long as the process runs,
// since the thread may come back at any time and use its camera.
void KeepForever(std::unique_ptr<Camera> camera)
{
    static auto* const kept = new std::vector<std::unique_ptr<Camera>>(); // never freed, on purpose
    kept->push_back(std::move(camera));
}

std::atomic<bool> threadsLeft{false}; // a camera's thread was left running: Unload leaves FFmpeg's network up

// Stops every camera and joins its thread; the cameras' blocking calls are interrupted. False when a
// thread did not end within kCloseLimit and was left running.
bool StopCameras()
{
    std::vector<std::unique_ptr<Camera>> stopping;
    {
        std::lock_guard<std::mutex> lock(stateLock);
        closing = true;
        stopping.swap(cameras);
    }
    stateChanged.notify_all();
    for (auto& camera : stopping)
        camera->RequestStop();
    const auto deadline = std::chrono::steady_clock::now() + kCloseLimit;
    std::vector<bool> ended(stopping.size());
    for (size_t i = 0; i < stopping.size(); ++i)
        ended[i] = stopping[i]->JoinBy(deadline);
    LogSummary("closing:", [&stopping] {
        std::vector<CameraFigures> figures;
        for (const auto& camera : stopping)
            figures.push_back({camera->Name(), camera->Stats()});
        return figures;
    });
    bool all = true;
    for (size_t i = 0; i < stopping.size(); ++i) {
        if (ended[i])
            continue;
        Log(kProviderBase, kLogFailure,
            "camera %s: its thread is still in a call no interrupt reaches (a name lookup?) after %lld s; left "
            "running",
            stopping[i]->Name().c_str(), static_cast<long long>(kCloseLimit.count()));
        if (all)
            PinModule();
        all = false;
        KeepForever(std::move(stopping[i]));
    }
    if (!all)
        threadsLeft = true;
    return all;
}

} // namespace
} // namespace media_source

using namespace media_source;

MEDIA_SOURCE_EXPORT int Load(void* in, void* out)
{
    auto* parms = static_cast<_LoadParmsIn*>(in);
    auto* self = static_cast<_LoadParmsOut*>(out);
    if (parms == nullptr || self == nullptr || self->size < sizeof(_LoadParmsOut))
        return 1;
    SetCoreCallback(parms->callback);
    {
        std::lock_guard<std::mutex> lock(stateLock);
        closing = false;
        cameras.clear();
    }
    avformat_network_init();
    ffmpeg_common::InstallFfmpegLog();
    self->providerID = kProviderBase;
    self->wantsWorkerThread = 1;
    // The receivers' flow records of every camera reach Write.
    self->classMasks[5] = DVR_MEDIA_KEYS;
    static_assert(DVR_EVT_MEDIA_FLOW == 0x0020u, "flow records are the sixth class of EVENT_CLASS_BITS");
    self->acceptsWrites = 1;
    self->logLevelDefault = kLogInfo;
    return 0;
}

MEDIA_SOURCE_EXPORT int Close(void* in, void* out);

MEDIA_SOURCE_EXPORT int Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    int code = Close(nullptr, nullptr);
    ffmpeg_common::RemoveFfmpegLog(); // before this code is unmapped
    if (threadsLeft) {
        // A thread left running may come back: it must not call a core that is done with this
        // plugin, nor find FFmpeg's network state gone.
        SetCoreCallback(nullptr);
        return code;
    }
    avformat_network_deinit();
    return code;
}

// Open: a camera whose object or thread cannot be made (no memory, no threads left) is left out
// with a failure line, and the others are read; nothing thrown leaves the entry point.
MEDIA_SOURCE_EXPORT int Open(void* in, void* out)
{
    (void)in;
    (void)out;
    std::vector<CameraConfig> configured;
    try {
        configured = LoadCameras(kConfigFileName);
    } catch (const std::exception& error) {
        Log(kProviderBase, kLogFailure, "cannot read %s: %s: no cameras", kConfigFileName, error.what());
        return 1;
    }
    if (configured.empty())
        Log(kProviderBase, kLogInfo, "no cameras to read");
    for (CameraConfig& config : configured) {
        const std::string name = config.name;
        try {
            auto camera = std::make_unique<Camera>(std::move(config));
            std::lock_guard<std::mutex> lock(stateLock);
            cameras.reserve(cameras.size() + 1); // so push_back cannot throw once the thread runs
            camera->Start();
            cameras.push_back(std::move(camera));
        } catch (const std::exception& error) {
            Log(kProviderBase, kLogFailure, "camera %s: not read: cannot start it: %s", name.c_str(), error.what());
        }
    }
    return 0;
}

MEDIA_SOURCE_EXPORT int Close(void* in, void* out)
{
    (void)in;
    (void)out;
    try {
        if (!StopCameras())
            return 1;
    } catch (const std::exception& error) {
        Log(kProviderBase, kLogFailure, "closing: %s", error.what());
        return 1;
    }
    return 0;
}

// Write on the core's delivery thread: a receiver's flow record goes to its camera, whose reading
// thread may wait for it. Nothing is kept.
MEDIA_SOURCE_EXPORT int Write(void* in, void* out)
{
    const auto* event = static_cast<const _WriteParmsIn*>(in);
    (void)out;
    _DvrMediaFlow flow{};
    if (event == nullptr || event->eventType != DVR_EVT_MEDIA_FLOW || !DvrReadMediaFlow(event->data, event->len, &flow))
        return 0;
    std::lock_guard<std::mutex> lock(stateLock); // Close takes the cameras under it
    for (const auto& camera : cameras)
        if (camera->Number() == flow.camera)
            camera->Acknowledge(flow.doneBytes, flow.windowBytes);
    return 0;
}

MEDIA_SOURCE_EXPORT int IOCTL(void* in, void* out)
{
    auto* parms = static_cast<_IoctlParmsIn*>(in);
    (void)out;
    if (parms == nullptr)
        return 1;
    try {
        if (parms->command == IOCTL_WORKER)
            return RunWorker();
        if (parms->command == IOCTL_PARENT && parms->len >= PARENT_PACKET_HEADER_SIZE)
            return AnswerParent();
    } catch (const std::exception& error) {
        // Summaries and figures are text built on the heap: without memory they are skipped.
        Log(kProviderBase, kLogWarning, "IOCTL %u failed: %s", parms->command, error.what());
        return 1;
    }
    return 0;
}
