#pragma once

// One plugin driven the way the core drives it, inside a check's child process: loaded through
// dvr::LoadPluginFile with the core's records, its worker and read threads started as the core
// starts them, and its callback answered by a small stand-in for the core that accounts for every
// data block it hands out and answers queued events as a check tells it to.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <dvrcore/plugin_api.h>

#include "check_runner.h"
#include "plugins/plugin_loading.h"

namespace dvr::validate {

// The name of an answer of the callback, "EVENT_REFUSED" and so on.
const char* AnswerName(int32_t answer);

// The threads of this process, as listed in /proc/self/task.
size_t CountThreads();
// Waits up to timeout for the process to have at most count threads; the number left.
size_t WaitForThreadCount(size_t count, std::chrono::milliseconds timeout);

class PluginSession final : public PluginLoaderHost {
public:
    PluginSession(std::string path, CheckContext& context);
    PluginSession(const PluginSession&) = delete;
    PluginSession& operator=(const PluginSession&) = delete;
    ~PluginSession() override;

    // Load with the core's records; a refusal is reported as an error and returns false.
    bool Load();
    const _LoadParmsOut& Info() const { return result_.info; }
    // Load, the worker thread, Open and the asynchronous read thread, as the core starts a plugin.
    bool Start();
    // Close, the worker and read threads joined, Unload: the core's shutdown of one plugin.
    void Stop();
    void StartWorker();
    int Open();
    void StartAsyncRead();
    // crashMessage: the finding when Close crashes (empty: a generic one).
    int Close(const std::string& crashMessage = "");
    void JoinThreads();
    int Unload();
    // Unmaps the object (after Unload, when no thread of it is left).
    void Unmap();

    // Delivers one event to Write in a fresh block of len bytes; returns how long Write took.
    std::chrono::nanoseconds Write(uint32_t eventType, uint32_t eventFlags, uint32_t len, bool keyFrame);
    // Delivers a configuration document to IOCTL_CONFIG.
    void SendConfig(const std::string& text);
    // Delivers one parent packet addressed to the plugin to IOCTL_PARENT.
    void SendParentPacket(uint32_t command);
    // Opens stream streamID for the plugin: a reader thread calls Read with the request. The
    // stream takes dataLimit data events, then refuses the next, as a closed stream does.
    void OpenStream(uint32_t streamID, uint32_t dataLimit);
    void JoinReaders();

    // An event of each class the plugin takes through Write: its type and flags.
    std::vector<std::pair<uint32_t, uint32_t>> WriteRoutes() const;
    // A stream control event of each class the plugin serves through reader threads.
    std::vector<std::pair<uint32_t, uint32_t>> ReaderRoutes() const;

    // How the stand-in answers the plugin's queued events from now on.
    void AnswerQueuedEvents(int32_t result);
    // Answers the next gated video frame with result, and accepts those after it.
    void RefuseNextVideoFrame(int32_t result);
    uint64_t CallbackCalls() const { return calls_.load(); }
    // Waits until the callback has been called more than count times in all; false on time-out.
    bool WaitForCalls(uint64_t count, std::chrono::milliseconds timeout);
    // Waits until the plugin has raised more than count gated video frames; false on time-out.
    bool WaitForVideoFrames(uint64_t count, std::chrono::milliseconds timeout);
    uint64_t VideoFrames();
    // Gated video frames that should have been key frames, with the answer that required it.
    uint64_t MissingKeyFrames(int32_t* after);

    // Reports what went wrong with the blocks handed to Write and IOCTL_CONFIG.
    void ReportBlocks();

    // The callback every plugin of this process gets; dispatches to the session.
    static int Callback(void* in, void* out);

    // PluginLoaderHost.
    void LoaderLog(int level, const std::string& line) override;
    bool ProviderIDTaken(uint32_t providerID) override;
    std::chrono::steady_clock::time_point LoaderNow() override;
    void* LoadCore() override;
    PluginEntryPoint LoadCallback() override;

private:
    struct Block {
        std::vector<uint8_t> contents; // what was delivered
        bool inCall = true;            // Write or IOCTL_CONFIG still runs
        bool kept = false;
        int releases = 0;
    };

    int TakeEvent(const _EventParmsIn& event, _EventParmsOut& answer);
    void TakeRelease(const _EventParmsIn& event);
    int32_t AnswerQueued(const _EventParmsIn& event);
    void* NewBlock(uint32_t len, uint32_t seed);
    void BlockReturned(void* block, bool kept);

    std::string path_;
    CheckContext& context_;
    PluginLoadResult result_;
    std::thread worker_;
    std::thread asyncReader_;
    std::vector<std::thread> readers_; // the thread that opens streams only

    std::atomic<uint64_t> calls_{0};
    std::atomic<int32_t> queuedAnswer_{EVENT_ACCEPTED};
    uint32_t nextSeed_ = 1; // the delivering thread's only

    // blocksLock_ guards blocks_ and the counts after it.
    std::mutex blocksLock_;
    std::map<void*, Block> blocks_;
    uint64_t foreignReleases_ = 0;
    uint64_t wrongProviderReleases_ = 0;

    // mediaLock_ guards the media and stream state below; mediaChanged_ signals a new frame.
    std::mutex mediaLock_;
    std::condition_variable mediaChanged_;
    uint64_t videoFrames_ = 0;
    int32_t refuseNext_ = EVENT_ACCEPTED;
    int32_t keyFrameRequiredAfter_ = EVENT_ACCEPTED; // the answer that requires a key frame next
    uint64_t missingKeyFrames_ = 0;
    int32_t missingKeyFrameAfter_ = EVENT_ACCEPTED;
    std::map<uint32_t, uint32_t> streamLimits_; // data events each open stream still takes

    // callsLock_ and callsChanged_ let a check wait for a number of callback calls.
    std::mutex callsLock_;
    std::condition_variable callsChanged_;
};

} // namespace dvr::validate
