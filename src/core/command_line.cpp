#include "core/command_line.h"

#include <cstdlib>

namespace dvr {

CommandLine ParseCommandLine(int argc, const char* const argv[])
{
    CommandLine result;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument[0] != '-') {
            result.descriptor = std::atoi(argument);
            break;
        }
        if (argument[1] == 'h') {
            result.showUsage = true;
            break;
        }
    }
    return result;
}

} // namespace dvr
