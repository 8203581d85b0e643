#pragma once

// The waits of in-process tests, each bounded: a wait that runs out fails the test with what it
// waited for, so a fault shows as a failure with a message and not as a hang until ctest's
// time-out. Use them as ASSERT_TRUE(WaitUntil(...)) (EXPECT_TRUE on threads other than the test's).
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace dvr::test {

// How long a test waits for something that follows at once from what it did: long enough for a
// loaded machine, a sanitizer or an emulator, and several of them fit in ctest's time-out.
constexpr std::chrono::milliseconds WAIT_LIMIT = std::chrono::seconds(10);

inline ::testing::AssertionResult TimedOut(const std::string& what, std::chrono::milliseconds limit)
{
    return ::testing::AssertionFailure() << "gave up after " << limit.count() << " ms waiting for " << what;
}

// Polls done() until it holds or limit has passed.
template <typename Done>
::testing::AssertionResult WaitUntil(Done done, const std::string& what, std::chrono::milliseconds limit = WAIT_LIMIT)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return TimedOut(what, limit);
        std::this_thread::yield();
    }
    return ::testing::AssertionSuccess();
}

// Waits on condition, with lock held around each test, until done() holds or limit has passed.
template <typename Done>
::testing::AssertionResult WaitOn(std::condition_variable& condition, std::unique_lock<std::mutex>& lock, Done done,
                                  const std::string& what, std::chrono::milliseconds limit = WAIT_LIMIT)
{
    if (condition.wait_for(lock, limit, done))
        return ::testing::AssertionSuccess();
    return TimedOut(what, limit);
}

// Waits until future (a std::future or std::shared_future) is ready.
template <typename Future>
::testing::AssertionResult WaitReady(const Future& future, const std::string& what,
                                     std::chrono::milliseconds limit = WAIT_LIMIT)
{
    if (future.wait_for(limit) == std::future_status::ready)
        return ::testing::AssertionSuccess();
    return TimedOut(what, limit);
}

// Retires plugin in readers (a ReaderTracker) and waits until each of its reader threads has left
// its Read. A template, so that tests without the core's code can use the waits above.
template <typename Tracker>
::testing::AssertionResult ReadersLeft(Tracker& readers, const void* plugin, const std::string& what,
                                       std::chrono::milliseconds limit = WAIT_LIMIT)
{
    std::function<std::chrono::steady_clock::time_point()> now = [] { return std::chrono::steady_clock::now(); };
    if (readers.RetireAndWaitUntil(plugin, now, now() + limit))
        return ::testing::AssertionSuccess();
    return TimedOut(what, limit);
}

// A thread of a test that is joined with a limit. One that has not ended by then fails the test
// and is detached, since nothing can end it: the test has failed, and its process ends with it.
// Not joined before it is destroyed, it is joined then, failing the test likewise.
class TestThread {
public:
    TestThread() = default;
    template <typename Body>
    explicit TestThread(Body body)
    {
        auto finished = std::make_shared<std::promise<void>>();
        finished_ = finished->get_future();
        thread_ = std::thread([body = std::move(body), finished]() mutable {
            body();
            finished->set_value();
        });
    }
    TestThread(TestThread&&) = default;
    TestThread& operator=(TestThread&& other)
    {
        EXPECT_TRUE(Join("a test thread to end before it was replaced"));
        thread_ = std::move(other.thread_);
        finished_ = std::move(other.finished_);
        return *this;
    }
    ~TestThread() { EXPECT_TRUE(Join("a test thread to end")); }

    bool Joinable() const { return thread_.joinable(); }

    // Joins the thread when it ends within limit; succeeds at once when there is none.
    ::testing::AssertionResult Join(const std::string& what, std::chrono::milliseconds limit = WAIT_LIMIT)
    {
        if (!thread_.joinable())
            return ::testing::AssertionSuccess();
        if (finished_.wait_for(limit) != std::future_status::ready) {
            thread_.detach();
            return TimedOut(what, limit);
        }
        thread_.join();
        return ::testing::AssertionSuccess();
    }

private:
    std::thread thread_;
    std::future<void> finished_; // ready once the body has returned
};

} // namespace dvr::test
