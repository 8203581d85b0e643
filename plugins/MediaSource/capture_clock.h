// When a frame was captured, in wall-clock ns, from its media time and when it was read. Frames
// arrive in bursts: those read while the stream was probed come all at once after it, so the time
// of the read is late by the probe for them. A frame is stamped instead by its media time from an
// anchor: the first frame at the time the stream was opened, later ones by how far their dts has
// moved on. Pure: no clocks are read here. Used by one camera's reader thread.
#pragma once

#include <cstdint>

namespace media_source {

class CaptureClock {
public:
    // A frame read later than its media time says by more than this re-anchors the clock at its
    // read: the camera's clock is slow, it stalled, or its timestamps went back.
    static constexpr int64_t MAX_LAG_NS = 5'000'000'000;

    // openedNs: the wall clock when the stream began to flow (the open returned).
    explicit CaptureClock(int64_t openedNs)
        : anchorNs_(openedNs)
    {
    }

    // The capture time of a frame of dts (1/90,000 s) read at readNs: never later than its read,
    // never earlier than MAX_LAG_NS before it.
    int64_t Stamp(int64_t dts, int64_t readNs)
    {
        if (!anchored_) {
            anchored_ = true;
            anchorDts_ = dts;
        }
        int64_t ticks = 0, mapped = 0;
        const bool fits = !__builtin_sub_overflow(dts, anchorDts_, &ticks) &&
                          !__builtin_mul_overflow(ticks, int64_t{100'000}, &ticks) && // 90 kHz ticks to ns, times 9
                          !__builtin_add_overflow(anchorNs_, ticks / 9, &mapped);
        // Ahead of its read (a file read faster than real time, a leap forward) or far behind it.
        if (!fits || mapped > readNs || mapped < readNs - MAX_LAG_NS) {
            anchorNs_ = readNs;
            anchorDts_ = dts;
            return readNs;
        }
        return mapped;
    }

private:
    int64_t anchorNs_;      // the wall clock of anchorDts_
    int64_t anchorDts_ = 0; // the media time anchored, once anchored_
    bool anchored_ = false; // set by the first frame
};

} // namespace media_source
