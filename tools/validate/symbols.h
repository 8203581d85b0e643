#pragma once

// Names the frames of the stacks the validator prints: backtrace_symbols gives "file(+0xN)" for a
// function the object does not export, which says nothing to a plugin's author. addr2line, where it
// is installed, turns the offset into the function and its source line (with the plugin's
// debugging information); without it the lines stay as they are.

#include <string>
#include <vector>

namespace dvr::validate {

// The lines of a stack with each "file(+0xN) [0xA]" frame followed by " = function at file:line".
std::vector<std::string> SymbolizeTrace(const std::vector<std::string>& lines);

// "function at file:line" for the offset (0x...) into file, or empty when it cannot be told.
std::string SourceLine(const std::string& file, const std::string& offset);

} // namespace dvr::validate
