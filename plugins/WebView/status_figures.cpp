#include "status_figures.h"

#include <cmath>

namespace webview {

using json = nlohmann::json;

namespace {

json Nanoseconds(const std::optional<int64_t>& value)
{
    return value ? json(*value) : json(nullptr);
}

// Two decimals are all a person reads, and they keep the answers short.
double Rounded(double value)
{
    return std::round(value * 100) / 100;
}

} // namespace

bool IsRecording(const CameraFigures& camera, const RecordingsSummary& recordings)
{
    return recordings.writing && camera.lastFrameAgeMs >= 0 && camera.lastFrameAgeMs < FRAMES_ARRIVING.count();
}

json CameraStatus(const CameraFigures& camera, const RecordingsSummary& recordings)
{
    return {{"name", camera.name},
            {"videoFrames", camera.videoFrames},
            {"audioFrames", camera.audioFrames},
            {"bytes", camera.bytes},
            {"lastCaptureNs", camera.lastCaptureNs},
            {"framesPerSecond", Rounded(camera.rates.framesPerSecond)},
            {"bitsPerSecond", std::llround(camera.rates.bitsPerSecond)},
            {"lastFrameAgeMs", camera.lastFrameAgeMs < 0 ? json(nullptr) : json(camera.lastFrameAgeMs)},
            {"recording", IsRecording(camera, recordings)},
            {"missing", {{"throttled", camera.missingThrottled}, {"other", camera.missingOther}}},
            {"recordings",
             {{"files", recordings.files},
              {"bytes", recordings.bytes},
              {"oldestNs", Nanoseconds(recordings.oldestNs)},
              {"newestNs", Nanoseconds(recordings.newestNs)},
              {"writing", recordings.writing}}}};
}

json CoreStatusFigures(const CoreFigures& core, uint64_t residentBytes)
{
    return {{"residentBytes", residentBytes},
            {"throttling", core.throttling ? json(*core.throttling) : json(nullptr)},
            {"throttlingStarts", core.throttlingStarts},
            {"throttlingChangedAt", core.changedAt}};
}

} // namespace webview
