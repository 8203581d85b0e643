// What the plugin knows of the cameras: their parameters as the last parameters event gave them,
// and counts, rates and gaps of the frames that reached Write. Written by the delivery thread,
// read by the server's.
#pragma once

#include "camera_rates.h"

#include <dvrcore/media.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace webview {

struct CameraFigures {
    uint32_t number = 0;
    std::string name;
    uint32_t generation = 0; // connections so far
    uint32_t videoCodec = 0; // DVR_CODEC_
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t audioCodec = 0;
    uint32_t sampleRate = 0;
    uint64_t videoFrames = 0;
    uint64_t audioFrames = 0;
    uint64_t bytes = 0; // coded bytes of both
    int64_t lastCaptureNs = 0;
    // Figures as of the moment the table was read.
    FlowRates rates;
    int64_t lastFrameAgeMs = -1;   // -1: no frame yet
    uint64_t missingThrottled = 0; // frames never seen while the core throttled
    uint64_t missingOther = 0;     // the other frames never seen (dropped before the core delivered them)
};

class CameraTable {
public:
    explicit CameraTable(std::function<SteadyTime()> clock = std::chrono::steady_clock::now)
        : clock_(std::move(clock))
    {
    }

    void Parameters(const _DvrMediaParams& params)
    {
        std::lock_guard lock(mutex_);
        CameraFigures& camera = cameras_[params.camera];
        if (camera.generation != params.generation) {
            flows_[params.camera].video.Restart();
            flows_[params.camera].audio.Restart();
        }
        camera.number = params.camera;
        camera.name = params.name;
        camera.generation = params.generation;
        camera.videoCodec = params.videoCodec;
        camera.width = params.width;
        camera.height = params.height;
        camera.audioCodec = params.audioCodec;
        camera.sampleRate = params.sampleRate;
    }
    // A frame of a camera whose parameters came; others are counted apart. throttling: whether
    // the core said it throttles, to which the frames missing before this one are put down.
    void Frame(bool video, const _DvrMediaFrame& frame, uint32_t len, bool throttling = false)
    {
        const SteadyTime now = clock_();
        std::lock_guard lock(mutex_);
        auto found = cameras_.find(frame.camera);
        if (found == cameras_.end()) {
            ++withoutParameters_;
            return;
        }
        CameraFigures& camera = found->second;
        ++(video ? camera.videoFrames : camera.audioFrames);
        camera.bytes += len - frame.size;
        camera.lastCaptureNs = frame.captureTimeNs;
        Flow& flow = flows_[frame.camera];
        flow.window.Add(now, video, len - frame.size);
        flow.lastFrame = now;
        const uint64_t missing = (video ? flow.video : flow.audio).Next(frame.sequence);
        (throttling ? camera.missingThrottled : camera.missingOther) += missing;
    }
    void Malformed()
    {
        std::lock_guard lock(mutex_);
        ++malformed_;
    }

    std::vector<CameraFigures> Cameras() const
    {
        std::lock_guard lock(mutex_);
        const SteadyTime now = clock_();
        std::vector<CameraFigures> copy;
        for (const auto& [number, camera] : cameras_) {
            copy.push_back(camera);
            auto flow = flows_.find(number);
            if (flow == flows_.end() || !flow->second.lastFrame)
                continue;
            copy.back().rates = flow->second.window.Rates(now);
            copy.back().lastFrameAgeMs =
                std::chrono::duration_cast<std::chrono::milliseconds>(now - *flow->second.lastFrame).count();
        }
        return copy;
    }
    uint64_t Malformed() const
    {
        std::lock_guard lock(mutex_);
        return malformed_;
    }
    uint64_t WithoutParameters() const
    {
        std::lock_guard lock(mutex_);
        return withoutParameters_;
    }

private:
    struct Flow {
        RateWindow window;
        SequenceGaps video;
        SequenceGaps audio;
        std::optional<SteadyTime> lastFrame; // when the last frame reached Write
    };

    const std::function<SteadyTime()> clock_;
    mutable std::mutex mutex_; // guards everything below
    std::map<uint32_t, CameraFigures> cameras_;
    std::map<uint32_t, Flow> flows_;
    uint64_t malformed_ = 0;         // events too short for their header
    uint64_t withoutParameters_ = 0; // frames of cameras not seen in a parameters event
};

} // namespace webview
