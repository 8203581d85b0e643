#include "events/reader_tracker.h"

namespace dvr {

bool ReaderTracker::Enter(const void* plugin)
{
    std::lock_guard lock(mutex_);
    if (retired_.contains(plugin))
        return false;
    ++running_[plugin];
    return true;
}

void ReaderTracker::Leave(const void* plugin)
{
    std::lock_guard lock(mutex_);
    auto entry = running_.find(plugin);
    if (entry == running_.end())
        return;
    if (--entry->second == 0) {
        running_.erase(entry);
        left_.notify_all();
    }
}

bool ReaderTracker::RetireAndWaitUntil(const void* plugin, const SteadyNow& now,
                                       std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock lock(mutex_);
    retired_.insert(plugin);
    return WaitUntilDeadline(
        lock, left_, [&] { return !running_.contains(plugin); }, now, deadline);
}

bool ReaderTracker::Retired(const void* plugin) const
{
    std::lock_guard lock(mutex_);
    return retired_.contains(plugin);
}

uint32_t ReaderTracker::Running(const void* plugin) const
{
    std::lock_guard lock(mutex_);
    auto entry = running_.find(plugin);
    return entry == running_.end() ? 0 : entry->second;
}

} // namespace dvr
