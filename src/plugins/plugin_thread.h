#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "core/deadline_wait.h"

namespace dvr {

// A plugin's long-lived thread that says when its entry call has returned, so the unload steps
// can wait for it with a time limit and join only a thread that has finished. Like std::thread it
// must be joined or detached before it is destroyed. Owned by one thread (the loader, then the
// unload steps); the finished flag is shared with the running thread.
class PluginThread {
public:
    PluginThread() = default;
    // Starts a thread that runs body and then marks itself finished.
    explicit PluginThread(std::function<void()> body);

    bool joinable() const { return thread_.joinable(); }
    void join() { thread_.join(); }
    // Lets a thread that never finished run on alone; the object is empty afterwards.
    void detach() { thread_.detach(); }
    // Waits until the body has returned or now() reaches deadline; true when it returned.
    bool WaitFinished(const SteadyNow& now, std::chrono::steady_clock::time_point deadline);

private:
    struct Finished {
        std::mutex mutex;
        std::condition_variable signalled; // notified when done is set
        bool done = false;                 // guarded by mutex
    };
    std::shared_ptr<Finished> finished_; // shared with the running thread
    std::thread thread_;
};

} // namespace dvr
