#pragma once

// The harness's own threads: who they are (for the events they raise and for the census of the
// process's threads), one-call threads with a bounded join, and call threads that run calls into
// the plugin one at a time.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace dvr::harness {

class PluginHarness;

// What the calling thread is to the harness: set on every thread the harness starts.
struct ThreadIdentity {
    const PluginHarness* harness = nullptr; // null on threads the harness did not start
    int role = 0;                           // DVR_HARNESS_THREAD_*
};
const ThreadIdentity& CurrentThread();

// The kernel ID of the calling thread.
long CurrentThreadId();

// The threads of the process that no harness started: entries of /proc/self/task whose ID is not
// one of a running harness thread.
size_t CountOtherThreads();
// Waits up to timeout until at most count such threads run; how many more are left (0: met).
size_t WaitForOtherThreads(size_t count, std::chrono::milliseconds timeout);

// One thread running body once, registered as a harness thread of role for its lifetime.
class HarnessThread {
public:
    HarnessThread(const PluginHarness* harness, int role, std::function<void()> body);
    // Joins; only after Finish returned true, or a thread that was detached.
    ~HarnessThread();
    HarnessThread(const HarnessThread&) = delete;
    HarnessThread& operator=(const HarnessThread&) = delete;

    // Waits up to timeout for body to return, then joins: true. False when it is still running:
    // the thread is detached and left to run (it keeps alive only what its body holds).
    bool Finish(std::chrono::milliseconds timeout);
    // Whether body has returned. Any thread.
    bool Done() const;

private:
    struct Completion {
        std::mutex lock;                 // guards started and done
        std::condition_variable changed; // signalled when started or done is set
        bool started = false;            // registered as a harness thread
        bool done = false;               // body returned
    };
    std::shared_ptr<Completion> completion_;
    std::thread thread_;
};

// A thread that runs calls in the order they were posted, as the core's main, queue worker and
// I/O threads do. Calls own what they use: a call whose caller stopped waiting still runs.
class CallThread {
public:
    CallThread(const PluginHarness* harness, int role);
    ~CallThread();
    CallThread(const CallThread&) = delete;
    CallThread& operator=(const CallThread&) = delete;

    // Posts call and waits up to timeout for it to return: false when it did not.
    bool Run(std::function<void()> call, std::chrono::milliseconds timeout);
    // Ends the thread once the calls posted before have run: false when one of them is still
    // running after timeout (the thread is then left detached).
    bool Stop(std::chrono::milliseconds timeout);

private:
    struct Queue {
        std::mutex lock;                         // guards calls and stopping
        std::condition_variable changed;         // signalled when a call is posted or stopping set
        std::deque<std::function<void()>> calls; // posted, not yet started
        bool stopping = false;
    };
    static void Serve(const std::shared_ptr<Queue>& queue);

    std::shared_ptr<Queue> queue_;
    HarnessThread thread_;
    bool stopped_ = false; // only the owner's thread touches it
};

} // namespace dvr::harness
