#pragma once

// The checks of dvrcore-validate: each drives one plugin through one situation the core puts it
// in and reports, for each rule the plugin breaks, what is wrong and what to fix.

#include <vector>

#include "check_runner.h"

namespace dvr::validate {

struct Check {
    const char* name;
    const char* description; // one line for --list
    CheckBody body;
    // What the check cannot do without: "Load" (the plugin loads with the core's records), or the
    // name of a check whose crash or hang it would only repeat.
    const char* needs;
};

// Every check, in the order they run.
const std::vector<Check>& Checks();

} // namespace dvr::validate
