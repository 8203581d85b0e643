// The events of one camera: its stream parameters per connection and one gated event per frame,
// with the camera's side of the core's key-frame gate and the camera's figures.
#ifndef MEDIA_SOURCE_FRAME_SENDER_H
#define MEDIA_SOURCE_FRAME_SENDER_H

#include <dvrcore/media.h>

#include <cstdint>
#include <mutex>
#include <string>
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
    uint64_t reconnects = 0; // connection attempts after the first
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

// Used by the camera's reading thread only, except Stats and CountReconnect (any thread).
class FrameSender {
public:
    FrameSender(uint32_t camera, std::string name);

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
    // Whether the camera drops its frames because the core is short of memory.
    bool Throttled() const { return waitingForKeyFrame_ && waitCause_ == kDropThrottled; }
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
    std::vector<uint8_t> buffer_;     // the event data of the frame being sent, reused

    mutable std::mutex statsLock_; // guards stats_
    CameraStats stats_;
};

} // namespace media_source

#endif
