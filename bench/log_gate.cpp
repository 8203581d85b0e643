// The core's own log gate in this process: the cost of a CoreLog call whose level is below the
// core's threshold, which must return before formatting anything.
//
//   bench_log_gate COUNT   -> dropped_corelog_ns=N
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "core/dvrcore.h"
#include "events/event_callback.h"
#include "log/core_log.h"

int main(int argc, char* argv[])
{
    long count = argc > 1 ? atol(argv[1]) : 10'000'000;
    dvrcore core("/nonexistent/dvrcore");
    core.logLevels.Set(DVR_MODULE_INDEX(CORE_PROVIDER_ID), 50);
    auto started = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i)
        dvr::CoreLog(CORE_PROVIDER_ID, EventCallback, 10, "dropped line %ld of %s", i, "the gate bench");
    double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - started).count();
    printf("dropped_corelog_ns=%.1f\n", ns / static_cast<double>(count));
    return 0;
}
