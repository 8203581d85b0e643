#include "plugin_log.h"

extern "C" {
#include <libavutil/error.h>
}

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace media_source {
namespace {

std::atomic<PluginEntryPoint> coreCallback{nullptr};

// Log lines travel like the core's own, so the log plugin's class mask takes them.
constexpr uint32_t kLogFlags = EVF_MEDIA_GATED | EVF_LOG_MESSAGE;

int64_t ClockNs(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

} // namespace

void SetCoreCallback(PluginEntryPoint callback)
{
    coreCallback = callback;
}

PluginEntryPoint CoreCallback()
{
    return coreCallback;
}

void CallCore(_EventParmsIn* in, _EventParmsOut* out)
{
    PluginEntryPoint callback = coreCallback;
    if (callback == nullptr) {
        out->result = EVENT_REFUSED;
        return;
    }
    callback(in, out);
}

void Log(uint32_t providerID, int32_t level, const char* format, ...)
{
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    PluginEntryPoint callback = coreCallback;
    if (length <= 0 || callback == nullptr)
        return;
    _EventParmsIn in = DvrLogEvent(providerID, level, text);
    in.eventFlags = kLogFlags;
    _EventParmsOut out = DvrEventParmsOut();
    callback(&in, &out);
}

std::string ErrorText(int error)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_make_error_string(text, sizeof text, error);
    return text;
}

int64_t MonotonicNs()
{
    return ClockNs(CLOCK_MONOTONIC);
}

int64_t RealtimeNs()
{
    return ClockNs(CLOCK_REALTIME);
}

} // namespace media_source
