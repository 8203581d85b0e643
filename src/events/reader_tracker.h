#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "core/deadline_wait.h"

namespace dvr {

// Counts the reader threads inside each plugin, so that a plugin is not closed and unloaded while
// one of them still runs its Read. A plugin is named by a key that stays fixed while it is loaded
// (for example its Read entry point). Any thread.
class ReaderTracker {
public:
    // Counts one more reader thread of plugin; call it before the thread is started, so that none
    // can be missed by RetireAndWaitUntil. Answers false (nothing counted, start no thread) once the
    // plugin is retired.
    bool Enter(const void* plugin);

    // Counts the reader thread out again, after its Read has returned; on the reader thread.
    void Leave(const void* plugin);

    // Refuses every later Enter for plugin and waits until its counted reader threads have left,
    // at most until now() reaches deadline: true when every one has left. The plugin stays retired
    // either way. Called by shutdown before the plugin is closed.
    bool RetireAndWaitUntil(const void* plugin, const SteadyNow& now, std::chrono::steady_clock::time_point deadline);

    // Whether plugin has been retired.
    bool Retired(const void* plugin) const;

    // Reader threads of plugin counted now.
    uint32_t Running(const void* plugin) const;

private:
    mutable std::mutex mutex_;                          // guards running_ and retired_
    std::condition_variable left_;                      // signalled whenever a count drops to 0
    std::unordered_map<const void*, uint32_t> running_; // guarded by mutex_; no zero entries
    std::unordered_set<const void*> retired_;           // guarded by mutex_
};

} // namespace dvr
