#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "elf_symbols.h"
#include "plugins/plugin_loading.h"

namespace dvr::inspect {

// The user the child loading a plugin changes to before dlopen.
struct RunAs {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
};

// The user called name from the password database, or nothing (with the reason in error).
std::optional<RunAs> FindUser(const std::string& name, std::string& error);

struct ProbeOptions {
    int64_t timeoutMs = 10000;
    std::optional<RunAs> user;      // change to this user first (when started as root)
    std::vector<uint32_t> takenIDs; // provider IDs the loader counts as registered already
    bool checkLibraries = false;    // look for the DT_NEEDED libraries once Load has returned
    const ElfFacts* elf = nullptr;  // the file's ELF facts, for the library check
};

// A line of the loader, as LoadPluginFile gave it to the host.
struct LoaderLine {
    int level = 0;
    std::string text;
};

// An event a plugin raised through its callback while Load ran, and the answer it got.
struct LoadEvent {
    uint32_t providerID = 0;
    uint32_t eventType = 0;
    uint32_t eventFlags = 0;
    uint32_t len = 0;
    int32_t level = 0;  // of a log line
    int32_t answer = 0; // the result it was given
    std::string what;   // "log", "log threshold query", "parent send", "release", "stream control", "event"
    std::string text;   // a log line's text
};

// How the child that loaded the file ended.
enum class ProbeEnding {
    FINISHED,    // LoadPluginFile returned and every fact arrived
    TIMED_OUT,   // killed after the time-out
    SIGNALLED,   // a signal ended it
    EXITED,      // it ended (a plugin calling exit, say) before LoadPluginFile returned
    DROP_FAILED, // it could not change to the user; nothing was loaded
    UNREADABLE,  // the user it changed to cannot read the file (or search a folder on its path)
    NOT_STARTED  // no child: fork or pipe failed
};

struct ProbeResult {
    ProbeEnding ending = ProbeEnding::NOT_STARTED;
    std::string endingText;  // for every ending but FINISHED
    int signal = 0;          // SIGNALLED
    bool opening = false;    // the child began loading the file (after any change of user)
    bool loadCalled = false; // the loader got as far as calling Load
    // From LoadPluginFile, when FINISHED.
    LoadOutcome outcome = LoadOutcome::LOADER_REFUSED;
    std::string refusal;
    int refusalLevel = 0;
    std::string loaderError;
    int loadCode = PLUGIN_NOT_LOADED;
    int64_t loadTimeMs = 0;
    _LoadParmsOut info{};
    bool entries[8] = {}; // which of ENTRY_POINT_NAMES the loader found
    std::vector<LoaderLine> loaderLines;
    std::vector<LoadEvent> events;
    std::vector<UnresolvedLibrary> unresolved;
    // What the child left in its temporary working folder (paths relative to it, folders ending in
    // "/"), removed with the folder once the child ended.
    std::vector<std::string> createdInWorkingFolder;
};

// Loads the file with dvr::LoadPluginFile in a forked child that reports over a pipe, and waits
// for it at most options.timeoutMs; the child never returns into the caller's code. The child runs
// in a temporary working folder of its own, so what Load creates is listed and then removed
// instead of being left in the caller's folder. path must be absolute.
ProbeResult ProbePluginFile(const std::string& path, const ProbeOptions& options);

// "SIGSEGV (Segmentation fault)" for a signal number.
std::string SignalName(int signal);

} // namespace dvr::inspect
