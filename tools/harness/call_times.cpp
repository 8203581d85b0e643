#include "call_times.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>

#include "events/write_budget.h"
#include "log/format_text.h"

namespace dvr::harness {
namespace {

int64_t ClockNs(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// Nanoseconds the calling thread has spent ready to run but waiting for a CPU; 0 where the kernel
// keeps no scheduler statistics.
int64_t WaitedForCpuNs()
{
    int fd = open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[96];
    ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0)
        return 0;
    text[got] = '\0';
    char* rest = nullptr;
    strtoll(text, &rest, 10); // time on a CPU
    return strtoll(rest, nullptr, 10);
}

} // namespace

int64_t OwnTimeNs(const dvr_harness_call_time& time)
{
    return std::max<int64_t>(0, time.wall_ns - time.waiting_ns);
}

void CallTimes::SetClock(dvr_harness_clock clock, void* context)
{
    std::lock_guard lock(lock_);
    clock_ = clock;
    clockContext_ = context;
}

CallTimes::Reading CallTimes::Read()
{
    dvr_harness_clock clock = nullptr;
    void* context = nullptr;
    {
        std::lock_guard lock(lock_);
        clock = clock_;
        context = clockContext_;
    }
    Reading reading;
    reading.waitingNs = WaitedForCpuNs();
    reading.cpuNs = ClockNs(CLOCK_THREAD_CPUTIME_ID);
    reading.wallNs = clock != nullptr ? clock(context) : ClockNs(CLOCK_MONOTONIC);
    return reading;
}

int CallTimes::Call(const char* name, PluginEntryPoint entry, void* in, void* out)
{
    Reading start = Read();
    int code = entry(in, out);
    Keep(name, start, Read());
    return code;
}

void CallTimes::Keep(const char* name, const Reading& start, const Reading& end)
{
    dvr_harness_call_time time{};
    time.wall_ns = end.wallNs - start.wallNs;
    time.cpu_ns = end.cpuNs - start.cpuNs;
    time.waiting_ns = std::clamp<int64_t>(end.waitingNs - start.waitingNs, 0, std::max<int64_t>(time.wall_ns, 0));
    const bool isWrite = std::string_view(name) == "Write";
    const bool overBudget =
        OwnTimeNs(time) >= std::chrono::duration_cast<std::chrono::nanoseconds>(CORE_WRITE_BUDGET).count();
    std::lock_guard lock(lock_);
    auto [slowest, first] = slowest_.try_emplace(name, time);
    if (!first && OwnTimeNs(time) > OwnTimeNs(slowest->second))
        slowest->second = time;
    last_[name] = time;
    if (isWrite) {
        ++writes_;
        slowWrites_ += overBudget;
        blockingWrites_ +=
            OwnTimeNs(time) >= std::chrono::duration_cast<std::chrono::nanoseconds>(WRITE_BLOCKED).count();
    }
}

bool CallTimes::Slowest(const std::string& name, dvr_harness_call_time& time)
{
    std::lock_guard lock(lock_);
    auto found = slowest_.find(name);
    if (found == slowest_.end())
        return false;
    time = found->second;
    return true;
}

bool CallTimes::Last(const std::string& name, dvr_harness_call_time& time)
{
    std::lock_guard lock(lock_);
    auto found = last_.find(name);
    if (found == last_.end())
        return false;
    time = found->second;
    return true;
}

void CallTimes::ReportSlowWrites(std::vector<std::string>& found)
{
    std::lock_guard lock(lock_);
    // A single Write past the budget may be the machine's doing (a page fault, a preempted lock
    // holder, a first thread start under a sanitizer); Writes that are slow as a rule, or one that
    // blocks, are the plugin's.
    if (slowWrites_ == 0 || (blockingWrites_ == 0 && slowWrites_ * 2 < writes_))
        return;
    const dvr_harness_call_time& slowest = slowest_["Write"];
    found.push_back(FormatText(
        "%zu Write call(s) took %lld ms or more of the plugin's own time (slowest %lld ms, %lld ms "
        "of it on a CPU): the core's only delivery thread waits for every Write, and the core "
        "logs each of %lld ms or more (\"core write took\"); hand slow work to a thread of the "
        "plugin",
        slowWrites_, static_cast<long long>(CORE_WRITE_BUDGET.count()),
        static_cast<long long>(OwnTimeNs(slowest) / 1'000'000), static_cast<long long>(slowest.cpu_ns / 1'000'000),
        static_cast<long long>(CORE_WRITE_BUDGET.count())));
}

} // namespace dvr::harness
