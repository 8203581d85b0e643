#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace dvr {

// The core's steady clock as the waits below read it: dvrcore::Now, which tests replace.
using SteadyNow = std::function<std::chrono::steady_clock::time_point()>;

// The longest a deadline wait sleeps before it reads its clock again. The clock is injectable,
// so the wait cannot simply sleep until the deadline of the real clock; a notification still
// ends each sleep at once.
constexpr auto DEADLINE_RECHECK = std::chrono::milliseconds(100);

// Waits on condition, with lock held around each test, until done() holds or now() reaches
// deadline. Answers done().
template <typename Done>
bool WaitUntilDeadline(std::unique_lock<std::mutex>& lock, std::condition_variable& condition, Done done,
                       const SteadyNow& now, std::chrono::steady_clock::time_point deadline)
{
    while (!done()) {
        auto left = deadline - now();
        if (left <= std::chrono::steady_clock::duration::zero())
            return false;
        condition.wait_for(lock, std::min<std::chrono::steady_clock::duration>(left, DEADLINE_RECHECK));
    }
    return true;
}

} // namespace dvr
