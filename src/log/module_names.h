#pragma once

#include <cstdint>
#include <map>
#include <shared_mutex>
#include <string>

namespace dvr {

// Provider ID to the short module name shown in console lines.
// Readers (every thread that logs) and the plugin loader's insertions share mutex_.
class ModuleNames {
public:
    // Inserts the ID when missing, then assigns the name.
    void Set(uint32_t providerID, std::string name);
    bool Contains(uint32_t providerID) const;
    // The name of providerID, or "?" when it has none. Never inserts.
    std::string Lookup(uint32_t providerID) const;

private:
    mutable std::shared_mutex mutex_;
    std::map<uint32_t, std::string> names_; // guarded by mutex_
};

} // namespace dvr
