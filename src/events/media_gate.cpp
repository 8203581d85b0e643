#include "events/media_gate.h"

#include <new>

namespace dvr {

int MediaGate::Gate(const _EventParmsIn& event, bool throttling)
{
    std::lock_guard lock(mutex_);
    int32_t* counter = nullptr;
    try {
        counter = &frameCounts_.try_emplace(event.providerID, 0).first->second; // allocates only for a new provider
    } catch (const std::bad_alloc&) {
        return EVENT_NO_MEMORY;
    }
    int32_t& frames = *counter;
    if (throttling) {
        frames = 0;
        if (event.eventType & EVT_VIDEO)
            throttledVideo_.fetch_add(1, std::memory_order_relaxed);
        if (event.eventType & EVT_AUDIO)
            throttledAudio_.fetch_add(1, std::memory_order_relaxed);
        return EVENT_THROTTLED;
    }
    if ((event.eventType & EVT_VIDEO) == 0)
        return EVENT_ACCEPTED;
    if (EventKeyFrame(&event) == 1) {
        frames = 1;
        return EVENT_ACCEPTED;
    }
    if (frames == 0)
        return EVENT_NO_KEY_FRAME;
    // The count stops at the limit, so a provider that never sends another key frame cannot wrap
    // it round into the accepted range.
    if (frames >= GATE_FRAME_LIMIT)
        return EVENT_GATE_EXPIRED;
    ++frames;
    return EVENT_ACCEPTED;
}

ThrottledFrames MediaGate::TakeThrottledFrames()
{
    return {throttledVideo_.exchange(0, std::memory_order_relaxed),
            throttledAudio_.exchange(0, std::memory_order_relaxed)};
}

} // namespace dvr
