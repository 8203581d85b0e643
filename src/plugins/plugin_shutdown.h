#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "plugins/plugin_record.h"

class dvrcore;

namespace dvr {

// How long shutdown waits for a plugin's threads (its worker and read threads, and its reader
// threads) on the core's clock: once for the reader threads before Close, once for all of them
// after it. A plugin whose threads still run after that is left loaded and mapped.
constexpr std::chrono::seconds PLUGIN_THREADS_WAIT{10};

// How long shutdown waits, on the core's clock, for one Close or Unload call to return. A call still
// running then is left to run on alone, and its plugin stays loaded and mapped.
constexpr std::chrono::seconds PLUGIN_CALL_WAIT{10};

// Runs body, a call into the plugin called name, on a thread of its own and waits at most
// PLUGIN_CALL_WAIT for it. True when it returned. Otherwise the call is logged as what (with
// outcome, what became of the plugin), its thread is detached, and body and what it captured live
// on with it: the caller must leave the plugin mapped. Main thread, during shutdown.
bool CallWithinWait(dvrcore& core, const std::string& name, const char* what, const char* outcome,
                    std::function<void()> body);

// Calls entry with copies of in and out through CallWithinWait, so the records outlive a call
// that never returns. Answers entry's return code, with out as the call left it; -100 (not
// called) for a missing entry point; nothing when the call is still running after the wait.
template <typename In, typename Out>
std::optional<int> CallEntryPointWithinWait(dvrcore& core, const std::string& name, const char* what,
                                            const char* outcome, PluginEntryPoint entry, const In& in, Out& out)
{
    if (entry == nullptr)
        return PLUGIN_ENTRY_UNAVAILABLE;
    struct Call {
        In in;
        Out out;
        int code;
    };
    auto call = std::make_shared<Call>(Call{in, out, PLUGIN_ENTRY_UNAVAILABLE});
    if (!CallWithinWait(core, name, what, outcome, [entry, call] { call->code = entry(&call->in, &call->out); }))
        return std::nullopt;
    out = call->out;
    return call->code;
}

// Close order: the class-0x20 mask word (unsigned) highest first, then the file name ascending,
// byte by byte, a name that is a prefix of another first.
bool ClosesBefore(const PLUGININFO& a, const PLUGININFO& b);

} // namespace dvr
