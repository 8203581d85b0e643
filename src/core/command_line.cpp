#include "core/command_line.h"

#include <cstdlib>

namespace dvr {

CommandLine ParseCommandLine(int argc, const char* const argv[])
{
    CommandLine result;
    // The core knows one option, -h: the first argument either asks for the usage (-h, or an
    // option it does not know) or is the descriptor, and ends the scan either way.
    if (argc < 2)
        return result;
    const char* argument = argv[1];
    if (argument[0] == '-')
        result.showUsage = true;
    else
        result.descriptor = std::atoi(argument);
    return result;
}

} // namespace dvr
