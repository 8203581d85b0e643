#pragma once

// How the validator judges the time its Write calls took. A busy machine can stop the delivering
// thread in the middle of a quick Write (7 ms seen at load 7 for a Write that does nothing), so
// one call's time by the clock says little. Each call counts with the plugin's own time (its time
// less the time its thread waited for a CPU), and the verdict takes the median of the calls, which
// no single preempted call moves. A Write that sleeps or waits for a lock stays slow by both.

#include <cstdint>
#include <string>
#include <vector>

#include <dvrcore/harness.h>

namespace dvr::validate {

struct WriteTiming {
    size_t calls = 0;
    int64_t medianOwnNs = 0;  // the median of the calls' own times
    int64_t slowestOwnNs = 0; // the slowest call's own time
    int64_t medianCpuNs = 0;  // the median of the calls' CPU times
};

WriteTiming JudgeWrites(const std::vector<dvr_harness_call_time>& calls);

// Whether the median call reached the core's write budget.
bool OverWriteBudget(const WriteTiming& timing);

// What was measured, for the warning: the median, how it was taken, and whether the time was spent
// on a CPU (computing) or off it (waiting).
std::string DescribeWrites(const WriteTiming& timing);

} // namespace dvr::validate
