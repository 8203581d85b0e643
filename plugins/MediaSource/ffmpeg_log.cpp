#include "ffmpeg_log.h"

#include "plugin_log.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdarg>
#include <cstring>

namespace media_source {
namespace {

thread_local FfmpegLines* threadLines = nullptr; // the camera whose reading thread this is, or none

// Any thread; no lock: a camera's lines are its own thread's.
void OnFfmpegLog(void* context, int avLevel, const char* format, va_list arguments)
{
    FfmpegLines* lines = threadLines;
    if (lines == nullptr) {
        av_log_default_callback(context, avLevel, format, arguments);
        return;
    }
    const int32_t level = FfmpegLineLevel(avLevel);
    if (level < 0)
        return;
    char text[768];
    int printPrefix = 1;
    if (av_log_format_line2(context, avLevel, format, arguments, text, sizeof text, &printPrefix) < 0)
        return;
    size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
        text[--length] = '\0';
    if (length == 0)
        return;
    const LineRateLimit::Verdict verdict = lines->limit.Offer(MonotonicNs());
    if (verdict.suppressedBefore > 0)
        Log(lines->providerID, kLogWarning, "camera %s: %llu more FFmpeg messages in the minute before not logged",
            lines->name.c_str(), static_cast<unsigned long long>(verdict.suppressedBefore));
    if (verdict.pass)
        Log(lines->providerID, level, "camera %s: FFmpeg: %s", lines->name.c_str(), text);
}

} // namespace

void InstallFfmpegLog()
{
    av_log_set_callback(OnFfmpegLog);
}

void RemoveFfmpegLog()
{
    av_log_set_callback(av_log_default_callback);
}

FfmpegLinesScope::FfmpegLinesScope(FfmpegLines* lines)
{
    threadLines = lines;
}

FfmpegLinesScope::~FfmpegLinesScope()
{
    threadLines = nullptr;
}

} // namespace media_source
