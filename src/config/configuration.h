#pragma once

#include <string>

#include <dvrcore/plugin_api.h>

#include "log/log_levels.h"

namespace dvr {

// The core's settings that product.xml and core.xml may change, at their defaults.
struct CoreSettings {
    std::string productFamily = "ovrimSight"; // product.xml Product/Family
    std::string productVersion;               // product.xml Product/Version
    bool memoryThrottlingEnabled = true;      // core.xml Memory/Throttling
};

// Reads "product.xml" and "core.xml" from the working directory into settings and logLevels;
// what the files do not set keeps its value. Problems with core.xml are logged at level 75
// through logCallback and leave the defaults (what a cut-off core.xml held up to the error is
// used); a core.xml that exists but could not be read whole is kept as core.xml.bad, so that the
// start-up save does not destroy it. Problems with product.xml are silent. Runs once at start-up,
// before the plugins are loaded.
void LoadConfiguration(CoreSettings& settings, LogLevelTable& logLevels, PluginEntryPoint logCallback);

} // namespace dvr
