#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>

#include <dvrcore/plugin_api.h>

namespace dvr {

// The resident set of this process in bytes, from /proc/self/statm; 0 when it cannot be read.
size_t ReadResidentBytes();

// The monitor timer's period.
constexpr auto MONITOR_PERIOD = std::chrono::milliseconds(100);

// Above this resident size the core throttles gated media frames.
constexpr size_t MEMORY_LIMIT = 199'229'440; // 190 MiB

// What the monitor reads and tells. The core passes its own clocks, its memory source and its
// publisher; tests pass their own, so a minute can pass without waiting for it.
struct MonitorHooks {
    std::function<std::chrono::steady_clock::time_point()> now; // the core's steady clock
    std::function<time_t()> wallClock;                          // seconds since the epoch
    std::function<size_t()> residentBytes;
    std::function<void()> publishThrottlingState; // sends the memory status document
    PluginEntryPoint logCallback = nullptr;
    std::function<int64_t()> heldBytes; // bytes of event data the core holds, queued or not; null: none
    // Gives memory the process freed back to the system (the allocator keeps freed pages of every
    // thread's arena resident otherwise); null: nothing to release.
    std::function<void()> releaseFreedMemory;
};

// Watches the wall clock for jumps and, when memory throttling is enabled, the resident size
// against MEMORY_LIMIT: sets the throttling flag at once on every low observation and announces
// the start of a low-memory episode, and its end once memory stayed below the limit for a minute.
// Under pressure (throttling, or a frame refused for the headroom since the last check) each check
// first gives freed memory back, so blocks released after a burst lower the resident size and the
// episode can end: freed pages left resident would keep the core throttled for good.
// Its state is touched only by the thread that ticks it (the I/O thread).
class MemoryMonitor {
public:
    MemoryMonitor(MonitorHooks hooks, std::atomic<bool>& throttling, int64_t& lastLowMemoryTime);

    // One tick of the monitor timer.
    void Tick(bool memoryThrottlingEnabled);
    // Applies one memory observation.
    void UpdateThrottling(bool low);

    size_t MemoryLimit() const { return memoryLimit_; }

    // Whether the resident size as last read, grown or shrunk by the change of the core's held
    // data since then, would pass the limit with a gated frame that brings the held data to
    // heldBytesNow: true refuses the frame. Memory is read at most once a second, and a flood of
    // large frames can take hundreds of megabytes in that second; this answer follows every frame.
    // False before the first memory check and while throttling is disabled. The first refusal of
    // an episode logs the figures at level 50, so that EVENT_THROTTLED while the throttling flag
    // is clear can be explained; the episode ends at the next memory check, which measures afresh,
    // so the line comes at most once per check. Any thread, lock-free.
    bool RefusesHeldData(int64_t heldBytesNow);

private:
    MonitorHooks hooks_;
    std::atomic<bool>& throttling_; // read by senders on any thread
    int64_t& lastLowMemoryTime_;    // INT64_MAX: not in a low-memory episode
    size_t memoryLimit_ = 0;        // set on the first tick
    time_t lastWallClock_ = 0;      // 0 until the first tick
    int64_t lastReportTime_ = 0;    // steady clock, nanoseconds
    size_t lastReportUsage_ = 0;    // bytes
    static constexpr int64_t NO_HEADROOM = INT64_MIN;
    // The held bytes at which the resident size reaches the limit, by the last memory check:
    // limit - (resident - held then). Written by the ticking thread, read by senders.
    std::atomic<int64_t> headroom_{NO_HEADROOM};
    // Whether a frame was refused for the headroom since the last memory check. Set by senders,
    // cleared by the ticking thread.
    std::atomic<bool> headroomEpisode_{false};
};

} // namespace dvr
