#pragma once

namespace dvr {

// What the command line asks for.
struct CommandLine {
    bool showUsage = false; // a -h argument came before the descriptor
    int descriptor = -1;    // the parent link's descriptor; -1 runs without a parent
};

// Scans the arguments after the program name: the first one that does not begin with '-' is the
// descriptor (read with atoi, so "abc" gives 0) and ends the scan; "-h..." before it asks for the
// usage text; every other argument beginning with '-' is ignored.
CommandLine ParseCommandLine(int argc, const char* const argv[]);

} // namespace dvr
