// MediaSource's log lines and clocks, shared by its threads.
#ifndef MEDIA_SOURCE_PLUGIN_LOG_H
#define MEDIA_SOURCE_PLUGIN_LOG_H

#include <dvrcore/plugin_api.h>

#include <cstdint>
#include <string>

namespace media_source {

// Module 0x0A2; camera n raises its frames as kProviderBase | n, so each has a key-frame gate count
// of its own, while its log threshold and parent packets stay the module's.
inline constexpr uint32_t kProviderBase = 0x00A20000u;
inline constexpr int32_t kLogInfo = 25;
inline constexpr int32_t kLogWarning = 50;
inline constexpr int32_t kLogFailure = 100;

// The core's callback, set by Load before any thread starts and read by every thread afterwards.
void SetCoreCallback(PluginEntryPoint callback);
PluginEntryPoint CoreCallback();

// Passes an event to the core; once Unload has cleared the callback (a thread left stuck in a
// call has come back), the event is refused without calling anything.
void CallCore(_EventParmsIn* in, _EventParmsOut* out);

// Sends one log line under providerID through the core; from any thread.
void Log(uint32_t providerID, int32_t level, const char* format, ...) __attribute__((format(printf, 3, 4)));

// FFmpeg's text for an AVERROR code.
std::string ErrorText(int error);

int64_t MonotonicNs();
int64_t RealtimeNs();

} // namespace media_source

#endif
