// The plugins' way out at shutdown: the first-unload role, then every plugin closed in close order,
// and, once the I/O loop has stopped, joined, unloaded and released one by one. All of it runs on
// the thread of dvrcore::Start after the queue worker has returned; each Close and Unload runs on
// a thread of its own while that thread waits for it, at most PLUGIN_CALL_WAIT.
#include "plugins/plugin_shutdown.h"

#include <dlfcn.h>

#include <algorithm>
#include <string>

#include "core/dvrcore.h"
#include "plugins/plugin_info.h"
#include "plugins/plugin_records.h"

namespace dvr {
namespace {

// The class mask word that leads the close order: the one for event class 0x20.
constexpr int CLOSE_ORDER_CLASS = 5;

// What becomes of a plugin whose Close or Unload is still running after PLUGIN_CALL_WAIT.
constexpr const char* CLOSE_LEFT = "left loaded without Unload";
constexpr const char* UNLOAD_LEFT = "left mapped";

// Adds what to the list of what a wait left running, as in "worker thread, 2 reader threads".
void AddRunning(std::string& running, const std::string& what)
{
    running += (running.empty() ? "" : ", ") + what;
}

std::string ReaderThreads(uint32_t count)
{
    return std::to_string(count) + (count == 1 ? " reader thread" : " reader threads");
}

// Retires the plugin's reader threads, so no Read starts from here on, and waits at most
// PLUGIN_THREADS_WAIT for those inside Read to return: the plugin is closed only after them.
// One still running after that is logged and the plugin is closed anyway.
void RetireReaders(dvrcore& core, const PLUGININFO& plugin)
{
    SteadyNow now = [&core] { return core.Now(); };
    if (core.readers.RetireAndWaitUntil(&plugin, now, now() + PLUGIN_THREADS_WAIT))
        return;
    core.Log(LOG_WARNING, "plugin %s: %s still in Read after %lld s; closing it anyway", plugin.name.c_str(),
             ReaderThreads(core.readers.Running(&plugin)).c_str(), static_cast<long long>(PLUGIN_THREADS_WAIT.count()));
}

// Waits at most PLUGIN_THREADS_WAIT, all together, for the plugin's threads to end (read thread
// first, then worker thread, then reader threads) and joins them, announcing each join through
// announce. Answers false when one is still running then: it is logged with what it waits for,
// its thread is left to run on alone, and the plugin must stay loaded and mapped, since its code
// may still run.
template <typename Announce>
bool EndPluginThreads(dvrcore& core, PLUGININFO& plugin, Announce announce)
{
    SteadyNow now = [&core] { return core.Now(); };
    const auto deadline = now() + PLUGIN_THREADS_WAIT;
    std::string running;
    auto end = [&](PluginThread& thread, const char* progress, const char* what) {
        if (!thread.joinable())
            return;
        announce(progress);
        if (thread.WaitFinished(now, deadline)) {
            thread.join();
        } else {
            thread.detach();
            AddRunning(running, what);
        }
    };
    end(plugin.readthread, "joining readthread for ", "read thread");
    end(plugin.workerthread, "joining workerthread for ", "worker thread");
    // Retired before Close already; once more in case this record skipped that step.
    if (!core.readers.RetireAndWaitUntil(&plugin, now, deadline))
        AddRunning(running, ReaderThreads(core.readers.Running(&plugin)));
    if (running.empty())
        return true;
    core.Log(LOG_FAILURE, "plugin %s: %s still running after %lld s; left loaded without Unload", plugin.name.c_str(),
             running.c_str(), static_cast<long long>(PLUGIN_THREADS_WAIT.count()));
    return false;
}

// Lets the threads of a plugin whose Close never returned run on alone: they were never told to
// stop, so waiting for them would only add to the shutdown.
void AbandonPluginThreads(PLUGININFO& plugin)
{
    for (PluginThread* thread : {&plugin.readthread, &plugin.workerthread})
        if (thread->joinable())
            thread->detach();
}

} // namespace

bool CallWithinWait(dvrcore& core, const std::string& name, const char* what, const char* outcome,
                    std::function<void()> body)
{
    SteadyNow now = [&core] { return core.Now(); };
    const auto deadline = now() + PLUGIN_CALL_WAIT;
    PluginThread call(std::move(body));
    if (call.WaitFinished(now, deadline)) {
        call.join();
        return true;
    }
    call.detach();
    core.Log(LOG_FAILURE, "plugin %s: %s still running after %lld s; %s", name.c_str(), what,
             static_cast<long long>(PLUGIN_CALL_WAIT.count()), outcome);
    return false;
}

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
    dvr::PluginTable::Snapshot table = plugins.Load(); // keeps the record alive after its removal
    auto found = std::find_if(table->begin(), table->end(), [](const dvr::PluginTable::Record& plugin) {
        return plugin->ProviderID() == PROVIDER_ID_UNLOADED_FIRST;
    });
    if (found == table->end())
        return;
    PLUGININFO& plugin = **found;

