#pragma once

#include <cstdint>

#include <dvrcore/plugin_api.h>

namespace dvr {

// Takes on the parent's user and groups and limits the capability sets. False means start-up
// must fail; the reason has been logged through logCallback. Main thread, before other threads.
bool DropPrivileges(PluginEntryPoint logCallback);

} // namespace dvr
