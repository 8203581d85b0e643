#pragma once

// How the loader decides about one plugin file: the same code for the core's LoadPlugins and for
// the plugin author's inspector, so both give the same verdict with the same texts. Nothing here
// uses Boost, wxBase or TinyXML.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include <dvrcore/plugin_api.h>

namespace dvr {

// The eight entry points, looked up by name in this order; null for a name not exported.
struct PluginEntryPoints {
    PluginEntryPoint Load = nullptr;
    PluginEntryPoint Unload = nullptr;
    PluginEntryPoint Open = nullptr;
    PluginEntryPoint Close = nullptr;
    PluginEntryPoint Read = nullptr;
    PluginEntryPoint Write = nullptr;
    PluginEntryPoint Seek = nullptr;
    PluginEntryPoint IOCTL = nullptr;
};

inline constexpr const char* ENTRY_POINT_NAMES[8] = {"Load", "Unload", "Open", "Close",
                                                     "Read", "Write",  "Seek", "IOCTL"};

// Where the loader stops with one file. A plugin refused before or by its Load is unmapped again;
// one refused after a successful Load (DUPLICATE_ID, MODULE_INDEX_TOO_BIG) gets its Unload and
// stays mapped, since a thread it started in Load may still run its code.
enum class LoadOutcome {
    LOADED,
    LOADER_REFUSED,      // dlopen refused the file
    MISSING_LOAD,        // the object exports no "Load"
    LOAD_FAILED,         // Load returned non-zero or set error
    DUPLICATE_ID,        // the provider ID is the core's or an earlier plugin's
    MODULE_INDEX_TOO_BIG // bits 24 to 27 of the provider ID are set
};

// What the host tells the loader and what the loader asks of it.
class PluginLoaderHost {
public:
    virtual ~PluginLoaderHost() = default;
    // One line of the loader, already formatted, at a core log level.
    virtual void LoaderLog(int level, const std::string& line) = 0;
    // Whether a provider ID is already registered (the core's own ID always is).
    virtual bool ProviderIDTaken(uint32_t providerID) = 0;
    virtual std::chrono::steady_clock::time_point LoaderNow() = 0;
    // The core pointer and callback a plugin gets in its Load parameters.
    virtual void* LoadCore() = 0;
    virtual PluginEntryPoint LoadCallback() = 0;
};

struct PluginLoadResult {
    LoadOutcome outcome = LoadOutcome::LOADER_REFUSED;
    std::string fileName;             // the final component of the path
    void* handle = nullptr;           // the dlopen handle: when LOADED, and (never to be closed) when
                                      // refused after Load; closed on every other outcome
    PluginEntryPoints entries;        // as looked up; only LOADED keeps them callable
    _LoadParmsOut info{};             // Load's self-description, once Load ran
    int loadCode = PLUGIN_NOT_LOADED; // Load's return value, once it ran
    int64_t loadTimeMs = 0;
    std::string loaderError; // dlerror() text of LOADER_REFUSED
    std::string refusal;     // the refusal line as logged; empty when LOADED
    int refusalLevel = 0;
};

// Loads one plugin file the way the core does: dlopen with RTLD_NOW, the eight entry points, Load
// (timed, with the host's core pointer and callback), and the checks of the provider ID. Every
// line goes to host.LoaderLog with its level. An object refused before Load returned success is
// closed without Unload; one refused after it gets its Unload and stays mapped.
PluginLoadResult LoadPluginFile(const std::string& path, PluginLoaderHost& host);

// The final component of a path.
std::string PluginFileName(const std::string& path);

// The module name of a plugin file: its name without the final extension, in lower case.
std::string PluginModuleName(const std::string& fileName);

// What the loader does with a plugin's declared logLevelDefault.
enum class DeclaredLogLevel {
    NONE,                 // 0: declares nothing
    TAKEN,                // becomes the module's default, and its threshold where core.xml set none
    IGNORED_OUT_OF_RANGE, // outside -1 to 100
    IGNORED_NO_ENTRY      // module index 255 has no log level entry
};
DeclaredLogLevel ClassifyDeclaredLogLevel(uint32_t providerID, int32_t level);

// Whether the loader puts a plugin with this provider ID at the front of the plugin table instead
// of after the plugins loaded before it.
bool PlacedFirstInTable(uint32_t providerID);

// The role the core gives a provider ID, or null for an ordinary plugin.
const char* ProviderIDRole(uint32_t providerID);

} // namespace dvr
