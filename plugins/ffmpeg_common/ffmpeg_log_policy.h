// Which of FFmpeg's messages reach the core's log, and how many: pure rules, apart from the
// callback that asks them.
#ifndef FFMPEG_COMMON_FFMPEG_LOG_POLICY_H
#define FFMPEG_COMMON_FFMPEG_LOG_POLICY_H

#include <cstdint>

namespace ffmpeg_common {

inline constexpr int32_t kLogError = 75;         // between a warning and a failure of the plugin
inline constexpr int kFfmpegLinesPerMinute = 20; // per camera and plugin
inline constexpr int64_t kFfmpegWindowNs = 60LL * 1000000000LL;

// The log level of an FFmpeg message of avLevel (AV_LOG_*: 0 panic ... 16 error, 24 warning, 32
// info, 40 verbose, 48 debug), or -1 to drop it: errors and worse are errors, warnings warnings,
// and the rest is FFmpeg's chatter.
constexpr int32_t FfmpegLineLevel(int avLevel)
{
    if (avLevel <= 16)
        return kLogError;
    if (avLevel <= 24)
        return 50;
    return -1;
}

// At most perWindow lines in each window of windowNs, the first starting with the first line; the
// lines past that are counted, and the first line of a later window says how many there were.
// One thread's: each thread that calls FFmpeg for a camera has its own.
class LineRateLimit {
public:
    LineRateLimit(int perWindow, int64_t windowNs)
        : perWindow_(perWindow),
          windowNs_(windowNs)
    {
    }

    struct Verdict {
        bool pass;                 // write the line
        uint64_t suppressedBefore; // lines suppressed in the window before: say so first (0: none)
    };
    Verdict Offer(int64_t nowNs)
    {
        Verdict verdict{true, 0};
        if (!started_ || nowNs - windowStartNs_ >= windowNs_) {
            verdict.suppressedBefore = suppressed_;
            started_ = true;
            windowStartNs_ = nowNs;
            passed_ = 0;
            suppressed_ = 0;
        }
        if (passed_ >= perWindow_) {
            ++suppressed_;
            verdict.pass = false;
            return verdict;
        }
        ++passed_;
        return verdict;
    }

private:
    int perWindow_;
    int64_t windowNs_;
    bool started_ = false;
    int64_t windowStartNs_ = 0;
    int passed_ = 0;
    uint64_t suppressed_ = 0;
};

} // namespace ffmpeg_common

#endif
