// SegmentRecorder's timeline policy: where each frame lands in which file, driven as the writer
// drives it, by tables of frames and by random streams whose seed the test's output names.
#include "timeline_policy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using segrec::TimelineAction;
using segrec::TimelineCut;
using segrec::TimelineDecision;
using segrec::TimelineDrop;
using segrec::TimelineFrame;
using segrec::TimelinePolicy;

constexpr int64_t SECOND = 90000;
constexpr int64_t FRAME = SECOND / 25;
constexpr AVRational VIDEO_BASE{1, 90000};

// What became of one frame pushed.
struct Outcome {
    TimelineAction action = TimelineAction::Drop;
    TimelineDrop drop = TimelineDrop::None;
    size_t file = 0; // written: the file's number, from 1
    int64_t dts = 0; // written: in the track's time base
    int64_t pts = 0;
    int clamps = 0;
    bool rebased = false;
};

// The policy driven as the writer drives it: files open and end at its word, and nothing else
// ends them. Keeps every outcome and every cut.
class Timeline {
public:
    explicit Timeline(int64_t segment = 60 * SECOND, AVRational audio = {1, 48000})
        : policy_(segment),
          audio_(audio)
    {
    }

    Outcome Push(const TimelineFrame& frame)
    {
        TimelineDecision decision;
        for (int asked = 0;; ++asked) {
            if (asked == 4) {
                ADD_FAILURE() << "the policy keeps asking for files to be opened or ended";
                break;
            }
            decision = policy_.Judge(frame);
            if (decision.cut != TimelineCut::None)
                cuts.push_back(decision.cut);
            if (decision.action == TimelineAction::EndFile) {
                EXPECT_TRUE(policy_.FileOpen());
                policy_.FileEnded();
            } else if (decision.action == TimelineAction::StartFile) {
                EXPECT_TRUE(frame.video && frame.key) << "a file begins at a video key frame";
                policy_.FileStarted(VIDEO_BASE, audio_);
                ++files;
                firstOfFile = true;
            } else {
                break;
            }
        }
        Outcome outcome{decision.action, decision.drop,   files,           decision.dts,
                        decision.pts,    decision.clamps, decision.rebased};
        lost += decision.lost;
        clamps += decision.clamps;
        if (decision.action == TimelineAction::Write) {
            if (frame.video && firstOfFile) {
                EXPECT_TRUE(frame.key) << "file " << files << " begins with a frame that is not a key frame";
            }
            firstOfFile = false;
        }
        outcomes.push_back(outcome);
        return outcome;
    }

    // A video frame of a stream without B-frames.
    Outcome Video(int64_t dts, bool key = false) { return Push(Frame(true, dts, dts, key)); }
    Outcome Audio(int64_t dts, uint32_t duration = 1920) { return Push(Frame(false, dts, dts, false, duration)); }

    TimelineFrame Frame(bool video, int64_t dts, int64_t pts, bool key, uint32_t duration = FRAME)
    {
        TimelineFrame frame;
        frame.video = video;
        frame.key = key;
        frame.dts = dts;
        frame.pts = pts;
        frame.duration = duration;
        frame.sequence = sequence_[video ? 0 : 1]++;
        return frame;
    }
    // Frames that never reach the policy, as the core's gate drops them.
    void Skip(bool video, uint32_t frames) { sequence_[video ? 0 : 1] += frames; }

    size_t Count(TimelineCut cut) const { return static_cast<size_t>(std::count(cuts.begin(), cuts.end(), cut)); }

    std::vector<Outcome> outcomes;
    std::vector<TimelineCut> cuts;
    size_t files = 0;
    uint64_t lost = 0;
    int clamps = 0;

private:
    TimelinePolicy policy_;
    AVRational audio_;
    uint32_t sequence_[2] = {};
    bool firstOfFile = false;
};

// ---- Tables ------------------------------------------------------------------------------------

