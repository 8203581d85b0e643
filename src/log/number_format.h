#pragma once

#include <string>

namespace dvr {

// Decimal text of value with the thousands grouping of the named locale ("12,345" in
// en_US.UTF-8), or the bare digits when that locale does not exist on this machine.
std::string FormatGroupedNumber(unsigned long value, const char* localeName = "en_US.UTF-8");
std::string FormatGroupedNumber(long value, const char* localeName = "en_US.UTF-8");

} // namespace dvr
