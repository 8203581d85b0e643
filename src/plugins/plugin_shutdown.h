#pragma once

#include <chrono>

#include "plugins/plugin_record.h"

namespace dvr {

// How long shutdown waits for a plugin's threads (its worker and read threads, and its reader
// threads) on the core's clock: once for the reader threads before Close, once for all of them
// after it. A plugin whose threads still run after that is left loaded and mapped.
constexpr std::chrono::seconds PLUGIN_THREADS_WAIT{10};

// Close order: the class-0x20 mask word (unsigned) highest first, then the file name ascending,
// byte by byte, a name that is a prefix of another first.
bool ClosesBefore(const PLUGININFO& a, const PLUGININFO& b);

} // namespace dvr