TEST(TimelinePolicy, VideoStepsUpToOneFrameBackAreClampedFurtherOrOverFiveSecondsAheadBreak)
{
    const struct {
        const char* what;
        int64_t step; // from the last frame
        bool breaks;
    } cases[] = {
        {"one frame on", FRAME, false},
        {"the same dts", 0, false},
        {"a tick back", -1, false},
        {"one frame back", -FRAME, false},
        {"a frame and a tick back", -FRAME - 1, true},
        {"a frame and a half back", -FRAME * 3 / 2, true},
        {"two frames back", -2 * FRAME, true},
        {"4.9 s ahead", 49 * SECOND / 10, false},
        {"5 s ahead", 5 * SECOND, false},
        {"6 s ahead", 6 * SECOND, true},
        {"9 s ahead", 9 * SECOND, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Timeline timeline;
        const int64_t start = 1000 * SECOND;
        for (int i = 0; i < 10; ++i)
            EXPECT_EQ(timeline.Video(start + i * FRAME, i == 0).action, TimelineAction::Write);
        const int64_t last = start + 9 * FRAME;
        const Outcome at = timeline.Video(last + c.step, true);
        EXPECT_EQ(timeline.Count(TimelineCut::CameraJump), c.breaks ? 1u : 0u);
        EXPECT_EQ(timeline.files, c.breaks ? 2u : 1u);
        EXPECT_EQ(at.action, TimelineAction::Write);
        if (!c.breaks) {
            EXPECT_EQ(at.dts, std::max(c.step, int64_t{1}) + 9 * FRAME);
            EXPECT_EQ(at.clamps, c.step <= 0 ? 2 : 0); // dts, and pts then before it
        }
    }
}

TEST(TimelinePolicy, AFileEndsAtTheFirstKeyFrameAtOrPastTheSegmentLength)
{
    const struct {
        int64_t keyEvery; // frames
        int64_t segment;  // seconds
    } cases[] = {{25, 2}, {18, 2}, {75, 2}, {10, 3}, {1, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE("a key frame every " + std::to_string(c.keyEvery) + " frames, files of " +
                     std::to_string(c.segment) + " s");
        Timeline timeline(c.segment * SECOND);
        std::vector<int64_t> starts; // the frame each file begins with
        for (int64_t i = 0; i < 500; ++i) {
            const Outcome outcome = timeline.Video(i * FRAME, i % c.keyEvery == 0);
            ASSERT_EQ(outcome.action, TimelineAction::Write) << "frame " << i;
            if (starts.size() < outcome.file)
                starts.push_back(i);
        }
        // Each file is as long as a segment, rounded up to the next key frame.
        const int64_t frames = (c.segment * 25 + c.keyEvery - 1) / c.keyEvery * c.keyEvery;
        for (size_t i = 0; i < starts.size(); ++i)
            EXPECT_EQ(starts[i], static_cast<int64_t>(i) * frames) << "file " << i + 1;
        EXPECT_EQ(timeline.Count(TimelineCut::SegmentComplete), starts.size() - 1);
    }
}

TEST(TimelinePolicy, ClampedAudioRisesInItsOwnTimeBaseAndFollowsTheFrameBefore)
{
    for (int rate : {8000, 16000, 44100, 48000}) {
        SCOPED_TRACE(std::to_string(rate) + " Hz");
        // Frames of unknown length, 1/90,000 s apart or not at all: a coarser time base rounds
        // those steps onto the last value.
        Timeline ticks(60 * SECOND, {1, rate});
        ticks.Video(0, true);
        int64_t last = -1;
        for (int64_t dts : {int64_t{0}, int64_t{0}, int64_t{1}, int64_t{2}, int64_t{2}, int64_t{3}, int64_t{4}}) {
            const Outcome outcome = ticks.Audio(dts, 0);
            ASSERT_EQ(outcome.action, TimelineAction::Write);
            EXPECT_GT(outcome.dts, last);
            last = outcome.dts;
        }
        EXPECT_GE(ticks.clamps, 5);
        // Frames of 1024 samples, one with the dts of the frame before it: it follows that frame.
        Timeline frames(60 * SECOND, {1, rate});
        frames.Video(0, true);
        const int64_t length = 1024 * SECOND / rate;
        for (int64_t i = 0; i < 5; ++i) {
            const Outcome outcome = frames.Audio((i == 3 ? i - 1 : i) * length, static_cast<uint32_t>(length));
            ASSERT_EQ(outcome.action, TimelineAction::Write);
            EXPECT_NEAR(static_cast<double>(outcome.dts), static_cast<double>(i * 1024), 3.0) << "frame " << i;
        }
        EXPECT_EQ(frames.clamps, 1);
        EXPECT_EQ(ticks.files + frames.files, 2u);
    }
}

TEST(TimelinePolicy, BFramesWithoutDecodeTimesAtConnectCostNoFileAndNoFrame)
{
    // Decode order I P B B P B B ..., pts two frames ahead of dts; the first frames come without a
    // dts (the source copies pts), as a demuxer gives them before it knows the reorder depth.
    for (int missing : {1, 2, 3, 6}) {
        SCOPED_TRACE(std::to_string(missing) + " frames without a dts");
        Timeline timeline;
        const int64_t start = 77 * SECOND;
        int64_t lastDts = INT64_MIN;
        for (int64_t i = 0; i < 100; ++i) {
            const int64_t display = i == 0 ? 0 : i % 3 == 1 ? i + 2 : i - 1; // I0 P3 B1 B2 P6 B4 B5 ...
            TimelineFrame frame = timeline.Frame(true, start + i * FRAME, start + (display + 2) * FRAME, i % 25 == 0);
            if (i < missing) {
                frame.hasDts = false;
                frame.dts = frame.pts;
            }
            const Outcome outcome = timeline.Push(frame);
            ASSERT_EQ(outcome.action, TimelineAction::Write) << "frame " << i;
            EXPECT_GT(outcome.dts, lastDts) << "frame " << i;
            EXPECT_GE(outcome.pts, outcome.dts) << "frame " << i;
            lastDts = outcome.dts;
        }
        EXPECT_EQ(timeline.files, 1u);
        EXPECT_TRUE(timeline.cuts.empty());
        EXPECT_EQ(timeline.clamps, 0);
    }
}

TEST(TimelinePolicy, DecodeTimesBehindTheDerivedOnesSettleTheTrackInsteadOfBreakingIt)
{
    // A reorder deeper than the policy allows for: the first real dts is four frames behind the
    // derived one; the track moves onto the derived times and stays in order.
    Timeline timeline;
    TimelineFrame first = timeline.Frame(true, 0, 10 * FRAME, true);
    first.hasDts = false;
    first.dts = first.pts;
    ASSERT_EQ(timeline.Push(first).action, TimelineAction::Write);
    int64_t last = 0;
    for (int64_t i = 1; i < 50; ++i) {
        const Outcome outcome = timeline.Push(timeline.Frame(true, (i + 2) * FRAME, (i + 7) * FRAME, false));
        ASSERT_EQ(outcome.action, TimelineAction::Write) << "frame " << i;
        EXPECT_EQ(outcome.dts, last + FRAME) << "frame " << i;
        EXPECT_GE(outcome.pts, outcome.dts) << "frame " << i;
        last = outcome.dts;
    }
    EXPECT_TRUE(timeline.cuts.empty());
    // Once settled, the same step back breaks.
    timeline.Video(30 * FRAME, true);
    EXPECT_EQ(timeline.Count(TimelineCut::CameraJump), 1u);
}

TEST(TimelinePolicy, AudioNeverEndsAFile)
{
    // Audio a steady few seconds ahead of or behind the video is moved onto its timeline; audio that
    // goes back half a second after a connect is dropped until it has caught up.
    for (int64_t offset : {-8 * SECOND, -6 * SECOND, 6 * SECOND, 20 * SECOND}) {
        SCOPED_TRACE("audio " + std::to_string(offset / SECOND) + " s from the video");
        Timeline timeline;
        size_t written = 0;
        for (int64_t i = 0; i < 250; ++i) {
            timeline.Video(i * FRAME, i % 25 == 0);
            written += timeline.Audio(offset + i * FRAME, FRAME).action == TimelineAction::Write ? 1 : 0;
        }
        EXPECT_EQ(timeline.files, 1u);
        EXPECT_TRUE(timeline.cuts.empty());
        EXPECT_GE(written, 249u);
    }
    Timeline timeline;
    const int64_t back = 469 * SECOND / 1000;
    std::map<TimelineDrop, int> drops;
    int64_t audio = 0;
    for (int64_t i = 0; i < 100; ++i) {
        timeline.Video(i * FRAME, i % 25 == 0);
        const Outcome outcome = timeline.Audio(audio - (i >= 5 ? back : 0), FRAME);
        audio += FRAME;
        if (outcome.action == TimelineAction::Drop)
            ++drops[outcome.drop];
    }
    EXPECT_EQ(timeline.files, 1u);
    EXPECT_TRUE(timeline.cuts.empty());
    EXPECT_EQ(drops[TimelineDrop::AudioBehind], 10); // until within a frame of its last one written
}

TEST(TimelinePolicy, ALeapOverFramesThatNeverArrivedIsNamedAndCounted)
{
    // 236 frames dropped before the recorder and the dts 9.44 s on: not the camera's jump.
    Timeline timeline;
    for (int64_t i = 0; i < 30; ++i)
        timeline.Video(i * FRAME, i % 25 == 0);
    timeline.Skip(true, 235);
    timeline.Video(265 * FRAME, true);
    EXPECT_EQ(timeline.Count(TimelineCut::FramesLost), 1u);
    EXPECT_EQ(timeline.Count(TimelineCut::CameraJump), 0u);
    EXPECT_EQ(timeline.lost, 235u);
    // The same leap with no frame missing is the camera's.
    timeline.Video(600 * FRAME, true);
    EXPECT_EQ(timeline.Count(TimelineCut::CameraJump), 1u);
    EXPECT_EQ(timeline.lost, 235u);
    // Frames missing with a step the policy would write anyway: counted, no cut.
    timeline.Skip(true, 10);
    timeline.Video(611 * FRAME);
    EXPECT_EQ(timeline.lost, 245u);
    EXPECT_EQ(timeline.cuts.size(), 2u);
    EXPECT_EQ(timeline.files, 3u);
}

// ---- Random streams ----------------------------------------------------------------------------

// A camera's stream in decode order, with what the policy may and may not do with it.
struct Stream {
    std::vector<TimelineFrame> frames;
    size_t breaks = 0;      // video jumps that must end the file
    size_t mayAwaitKey = 0; // video frames that may wait for a key frame: after a break, before the first
    uint64_t lost = 0;      // frames skipped before the policy
};

// Random streams from seed: 25 frames a second with a key frame every 10 to 90 frames, B-frames or
// none, jitter within a frame, steps back of a frame at most, forward gaps under 5 s, runs without a
// dts after a break, audio at a steady offset, and now and then a jump that must break.
Stream MakeStream(uint32_t seed, Timeline& timeline)
{
    std::mt19937 random(seed);
    auto chance = [&](int percent) { return std::uniform_int_distribution<int>(0, 99)(random) < percent; };
    auto between = [&](int64_t low, int64_t high) { return std::uniform_int_distribution<int64_t>(low, high)(random); };
    Stream stream;
    const int64_t keyEvery = between(10, 90);
    const int reorder = chance(50) ? static_cast<int>(between(1, 2)) : 0;
    const int64_t audioOffset = chance(30) ? between(-9 * SECOND, 9 * SECOND) : between(-FRAME, FRAME);
    int64_t base = between(-100 * SECOND, 100000 * SECOND);
    int64_t audioDts = base + audioOffset;
    bool waiting = true; // for the first key frame of the timeline
    int missingDts = chance(50) ? static_cast<int>(between(1, 3)) : 0;
    for (int64_t i = 0; i < 1500; ++i) {
        const bool key = i % keyEvery == 0;
        if (i > 0 && i % keyEvery != 0 && chance(1)) { // a jump, then a run of the stream again
            base += chance(50) ? between(6 * SECOND, 60 * SECOND) : -between(3 * FRAME, 60 * SECOND);
            ++stream.breaks;
            waiting = true;
            missingDts = chance(50) ? static_cast<int>(between(1, 3)) : 0;
            audioDts = base + i * FRAME + audioOffset;
        } else if (i > 0 && chance(2)) { // a gap under 5 s, or frames lost before the recorder
            const int64_t frames = between(1, 100);
            base += frames * FRAME;
            if (chance(50)) {
                timeline.Skip(true, static_cast<uint32_t>(frames));
                stream.lost += static_cast<uint64_t>(frames);
            }
        }
        const int64_t dts = base + i * FRAME + (chance(10) ? -between(0, FRAME) : between(0, FRAME / 4));
        // Decode order with reorder B-frames after each reference frame.
        int64_t display = i;
        if (reorder > 0 && i % keyEvery != 0) {
            const int64_t position = (i % keyEvery - 1) % (reorder + 1);
            display = position == 0 ? i + reorder : i - 1;
        }
        TimelineFrame frame =
            timeline.Frame(true, dts, base + (display + reorder) * FRAME + (dts - base - i * FRAME), key);
        if (missingDts > 0) {
            --missingDts;
            frame.hasDts = false;
            frame.dts = frame.pts;
        }
        if (waiting)
            stream.mayAwaitKey += key ? 0 : 1;
        waiting = waiting && !key;
        stream.frames.push_back(frame);
        while (audioDts < base + (i + 1) * FRAME + audioOffset) {
            stream.frames.push_back(timeline.Frame(false, audioDts, audioDts, false, 1920));
            audioDts += 1920 + (chance(10) ? -between(0, 1920) : 0);
        }
    }
    return stream;
}

TEST(TimelinePolicy, RandomStreamsFromSeed20261210RiseInEachTrackAndLoseOnlyWhatThePolicyNames)
{
    const uint32_t firstSeed = 20261210;
    std::map<std::string, size_t> seen; // across the streams: each case the generator means to make
    for (uint32_t seed = firstSeed; seed < firstSeed + 200; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const AVRational audioBase{1, seed % 3 == 0 ? 8000 : seed % 3 == 1 ? 16000 : 48000};
        Timeline timeline(2 * SECOND, audioBase);
        const Stream stream = MakeStream(seed, timeline);
        std::map<std::pair<size_t, bool>, int64_t> last; // (file, video) -> last dts written
        size_t awaiting = 0;
        size_t videoWritten = 0;
        size_t video = 0;
        for (const TimelineFrame& frame : stream.frames) {
            const Outcome outcome = timeline.Push(frame);
            video += frame.video ? 1 : 0;
            if (outcome.action == TimelineAction::Write) {
                const auto track = std::make_pair(outcome.file, frame.video);
                if (last.count(track) != 0) {
                    ASSERT_GT(outcome.dts, last[track]) << (frame.video ? "video" : "audio") << " frame " << video;
                }
                ASSERT_GE(outcome.pts, outcome.dts);
                last[track] = outcome.dts;
                videoWritten += frame.video ? 1 : 0;
            } else if (frame.video) {
                ASSERT_EQ(outcome.action, TimelineAction::AwaitKey) << "video frame " << video;
                ++awaiting;
            } else {
                ASSERT_EQ(outcome.action, TimelineAction::Drop);
                ASSERT_NE(outcome.drop, TimelineDrop::None);
            }
        }
        seen["breaks"] += stream.breaks;
        seen["frames awaiting a key frame"] += awaiting;
        seen["frames lost"] += stream.lost;
        seen["timestamps clamped"] += static_cast<size_t>(timeline.clamps);
        seen["files"] += timeline.files;
        EXPECT_EQ(videoWritten + awaiting, video);
        EXPECT_LE(awaiting, stream.mayAwaitKey);
        EXPECT_EQ(timeline.Count(TimelineCut::CameraJump) + timeline.Count(TimelineCut::FramesLost), stream.breaks);
        EXPECT_EQ(timeline.Count(TimelineCut::FramesLost), 0u);
        EXPECT_EQ(timeline.lost, stream.lost);
        if (HasFailure()) {
            std::cerr << "reproduce with seed " << seed << "\n";
            return;
        }
    }
    for (const auto& [what, count] : seen)
        EXPECT_GT(count, 200u) << what;
}

} // namespace
