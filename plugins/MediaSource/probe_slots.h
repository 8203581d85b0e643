// A bound on how many cameras do one thing at a time, with a bounded wait for a turn.
#ifndef MEDIA_SOURCE_PROBE_SLOTS_H
#define MEDIA_SOURCE_PROBE_SLOTS_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace media_source {

class ProbeSlots {
public:
    ProbeSlots(int slots, std::chrono::milliseconds wait)
        : slots_(slots),
          wait_(wait)
    {
    }

    // Takes a slot when one is free within the wait (true); false when none came in time or
    // stopping was set first: the caller then goes on without one, or gives up.
    bool Take(const std::atomic<bool>& stopping)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, wait_, [&] { return stopping || used_ < slots_; }) || stopping)
            return false;
        ++used_;
        return true;
    }

    // Gives back a slot Take returned true for.
    void Give()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            --used_;
        }
        changed_.notify_all();
    }

    // Wakes the waiting takers to look at their stop flags again.
    void Wake()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_); // a taker between its test and its wait hears it
        }
        changed_.notify_all();
    }

private:
    const int slots_;
    const std::chrono::milliseconds wait_;
    std::mutex mutex_; // guards used_
    std::condition_variable changed_;
    int used_ = 0;
};

} // namespace media_source

#endif
