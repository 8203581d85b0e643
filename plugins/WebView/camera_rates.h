// A camera's flow as the plugin sees it: frames per second and bits per second over the last
// seconds, and the frames its sequence numbers say never arrived. Pure: the caller gives the times
// and holds the lock of the table the figures live in.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>

namespace webview {

using SteadyTime = std::chrono::steady_clock::time_point;

struct FlowRates {
    double framesPerSecond = 0; // video frames
    double bitsPerSecond = 0;   // coded bytes of video and audio
};

class RateWindow {
public:
    static constexpr std::chrono::seconds SPAN{5};

    void Add(SteadyTime now, bool video, uint64_t bytes)
    {
        if (frames_.empty() && !started_) {
            first_ = now;
            started_ = true;
        }
        frames_.push_back({now, video, bytes});
        Expire(now);
    }

    // Over the last SPAN, or over the time since the first frame when that is shorter (but at
    // least a second, so that the first frames do not read as a burst).
    FlowRates Rates(SteadyTime now) const
    {
        FlowRates rates;
        if (!started_)
            return rates;
        uint64_t videoFrames = 0;
        uint64_t bytes = 0;
        for (const Arrival& arrival : frames_)
            if (now - arrival.time < SPAN) {
                videoFrames += arrival.video ? 1 : 0;
                bytes += arrival.bytes;
            }
        const auto seen = std::chrono::duration<double>(now - first_).count();
        const double seconds = std::max(1.0, std::min(seen, std::chrono::duration<double>(SPAN).count()));
        rates.framesPerSecond = static_cast<double>(videoFrames) / seconds;
        rates.bitsPerSecond = static_cast<double>(bytes) * 8 / seconds;
        return rates;
    }

private:
    struct Arrival {
        SteadyTime time;
        bool video;
        uint64_t bytes;
    };
    // Drops what fell out of the window; a camera far above any real rate is bounded by the cap.
    void Expire(SteadyTime now)
    {
        while (!frames_.empty() && (now - frames_.front().time >= SPAN || frames_.size() > MAX_FRAMES))
            frames_.pop_front();
    }
    static constexpr size_t MAX_FRAMES = 4096;

    std::deque<Arrival> frames_;
    SteadyTime first_{};
    bool started_ = false;
};

// Frames counted missing from one kind of a camera's frames (each kind numbers its own).
class SequenceGaps {
public:
    // A frame's sequence number: how many before it never arrived (0 for the first one seen, and
    // for one that comes late or repeats an earlier number).
    uint64_t Next(uint32_t sequence)
    {
        if (!seen_) {
            seen_ = true;
            next_ = sequence + 1;
            return 0;
        }
        const uint32_t ahead = sequence - next_; // wraps with the sequence numbers
        if (ahead >= 0x80000000u)
            return 0; // behind what came already
        next_ = sequence + 1;
        return ahead;
    }
    // A new connection numbers its frames afresh.
    void Restart() { seen_ = false; }

private:
    bool seen_ = false;
    uint32_t next_ = 0;
};

} // namespace webview
