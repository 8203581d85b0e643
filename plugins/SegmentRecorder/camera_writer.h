// One camera's writer: a queue bounded in bytes and media time, filled by Write on the core's
// delivery thread, and a thread that fixes timestamps, cuts segments at key frames and muxes.
#pragma once

#include "audio_transcoder.h"
#include "ffmpeg_log.h"
#include "file_finisher.h"
#include "flow_promise.h"
#include "queue_budget.h"
#include "recorder_config.h"
#include "recording_store.h"
#include "segment_file.h"
#include "timeline_policy.h"

#include <dvrcore/media.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace segrec {

// A copy of one stream-parameters event.
struct CameraParams {
    _DvrMediaParams params{};
    std::vector<uint8_t> videoExtradata;
    std::vector<uint8_t> audioExtradata;
};

// What became of a camera's frames.
struct CameraCounters {
    uint64_t video = 0; // frames written
    uint64_t audio = 0;
    uint64_t bytes = 0; // coded bytes written
    uint64_t segments = 0;
    uint64_t droppedQueueFull = 0;   // over a queue bound, and after it until the next key frame
    uint64_t droppedAwaitingKey = 0; // video before the first key frame of a file
    uint64_t droppedAudioEarly = 0;  // audio before the first video key frame of a file
    uint64_t droppedAudioCodec = 0;  // audio of a codec the file cannot hold
    uint64_t droppedWriteFailed = 0; // frames a write failed on
    uint64_t droppedDiskFull = 0;    // after a write found the disk full, until space was freed
    uint64_t droppedAudioBehind = 0; // audio that went back, until it passed its last frame
    uint64_t clampedTimestamps = 0;  // dts that did not increase in the track's time base, pts before dts
    uint64_t discontinuities = 0;    // timestamp jumps and parameter changes that began a new file
    uint64_t audioRebased = 0;       // audio moved onto the video's timeline instead of ending a file
    uint64_t lostUpstream = 0;       // frames that never reached the recorder (the core's gate, the source)
    uint64_t upstreamGaps = 0;       // timestamp leaps over such frames that began a new file
    uint64_t droppedClosing = 0;     // still queued when Stop's time ran out
};

// What the writer needs from the plugin; each callable is safe from any thread.
struct WriterHooks {
    std::function<void(void* block)> release;            // gives a kept block back to the core
    std::function<void()> noSpace;                       // a write found the disk full: run retention now
    std::function<uint64_t()> freeBytes;                 // free space on the recordings' disk
    std::function<uint64_t()> makeRoom;                  // freeBytes, after a retention pass when below the floor
    std::function<void(uint64_t bytes)> wrote = nullptr; // bytes reached the disk; none when null
    std::function<bool()> waitForStore;                  // blocks until the store is reconciled; false when closing
    std::function<std::chrono::steady_clock::time_point()> now; // the clock of Stop's deadlines
    QueueBudget* budget = nullptr; // the bytes shared with the other cameras' queues; none when null
    // Tells the camera's sender how far the writer got with its flow-controlled frames (a flow
    // record of dvrcore/media.h); none when null. Called without the writer's lock.
    std::function<void(uint32_t camera, uint64_t doneBytes, uint64_t windowBytes)> flow = nullptr;
};

class CameraWriter {
public:
    CameraWriter(uint32_t camera, const RecorderConfig& config, RecordingStore& store, WriterHooks hooks);
    ~CameraWriter(); // Stop
    CameraWriter(const CameraWriter&) = delete;
    CameraWriter& operator=(const CameraWriter&) = delete;

