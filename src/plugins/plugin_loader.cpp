// dvrcore::LoadPlugins and dvrcore::OpenPlugins: the plugin files beside the executable become the
// plugin table, and every plugin in it is opened. Both run on the thread of dvrcore::Start.
#include <algorithm>
#include <memory>

#include "core/dvrcore.h"
#include "events/event_callback.h"
#include "plugins/plugin_discovery.h"
#include "plugins/plugin_loading.h"
#include "plugins/plugin_records.h"
#include "plugins/plugin_threads.h"

namespace {

constexpr const char* PLUGIN_EXTENSION = ".so";

// The core as the loader sees it: lines through the core's log, IDs from moduleNames, the core's
// clock, and EventCallback for the plugins.
class CoreLoaderHost final : public dvr::PluginLoaderHost {
public:
    explicit CoreLoaderHost(dvrcore& core)
        : core_(core)
    {
    }
    void LoaderLog(int level, const std::string& line) override { core_.Log(level, "%s", line.c_str()); }
    bool ProviderIDTaken(uint32_t providerID) override { return core_.moduleNames.Contains(providerID); }
    std::chrono::steady_clock::time_point LoaderNow() override { return core_.Now(); }
    void* LoadCore() override { return &core_; }
    PluginEntryPoint LoadCallback() override { return EventCallback; }

private:
    dvrcore& core_;
};

// A declared level becomes the module's default, and its threshold where core.xml set none.
void TakeDeclaredLogLevel(dvrcore& core, uint32_t providerID, int level)
{
    if (dvr::ClassifyDeclaredLogLevel(providerID, level) != dvr::DeclaredLogLevel::TAKEN)
        return;
    unsigned moduleIndex = DVR_MODULE_INDEX(providerID);
    core.defaultLogLevels.Set(moduleIndex, level);
    if (core.logLevels.Get(moduleIndex) == dvr::LogLevelTable::UNSET)
        core.logLevels.Set(moduleIndex, level);
}

} // namespace

bool dvrcore::LoadPlugins()
{
    std::vector<std::string> files;
    dvr::ScanPluginDirectory(ExeDir() + "/plugins", PLUGIN_EXTENSION, files);
    dvr::ScanPluginDirectory(ExeDir() + "/protected-plugins", PLUGIN_EXTENSION, files);
    std::sort(files.begin(), files.end(), dvr::ComparePluginPaths);

    CoreLoaderHost host(*this);
    for (const std::string& path : files) {
        dvr::PluginLoadResult loaded = dvr::LoadPluginFile(path, host);
        if (loaded.outcome == dvr::LoadOutcome::LOADER_REFUSED)
            failedPlugins[loaded.fileName] = loaded.loaderError;
        // Refused after Load: it stays mapped, and what its threads send under an ID of no plugin
        // in the table is refused.
        if (loaded.outcome == dvr::LoadOutcome::DUPLICATE_ID ||
            loaded.outcome == dvr::LoadOutcome::MODULE_INDEX_TOO_BIG)
            refusedPlugins.Add(loaded.info.providerID, loaded.fileName);
        if (loaded.outcome != dvr::LoadOutcome::LOADED)
            continue;
        auto plugin = std::make_shared<PLUGININFO>();
        plugin->handle = loaded.handle;
        plugin->name = loaded.fileName;
        plugin->Load = loaded.entries.Load;
        plugin->Unload = loaded.entries.Unload;
        plugin->Open = loaded.entries.Open;
        plugin->Close = loaded.entries.Close;
        plugin->Read = loaded.entries.Read;
        plugin->Write = loaded.entries.Write;
        plugin->Seek = loaded.entries.Seek;
        plugin->IOCTL = loaded.entries.IOCTL;
        plugin->info = loaded.info;
        plugin->loadTimeMs = loaded.loadTimeMs;
        uint32_t id = plugin->ProviderID();
        TakeDeclaredLogLevel(*this, id, plugin->info.logLevelDefault);
        moduleNames.Set(id, dvr::PluginModuleName(plugin->name));
        // The worker runs from now on, before Open and while later files load.
        if (plugin->info.wantsWorkerThread != 0)
            dvr::ProvideWorkerThread(*plugin);
        // The table publishes a new snapshot, so traversals on other threads are not disturbed.
        if (dvr::PlacedFirstInTable(id) && !plugins.Empty())
            plugins.InsertFront(std::move(plugin));
        else
            plugins.Append(std::move(plugin));
    }
    return !plugins.Empty();
}

bool dvrcore::OpenPlugins()
{
    // openCode and openTimeMs are read only by the statistics document, on this thread.
    for (const dvr::PluginTable::Record& plugin : *plugins.Load()) {
        _OpenParmsIn in = dvr::MakeOpenParmsIn(0);
        _OpenParmsOut out = dvr::MakeOpenParmsOut();
        auto start = Now();
        plugin->openCode = dvr::CallEntryPoint(plugin->Open, &in, &out);
        plugin->openTimeMs = dvr::ElapsedMs(start, Now());
    }
    return true;
}
