// The figures /api/cameras and /api/status give of a camera and of the core, as JSON. Any thread.
#pragma once

#include "camera_table.h"
#include "core_status.h"
#include "recordings_summary.h"

#include <nlohmann/json.hpp>

#include <chrono>

namespace webview {

// Frames that stopped this long ago no longer count as arriving.
inline constexpr std::chrono::milliseconds FRAMES_ARRIVING{5000};

// Whether a camera records: its newest file is being written and its frames still arrive (a file
// a crash left in the writing state, or a camera that went silent, is not recording).
bool IsRecording(const CameraFigures& camera, const RecordingsSummary& recordings);

// The figures of one camera: rates, last frame's age, frames missing by cause, files on disk.
nlohmann::json CameraStatus(const CameraFigures& camera, const RecordingsSummary& recordings);

// The core's figures: its resident memory and its throttling as its status documents said.
nlohmann::json CoreStatusFigures(const CoreFigures& core, uint64_t residentBytes);

} // namespace webview
