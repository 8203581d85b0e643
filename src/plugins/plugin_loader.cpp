// dvrcore::LoadPlugins and dvrcore::OpenPlugins: the plugin files beside the executable become the
// plugin table, and every plugin in it is opened. Both run on the thread of dvrcore::Start.
#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "core/dvrcore.h"
#include "events/event_callback.h"
#include "plugins/plugin_discovery.h"
#include "plugins/plugin_records.h"
#include "plugins/plugin_threads.h"

namespace {

constexpr const char* PLUGIN_EXTENSION = ".so";

// The final component of a path.
std::string FileName(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The module name of a plugin file: its name without the final extension, in lower case.
std::string ModuleName(const std::string& fileName)
{
    size_t dot = fileName.rfind('.');
    std::string stem = dot == std::string::npos || dot == 0 ? fileName : fileName.substr(0, dot);
    for (char& c : stem)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return stem;
}

// Loads the file and looks up all eight entry points; null when the dynamic loader refuses the
// file or it lacks "Load", with the refusal logged and recorded.
std::shared_ptr<PLUGININFO> LoadObject(dvrcore& core, const std::string& path)
{
    std::string fileName = FileName(path);
    void* handle = dlopen(path.c_str(), RTLD_NOW);
    if (handle == nullptr) {
        const char* reason = dlerror();
        std::string text = reason != nullptr ? reason : "";
        core.Log(dvr::LOG_FAILURE, "Core: Failed to load plugin '%s': %s", fileName.c_str(), text.c_str());
        core.failedPlugins[fileName] = text;
        return nullptr;
    }
    core.Log(dvr::LOG_DIAGNOSTIC, "Core: Loaded plugin: %s", fileName.c_str());

    auto plugin = std::make_shared<PLUGININFO>();
    plugin->handle = handle;
    plugin->name = fileName;
    plugin->Load = dvr::FindEntryPoint(handle, "Load");
    plugin->Unload = dvr::FindEntryPoint(handle, "Unload");
    plugin->Open = dvr::FindEntryPoint(handle, "Open");
    plugin->Close = dvr::FindEntryPoint(handle, "Close");
    plugin->Read = dvr::FindEntryPoint(handle, "Read");
    plugin->Write = dvr::FindEntryPoint(handle, "Write");
    plugin->Seek = dvr::FindEntryPoint(handle, "Seek");
    plugin->IOCTL = dvr::FindEntryPoint(handle, "IOCTL");
    if (plugin->Load == nullptr) {
        dlclose(handle);
        core.Log(dvr::LOG_FAILURE, "Core: Failed to load plugin: %s (missing symbol)", fileName.c_str());
        return nullptr;
    }
    return plugin;
}

// Runs Load, timed, and checks the plugin's self-description; false, with the object closed
// (without Unload) and the refusal logged, when the plugin fails or its ID cannot be taken.
bool DescribePlugin(dvrcore& core, PLUGININFO& plugin)
{
    _LoadParmsIn in = dvr::MakeLoadParmsIn(&core, EventCallback);
    _LoadParmsOut out = dvr::MakeLoadParmsOut();
    auto start = core.Now();
    int code = plugin.Load(&in, &out);
    plugin.loadTimeMs = dvr::ElapsedMs(start, core.Now());
    const char* name = plugin.name.c_str();
    auto id = static_cast<unsigned long>(out.providerID);
    if (code != 0 || out.error != 0) {
        dlclose(plugin.handle);
        core.Log(dvr::LOG_FAILURE, "plugin %s load returned %d error %d", name, code, out.error);
        return false;
    }
    // The core's own ID is registered too, so a plugin cannot pose as the core.
    if (core.moduleNames.Contains(out.providerID)) {
        dlclose(plugin.handle);
        core.Log(dvr::LOG_WARNING, "plugin %s ID 0x%08lX already loaded", name, id);
        return false;
    }
    if (DVR_MODULE_INDEX(out.providerID) >= 0x100) {
        dlclose(plugin.handle);
        core.Log(dvr::LOG_FAILURE,
                 "plugin %s ID 0x%08lX exceeds the log level array size, set LogLevelArraySize to 0xfff", name, id);
        return false;
    }
    plugin.info = out;
    return true;
}

// A declared level becomes the module's default, and its threshold where core.xml set none.
// Level 0 declares nothing; out-of-range levels and module index 255 are ignored.
void TakeDeclaredLogLevel(dvrcore& core, uint32_t providerID, int level)
{
    unsigned moduleIndex = DVR_MODULE_INDEX(providerID);
    if (moduleIndex >= dvr::LogLevelTable::SIZE || level < -1 || level > 100 || level == 0)
        return;
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

    for (const std::string& path : files) {
        std::shared_ptr<PLUGININFO> plugin = LoadObject(*this, path);
        if (plugin == nullptr || !DescribePlugin(*this, *plugin))
            continue;
        uint32_t id = plugin->ProviderID();
        TakeDeclaredLogLevel(*this, id, plugin->info.logLevelDefault);
        moduleNames.Set(id, ModuleName(plugin->name));
        // The worker runs from now on, before Open and while later files load.
        if (plugin->info.wantsWorkerThread != 0)
            dvr::ProvideWorkerThread(*plugin);
        // The table publishes a new snapshot, so traversals on other threads are not disturbed.
        if (id == PROVIDER_ID_OPENED_FIRST && !plugins.Empty())
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
