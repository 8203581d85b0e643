#pragma once

#include <optional>

#include <tinyxml.h>

namespace dvr {

// The lowest provider ID a configuration document may set a threshold for; lower numbers are
// not plugin identities (the statistics document numbers failed plugin files 1, 2, 3 ...).
constexpr unsigned MIN_CONFIGURABLE_ID = 0x40000;

// An integer attribute read the way sscanf's "%d" reads it: the leading decimal integer, with
// "0x60000" reading 0. Empty when the attribute is missing or does not begin with an integer.
std::optional<int> IntAttribute(const TiXmlElement& element, const char* name);

// One module's log threshold as a Plugin element of a configuration document states it.
struct ThresholdEntry {
    unsigned index; // module index, bits 16 to 27 of the ID
    int logLevel;   // -1 (not set) to 100
};

// The ID and LogLevel of a Plugin element when both are integers and in range: ID, taken as
// unsigned, at least MIN_CONFIGURABLE_ID, its module index below 255, LogLevel from -1 to 100.
std::optional<ThresholdEntry> ReadThresholdEntry(const TiXmlElement& plugin);

// Calls visit(plugin) for every Plugin child of every Module child of modules, in document order.
template <typename Visit>
void ForEachModulePlugin(const TiXmlElement& modules, Visit visit)
{
    for (const TiXmlElement* module = modules.FirstChildElement("Module"); module != nullptr;
         module = module->NextSiblingElement("Module")) {
        for (const TiXmlElement* plugin = module->FirstChildElement("Plugin"); plugin != nullptr;
             plugin = plugin->NextSiblingElement("Plugin"))
            visit(*plugin);
    }
}

} // namespace dvr
