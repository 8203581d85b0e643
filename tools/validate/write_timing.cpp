#include "write_timing.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "events/write_budget.h"

namespace dvr::validate {
namespace {

int64_t Median(std::vector<int64_t> values)
{
    if (values.empty())
        return 0;
    auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

std::string Ms(int64_t ns)
{
    char text[32];
    snprintf(text, sizeof text, "%.2f ms", static_cast<double>(ns) / 1e6);
    return text;
}

} // namespace

WriteTiming JudgeWrites(const std::vector<dvr_harness_call_time>& calls)
{
    WriteTiming timing;
    timing.calls = calls.size();
    std::vector<int64_t> own;
    std::vector<int64_t> cpu;
    for (const dvr_harness_call_time& call : calls) {
        own.push_back(std::max<int64_t>(0, call.wall_ns - call.waiting_ns));
        cpu.push_back(call.cpu_ns);
        timing.slowestOwnNs = std::max(timing.slowestOwnNs, own.back());
    }
    timing.medianOwnNs = Median(own);
    timing.medianCpuNs = Median(cpu);
    return timing;
}

bool OverWriteBudget(const WriteTiming& timing)
{
    return timing.calls > 0 &&
           timing.medianOwnNs >= std::chrono::duration_cast<std::chrono::nanoseconds>(CORE_WRITE_BUDGET).count();
}

std::string DescribeWrites(const WriteTiming& timing)
{
    const char* spent = timing.medianCpuNs * 2 < timing.medianOwnNs ? ": Write waits" : ": Write computes";
    return "the median of " + std::to_string(timing.calls) + " Write calls took " + Ms(timing.medianOwnNs) +
           " of the plugin's own time (the clock's time less the time the delivering thread waited for a CPU), " +
           Ms(timing.medianCpuNs) + " of it on a CPU" + (OverWriteBudget(timing) ? spent : "") +
           "; the slowest call took " + Ms(timing.slowestOwnNs);
}

} // namespace dvr::validate
