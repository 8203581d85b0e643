#pragma once

#include "plugins/plugin_record.h"

namespace dvr {

// Close order: the class-0x20 mask word (unsigned) highest first, then the file name ascending,
// byte by byte, a name that is a prefix of another first.
bool ClosesBefore(const PLUGININFO& a, const PLUGININFO& b);

} // namespace dvr
