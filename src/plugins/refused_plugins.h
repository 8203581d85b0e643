#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace dvr {

// The plugins refused after their Load ran, by module index. Such a plugin stays mapped and may
// still have threads that raise events; those that come under a module index no plugin in the
// table has are refused, and the first of them is noted once per refused plugin.
class RefusedPlugins {
public:
    // Notes the refused plugin name with providerID. Main thread, while loading.
    void Add(uint32_t providerID, const std::string& name);
    // Whether an event of providerID may come from a refused plugin. Lock-free while none was
    // refused, which is the usual case. Any thread.
    bool Covers(uint32_t providerID) const { return any_.load(std::memory_order_acquire) && CoversLocked(providerID); }
    // The name of the refused plugin behind providerID the first time this is asked for its
    // module index, nothing after that. Any thread.
    std::optional<std::string> FirstRefusal(uint32_t providerID);

private:
    struct Entry {
        std::string name;
        bool noted = false;
    };
    bool CoversLocked(uint32_t providerID) const;

    mutable std::mutex mutex_;          // guards refused_
    std::map<uint32_t, Entry> refused_; // module index to the plugin refused with it
    std::atomic<bool> any_{false};      // set once refused_ holds an entry
};

} // namespace dvr
