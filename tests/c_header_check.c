/* Compiled as strict C99: a plugin written in C must be able to include the SDK header. */
#include <dvrcore/plugin_api.h>

int PluginApiCompilesAsC(void)
{
    _EventParmsIn event = {sizeof(_EventParmsIn), EVENT_PARMS_IN_VERSION, 0, 0, 0, 0, EVT_LOG, EVF_CORE_LOG_LINE, {0}};
    SetEventLogLevel(&event, 25);
    return EventLogLevel(&event) == 25 && sizeof(_LoadParmsOut) == 68 ? 0 : 1;
}
