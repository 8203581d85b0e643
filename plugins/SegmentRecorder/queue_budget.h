// The bytes every camera's queue may hold together, in equal shares: a camera that falls behind
// fills its own share and no other camera's, so it cannot starve the others, and the cameras
// together never hold more than the total.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>

namespace segrec {

class QueueBudget {
public:
    explicit QueueBudget(uint64_t totalBytes)
        : total_(totalBytes)
    {
    }

    // A camera that queues from now on: the shares are counted over every camera joined.
    void Join(uint32_t camera)
    {
        std::lock_guard lock(mutex_);
        held_.try_emplace(camera, 0);
    }
    // Takes bytes for camera's queue when they fit in its share (true). promised: the camera was
    // told of room for them before its share shrank (a camera joined): they are taken all the same,
    // and the total is over its bound until that camera's queue drains. Any thread.
    bool Take(uint32_t camera, uint64_t bytes, bool promised = false)
    {
        std::lock_guard lock(mutex_);
        uint64_t& held = held_[camera];
        if (!promised && held + bytes > ShareLocked())
            return false;
        held += bytes;
        return true;
    }
    // Gives back bytes camera took. Any thread.
    void Give(uint32_t camera, uint64_t bytes)
    {
        std::lock_guard lock(mutex_);
        uint64_t& held = held_[camera];
        held -= std::min(held, bytes);
    }
    // The bytes each camera is sure of.
    uint64_t Share() const
    {
        std::lock_guard lock(mutex_);
        return ShareLocked();
    }

private:
    uint64_t ShareLocked() const { return held_.empty() ? total_ : total_ / held_.size(); }

    const uint64_t total_;
    mutable std::mutex mutex_;          // guards held_; a leaf lock, taken inside a camera's own
    std::map<uint32_t, uint64_t> held_; // bytes queued, by camera number
};

} // namespace segrec
