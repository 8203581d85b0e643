#include "ipc/memory_monitor.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "log/core_log.h"
#include "log/log_levels.h"

namespace dvr {
namespace {

constexpr int64_t MINUTE_NS = 60'000'000'000;
constexpr int64_t MIB = 1'048'576;

int64_t Nanoseconds(std::chrono::steady_clock::time_point time)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

} // namespace

size_t ReadResidentBytes()
{
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm == nullptr)
        return 0;
    unsigned long size = 0;
    unsigned long resident = 0;
    if (fscanf(statm, "%lu %lu", &size, &resident) < 2)
        resident = 0;
    fclose(statm);
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

MemoryMonitor::MemoryMonitor(MonitorHooks hooks, std::atomic<bool>& throttling, int64_t& lastLowMemoryTime)
    : hooks_(std::move(hooks)),
      throttling_(throttling),
      lastLowMemoryTime_(lastLowMemoryTime)
{
}

void MemoryMonitor::Tick(bool memoryThrottlingEnabled)
{
    if (memoryLimit_ == 0) {
        memoryLimit_ = MEMORY_LIMIT;
        CoreLog(CORE_PROVIDER_ID, hooks_.logCallback, LOG_DIAGNOSTIC, "memory limit set to %zu", memoryLimit_);
    }

    time_t now = hooks_.wallClock();
    if (lastWallClock_ != 0) {
        int jump = static_cast<int>(difftime(now, lastWallClock_));
        if (std::abs(jump) > 1)
            CoreLog(CORE_PROVIDER_ID, hooks_.logCallback, LOG_WARNING, "system time changed by %d seconds", jump);
    } else if (memoryThrottlingEnabled) {
        hooks_.publishThrottlingState(); // the plugins learn the initial state
    }

    // At most one memory check per wall-clock second.
    if (!memoryThrottlingEnabled)
        headroom_.store(NO_HEADROOM, std::memory_order_relaxed);
    if (memoryThrottlingEnabled && now != lastWallClock_) {
        bool underPressure =
            throttling_.load(std::memory_order_relaxed) || headroomEpisode_.load(std::memory_order_relaxed);
        if (underPressure && hooks_.releaseFreedMemory)
            hooks_.releaseFreedMemory();
        int64_t held = hooks_.heldBytes ? hooks_.heldBytes() : 0;
        size_t usage = hooks_.residentBytes();
        headroom_.store(static_cast<int64_t>(memoryLimit_) - (static_cast<int64_t>(usage) - held),
                        std::memory_order_relaxed);
        headroomEpisode_.store(false, std::memory_order_relaxed);
        UpdateThrottling(usage > memoryLimit_);
        int64_t steadyNow = Nanoseconds(hooks_.now());
        if (steadyNow - lastReportTime_ >= MINUTE_NS) {
            long long change = (static_cast<int64_t>(usage) - static_cast<int64_t>(lastReportUsage_)) / MIB;
            CoreLog(CORE_PROVIDER_ID, hooks_.logCallback, LOG_INFO, "memory usage changed %lldMB (total usage: %zuMB)",
                    change, usage / static_cast<size_t>(MIB));
            lastReportTime_ = Nanoseconds(hooks_.now());
            lastReportUsage_ = usage;
        }
    }
    lastWallClock_ = now;
}

bool MemoryMonitor::RefusesHeldData(int64_t heldBytesNow)
{
    int64_t headroom = headroom_.load(std::memory_order_relaxed);
    if (headroom == NO_HEADROOM || heldBytesNow <= headroom)
        return false;
    if (!headroomEpisode_.exchange(true, std::memory_order_relaxed)) {
        CoreLog(CORE_PROVIDER_ID, hooks_.logCallback, LOG_WARNING,
                "refusing gated frames: held event data of %lld bytes would pass the headroom of %lld bytes "
                "below the memory limit of %zu bytes",
                static_cast<long long>(heldBytesNow), static_cast<long long>(headroom), MEMORY_LIMIT);
    }
    return true;
}

void MemoryMonitor::UpdateThrottling(bool low)
{
    int64_t now = Nanoseconds(hooks_.now());
    throttling_.store(low, std::memory_order_relaxed);
    if (low) {
        if (lastLowMemoryTime_ == INT64_MAX) {
            CoreLog(CORE_PROVIDER_ID, hooks_.logCallback, LOG_WARNING,
                    "available system memory is low, throttling video");
            hooks_.publishThrottlingState();
        }
        lastLowMemoryTime_ = now;
        return;
    }
    if (lastLowMemoryTime_ == INT64_MAX || now - MINUTE_NS < lastLowMemoryTime_)
        return;
    CoreLog(CORE_PROVIDER_ID, hooks_.logCallback, LOG_WARNING, "available system memory ok, not throttling video");
    hooks_.publishThrottlingState();
    lastLowMemoryTime_ = INT64_MAX;
}

} // namespace dvr
