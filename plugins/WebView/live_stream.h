// The live view's camera side: Write copies the frames of cameras that have viewers into a bounded
// inbox per camera and returns; the live thread remuxes each such camera into fragmented MP4 (one
// muxer per camera, shared by all its viewers) and offers every packet to each viewer's channel,
// whose queue the server's thread writes to the viewer's WebSocket.
#pragma once

#include "live_muxer.h"
#include "live_rules.h"

#include <dvrcore/media.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace webview {

struct LiveSettings {
    size_t inboxBytes = 8 * 1024 * 1024; // a camera's frames waiting for the live thread
    size_t inboxFrames = 500;
    size_t viewerBytes = 4 * 1024 * 1024; // a viewer's packets waiting for its socket
    size_t viewerPackets = 250;
};

// A camera's live figures for the status.
struct LiveFigures {
    uint64_t viewers = 0;          // watching now
    uint64_t fragmentsSent = 0;    // to every viewer so far
    uint64_t skips = 0;            // times a viewer fell behind and skipped to a key fragment
    uint64_t skippedFragments = 0; // fragments left out by those skips
    uint64_t inboxDropped = 0;     // frames the live thread did not take in time
    uint64_t peakViewerBytes = 0;  // the most one viewer's queue held
};

// One viewer's side of a camera: its queue between the live thread, which offers packets, and the
// server's thread, which writes them.
class LiveChannel {
public:
    // wake: asks the server's thread to write what is queued; called from the live thread.
    LiveChannel(const LiveSettings& settings, std::function<void()> wake)
        : queue_(settings.viewerBytes, settings.viewerPackets),
          wake_(std::move(wake))
    {
    }
    // Live thread (and Attach).
    ViewerQueue::Offered Offer(std::shared_ptr<const LivePacket> packet);
    // Server's thread: the next packet to write, or null (a later Offer wakes the writer).
    std::shared_ptr<const LivePacket> Next();
    // Server's thread: the packet from Next is written (a fragment or not).
    void Sent(bool fragment);
    LiveFigures Figures() const;

private:
    mutable std::mutex mutex_; // guards everything below
    ViewerQueue queue_;
    bool idle_ = true; // the writer found nothing to write: the next packet wakes it
    uint64_t fragmentsSent_ = 0;
    uint64_t peakBytes_ = 0;
    const std::function<void()> wake_;
};

class LiveHub {
public:
    explicit LiveHub(const LiveSettings& settings = {})
        : settings_(settings)
    {
    }
    ~LiveHub(); // Stop
    LiveHub(const LiveHub&) = delete;
    LiveHub& operator=(const LiveHub&) = delete;

    // Starts and stops the live thread; Stop forgets every muxer.
    void Start();
    void Stop();

    // Delivery thread (Write): note new parameters, copy a frame when the camera has viewers.
    void Parameters(const _DvrMediaParams& params, const uint8_t* extradata);
    void Frame(uint32_t kind, const _DvrMediaFrame& frame, const uint8_t* payload, size_t size);

    // Server's thread: a new viewer of camera, which gets the current init segment at once when there
    // is one; null for an unknown camera. wake as for LiveChannel.
    std::shared_ptr<LiveChannel> Attach(uint32_t camera, std::function<void()> wake);
    void Detach(uint32_t camera, const std::shared_ptr<LiveChannel>& channel);

    LiveFigures Figures(uint32_t camera) const;

private:
    // A copy of one parameters event.
    struct Params {
        _DvrMediaParams params{};
        std::vector<uint8_t> videoExtradata;
        std::vector<uint8_t> audioExtradata;
    };
    // A frame or new parameters, on their way to the live thread.
    struct Input {
        uint32_t kind = 0; // EVT_VIDEO, EVT_AUDIO or DVR_EVT_MEDIA_PARAMS
        _DvrMediaFrame frame{};
        std::vector<uint8_t> bytes;
        std::shared_ptr<const Params> params;
    };
    struct Camera {
        std::deque<Input> inbox;
        std::shared_ptr<const Params> params; // the last ones
        size_t inboxBytes = 0;
        bool droppingToKey = false; // the inbox was full: frames wait for the next video key frame
        std::vector<std::shared_ptr<LiveChannel>> viewers;
        std::shared_ptr<const LivePacket> init; // the muxer's, while it has one
        LiveFigures departed;                   // of viewers gone
        uint64_t inboxDropped = 0;
    };
    // The live thread's own state of a camera.
    struct Remux {
        std::shared_ptr<const Params> params;
        std::unique_ptr<LiveMuxer> muxer;
        int64_t origin = 0;       // the dts of the muxer's first key frame: its time 0
        int64_t lastVideoDts = 0; // of the muxer
        int64_t frameTicks = 3600;
        bool haveSequence = false;
        uint32_t lastSequence = 0;
        bool failed = false; // the last muxer failed: said once until one starts again
    };

    void Run();
    void Handle(uint32_t camera, Remux& remux, const Input& input);
    bool StartMuxer(uint32_t camera, Remux& remux, const Input& key);
    void Publish(uint32_t camera, std::shared_ptr<const LivePacket> packet);
    void EndMuxer(uint32_t camera, Remux& remux);

    const LiveSettings settings_;
    // mutex_ guards cameras_ and stopping_; wake_ wakes the live thread for inbox items, for a camera
    // whose last viewer left, and for Stop.
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::map<uint32_t, Camera> cameras_;
    bool stopping_ = false;
    bool viewersLeft_ = false;          // a camera lost its last viewer: the live thread ends its muxer
    std::map<uint32_t, Remux> remuxes_; // live thread only
    std::thread thread_;
};

} // namespace webview
