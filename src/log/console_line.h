#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace dvr {

// Longest log text the core handles, without its terminating zero.
constexpr size_t LOG_TEXT_MAX = 511;

// The text of a log message: at most len bytes of data, ending at the first zero byte and
// never longer than LOG_TEXT_MAX, so a sender's text without a terminating zero is not overrun.
std::string_view LogMessageText(const void* data, size_t len);

// One console line: "HH:MM:SS module text\n", the time in the colour of the level and the module
// name in cyan when colour is set and the level lies from 0 to 100, plain otherwise. The module
// name is padded or cut to six characters.
std::string FormatConsoleLine(const std::tm& utc, std::string_view moduleName, uint32_t level, bool colour,
                              std::string_view text);

// The same line stamped with the time of day of now (seconds since the epoch) in UTC.
std::string FormatConsoleLine(time_t now, std::string_view moduleName, uint32_t level, bool colour,
                              std::string_view text);

// Writes a whole line to standard output with as many write calls as it takes. A signal that
// interrupts a write (the stop signals arrive while lines are written) does not lose the line.
void WriteConsoleLine(const std::string& line);

} // namespace dvr
