#include "plugins/refused_plugins.h"

#include <dvrcore/plugin_api.h>

namespace dvr {

void RefusedPlugins::Add(uint32_t providerID, const std::string& name)
{
    std::lock_guard lock(mutex_);
    refused_.emplace(DVR_MODULE_INDEX(providerID), Entry{name, false});
    any_.store(true, std::memory_order_release);
}

bool RefusedPlugins::CoversLocked(uint32_t providerID) const
{
    std::lock_guard lock(mutex_);
    return refused_.count(DVR_MODULE_INDEX(providerID)) != 0;
}

std::optional<std::string> RefusedPlugins::FirstRefusal(uint32_t providerID)
{
    std::lock_guard lock(mutex_);
    auto found = refused_.find(DVR_MODULE_INDEX(providerID));
    if (found == refused_.end() || found->second.noted)
        return std::nullopt;
    found->second.noted = true;
    return found->second.name;
}

} // namespace dvr
