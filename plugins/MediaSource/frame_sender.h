// The events of one camera: its stream parameters per connection and one gated event per frame,
// with the camera's side of the core's key-frame gate and the camera's figures.
#ifndef MEDIA_SOURCE_FRAME_SENDER_H
#define MEDIA_SOURCE_FRAME_SENDER_H

#include <dvrcore/media.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace media_source {

// Why frames were not sent: the core's answer that started the wait for a key frame (the refused
// frame and every frame skipped after it count under it), or the start of a connection.
enum DropCause {
    kDropThrottled,
    kDropNoKeyFrame,
    kDropGateExpired,
    kDropNoMemory,
    kDropRefused,
    kDropBeforeKeyFrame, // a connection's frames before its first video key frame; a loop's video before its first
    kDropNoParameters,   // frames whose stream parameters were incomplete or not taken by the core
    kDropDamaged,        // packets their stream's filter refused (an ADTS header it cannot read)
    kDropCauseCount
};

struct CameraStats {
    uint64_t framesRead = 0; // video and audio
    uint64_t framesSent = 0; // accepted by the core
    uint64_t keyFrames = 0;  // video key frames read
    uint64_t bytesSent = 0;  // coded bytes accepted, headers not counted
    uint64_t drops[kDropCauseCount] = {};
    uint64_t reconnects = 0;   // connection attempts after the first
    uint64_t offeredAgain = 0; // frames of a file the core refused and took when offered again
};

// "front: read 250, sent 248, key frames 10, 81234 bytes, dropped: ..." for log lines and parent packets.
std::string FormatStats(const std::string& name, const CameraStats& stats);

// One camera's streams as a connection found them.
struct StreamInfo {
    uint32_t videoCodec = 0; // DVR_CODEC_, 0 without video
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> videoExtradata;
    uint32_t audioCodec = 0; // DVR_CODEC_, 0 without audio
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    std::vector<uint8_t> audioExtradata;
};

// Allocates like std::allocator, but a value-less construct leaves the bytes as they are: a frame's
// buffer grows by what the frame is about to overwrite, so zeroing it first would be wasted work.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    UninitializedAllocator() = default;
    template <typename U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept
    {
    }
    template <typename U>
    void construct(U* place) noexcept
    {
        ::new (static_cast<void*>(place)) U;
    }
    template <typename U, typename... Args>
    void construct(U* place, Args&&... args)
    {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
};

// The event data of one frame: its _DvrMediaFrame header, then its bytes.
using FrameBytes = std::vector<uint8_t, UninitializedAllocator<uint8_t>>;

// One frame read, timestamps already in 1/90,000 s.
struct MediaPacket {
    bool video = false;
    bool keyFrame = false;
    bool noDts = false; // the stream gave no decode time: dts is a copy of pts
    int64_t dts = 0;
    int64_t pts = 0;
    int64_t captureTimeNs = 0;
    uint32_t duration = 0;
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// Used by the camera's reading thread only, except Stats, CountReconnect, Acknowledge and
// Interrupt (any thread).
class FrameSender {
public:
    // lossless: the camera is a file, which loses no frame by waiting: a frame the core refuses for
    // want of memory is offered again after a pause, and its frames follow the receiver's flow
    // records. Otherwise a refusal drops the camera's frames to its next video key frame.
    // firstRecordWait: how long a lossless camera whose first window is out waits for a receiver's
    // first record before it takes it that nobody follows its frames.
    FrameSender(uint32_t camera, std::string name, bool lossless = false,
                std::chrono::milliseconds firstRecordWait = std::chrono::seconds(2));

    // A new connection: sends its stream parameters (a discontinuity after the first connection);
    // frames wait for its first video key frame.
    void StartConnection(const StreamInfo& info);
    // The connection's streams changed (new extradata, a new picture size): new parameters go out
    // before the next frame.
    void ChangeParams(const StreamInfo& info);
    // A packet read that its stream's filter refused: counted, never sent.
    void CountDamaged(bool video);
    // A looped file starts over: its video waits for a key frame again, should the seek back
    // have landed after one; audio goes on.
    void StartOver() { loopAwaitsKeyFrame_ = hasVideo_; }
    // Offers one frame to the core, or drops it while the camera waits for a video key frame.
    void Send(const MediaPacket& packet);
    // A receiver's flow record: it is done with doneBytes of the frames sent, and allows windowBytes
    // beyond them. From the first record on, a lossless camera waits for that room.
    void Acknowledge(uint64_t doneBytes, uint64_t windowBytes);
    // Ends every wait of the sender for good: the camera stops.
    void Interrupt();
    void CountReconnect();
    CameraStats Stats() const;

private:
    void Drop(DropCause cause);
    // Sends info_ as the stream parameters when they are complete: a picture size for video, the
    // AudioSpecificConfig for AAC. True once the core took them.
    bool SendParams();
    // A frame the core refused with result, or that could not be sent: dropped, and the camera
    // waits for its next video key frame.
    void Refused(int32_t result);
    // Sends the event data in buffer once the receiver has room for it; the core's answer.
    int32_t Offer(const FrameBytes& buffer, bool video);
    // Offer for a lossless camera: after a refusal for want of memory, waits and offers the frame
    // again, first sending the last key frame again when the core's gate wants one.
    int32_t OfferUntilTaken(bool video, bool key);
    // Waits for pause, or less when interrupted (false then).
    bool Pause(std::chrono::milliseconds pause);

    uint32_t camera_;
    uint32_t providerID_;
    std::string name_;
    uint32_t generation_ = 0;
    bool hasVideo_ = false;
    bool waitingForKeyFrame_ = false;
    DropCause waitCause_ = kDropBeforeKeyFrame;
    bool loopAwaitsKeyFrame_ = false; // video after StartOver is dropped until a key frame
    StreamInfo info_;                 // the streams the parameters describe
    bool paramsDue_ = false;          // info_ still to be sent: it changed, or the core refused it
    bool paramsSent_ = false;         // this connection's parameters reached the core once
    bool paramsLogged_ = false;       // a line said why info_ waits; again only once it was sent
    uint32_t keyFramesWaiting_ = 0;   // video key frames dropped while this connection's parameters waited
    bool audioLeftOut_ = false;       // the parameters taken say no audio: its configuration had not come
    uint32_t sequence_[2] = {0, 0};   // video, audio: every frame read, sent or dropped
    FrameBytes buffer_;               // the event data of the frame being sent, reused
    const bool lossless_;
    const std::chrono::milliseconds firstRecordWait_;
    FrameBytes keyCopy_;      // lossless: the last key frame taken, marked repeated, to open the gate again
    bool gateClosed_ = false; // lossless: the core refused a frame since keyCopy_, so its gate wants a key frame

    std::mutex flowLock_; // guards the flow state below; flowChanged_ wakes the reading thread's waits
    std::condition_variable flowChanged_;
    bool flowKnown_ = false;   // a flow record came
    uint64_t sentBytes_ = 0;   // event bytes of flow-controlled frames the core took
    uint64_t doneBytes_ = 0;   // of those, what the receiver is done with
    uint64_t windowBytes_ = 0; // how far beyond doneBytes_ the camera may send
    bool unfollowed_ = false;  // no record came in time: the camera sends without waiting until one comes
    bool interrupted_ = false;

    mutable std::mutex statsLock_; // guards stats_
    CameraStats stats_;
};

} // namespace media_source

#endif
