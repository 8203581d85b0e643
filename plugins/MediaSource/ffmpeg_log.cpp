#include "ffmpeg_log.h"

#include "plugin_log.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdarg>
#include <cstring>
#include <exception>
#include <string>

namespace media_source {
namespace {

thread_local FfmpegLines* threadLines = nullptr; // the camera whose reading thread this is, or none

// One message on the reading thread of the camera of lines.
void RouteFfmpegLine(FfmpegLines* lines, void* context, int avLevel, const char* format, va_list arguments)
{
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
    // FFmpeg quotes the URL it was given in some messages: never its credentials.
    const char* quoted = lines->url.empty() ? nullptr : std::strstr(text, lines->url.c_str());
    std::string shown = text;
    if (quoted != nullptr)
        shown.replace(static_cast<size_t>(quoted - text), lines->url.size(), lines->maskedUrl);
    const LineRateLimit::Verdict verdict = lines->limit.Offer(MonotonicNs());
    if (verdict.suppressedBefore > 0)
        Log(lines->providerID, kLogWarning, "camera %s: %llu more FFmpeg messages in the minute before not logged",
            lines->name.c_str(), static_cast<unsigned long long>(verdict.suppressedBefore));
    if (verdict.pass)
        Log(lines->providerID, level, "camera %s: FFmpeg: %s", lines->name.c_str(), shown.c_str());
}

// Any thread; no lock: a camera's lines are its own thread's. Nothing thrown leaves it (FFmpeg's C
// code is on the stack): a message without memory for its text is dropped.
void OnFfmpegLog(void* context, int avLevel, const char* format, va_list arguments)
{
    FfmpegLines* lines = threadLines;
    if (lines == nullptr) {
        av_log_default_callback(context, avLevel, format, arguments);
        return;
    }
    try {
        RouteFfmpegLine(lines, context, avLevel, format, arguments);
    } catch (const std::exception&) {
    }
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
