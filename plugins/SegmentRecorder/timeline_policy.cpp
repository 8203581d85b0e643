#include "timeline_policy.h"

#include <dvrcore/media.h>

extern "C" {
#include <libavutil/mathematics.h>
}

#include <algorithm>

namespace segrec {

namespace {

constexpr int64_t CLOCK_RATE = DVR_MEDIA_CLOCK_RATE;
constexpr AVRational MEDIA_TIME_BASE{1, DVR_MEDIA_CLOCK_RATE};
// A video dts more than one frame behind the last, or more than GAP_FORWARD_LIMIT ahead, breaks
// the timeline: the file ends and the next one starts at the next key frame. A dts equal to the
// last or at most one frame behind it is a camera's jitter and is clamped. A frame's duration is
// taken as its interval; without one, DEFAULT_FRAME_INTERVAL (25 frames a second); never more than
// MAX_FRAME_INTERVAL, so a bogus duration cannot hide a jump.
constexpr int64_t GAP_FORWARD_LIMIT = 5 * CLOCK_RATE;
constexpr int64_t DEFAULT_FRAME_INTERVAL = CLOCK_RATE / 25;
constexpr int64_t MAX_FRAME_INTERVAL = CLOCK_RATE / 2;
// A stream that starts without decode times (B-frames before the demuxer knows its reorder depth):
// the first frame's dts is put this many frames before its pts, more than the one or two B-frames
// of the usual encoder, so the real decode times that follow step forward, not back.
constexpr int64_t REORDER_ALLOWANCE = 3;
// While a track has only derived decode times, a real one up to this far behind them settles the
// timeline: the track is shifted onto its derived times instead of breaking.
constexpr int64_t SETTLE_LIMIT = CLOCK_RATE;
// Audio never ends a file. Audio that begins before the end of the last frame is moved to that end
// (a decoder would play the overlap twice); audio up to AUDIO_BEHIND_LIMIT behind its last frame
// (a stream's clocks being matched after a connect) is dropped until it is within a frame of it;
// audio further back, or more than GAP_FORWARD_LIMIT ahead, is moved onto the video's timeline, as
// is a track whose first frame is that far from the video.
constexpr int64_t AUDIO_BEHIND_LIMIT = CLOCK_RATE;

int64_t Interval(uint32_t duration)
{
    return std::min<int64_t>(duration > 0 ? duration : DEFAULT_FRAME_INTERVAL, MAX_FRAME_INTERVAL);
}

} // namespace

TimelinePolicy::TimelinePolicy(int64_t segmentTicks)
    : segmentTicks_(segmentTicks)
{
}

uint32_t TimelinePolicy::Lost(const Track& track, const TimelineFrame& frame) const
{
    if (!track.haveSequence || frame.sequence == track.sequence)
        return 0;
    const uint32_t gap = frame.sequence - track.sequence - 1;
    if (gap >= 0x80000000u) // the count went back: the source began it again
        return 0;
    return gap > frame.skipped ? gap - frame.skipped : 0;
}

TimelineDecision TimelinePolicy::Judge(const TimelineFrame& frame)
{
    Track& track = frame.video ? video_ : audio_;
    const uint32_t lost = Lost(track, frame);
    TimelineDecision decision = frame.video ? JudgeVideo(frame, lost) : JudgeAudio(frame);
    decision.lost = lost;
    if (decision.action != TimelineAction::StartFile && decision.action != TimelineAction::EndFile) {
        track.haveSequence = true;
        track.sequence = frame.sequence;
    }
    return decision;
}

TimelineDecision TimelinePolicy::JudgeVideo(const TimelineFrame& frame, uint32_t lost)
{
    TimelineDecision decision;
    const int64_t interval = Interval(frame.duration);
    int64_t pts = frame.pts + video_.shift;
    int64_t dts = frame.dts + video_.shift;
    if (!frame.hasDts) {
        // Within a run, the last dts plus a frame, never past pts; far from the last (a jump), or
        // first, from pts.
        const bool near = video_.have && pts - video_.last <= GAP_FORWARD_LIMIT;
        dts = near ? std::min(pts, video_.last + interval) : pts - REORDER_ALLOWANCE * interval;
    }
    bool clamp = false;
    if (video_.have) {
        int64_t step = dts - video_.last;
        const bool ahead = step > GAP_FORWARD_LIMIT;
        if (video_.settling && frame.hasDts && !ahead && step < -interval && step >= -SETTLE_LIMIT) {
            const int64_t move = video_.last + interval - dts;
            video_.shift += move;
            dts += move;
            pts += move;
            step = interval;
        }
        if (ahead || step < -interval) {
            decision.cut = lost > 0 && ahead && step <= (static_cast<int64_t>(lost) + 1) * MAX_FRAME_INTERVAL
                               ? TimelineCut::FramesLost
                               : TimelineCut::CameraJump;
            decision.jump = step;
            Restart(); // this frame begins the new timeline
            if (open_) {
                decision.action = TimelineAction::EndFile;
                return decision;
            }
            TimelineDecision fresh = JudgeVideo(frame, lost);
            fresh.cut = decision.cut;
            fresh.jump = decision.jump;
            return fresh;
        }
        clamp = step <= 0;
    }
    if (clamp)
        dts = video_.last + 1;
    if (!open_) {
        if (frame.key) {
            decision.action = TimelineAction::StartFile;
            return decision;
        }
        decision.action = TimelineAction::AwaitKey;
        Remember(video_, dts, frame.hasDts);
        return decision;
    }
    if (clamp)
        ++decision.clamps;
    if (haveBase_ && frame.key && dts - base_ >= segmentTicks_) {
        decision.action = TimelineAction::EndFile;
        decision.cut = TimelineCut::SegmentComplete;
        return decision;
    }
    if (!haveBase_) {
        base_ = dts;
        haveBase_ = true;
    }
    decision.action = TimelineAction::Write;
    Place(video_, dts, pts, frame.duration, decision);
    Remember(video_, dts, frame.hasDts);
    return decision;
}

TimelineDecision TimelinePolicy::JudgeAudio(const TimelineFrame& frame)
{
    TimelineDecision decision;
    decision.action = TimelineAction::Drop;
    if (!open_ || !haveBase_ || audio_.timeBase.num == 0) {
        decision.drop = TimelineDrop::AudioEarly;
        return decision;
    }
    const int64_t interval = Interval(frame.duration);
    int64_t dts = (frame.hasDts ? frame.dts : frame.pts) + audio_.shift;
    if (audio_.have) {
        const int64_t step = dts - audio_.last;
        if (step > GAP_FORWARD_LIMIT || step < -AUDIO_BEHIND_LIMIT) {
            const int64_t target = std::max(video_.have ? video_.last : INT64_MIN, audio_.last + interval);
            audio_.shift += target - dts;
            dts = target;
            decision.rebased = true;
        } else if (step < -interval) {
            decision.drop = TimelineDrop::AudioBehind;
            return decision;
        } else if (dts < audio_.end) { // audio frames follow one another: never overlapping
            dts = audio_.end;
            ++decision.clamps;
        }
    } else if (video_.have && (dts > video_.last + GAP_FORWARD_LIMIT || dts < video_.last - GAP_FORWARD_LIMIT)) {
        audio_.shift += video_.last - dts;
        dts = video_.last;
        decision.rebased = true;
    }
    // Audio before the file's first video frame is dropped: the file's timeline starts there.
    if (dts < base_) {
        decision.drop = TimelineDrop::AudioEarly;
        return decision;
    }
    decision.action = TimelineAction::Write;
    Place(audio_, dts, dts, frame.duration, decision);
    Remember(audio_, dts, true);
    audio_.end = dts + std::max<int64_t>(frame.duration, 1);
    return decision;
}

void TimelinePolicy::Place(Track& track, int64_t dts, int64_t pts, uint32_t duration, TimelineDecision& decision)
{
    // Rising in 1/90,000 s is not enough: the muxer's time base may be coarser (audio in samples),
    // where two close decode times become one.
    int64_t out = av_rescale_q(dts - base_, MEDIA_TIME_BASE, track.timeBase);
    if (track.haveOut && out <= track.lastOut) {
        out = track.lastOut + 1;
        ++decision.clamps;
    }
    int64_t outPts = av_rescale_q(pts - base_, MEDIA_TIME_BASE, track.timeBase);
    if (outPts < out) {
        outPts = out;
        ++decision.clamps;
    }
    track.haveOut = true;
    track.lastOut = out;
    decision.dts = out;
    decision.pts = outPts;
    const int64_t start = std::max(dts - base_, av_rescale_q(out, track.timeBase, MEDIA_TIME_BASE));
    decision.end = start + std::max<int64_t>(duration, 1);
}

void TimelinePolicy::Remember(Track& track, int64_t dts, bool real)
{
    if (!track.have)
        track.settling = !real;
    else if (real)
        track.settling = false;
    track.have = true;
    track.last = dts;
}

void TimelinePolicy::Seen(const TimelineFrame& frame)
{
    Track& track = frame.video ? video_ : audio_;
    track.haveSequence = true;
    track.sequence = frame.sequence;
}

void TimelinePolicy::FileStarted(AVRational video, AVRational audio)
{
    open_ = true;
    haveBase_ = false;
    video_.timeBase = video;
    audio_.timeBase = audio;
    video_.haveOut = audio_.haveOut = false;
}

void TimelinePolicy::FileEnded()
{
    open_ = false;
    haveBase_ = false;
    video_.haveOut = audio_.haveOut = false;
}

void TimelinePolicy::Restart()
{
    for (Track* track : {&video_, &audio_}) {
        track->have = false;
        track->settling = false;
        track->shift = 0;
    }
}

} // namespace segrec
