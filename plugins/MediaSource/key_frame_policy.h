// How far apart a camera's key frames are, against the core's key-frame gate: a pure rule that
// counts video frames and reads their timestamps, apart from the reading thread that asks it.
#ifndef MEDIA_SOURCE_KEY_FRAME_POLICY_H
#define MEDIA_SOURCE_KEY_FRAME_POLICY_H

#include <dvrcore/media.h>

#include <cstdint>

namespace media_source {

// The core lets a key frame and 764 further video frames of a camera through; from the 765th after
// it every frame is refused (gate expired) until the next key frame.
inline constexpr uint32_t kGateFrames = 765;

// One group of pictures: a key frame and the frames up to the next key frame.
struct KeyFrameInterval {
    uint32_t frames = 0; // the key frame included
    int64_t ticks = 0;   // from the key frame's dts to the next one's, 1/90,000 s

    // The longest interval at this one's frame rate that the gate lets through whole, in seconds.
    double GateSeconds() const
    {
        return frames == 0 ? 0.0 : static_cast<double>(ticks) * kGateFrames / frames / DVR_MEDIA_CLOCK_RATE;
    }
};

// Measures the key-frame interval of one camera's video, frame by frame in read order. Used by the
// camera's reading thread only.
class KeyFrameWatch {
public:
    // A new connection: the frames before its first key frame belong to no measured group.
    void Restart() { counting_ = false; }

    // One video frame read. True once in the watch's life: at the key frame that ends the first
    // group longer than the gate; Last() then holds that group's figures.
    bool Observe(bool keyFrame, int64_t dts)
    {
        if (!keyFrame) {
            frames_ += counting_ ? 1 : 0;
            return false;
        }
        bool exceeded = false;
        if (counting_) {
            last_ = {frames_, dts - keyDts_};
            exceeded = !warned_ && frames_ > kGateFrames;
            warned_ = warned_ || exceeded;
        }
        counting_ = true;
        frames_ = 1;
        keyDts_ = dts;
        return exceeded;
    }

    // The last complete group measured.
    const KeyFrameInterval& Last() const { return last_; }

private:
    bool counting_ = false; // a key frame of this connection was seen
    uint32_t frames_ = 0;   // of the group being read, its key frame included
    int64_t keyDts_ = 0;    // of that key frame
    KeyFrameInterval last_;
    bool warned_ = false; // Observe said true once
};

} // namespace media_source

#endif
