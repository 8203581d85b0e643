// FFmpeg's own messages in the core's log, under the plugin and the camera they concern. Compiled
// into each media plugin, which has its own copy of everything here.
//
// av_log_set_callback is process-wide, and every plugin that calls FFmpeg wants the messages of
// its own threads. So each one's callback takes the messages of the threads it routes (the thread
// that reads a camera, the thread that writes one) and passes every other message on to the
// callback that was installed before it, FFmpeg's default (the standard error) at the end. The
// plugins find and mend that chain through av_log itself, in messages only they understand: at
// Load a plugin asks which callback is in place, and at Unload it asks the chain to skip it, in
// whatever order the plugins come and go.
#ifndef FFMPEG_COMMON_FFMPEG_LOG_H
#define FFMPEG_COMMON_FFMPEG_LOG_H

#include "ffmpeg_log_policy.h"

#include <cstdint>
#include <functional>
#include <string>

namespace ffmpeg_common {

// A camera's route for FFmpeg's messages; used on one thread at a time.
struct FfmpegLines {
    // subject: how the lines start ("camera front"). write: sends one line at a log level.
    FfmpegLines(std::string subject, std::string url, std::string maskedUrl,
                std::function<void(int32_t level, const std::string& line)> write)
        : subject(std::move(subject)),
          url(std::move(url)),
          maskedUrl(std::move(maskedUrl)),
          write(std::move(write)),
          limit(kFfmpegLinesPerMinute, kFfmpegWindowNs)
    {
    }
    std::string subject;
    std::string url; // as configured: a message quoting it shows maskedUrl instead (empty: none)
    std::string maskedUrl;
    std::function<void(int32_t level, const std::string& line)> write;
    LineRateLimit limit;
};

// Load and Unload: joins the chain of callbacks, leaves it.
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

} // namespace ffmpeg_common

#endif
