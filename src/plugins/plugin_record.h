#pragma once

#include <cstdint>
#include <string>

#include <dvrcore/plugin_api.h>

#include "plugins/plugin_thread.h"

// The core's record of one loaded plugin. It owns its dlopen handle (closed explicitly by the
// unload steps, since one role keeps its object mapped), its two threads and its name. It must
// not be destroyed while one of its threads is joinable.
struct PLUGININFO {
    void* handle = nullptr;
    PluginEntryPoint Load = nullptr;
    PluginEntryPoint Unload = nullptr;
    PluginEntryPoint Open = nullptr;
    PluginEntryPoint Close = nullptr;
    PluginEntryPoint Read = nullptr;
    PluginEntryPoint Write = nullptr;
    PluginEntryPoint Seek = nullptr;
    PluginEntryPoint IOCTL = nullptr;
    dvr::PluginThread workerthread;
    dvr::PluginThread readthread;
    _LoadParmsOut info{}; // the plugin's self-description as Load returned it
    std::string name;     // file name, e.g. "LogPI.so"; used in every message about the plugin
    int32_t openCode = 0; // Open's return value; 0 until Open ran
    int64_t loadTimeMs = 0;
    int64_t openTimeMs = 0;
    // Set by the shutdown when Close did not return within its wait: no thread is waited for, no
    // Unload follows, and the object stays mapped. Main thread only.
    bool closeStillRunning = false;

    uint32_t ProviderID() const { return info.providerID; }
};

namespace dvr {

// Calls an entry point that may not be exported: a missing one is never called and yields
// PLUGIN_ENTRY_UNAVAILABLE in place of a return code.
inline int CallEntryPoint(PluginEntryPoint entry, void* in, void* out)
{
    return entry == nullptr ? PLUGIN_ENTRY_UNAVAILABLE : entry(in, out);
}

} // namespace dvr
