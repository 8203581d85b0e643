#include "log/core_log.h"

#include <cstdarg>
#include <cstdio>

#include "log/console_line.h"

namespace dvr {

int QueryLogThreshold(uint32_t providerID, PluginEntryPoint callback)
{
    _EventParmsIn in{};
    in.size = sizeof in;
    in.version = EVENT_PARMS_IN_VERSION;
    in.providerID = providerID;
    in.eventType = EVT_LOG;
    in.eventFlags = EVF_LOG_QUERY;
    _EventParmsOut out{sizeof out, EVENT_PARMS_OUT_VERSION, 0};
    callback(&in, &out);
    return out.result;
}

bool LogLevelEnabled(uint32_t providerID, PluginEntryPoint callback, int level)
{
    int threshold = QueryLogThreshold(providerID, callback);
    return threshold == -1 || level >= threshold;
}

void CoreLog(uint32_t providerID, PluginEntryPoint callback, int level, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    CoreLogV(providerID, callback, level, format, arguments);
    va_end(arguments);
}

void CoreLogV(uint32_t providerID, PluginEntryPoint callback, int level, const char* format, va_list arguments)
{
    if (callback == nullptr || !LogLevelEnabled(providerID, callback, level))
        return;

    char text[LOG_TEXT_MAX + 1];
    int formatted = vsnprintf(text, sizeof text, format, arguments);
    if (formatted <= 0)
        return;
    size_t stored = static_cast<size_t>(formatted) < sizeof text ? static_cast<size_t>(formatted) : sizeof text - 1;

    _EventParmsIn in{};
    in.size = sizeof in;
    in.version = EVENT_PARMS_IN_VERSION;
    in.len = static_cast<uint32_t>(stored + 1); // the terminating zero travels with the text
    in.data = text;
    in.providerID = providerID;
    in.eventType = EVT_LOG;
    in.eventFlags = EVF_CORE_LOG_LINE;
    SetEventLogLevel(&in, level);
    _EventParmsOut out{sizeof out, EVENT_PARMS_OUT_VERSION, 0};
    callback(&in, &out);
}

} // namespace dvr
