#pragma once

#include <string>

#include "log/log_levels.h"

namespace dvr {

// Applies the log thresholds of a configuration change document from a plugin to logLevels. Only
// documents whose first element has a non-zero Delta count; anything unparsable or out of range
// is ignored silently. A threshold reset to -1 falls back to the module's declared level in
// defaultLogLevels. Returns whether any entry was rewritten: the caller then saves and
// broadcasts the configuration. Runs on the I/O thread; the tables are atomic.
bool ApplyLogLevelChange(const std::string& text, LogLevelTable& logLevels, const LogLevelTable& defaultLogLevels);

} // namespace dvr
