#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include <dvrcore/plugin_api.h>

#include "plugins/plugin_loading.h"
#include "plugins/plugin_thread.h"

// One plugin owned behind member operations: the core's shutdown logger, a private second load of
// the log plugin. Entry points are found in two stages: "Load", "Unload", "IOCTL" and "Read" at
// construction (all required), "Open", "Close", "Write" and "Seek" at Open ("Open" and "Close"
// required). Every operation that calls an entry point returns its return code and the result
// record as it stood after the call; an entry point that is not available yields -100 and is not
// called. Used by one thread (the one that runs the shutdown); the threads it starts hold only
// their entry point.
class PluginInfo {
public:
    // The entry point addresses; null for a name not looked up, not exported, or released.
    using EntryPoints = dvr::PluginEntryPoints;

    // Loads the file at path and runs its Load with callback and core (opaque to the plugin, may be
    // null). loadCode tells the outcome: 100 when the file could not be loaded, -101 when a required
    // name is missing, else Load's return value; on any failure the object is released again.
    PluginInfo(const std::string& path, PluginEntryPoint callback, void* core);
    PluginInfo(const PluginInfo&) = delete;
    PluginInfo& operator=(const PluginInfo&) = delete;
    // Neither calls Unload nor closes the object; must not run while a thread is joinable.
    ~PluginInfo() = default;

    // Looks up the service entry points and runs Open, timed. -100 when already open or not loaded,
    // -101 when "Open" or "Close" is missing (the object stays loaded).
    std::pair<int, _OpenParmsOut> Open(uint32_t shutdownInstance);
    // Runs Close, then forgets Open, Close, Write and Seek.
    std::pair<int, _CloseParmsOut> Close();
    // Joins the read thread, then the worker thread, runs Unload and releases the object.
    std::pair<int, _UnloadParmsOut> Unload();
    std::pair<int, _IoctlParmsOut> IOCTL(_IoctlParmsIn& in);
    std::pair<int, _WriteParmsOut> Write(_WriteParmsIn& in);
    std::pair<int, _ReadParmsOut> Read(_ReadParmsIn& in);

    // Writes one log line of the core at level straight into Write; does nothing unless opened.
    void Log(int level, const std::string& text);

    // Start the worker thread (IOCTL_WORKER) and the asynchronous read thread; no thread when the
    // entry point is missing.
    void ProvideWorkerThread();
    void StartAsyncReader();

    void* handle = nullptr; // the dlopen handle; kept after release for provider ID 0x00470000
    EntryPoints entry;
    dvr::PluginThread workerthread;
    dvr::PluginThread readthread;
    _LoadParmsOut info{}; // the plugin's self-description as Load returned it
    std::string name;     // final component of the path
    int32_t loadCode = PLUGIN_NOT_LOADED;
    int32_t openCode = 0;
    int64_t loadTimeMs = 0;
    int64_t openTimeMs = 0;

private:
    // Forgets every entry point and closes the object, unless its role keeps it mapped.
    void Release();
    // The address of an exported name, or null.
    PluginEntryPoint Find(const char* symbol) const;
};
