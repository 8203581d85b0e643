#include "plugins/plugin_loading.h"

#include <dlfcn.h>

#include <cctype>

#include "log/format_text.h"
#include "log/log_levels.h"
#include "plugins/plugin_records.h"

namespace dvr {
namespace {

// Refuses a plugin whose Load succeeded: its Unload runs, since Load may have started threads or
// taken resources, but the object stays mapped for the rest of the process (the handle is kept in
// the result and never closed): a thread the plugin started may still be running its code.
void RefuseAfterLoad(PluginLoadResult& result, PluginLoaderHost& host, int level, std::string line)
{
    result.refusal = std::move(line);
    result.refusalLevel = level;
    host.LoaderLog(level, result.refusal);
    _UnloadParmsIn in = MakeUnloadParmsIn();
    _UnloadParmsOut out = MakeUnloadParmsOut();
    if (result.entries.Unload != nullptr)
        result.entries.Unload(&in, &out);
}

void Refuse(PluginLoadResult& result, PluginLoaderHost& host, int level, std::string line)
{
    if (result.handle != nullptr) {
        dlclose(result.handle);
        result.handle = nullptr;
    }
    result.refusal = std::move(line);
    result.refusalLevel = level;
    host.LoaderLog(level, result.refusal);
}

} // namespace

std::string PluginFileName(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string PluginModuleName(const std::string& fileName)
{
    size_t dot = fileName.rfind('.');
    std::string stem = dot == std::string::npos || dot == 0 ? fileName : fileName.substr(0, dot);
    for (char& c : stem)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return stem;
}

PluginLoadResult LoadPluginFile(const std::string& path, PluginLoaderHost& host)
{
    PluginLoadResult result;
    result.fileName = PluginFileName(path);
    const char* name = result.fileName.c_str();
    dlerror(); // a text left from an earlier call must not stand for this one
    result.handle = dlopen(path.c_str(), RTLD_NOW);
    if (result.handle == nullptr) {
        const char* reason = dlerror();
        result.loaderError = reason != nullptr ? reason : "";
        result.outcome = LoadOutcome::LOADER_REFUSED;
        Refuse(result, host, LOG_FAILURE,
               FormatText("Core: Failed to load plugin '%s': %s", name, result.loaderError.c_str()));
        return result;
    }
    host.LoaderLog(LOG_DIAGNOSTIC, FormatText("Core: Loaded plugin: %s", name));

    // Named apart from result.entries: cppcheck took the array for the member it points into.
    PluginEntryPoint* const slots[] = {&result.entries.Load,  &result.entries.Unload, &result.entries.Open,
                                       &result.entries.Close, &result.entries.Read,   &result.entries.Write,
                                       &result.entries.Seek,  &result.entries.IOCTL};
    for (size_t i = 0; i < std::size(slots); ++i)
        *slots[i] = FindEntryPoint(result.handle, ENTRY_POINT_NAMES[i]);
    if (result.entries.Load == nullptr) {
        result.outcome = LoadOutcome::MISSING_LOAD;
        Refuse(result, host, LOG_FAILURE, FormatText("Core: Failed to load plugin: %s (missing symbol)", name));
        return result;
    }

    _LoadParmsIn in = MakeLoadParmsIn(host.LoadCore(), host.LoadCallback());
    result.info = MakeLoadParmsOut();
    auto start = host.LoaderNow();
    result.loadCode = result.entries.Load(&in, &result.info);
    result.loadTimeMs = ElapsedMs(start, host.LoaderNow());
    auto id = static_cast<unsigned long>(result.info.providerID);
    if (result.loadCode != 0 || result.info.error != 0) {
        result.outcome = LoadOutcome::LOAD_FAILED;
        Refuse(result, host, LOG_FAILURE,
               FormatText("plugin %s load returned %d error %d", name, result.loadCode, result.info.error));
        return result;
    }
    // The core's own ID counts as taken, so a plugin cannot pose as the core.
    if (host.ProviderIDTaken(result.info.providerID)) {
        result.outcome = LoadOutcome::DUPLICATE_ID;
        RefuseAfterLoad(result, host, LOG_WARNING, FormatText("plugin %s ID 0x%08lX already loaded", name, id));
        return result;
    }
    if (DVR_MODULE_INDEX(result.info.providerID) >= 0x100) {
        result.outcome = LoadOutcome::MODULE_INDEX_TOO_BIG;
        RefuseAfterLoad(
            result, host, LOG_FAILURE,
            FormatText("plugin %s ID 0x%08lX exceeds the log level array size, set LogLevelArraySize to 0xfff", name,
                       id));
        return result;
    }
    result.outcome = LoadOutcome::LOADED;
    return result;
}

DeclaredLogLevel ClassifyDeclaredLogLevel(uint32_t providerID, int32_t level)
{
    if (level == 0)
        return DeclaredLogLevel::NONE;
    if (level < -1 || level > 100)
        return DeclaredLogLevel::IGNORED_OUT_OF_RANGE;
    if (DVR_MODULE_INDEX(providerID) >= LogLevelTable::SIZE)
        return DeclaredLogLevel::IGNORED_NO_ENTRY;
    return DeclaredLogLevel::TAKEN;
}

bool PlacedFirstInTable(uint32_t providerID)
{
    return providerID == PROVIDER_ID_OPENED_FIRST;
}

const char* ProviderIDRole(uint32_t providerID)
{
    switch (providerID) {
    case CORE_PROVIDER_ID: return "the core's own ID: refused as a duplicate";
    case PROVIDER_ID_OPENED_FIRST: return "placed first in the plugin table: opened first and offered each event first";
    case PROVIDER_ID_UNLOADED_FIRST: return "closed, joined and unloaded before every other plugin";
    case PROVIDER_ID_NEVER_UNMAPPED: return "its shared object stays mapped until the process ends";
    default: return nullptr;
    }
}

} // namespace dvr
