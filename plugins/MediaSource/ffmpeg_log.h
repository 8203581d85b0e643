// FFmpeg's own messages in the core's log, under the camera they concern.
//
// av_log_set_callback is process-wide, so MediaSource installs its callback once, at Load, and puts
// FFmpeg's default back at Unload. A message is a camera's when it is logged on that camera's
// reading thread: every context the camera opens (its format context, the sockets and parsers under
// it) logs there, whatever its class, which the contexts' opaque pointers could not tell for the
// internal ones (a socket's "Connection to tcp://... failed"). Messages of other threads (another
// plugin's, the core's) go where FFmpeg sends them by default, to the standard error.
#ifndef MEDIA_SOURCE_FFMPEG_LOG_H
#define MEDIA_SOURCE_FFMPEG_LOG_H

#include "ffmpeg_log_policy.h"

#include <cstdint>
#include <string>

namespace media_source {

// A camera's route for FFmpeg's messages; used on its reading thread only.
struct FfmpegLines {
    FfmpegLines(uint32_t providerID, std::string name, std::string url, std::string maskedUrl)
        : providerID(providerID),
          name(std::move(name)),
          url(std::move(url)),
          maskedUrl(std::move(maskedUrl)),
          limit(kFfmpegLinesPerMinute, kFfmpegWindowNs)
    {
    }
    uint32_t providerID;
    std::string name;
    std::string url; // as configured: a message quoting it shows maskedUrl instead
    std::string maskedUrl;
    LineRateLimit limit;
};

// Load and Unload: installs the callback, puts FFmpeg's default back.
void InstallFfmpegLog();
void RemoveFfmpegLog();

// While it lives, FFmpeg's messages of the calling thread go to lines.
class FfmpegLinesScope {
public:
    explicit FfmpegLinesScope(FfmpegLines* lines);
    ~FfmpegLinesScope();
    FfmpegLinesScope(const FfmpegLinesScope&) = delete;
    FfmpegLinesScope& operator=(const FfmpegLinesScope&) = delete;
};

} // namespace media_source

#endif
