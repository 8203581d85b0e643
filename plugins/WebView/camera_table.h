// What the plugin knows of the cameras: their parameters as the last parameters event gave them,
// and counts of the frames that reached Write. Written by the delivery thread, read by the server's.
#pragma once

#include <dvrcore/media.h>

#include <cstdint>
#include <map>
#include <mutex>
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
};

class CameraTable {
public:
    void Parameters(const _DvrMediaParams& params)
    {
        std::lock_guard lock(mutex_);
        CameraFigures& camera = cameras_[params.camera];
        camera.number = params.camera;
        camera.name = params.name;
        camera.generation = params.generation;
        camera.videoCodec = params.videoCodec;
        camera.width = params.width;
        camera.height = params.height;
        camera.audioCodec = params.audioCodec;
        camera.sampleRate = params.sampleRate;
    }
    // A frame of a camera whose parameters came; others are counted apart.
    void Frame(bool video, const _DvrMediaFrame& frame, uint32_t len)
    {
        std::lock_guard lock(mutex_);
        auto found = cameras_.find(frame.camera);
        if (found == cameras_.end()) {
            ++withoutParameters_;
            return;
        }
        ++(video ? found->second.videoFrames : found->second.audioFrames);
        found->second.bytes += len - frame.size;
        found->second.lastCaptureNs = frame.captureTimeNs;
    }
    void Malformed()
    {
        std::lock_guard lock(mutex_);
        ++malformed_;
    }

    std::vector<CameraFigures> Cameras() const
    {
        std::lock_guard lock(mutex_);
        std::vector<CameraFigures> copy;
        for (const auto& [number, camera] : cameras_)
            copy.push_back(camera);
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
    mutable std::mutex mutex_; // guards everything below
    std::map<uint32_t, CameraFigures> cameras_;
    uint64_t malformed_ = 0;         // events too short for their header
    uint64_t withoutParameters_ = 0; // frames of cameras not seen in a parameters event
};

} // namespace webview
