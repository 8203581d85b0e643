// Where each frame of one camera lands on its files' timeline: the decisions of the writer thread
// about timestamps and cuts, with no file, thread or muxer of its own, so a table of frames can
// check them. Used by one camera's writer thread only.
#pragma once

extern "C" {
#include <libavutil/rational.h>
}

#include <cstdint>

namespace segrec {

// One frame as the policy judges it; times in 1/90,000 s.
struct TimelineFrame {
    bool video = true;
    bool key = false;   // a video key frame
    bool hasDts = true; // false: the stream gave no decode time (dts is then a copy of pts)
    int64_t dts = 0;
    int64_t pts = 0;
    uint32_t duration = 0; // 0 when unknown
    uint32_t sequence = 0; // the source's count of this kind's frames
    uint32_t skipped = 0;  // frames of this kind the writer's queue dropped just before this one
};

enum class TimelineAction {
    Write,     // write the frame at dts and pts
    StartFile, // open a file (then FileStarted) and ask again about the same frame
    EndFile,   // end the open file (then FileEnded) and ask again about the same frame
    Drop,      // drop the frame, for the reason given
    AwaitKey,  // no file is open and video waits for a key frame
};

// Why the timeline broke or the file ends.
enum class TimelineCut {
    None,
    SegmentComplete, // the file is as long as a segment and this is a key frame
    CameraJump,      // the camera's timestamps leapt or went back
    FramesLost,      // the timestamps leapt over frames that never reached the writer
};

enum class TimelineDrop {
    None,
    AudioEarly,  // audio with no file open, or before the file's first video frame
    AudioBehind, // audio more than a frame behind its last frame (up to a second): dropped until it catches up
};

struct TimelineDecision {
    TimelineAction action = TimelineAction::Drop;
    TimelineCut cut = TimelineCut::None; // set once, on the decision that first meets the break
    TimelineDrop drop = TimelineDrop::None;
    int64_t dts = 0;      // Write: from the file's start, in the track's time base
    int64_t pts = 0;      // Write: likewise
    int64_t end = 0;      // Write: the frame's end from the file's start, 1/90,000 s
    int clamps = 0;       // Write: timestamps moved to keep decode times rising and pts at or after dts
    bool rebased = false; // audio moved onto the video's timeline or its own continuation
    int64_t jump = 0;     // with a cut: the step from the track's last dts, 1/90,000 s
    uint32_t lost = 0;    // frames of this kind that never reached the writer just before this one
};

class TimelinePolicy {
public:
    // segmentTicks: a file's length in 1/90,000 s, reached at the next video key frame.
    explicit TimelinePolicy(int64_t segmentTicks);

    // What to do with frame. EndFile and StartFile change nothing but the break they report: the
    // writer acts and asks again about the same frame.
    TimelineDecision Judge(const TimelineFrame& frame);
    // The writer opened a file for the frame StartFile answered: the tracks' time bases as the
    // muxer keeps them (audio's num 0 when the file has no audio track).
    void FileStarted(AVRational video, AVRational audio);
    // The writer dropped frame without asking (no file could be opened for it): its sequence
    // number is taken as seen.
    void Seen(const TimelineFrame& frame);
    // The file ended, for whatever reason.
    void FileEnded();
    // Forgets both tracks' history: new stream parameters, a discontinuity, a failed write.
    void Restart();

    bool FileOpen() const { return open_; }

private:
    // One track's history.
    struct Track {
        bool have = false;     // a frame since the last restart
        bool settling = false; // every dts since then was derived
        int64_t last = 0;      // its last dts, 1/90,000 s, after shift
        int64_t end = 0;       // audio: the end of its last frame
        int64_t shift = 0;     // added to the camera's timestamps (audio moved onto video's timeline)
        bool haveOut = false;  // a frame written into the open file
        int64_t lastOut = 0;   // its dts there, in the time base
        AVRational timeBase{1, 90000};
        bool haveSequence = false;
        uint32_t sequence = 0;
    };

    TimelineDecision JudgeVideo(const TimelineFrame& frame, uint32_t lost);
    TimelineDecision JudgeAudio(const TimelineFrame& frame);
    // The frame's place in the open file: dts and pts rising in the track's time base.
    void Place(Track& track, int64_t dts, int64_t pts, uint32_t duration, TimelineDecision& decision);
    // The track's last dts; real: the stream gave it.
    static void Remember(Track& track, int64_t dts, bool real);
    uint32_t Lost(const Track& track, const TimelineFrame& frame) const;

    const int64_t segmentTicks_;
    Track video_;
    Track audio_;
    bool open_ = false;
    bool haveBase_ = false; // the open file's first video frame was placed
    int64_t base_ = 0;      // its dts, 1/90,000 s: subtracted from both tracks
};

} // namespace segrec
