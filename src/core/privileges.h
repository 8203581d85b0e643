#pragma once

#include <cstdint>

#include <dvrcore/plugin_api.h>

namespace dvr {

// Takes on the parent's user and groups and limits the capability sets. False means start-up
// must fail; the reason has been logged through logCallback. Main thread, before other threads.
bool DropPrivileges(PluginEntryPoint logCallback);

// Sets the calling thread's effective and permitted capabilities to mask (capabilities 0 to 31),
// none inheritable. A refusal is logged at level 50 and otherwise ignored.
void SetCapabilities(uint32_t mask, PluginEntryPoint logCallback);

} // namespace dvr
