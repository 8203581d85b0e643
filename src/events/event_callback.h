#pragma once

#include <dvrcore/plugin_api.h>

class dvrcore;

namespace dvr {

// The one core object of the process, set by its constructor and never reset.
void SetCoreInstance(dvrcore* core);
dvrcore* CoreInstance();

} // namespace dvr

// The callback every plugin gets in its Load parameters, and that the core's own subsystems use:
// forwards (in, out) to dvrcore::PluginEvent of the one core. Any thread.
int EventCallback(void* in, void* out);

// The callback of the shutdown logger: accepts and drops every event.
int NullEventSink(void* in, void* out);
