// The plugins' way out at shutdown: the first-unload role, then every plugin closed in close order,
// and, once the I/O loop has stopped, joined, unloaded and released one by one. All of it runs on
// the thread of dvrcore::Start after the queue worker has returned.
#include "plugins/plugin_shutdown.h"

#include <dlfcn.h>

#include <algorithm>

#include "core/dvrcore.h"
#include "plugins/plugin_info.h"
#include "plugins/plugin_records.h"

namespace dvr {
namespace {

// The class mask word that leads the close order: the one for event class 0x20.
constexpr int CLOSE_ORDER_CLASS = 5;

// Joins the plugin's threads, read thread first, announcing each join through announce.
template <typename Announce>
void JoinPluginThreads(PLUGININFO& plugin, Announce announce)
{
    if (plugin.readthread.joinable()) {
        announce("joining readthread for ");
        plugin.readthread.join();
    }
    if (plugin.workerthread.joinable()) {
        announce("joining workerthread for ");
        plugin.workerthread.join();
    }
}

} // namespace

bool ClosesBefore(const PLUGININFO& a, const PLUGININFO& b)
{
    uint32_t keyA = a.info.classMasks[CLOSE_ORDER_CLASS];
    uint32_t keyB = b.info.classMasks[CLOSE_ORDER_CLASS];
    if (keyA != keyB)
        return keyA > keyB;
    return a.name < b.name;
}

} // namespace dvr

void dvrcore::UnloadFirstPlugin()
{
    dvr::PluginTable::Snapshot table = plugins.Load();
    auto found = std::find_if(table->begin(), table->end(), [](const dvr::PluginTable::Record& plugin) {
        return plugin->ProviderID() == PROVIDER_ID_UNLOADED_FIRST;
    });
    if (found == table->end())
        return;
    PLUGININFO& plugin = **found;

    _CloseParmsIn closeIn = dvr::MakeCloseParmsIn();
    _CloseParmsOut closeOut = dvr::MakeCloseParmsOut();
    dvr::CallEntryPoint(plugin.Close, &closeIn, &closeOut);
    dvr::JoinPluginThreads(plugin, [](const char*) {});
    // Reader threads of the event bus may still be inside Read: Unload is the last call, and
    // the object must not be unmapped under them.
    readers.RetireAndWait(&plugin);
    _UnloadParmsIn unloadIn = dvr::MakeUnloadParmsIn();
    _UnloadParmsOut unloadOut = dvr::MakeUnloadParmsOut();
    dvr::CallEntryPoint(plugin.Unload, &unloadIn, &unloadOut);
    // Out of the table before it is unmapped, so no later traversal can reach it, and no parent
    // packet that the I/O thread was already handing to it is still inside its IOCTL.
    plugins.Remove(&plugin);
    WaitForIoThread();
    dlclose(plugin.handle);
    plugin.handle = nullptr;
}

bool dvrcore::ClosePlugins(PluginInfo& shutdownLogger)
{
    plugins.Sort(dvr::ClosesBefore);
    for (const dvr::PluginTable::Record& plugin : *plugins.Load()) {
        shutdownLogger.Log(dvr::LOG_FAILURE, "calling close for " + plugin->name);
        _CloseParmsIn in = dvr::MakeCloseParmsIn();
        _CloseParmsOut out = dvr::MakeCloseParmsOut();
        int code = dvr::CallEntryPoint(plugin->Close, &in, &out);
        if (code != 0 || out.error != 0)
            Log(dvr::LOG_DIAGNOSTIC, "plugin %s close returned %d error %d", plugin->name.c_str(), code, out.error);
    }
    return true;
}

bool dvrcore::UnloadPlugins(PluginInfo& shutdownLogger)
{
    for (const dvr::PluginTable::Record& plugin : *plugins.Load()) {
        dvr::JoinPluginThreads(
            *plugin, [&](const char* progress) { shutdownLogger.Log(dvr::LOG_FAILURE, progress + plugin->name); });
        // Reader threads of the event bus may still be inside Read: Unload is the last call, and
        // the object must not be unmapped under them.
        readers.RetireAndWait(plugin.get());
        shutdownLogger.Log(dvr::LOG_FAILURE, "calling Unload for " + plugin->name);
        _UnloadParmsIn in = dvr::MakeUnloadParmsIn();
        _UnloadParmsOut out = dvr::MakeUnloadParmsOut();
        int code = dvr::CallEntryPoint(plugin->Unload, &in, &out);
        if (code != 0 || out.error != 0)
            Log(dvr::LOG_DIAGNOSTIC, "plugin %s unload returned %d error %d", plugin->name.c_str(), code, out.error);
        // This role's object stays mapped until the process ends.
        if (plugin->ProviderID() != PROVIDER_ID_NEVER_UNMAPPED) {
            shutdownLogger.Log(dvr::LOG_FAILURE, "unloading object " + plugin->name);
            dlclose(plugin->handle);
            plugin->handle = nullptr;
        }
    }
    plugins.Clear();
    return true;
}
