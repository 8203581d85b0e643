// One camera: its reading thread, which connects with libavformat, reads packets and hands them
// to the camera's FrameSender, and reconnects with a capped back-off when the source fails.
#ifndef MEDIA_SOURCE_CAMERA_H
#define MEDIA_SOURCE_CAMERA_H

#include "camera_config.h"
#include "ffmpeg_log.h"
#include "frame_sender.h"
#include "key_frame_policy.h"
#include "packet_filter.h"
#include "reconnect_policy.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

struct AVFormatContext;
struct AVPacket;
struct AVStream;

namespace media_source {

using ffmpeg_common::FfmpegLines;
using ffmpeg_common::FfmpegLinesScope;

struct FormatContextCloser {
    void operator()(AVFormatContext* context) const;
};
using FormatContext = std::unique_ptr<AVFormatContext, FormatContextCloser>;

class Camera {
public:
    explicit Camera(CameraConfig config);
    ~Camera(); // stops and joins the reading thread
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    void Start();
    // Asks the reading thread to stop: a blocked connect or read is interrupted, a wait is woken.
    void RequestStop();
    void Join();
    // Joins the reading thread if it ends by deadline (true). One still inside a call that no
    // interrupt reaches (the resolver inside avformat_open_input) is left running (false): the
    // camera must then outlive it, never destroyed.
    bool JoinBy(std::chrono::steady_clock::time_point deadline);

    const std::string& Name() const { return config_.name; }
    CameraStats Stats() const { return sender_.Stats(); }
    // A receiver's flow record for this camera's frames. Any thread.
    void Acknowledge(uint64_t doneBytes, uint64_t windowBytes) { sender_.Acknowledge(doneBytes, windowBytes); }
    uint32_t Number() const { return config_.number; }

private:
    // The reading thread's body: runs ReadLoop, and nothing thrown leaves it.
    void Run();
    // Connect, read until lost, wait the back-off, until stopped; a connection that runs out of
    // memory counts as lost.
    void ReadLoop();
    // One connection, read until lost, with its lines; false when the camera stops.
    bool Attempt(uint64_t& packetsSent);
    // Opens the URL and picks the streams; false with a reason on failure.
    bool Connect(FormatContext& input, StreamInfo& info, std::string& reason);
    // Reads and sends packets until the source is lost or the camera stops; returns the reason.
    // info: the streams as connected; changes found in their packets are sent on as new parameters.
    std::string ReadUntilLost(AVFormatContext* input, StreamInfo& info, uint64_t& packetsSent);
    // What packet says of its stream beyond the connection's info (new extradata, new parameter
    // sets with their picture size): info is brought up to date and sent before the packet's frame.
    void FollowChanges(const AVStream* stream, const AVPacket& packet, bool video, PictureSizeReader& sizes,
                       StreamInfo& info);
    // Waits until the monotonic time atNs; false when the camera stops first.
    bool WaitUntil(int64_t atNs);
    static int Interrupted(void* opaque); // FFmpeg's interrupt callback: 1 stops a blocking call

    CameraConfig config_;
    std::string maskedUrl_;
    uint32_t providerID_;
    bool isFile_; // file: URLs and plain paths are looped, and paced by their timestamps unless pace="0"
    int videoStream_ = -1;
    int audioStream_ = -1;
    FrameSender sender_;
    FfmpegLines ffmpegLines_; // the reading thread's
    KeyFrameWatch keyFrames_; // the reading thread's: the video's key-frame interval, warned of once

    std::atomic<bool> stopping_{false};
    StallWatch stall_;     // the reading thread's only: a blocking FFmpeg call it sees expire is interrupted
    int64_t openedNs_ = 0; // wall clock when the input last opened; the reader thread's only
    std::mutex waitLock_;  // guards ended_ and the stop wait of wake_
    std::condition_variable wake_;
    // rtsp:// is read through our own session (rtsp_input.h) until the camera turns out to want
    // what only FFmpeg's client does; the reading thread's only.
    bool ownRtsp_ = true;
    bool ended_ = false; // the reading thread has left Run; wake_ is notified with it
    std::thread thread_;
};

} // namespace media_source

#endif
