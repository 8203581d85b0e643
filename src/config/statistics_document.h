#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <dvrcore/plugin_api.h>
#include <tinyxml.h>

#include "config/xml_file.h"
#include "log/log_levels.h"

namespace dvr {

// The file the configuration and statistics document is saved to, in the working directory.
constexpr const char* CORE_CONFIG_FILE = "core.xml";

// What the statistics document reports about one loaded plugin.
struct PluginStatistics {
    uint32_t providerID = 0; // the plugin's provider ID; its module index selects the thresholds
    std::string name;        // the plugin's file name
    int64_t loadTimeMs = 0;  // duration of its Load
    int64_t openTimeMs = 0;  // duration of its Open
    int32_t openCode = 0;    // what its Open returned
};

// Everything the configuration and statistics document is built from, copied by the core at the
// moment of the save. The level tables are read with atomic loads while the document is built.
struct StatisticsSnapshot {
    StatisticsSnapshot(const LogLevelTable& levels, const LogLevelTable& defaultLevels)
        : logLevels(levels),
          defaultLogLevels(defaultLevels)
    {
    }

    bool memoryThrottlingEnabled = true;              // the setting, not the current state
    std::string productVersion;                       // Version of the Core module
    std::string exePath;                              // the executable; its last component is shown
    std::string parentFilename;                       // the parent daemon, when it told us
    std::string parentVersion;                        // empty: no Library element
    std::vector<PluginStatistics> plugins;            // loaded plugins in table order
    std::map<std::string, std::string> failedPlugins; // file name to the loader's error text
    const LogLevelTable& logLevels;                   // current thresholds
    const LogLevelTable& defaultLogLevels;            // thresholds the modules declared
};

// Replaces the content of document with the configuration and statistics document: the empty
// declaration and oDVR (Delta 0) with Memory and Modules.
void BuildStatisticsDocument(TiXmlDocument& document, const StatisticsSnapshot& snapshot);

// Appends Product (Family, Version) to the document's oDVR element; the copy sent to the
// plugins carries it, the saved file does not.
void AppendProductElement(TiXmlDocument& document, const std::string& family, const std::string& version);

// Builds the document into document and saves it to CORE_CONFIG_FILE: the one save of the
// configuration, dvrcore::SaveConfiguration's. Texts from outside the core that would not read
// back are written in a safe form (WritableXmlValue) and logged. A failed save is logged at
// level 75 through logCallback ("Failed to save config %d - %s") and returns false; the document
// stays usable for the broadcast either way. Main thread at start-up, I/O thread later.
bool SaveConfigurationDocument(XmlDocument& document, const StatisticsSnapshot& snapshot, PluginEntryPoint logCallback);

// Sends document as one line of text to the plugins: an event of the core with eventType and
// EVF_CORE_DOCUMENT, submitted through callback; its result is ignored. The text lives only for
// the call, so the receiver must copy it (the event bus does).
void BroadcastDocument(const TiXmlDocument& document, uint32_t eventType, PluginEntryPoint callback);

} // namespace dvr
