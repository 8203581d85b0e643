#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include <dvrcore/plugin_api.h>

#include "events/event_memory.h"

namespace dvr {

// Media frames dropped while throttling since the counters were last taken.
struct ThrottledFrames {
    uint32_t video;
    uint32_t audio;
};

// Throttling and key-frame gating of media frames, per provider. Any thread.
class MediaGate {
public:
    // Video frames a provider may send counting from its key frame, the key frame included: after
    // a key frame 764 more pass and the next one is refused until the next key frame.
    static constexpr int32_t GATE_FRAME_LIMIT = 765;

    // Decides on one gated media frame (EVT_VIDEO or EVT_AUDIO with EVF_MEDIA_GATED): EVENT_ACCEPTED
    // to queue it, or EVENT_THROTTLED, EVENT_NO_KEY_FRAME or EVENT_GATE_EXPIRED to drop it;
    // EVENT_NO_MEMORY when a new provider's counter cannot be made.
    // While throttling every frame is dropped and counted (a frame of both kinds in both counters),
    // and its provider must start again with a key frame.
    int Gate(const _EventParmsIn& event, bool throttling);

    // The throttled frame counters, set back to 0 as they are read.
    ThrottledFrames TakeThrottledFrames();

private:
    std::mutex mutex_; // guards frameCounts_
    // Per provider: video frames since and including its last accepted key frame; 0 means the
    // provider must send a key frame next. Entries are never removed. Guarded by mutex_.
    std::unordered_map<uint32_t, int32_t, std::hash<uint32_t>, std::equal_to<uint32_t>,
                       EventAllocator<std::pair<const uint32_t, int32_t>>>
        frameCounts_;
    std::atomic<uint32_t> throttledVideo_{0}; // lock-free: counted by senders, taken by the report
    std::atomic<uint32_t> throttledAudio_{0}; // lock-free: counted by senders, taken by the report
};

} // namespace dvr