    // Delivery thread. Queues a frame whose block Write keeps (true), or counts it dropped (false:
    // not kept). The writer thread releases every queued block.
    bool OfferFrame(uint32_t kind, const _DvrMediaFrame& frame, void* block, const uint8_t* payload, size_t size);
    // Delivery thread: queues a copy of new stream parameters.
    void OfferParams(std::shared_ptr<const CameraParams> params);
    // Any thread: asks the writer thread to write what is queued, finish its file and end. Idempotent.
    void RequestStop();
    // RequestStop, then waits until drainBy (on hooks.now) for the queue to be written. What is still
    // queued then is dropped (counted, logged, every block released) and the thread has until
    // finishBy to end its file. True when the thread ended and was joined. False when it is still
    // inside a call that has not returned (a write to a hung disk): it is detached, and this object
    // and everything its hooks reach must stay alive for as long as the process runs. Called again
    // later, it answers whether that thread has ended since.
    bool Stop(std::chrono::steady_clock::time_point drainBy, std::chrono::steady_clock::time_point finishBy);
    // Stop without a time limit.
    void Stop();

    CameraCounters Counters() const;
    std::string Name() const;

private:
    // One queued event: a frame (its block released by the writer) or new parameters.
    struct Item {
        uint32_t kind = 0; // EVT_VIDEO, EVT_AUDIO or DVR_EVT_MEDIA_PARAMS
        _DvrMediaFrame frame{};
        void* block = nullptr;
        const uint8_t* payload = nullptr;
        size_t size = 0;
        int64_t step = 0;       // media time this frame adds to the queue, 1/90,000 s
        uint32_t skipped = 0;   // frames of its kind the queue dropped just before it
        uint64_t flowBytes = 0; // the event's len when its sender is flow-controlled, else 0
        std::shared_ptr<const CameraParams> params;
    };

    void Run();
    // Before anything that may wait for the disk while a frame is being handled: copies the frame's
    // bytes into the writer's own buffer and gives its block back to the core, so a call that never
    // returns holds no block of the core's (packet, when given, is pointed at the copy). Frames
    // are otherwise copied into their fragment straight from the block, which is released before
    // the fragment is written. Without memory for the copy the block is kept until the frame is done.
    void DetachFrame(AVPacket* packet = nullptr);
    // Writes the fragment the last frame ended, if any, with the hooks told; false when the write
    // failed (writeError_ set).
    bool WriteFragment();
    // Adds bytes to what the writer is done with; the flow record to send when one is due (its
    // window 0 when none is). Under mutex_.
    std::pair<uint64_t, uint64_t> FlowDoneLocked(uint64_t bytes);
    void SendFlow(std::pair<uint64_t, uint64_t> record);
    // Marks the queue's batch due, waking the writer thread if it waits. Under mutex_.
    void BatchDueLocked();
    // Drops what is queued, releasing every block, and logs how much.
    void DropQueue();
    void Handle(const Item& item);
    // Handle, and nothing thrown leaves it: a frame that runs out of memory is counted as lost.
    void HandleSafely(const Item& item);
    void HandleParams(const std::shared_ptr<const CameraParams>& params);
    void HandleVideo(const Item& item);
    void HandleAudio(const Item& item);
    // Logs the break in track's timeline the policy found and counts it.
    void ReportBreak(const char* track, const TimelineDecision& decision);
    // Counts what a final decision says of the frames before it and of its timestamps.
    void CountDecision(const TimelineDecision& decision);
    bool StartFile(const Item& key);
    void EndFile(const char* why);
    // Hands the file EndFile ended to the finisher, with next (the begun line of the file that
    // follows it), or next alone when no file is waiting.
    void PostEnded(const RecordingStore::Continuation* next = nullptr);
    // While the disk is full: true once free space has grown since the failure (retention or
    // anyone else freed some), so the key frame at hand may begin a file.
    bool RoomAgain();
    int WriteAac(AVPacket& packet); // a transcoded packet, timestamps in samples
    bool WritePacket(int track, AVPacket& packet, AVRational from, int64_t end90k);
    // The writer's one packet, emptied; null without memory.
    AVPacket* Packet();
    void Count(uint64_t CameraCounters::*counter, uint64_t amount = 1);