    dvr::RetireReaders(*this, plugin);
    _CloseParmsIn closeIn = dvr::MakeCloseParmsIn();
    _CloseParmsOut closeOut = dvr::MakeCloseParmsOut();
    const bool closed =
        dvr::CallEntryPointWithinWait(*this, plugin.name, "Close", dvr::CLOSE_LEFT, plugin.Close, closeIn, closeOut)
            .has_value();
    if (!closed)
        dvr::AbandonPluginThreads(plugin);
    const bool ended = closed && dvr::EndPluginThreads(*this, plugin, [](const char*) {});
    // Out of the table, and the I/O thread past any parent packet it was already handing to the
    // plugin, before Unload: no IOCTL reaches the plugin after it.
    plugins.Remove(&plugin);
    WaitForIoThread();
    if (!ended)
        return; // its code may still run: no Unload, and the object stays mapped
    _UnloadParmsIn unloadIn = dvr::MakeUnloadParmsIn();
    _UnloadParmsOut unloadOut = dvr::MakeUnloadParmsOut();
    if (!dvr::CallEntryPointWithinWait(*this, plugin.name, "Unload", dvr::UNLOAD_LEFT, plugin.Unload, unloadIn,
                                       unloadOut))
        return; // still in Unload: the object stays mapped
    dlclose(plugin.handle);
    plugin.handle = nullptr;
}

bool dvrcore::ClosePlugins(PluginInfo& shutdownLogger)
{
    plugins.Sort(dvr::ClosesBefore);
    for (const dvr::PluginTable::Record& plugin : *plugins.Load()) {
        // No Read may run in a closed plugin: its reader threads end first, and none starts after.
        dvr::RetireReaders(*this, *plugin);
        shutdownLogger.Log(dvr::LOG_FAILURE, "calling close for " + plugin->name);
        _CloseParmsIn in = dvr::MakeCloseParmsIn();
        _CloseParmsOut out = dvr::MakeCloseParmsOut();
        std::optional<int> code =
            dvr::CallEntryPointWithinWait(*this, plugin->name, "Close", dvr::CLOSE_LEFT, plugin->Close, in, out);
        if (!code) {
            plugin->closeStillRunning = true;
            continue;
        }
        if (*code != 0 || out.error != 0)
            Log(dvr::LOG_DIAGNOSTIC, "plugin %s close returned %d error %d", plugin->name.c_str(), *code, out.error);
    }
    return true;
}

bool dvrcore::UnloadPlugins(PluginInfo& shutdownLogger)
{
    for (const dvr::PluginTable::Record& plugin : *plugins.Load()) {
        if (plugin->closeStillRunning) {
            dvr::AbandonPluginThreads(*plugin);
            continue;
        }
        // Unload is the last call, and the object must not be unmapped under a thread still in it.
        if (!dvr::EndPluginThreads(*this, *plugin, [&](const char* progress) {
                shutdownLogger.Log(dvr::LOG_FAILURE, progress + plugin->name);
            }))
            continue;
        shutdownLogger.Log(dvr::LOG_FAILURE, "calling Unload for " + plugin->name);
        _UnloadParmsIn in = dvr::MakeUnloadParmsIn();
        _UnloadParmsOut out = dvr::MakeUnloadParmsOut();
        std::optional<int> code =
            dvr::CallEntryPointWithinWait(*this, plugin->name, "Unload", dvr::UNLOAD_LEFT, plugin->Unload, in, out);
        if (!code)
            continue; // still in Unload: the object stays mapped
        if (*code != 0 || out.error != 0)
            Log(dvr::LOG_DIAGNOSTIC, "plugin %s unload returned %d error %d", plugin->name.c_str(), *code, out.error);
        // This role's object stays mapped until the process ends.
        if (plugin->ProviderID() != PROVIDER_ID_NEVER_UNMAPPED) {
            shutdownLogger.Log(dvr::LOG_FAILURE, "unloading object " + plugin->name);
            dlclose(plugin->handle);
            plugin->handle = nullptr;
        }
    }
    plugins.Clear(); // every thread is joined, or detached with its plugin left mapped
    return true;
}
