#pragma once

// One plugin driven the way the core drives it, inside a check's child process, by the plugin test
// harness (libdvrcore-harness): the core's loader, records, threads and routing, the events the
// plugin raises answered from a script, and every data block it is given tracked. What only the
// validator adds: each step the harness waits for becomes a step of the check, with its own
// budget and the finding for a hang or a crash in it, and the findings made of what was recorded.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <dvrcore/harness.h>

#include "check_runner.h"

namespace dvr::validate {

// The cause of the finding when the core's loader refuses the plugin: no check that loads it can run.
inline constexpr const char* LOAD_FAILED_CAUSE = "Load refused";
// The step in which a plugin is loaded with the core's own records.
inline constexpr const char* LOAD_STEP = "Load";

// The name of an answer of the callback, "EVENT_REFUSED" and so on.
const char* AnswerName(int32_t answer);

class PluginSession final {
public:
    PluginSession(const std::string& path, CheckContext& context);
    PluginSession(const PluginSession&) = delete;
    PluginSession& operator=(const PluginSession&) = delete;
    ~PluginSession() = default; // the check's process ends with _exit; a hung plugin's threads stay

    // Load with the core's records, then the worker thread; a refusal is reported as an error and
    // returns false.
    bool Load();
    // Open, then the asynchronous read thread; returns Open's return value.
    int Open();
    // Load and Open, as the core starts a plugin.
    bool Start();
    // Close, then the worker and read threads joined. crashMessage: the finding when Close
    // crashes (empty: a generic one).
    int Close(const std::string& crashMessage = "");
    // Close when still open, then Unload: the core's shutdown of one plugin.
    int Unload();
    // After Unload, with no thread of the plugin left: unmaps the object.
    void Unmap();

    // Delivers one event to Write in a fresh block of len bytes; returns how long Write took, as
    // the harness timed it on its delivery thread, or nothing when Write was not called.
    std::optional<dvr_harness_call_time> Write(uint32_t eventType, uint32_t eventFlags, uint32_t len, bool keyFrame);
    void SendConfig(const std::string& text);
    // Delivers one parent packet addressed to the plugin to IOCTL_PARENT.
    void SendParentPacket(uint32_t command);
    // Opens stream streamID with a stream control event of the route: a reader thread calls Read.
    void OpenStream(uint32_t streamID, std::pair<uint32_t, uint32_t> route);
    // Closes every stream opened (their events are refused from now on) and waits for the readers.
    void CloseStreamsAndJoinReaders();

    // An event of each class the plugin takes through Write: its type and flags.
    std::vector<std::pair<uint32_t, uint32_t>> WriteRoutes() const;
    // A stream control event of each class the plugin serves through reader threads.
    std::vector<std::pair<uint32_t, uint32_t>> ReaderRoutes() const;

    // Starts one step of the check that covers every call until EndFixedStep, from any thread.
    void BeginFixedStep(const std::string& label, const std::string& hangMessage);
    void EndFixedStep() { fixedStep_ = false; }

    // How the stand-in answers the plugin's queued events from now on.
    void AnswerQueuedEvents(int32_t result);
    // Answers the next video frame with result, and those after it as before.
    void RefuseNextVideoFrame(int32_t result);
    uint64_t CallbackCalls();
    // Waits until the callback has been called more than count times in all; false on time-out.
    bool WaitForCalls(uint64_t count, std::chrono::milliseconds timeout);
    // Waits until the plugin has raised more than count video frames; false on time-out.
    bool WaitForVideoFrames(uint64_t count, std::chrono::milliseconds timeout);
    uint64_t VideoFrames();
    // Gated video frames that should have been key frames, with the answer that required it.
    uint64_t MissingKeyFrames(int32_t* after);

    // Reports what went wrong with the blocks handed to Write and IOCTL_CONFIG.
    void ReportBlocks();

private:
    static void OnStep(void* session, const char* step);

    CheckContext& context_;
    dvr_harness* harness_;          // never torn down but by Unmap: the process ends with _exit
    std::string closeCrashMessage_; // the test's thread sets it before Close
    std::atomic<bool> fixedStep_{false};
    uint32_t nextSeed_ = 1;         // the delivering thread's only
    std::vector<uint32_t> streams_; // opened by the test's thread, closed by it
};

} // namespace dvr::validate
