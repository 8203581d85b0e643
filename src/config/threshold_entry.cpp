#include "config/threshold_entry.h"

#include <cstdint>
#include <cstdlib>

#include <dvrcore/plugin_api.h>

#include "log/log_levels.h"

namespace dvr {

std::optional<int> IntAttribute(const TiXmlElement& element, const char* name)
{
    const char* text = element.Attribute(name);
    if (text == nullptr)
        return std::nullopt;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text)
        return std::nullopt;
    // sscanf converts through long and keeps the low 32 bits; do the same without its
    // undefined behaviour on overflow.
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(value)));
}

std::optional<ThresholdEntry> ReadThresholdEntry(const TiXmlElement& plugin)
{
    std::optional<int> id = IntAttribute(plugin, "ID");
    std::optional<int> logLevel = IntAttribute(plugin, "LogLevel");
    if (!id || !logLevel)
        return std::nullopt;
    auto providerID = static_cast<uint32_t>(*id);
    unsigned index = DVR_MODULE_INDEX(providerID);
    if (providerID < MIN_CONFIGURABLE_ID || index >= LogLevelTable::SIZE || *logLevel < -1 || *logLevel > 100)
        return std::nullopt;
    return ThresholdEntry{index, *logLevel};
}

} // namespace dvr