    const uint32_t camera_;
    const RecorderConfig config_;
    RecordingStore& store_;
    const WriterHooks hooks_;

    // mutex_ guards the queue, its sums, the drop state, the batch state, stopping_, name_ and
    // counters_; wake_ wakes the writer thread for a batch of items and for Stop.
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Item> queue_;
    uint64_t queuedBytes_ = 0;
    int64_t queuedTicks_ = 0;                          // media time queued, 1/90,000 s
    std::chrono::steady_clock::time_point batchSince_; // when the first item of the queue came
    bool batchDue_ = false;                            // the queue holds a batch worth waking the writer for
    bool writerIdle_ = false;                          // the writer thread waits on wake_
    int64_t lastOfferedVideoDts_ = 0;
    bool haveOfferedVideo_ = false;
    bool droppingToKey_ = false;  // a frame was dropped: drop until the next video key frame
    uint32_t skipped_[2] = {};    // video, audio: dropped since the last frame of the kind was queued
    bool flowControlled_ = false; // a frame came flow-controlled: the sender waits for flow records
    uint64_t flowDone_ = 0;       // event bytes of flow-controlled frames written or dropped
    FlowPromise flowPromise_;     // the flow records sent, and the frames offered against them
    bool haveVideoSequence_ = false;
    uint32_t lastVideoSequence_ = 0; // of the last video frame offered: a repeated key frame up to it is skipped
    bool stopping_ = false;
    bool ended_ = false; // the writer thread is done with this object; ended_ is notified with it
    std::condition_variable endedChanged_;
    std::string name_;
    CameraCounters counters_;

    // The writer thread's own state.
    std::shared_ptr<const CameraParams> params_;
    std::unique_ptr<SegmentFile> file_;
    std::unique_ptr<AudioTranscoder> transcoder_;
    std::string path_;
    TimelinePolicy timeline_;
    ffmpeg_common::FfmpegLines ffmpegLines_; // FFmpeg's messages on the writer thread, under the camera's name
    int64_t endDts_ = 0;                     // the file's media end from its start, 1/90,000 s
    int64_t wholeEndDts_ = 0;                // the media end of the whole fragments in the file
    bool outOfMemory_ = false;               // the last frame handled ran out of memory: said once a run
    int writeError_ = 0;                     // AVERROR of a failed write: the file ends before the next frame
    bool diskFull_ = false;                  // a write failed with ENOSPC: no new file until space was freed
    uint64_t freeAtFailure_ = 0;             // free bytes once the file that found the disk full was closed
    std::chrono::steady_clock::time_point nextSync_;
    struct PacketFree {
        void operator()(AVPacket* packet) const { av_packet_free(&packet); }
    };
    std::unique_ptr<AVPacket, PacketFree> packet_; // the frame being written, pointing at its bytes
    Item* current_ = nullptr;                      // the item being handled
    std::vector<uint8_t> frameCopy_;               // its bytes, once DetachFrame took them from its block
    int64_t pendingEndDts_ = 0;                    // the media end of the fragment the file has pending
    // A file EndFile ended (its trailer written), for the finisher to sync, close and enter.
    struct EndedFile {
        std::shared_ptr<SegmentFile> file;
        std::string path;
        int64_t durationNs = 0;
        recindex::FragmentScan scan; // the file as the index will list it
        std::string why;             // why it ended, for the log
    };
    std::optional<EndedFile> endedFile_; // ended, and held until the next file's begun line can go with it
    int64_t fileStartNs_ = 0;            // the start the store gave the file being written
    int64_t notBeforeNs_ = INT64_MIN;    // where the last file that holds a frame ends: the next starts no earlier

    // Syncs, closes and enters the ended files, and writes the begun files' index lines, while the
    // writer thread goes on; drained before the writer thread ends. Its jobs use the members above.
    FileFinisher finisher_;

    std::thread thread_; // last: starts once everything above exists
};

} // namespace segrec
