#pragma once

// How long the plugin's entry points take, measured on the harness thread that calls them: the
// time by the harness's clock, the thread's CPU time, and the part of the time the thread was ready
// to run but waited for a CPU. What the plugin itself spent is the time less that wait: a busy
// machine does not make a quick call slow, while a call that sleeps or waits for a lock stays slow.

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <dvrcore/harness.h>

namespace dvr::harness {

// A Write this long is reported however rare: it blocks the core's delivery for everyone.
inline constexpr std::chrono::milliseconds WRITE_BLOCKED{100};

class CallTimes {
public:
    // The clock of every later reading; null: the steady clock.
    void SetClock(dvr_harness_clock clock, void* context);

    // Calls entry(in, out) on the calling thread and keeps its time under name.
    int Call(const char* name, PluginEntryPoint entry, void* in, void* out);
    // Runs call on the calling thread and keeps its time under name.
    template <typename Call>
    void Time(const char* name, Call call)
    {
        Reading start = Read();
        call();
        Keep(name, start, Read());
    }

    // The slowest call kept under name, by the plugin's own time; false when there was none.
    bool Slowest(const std::string& name, dvr_harness_call_time& time);
    // The latest call kept under name; false when there was none.
    bool Last(const std::string& name, dvr_harness_call_time& time);
    // One line when Write calls reached the core's write budget by their own time.
    void ReportSlowWrites(std::vector<std::string>& found);

private:
    struct Reading {
        int64_t wallNs = 0;
        int64_t cpuNs = 0;
        int64_t waitingNs = 0;
    };
    Reading Read();
    void Keep(const char* name, const Reading& start, const Reading& end);

    std::mutex lock_; // guards every member below
    dvr_harness_clock clock_ = nullptr;
    void* clockContext_ = nullptr;
    std::map<std::string, dvr_harness_call_time> slowest_;
    std::map<std::string, dvr_harness_call_time> last_;
    size_t writes_ = 0;
    size_t slowWrites_ = 0;     // of writes_, those whose own time reached the core's write budget
    size_t blockingWrites_ = 0; // of writes_, those whose own time reached WRITE_BLOCKED
};

// The plugin's own part of a call's time: its time less the wait for a CPU.
int64_t OwnTimeNs(const dvr_harness_call_time& time);

} // namespace dvr::harness
