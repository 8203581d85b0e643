#pragma once

namespace dvr {

// What the command line asks for.
struct CommandLine {
    bool showUsage = false; // an option came before the descriptor: -h, or one the core does not know
    int descriptor = -1;    // the parent link's descriptor; -1 runs without a parent
};

// Scans the arguments after the program name: the first one that does not begin with '-' is the
// descriptor (read with atoi, so "abc" gives 0) and ends the scan, so later arguments are ignored.
// Any argument beginning with '-' before it asks for the usage text: "-h" and its longer forms, and
// every option the core does not know ("--help" among them), so a mistyped option never starts
// the core.
CommandLine ParseCommandLine(int argc, const char* const argv[]);

} // namespace dvr
