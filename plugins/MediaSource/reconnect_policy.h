// When a camera that failed is tried again: a pure rule, apart from the reading thread that asks it.
#ifndef MEDIA_SOURCE_RECONNECT_POLICY_H
#define MEDIA_SOURCE_RECONNECT_POLICY_H

#include <cstdint>

namespace media_source {

inline constexpr int kReconnectFirstSeconds = 1;
// The longest wait between attempts: a camera that comes back after an outage of any length is
// connected again at most this long after it returns (plus the connection itself).
inline constexpr int kReconnectMaxSeconds = 4;

// The wait before the next attempt after failures failed attempts in a row (from 1; a connection
// that delivered frames starts the count anew): 1 s, 2 s, then 4 s for as long as the camera stays
// away.
constexpr int ReconnectDelaySeconds(uint32_t failures)
{
    int delay = kReconnectFirstSeconds;
    for (uint32_t i = 1; i < failures && delay < kReconnectMaxSeconds; ++i)
        delay *= 2;
    return delay < kReconnectMaxSeconds ? delay : kReconnectMaxSeconds;
}

// Watches a source for silence, on the reading thread: expired once nothing came for the time-out
// since the last Arm. A packet that comes after that is no sign of life: when a read fails FFmpeg's
// parsers hand over the frame they held, and taking it as fresh data would arm the watch anew and
// notice the stall only a second time-out later.
class StallWatch {
public:
    explicit StallWatch(int64_t timeoutNs)
        : timeoutNs_(timeoutNs)
    {
    }
    // A blocking read or open begins at nowNs.
    void Arm(int64_t nowNs) { deadlineNs_ = nowNs + timeoutNs_; }
    bool Expired(int64_t nowNs) const { return nowNs > deadlineNs_; }
    // A packet came at nowNs: whether the source is still alive.
    bool Received(int64_t nowNs) const { return !Expired(nowNs); }

private:
    int64_t timeoutNs_;
    int64_t deadlineNs_ = 0;
};

} // namespace media_source

#endif
