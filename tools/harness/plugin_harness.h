#pragma once

// One plugin loaded in the test process with a stand-in for the core: the life cycle on the
// threads the core uses, the events the plugin raises, the calls the test pushes, and the checks
// of what the plugin leaves behind. The C functions of include/dvrcore/harness.h call this.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <dvrcore/harness.h>

#include "block_tracker.h"
#include "call_times.h"
#include "event_recorder.h"
#include "events/stream_table.h"
#include "harness_threads.h"
#include "plugins/plugin_loading.h"

namespace dvr::harness {

class PluginHarness : public std::enable_shared_from_this<PluginHarness>, private PluginLoaderHost {
public:
    explicit PluginHarness(std::string path);
    ~PluginHarness() override;
    PluginHarness(const PluginHarness&) = delete;
    PluginHarness& operator=(const PluginHarness&) = delete;

    // Takes a callback of its own; false when every callback is in use.
    bool Bind();

    void SetTimeout(int timeoutMs);
    void SetLogThreshold(int32_t threshold);
    void SetShutdownLogger(bool on);
    void SetWorkerThread(bool on);
    void SetStepHook(dvr_harness_step_hook hook, void* context);
    EventRecorder& Events();
    CallTimes& Times();
    // timeoutMs, or the harness's time-out when it is negative.
    std::chrono::milliseconds Timeout(int timeoutMs = -1) const;

    int Load();
    int Open();
    int Close();
    int Unload();
    // Closes and unloads when needed, stops every harness thread, checks what was left behind and
    // unbinds the callback. The harness must not be used afterwards.
    std::vector<std::string> Teardown();

    int LoadOutcome() const;
    const char* Refusal() const;
    const _LoadParmsOut* Info() const;

    int Push(const _EventParmsIn& event, dvr_harness_delivery* delivery);
    int PushCoreLog(int level, const std::string& text);
    int PushParent(uint32_t target, uint32_t command, const void* body, uint32_t len, dvr_harness_delivery* delivery);
    int OpenStream(const _EventParmsIn& event);
    int CloseStream(uint32_t streamID);
    int WaitReaders(std::chrono::milliseconds timeout);
    size_t Stress(const dvr_harness_stress_plan& plan);
    dvr_harness_block_counts Blocks();

    // The callback's work for one event the plugin raised; on the plugin's thread.
    int OnEvent(_EventParmsIn* in, _EventParmsOut* out);

private:
    // What a call posted to a harness thread gave back; written there, read once it returned.
    struct CallOutcome {
        dvr_harness_delivery delivery{};
        bool skipped = false; // the plugin was closing by the time the call's turn came
    };
    enum class Stage { NEW, LOADING, LOADED, OPENING, OPEN, CLOSING, CLOSED, UNLOADING, UNLOADED, REFUSED, STUCK };

    // PluginLoaderHost: what the core's loader asks of the core.
    void LoaderLog(int level, const std::string& line) override;
    bool ProviderIDTaken(uint32_t providerID) override;
    std::chrono::steady_clock::time_point LoaderNow() override;
    void* LoadCore() override;
    PluginEntryPoint LoadCallback() override;

    // Runs call on thread within the time-out; a call that does not return is a violation named
    // what, and nothing is called in the plugin afterwards.
    bool RunCall(CallThread& thread, std::function<void()> call, const char* what);
    // Whether events are still taken: loading, loaded or open, not closing.
    bool Running() const;
    // Whether calls may still be pushed into the plugin: loaded or open, not closing.
    bool Deliverable() const;
    bool DeliverableLocked() const; // with lifeLock_ held
    // Whether an event the core would queue is taken, as the stopping core and its stream table decide.
    bool Admitted(const _EventParmsIn& event);
    // Starts a reader thread when the plugin takes this stream control event; false when it does not.
    bool StartReadersFor(const _EventParmsIn& event);
    // Joins a one-call thread within the time-out; one that does not end is a violation.
    void JoinPluginThread(std::unique_ptr<HarnessThread>& thread, const char* what);
    void AddViolation(std::string text);
    // Tells the step hook what the harness waits for next.
    void BeginStep(const char* step) const;

    const std::string path_;
    std::atomic<int> timeoutMs_{DVR_HARNESS_DEFAULT_TIMEOUT_MS};
    std::atomic<int32_t> logThreshold_{-1};
    std::atomic<bool> shutdownLogger_{false};
    std::atomic<bool> workerThread_{true};
    std::atomic<uint32_t> pluginID_{0};   // the plugin's provider ID once Load returned
    PluginEntryPoint callback_ = nullptr; // set by Bind, before any other call
    std::atomic<dvr_harness_step_hook> stepHook_{nullptr};
    std::atomic<void*> stepContext_{nullptr};

    mutable std::mutex lifeLock_; // guards stage_, loaded_, baselineThreads_; never held while the plugin runs
    Stage stage_ = Stage::NEW;
    PluginLoadResult loaded_;
    size_t baselineThreads_ = 0;

    // Created by Load, stopped by Teardown; only the test's life-cycle calls create or stop them.
    std::unique_ptr<CallThread> mainThread_;
    std::unique_ptr<CallThread> deliveryThread_;
    std::unique_ptr<CallThread> ioThread_;
    std::unique_ptr<HarnessThread> worker_;
    std::unique_ptr<HarnessThread> asyncReader_;

    std::mutex readersLock_;                              // guards the three below
    std::condition_variable readersChanged_;              // signalled when a reader's Read returns
    std::vector<std::unique_ptr<HarnessThread>> readers_; // every stream reader started
    bool readersStopped_ = false;                         // guarded by readersLock_; set by Close
    size_t readersRunning_ = 0;                           // guarded by readersLock_

    StreamTable streams_;  // the core's table: closed streams and reader threads; its own lock
    BlockTracker blocks_;  // its own lock
    EventRecorder events_; // its own lock
    CallTimes times_;      // its own lock

    std::mutex violationsLock_;           // guards violations_
    std::vector<std::string> violations_; // found as they happen, reported at teardown
};

} // namespace dvr::harness
