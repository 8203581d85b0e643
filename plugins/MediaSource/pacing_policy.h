// When a paced file's frame is due: a pure rule, apart from the reading thread that waits for it.
#ifndef MEDIA_SOURCE_PACING_POLICY_H
#define MEDIA_SOURCE_PACING_POLICY_H

#include <dvrcore/media.h>

extern "C" {
#include <libavutil/mathematics.h>
}

#include <cstdint>

namespace media_source {

// Paces a file by its timestamps: the first frame is due when it is read, each later one as far
// after it as its dts (1/90,000 s) is. A frame due more than LATE_LIMIT_NS before its read starts
// the pacing again there: a file that fell behind sends on at its own pace rather than in a burst.
class FilePacer {
public:
    static constexpr int64_t LATE_LIMIT_NS = 1'000'000'000;

    // The monotonic time (ns) at which the frame of dts, read at nowNs, is due.
    int64_t Due(int64_t dts, int64_t nowNs)
    {
        // av_rescale: a looped file's dts grows without end, and dts times 1e9 overflows 64 bits
        // after about 28.5 hours.
        int64_t due = started_ ? startNs_ + av_rescale(dts - startDts_, 1'000'000'000, DVR_MEDIA_CLOCK_RATE) : 0;
        if (!started_ || due < nowNs - LATE_LIMIT_NS) {
            started_ = true;
            startNs_ = nowNs;
            startDts_ = dts;
            due = nowNs;
        }
        return due;
    }

private:
    bool started_ = false; // set by the first frame
    int64_t startNs_ = 0;  // when the frame of startDts_ was due
    int64_t startDts_ = 0;
};

} // namespace media_source

#endif
