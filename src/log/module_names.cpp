#include "log/module_names.h"

#include <mutex>

namespace dvr {

void ModuleNames::Set(uint32_t providerID, std::string name)
{
    std::unique_lock lock(mutex_);
    names_[providerID] = std::move(name);
}

bool ModuleNames::Contains(uint32_t providerID) const
{
    std::shared_lock lock(mutex_);
    return names_.count(providerID) != 0;
}

std::string ModuleNames::Lookup(uint32_t providerID) const
{
    std::shared_lock lock(mutex_);
    auto found = names_.find(providerID);
    return found == names_.end() ? std::string("?") : found->second;
}

} // namespace dvr
