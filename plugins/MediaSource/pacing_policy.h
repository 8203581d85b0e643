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

// A network camera's reader wakes for a burst of frames, not for each one. A read that had to wait
// for the network (it took longer than WAITED_NS) has caught up with the camera: the reader then
// sleeps for batchNs while the next frames gather in the socket, and reads them together. Each wait
// inside a read is a context switch, and so is each wake of the core's queue worker for a frame
// that comes alone; a burst costs one of each. Frames are late by at most batchNs, and their
// capture times come from their media time, not from when they were read. Only for a transport
// that holds what comes meanwhile (RTSP over TCP): a datagram socket could overflow.
class ReadBatch {
public:
    static constexpr int64_t WAITED_NS = 2'000'000;

    explicit ReadBatch(int64_t batchNs)
        : batchNs_(batchNs)
    {
    }

    // When to read next (monotonic ns) after a read that began at startNs and returned at endNs.
    int64_t NextRead(int64_t startNs, int64_t endNs) const
    {
        return endNs - startNs > WAITED_NS ? endNs + batchNs_ : endNs;
    }

private:
    int64_t batchNs_;
};

} // namespace media_source

#endif
