#pragma once

#include <cstdarg>
#include <cstdint>

#include <dvrcore/plugin_api.h>

namespace dvr {

// Formats one line (cut to 511 bytes) and submits it through callback as a log message event of
// providerID at level; lines the sender's threshold drops are not even formatted. A null callback
// makes it a no-op, and so does an empty line. Any thread.
void CoreLog(uint32_t providerID, PluginEntryPoint callback, int level, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// CoreLog with the arguments as a va_list.
void CoreLogV(uint32_t providerID, PluginEntryPoint callback, int level, const char* format, va_list arguments)
    __attribute__((format(printf, 4, 0)));

// The log threshold of providerID as the core answers it: 0 to 100, or -1 when none is set.
int QueryLogThreshold(uint32_t providerID, PluginEntryPoint callback);

// Whether a line of providerID at level passes its threshold.
bool LogLevelEnabled(uint32_t providerID, PluginEntryPoint callback, int level);

} // namespace dvr
