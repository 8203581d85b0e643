#include "harness_threads.h"

#include <dirent.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <set>

#include <dvrcore/harness.h>

namespace dvr::harness {

namespace {

thread_local ThreadIdentity currentThread;

// The kernel IDs of the running harness threads of every harness, so the census can leave them out.
std::mutex registryLock;
std::set<long> harnessThreadIds; // guarded by registryLock

// The name a harness thread carries (in stacks and in /proc), after the core's thread it stands for.
const char* RoleName(int role)
{
    switch (role) {
    case DVR_HARNESS_THREAD_MAIN: return "dvr-main";
    case DVR_HARNESS_THREAD_WORKER: return "dvr-worker";
    case DVR_HARNESS_THREAD_ASYNC_READ: return "dvr-async-read";
    case DVR_HARNESS_THREAD_DELIVERY: return "dvr-delivery";
    case DVR_HARNESS_THREAD_IO: return "dvr-io";
    case DVR_HARNESS_THREAD_READER: return "dvr-reader";
    default: return "dvr-harness";
    }
}

// Registers the calling thread as a harness thread for the lifetime of the object.
class Registration {
public:
    Registration(const PluginHarness* harness, int role)
        : id_(CurrentThreadId())
    {
        currentThread = {harness, role};
        pthread_setname_np(pthread_self(), RoleName(role));
        std::lock_guard lock(registryLock);
        harnessThreadIds.insert(id_);
    }
    ~Registration()
    {
        std::lock_guard lock(registryLock);
        harnessThreadIds.erase(id_);
    }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

private:
    long id_;
};

} // namespace

const ThreadIdentity& CurrentThread()
{
    return currentThread;
}

long CurrentThreadId()
{
    return static_cast<long>(syscall(SYS_gettid));
}

size_t CountOtherThreads()
{
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr)
        return 0;
    size_t count = 0;
    std::lock_guard lock(registryLock);
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        if (!harnessThreadIds.contains(std::strtol(entry->d_name, nullptr, 10)))
            ++count;
    }
    closedir(tasks);
    return count;
}

size_t WaitForOtherThreads(size_t count, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t now = CountOtherThreads();
    while (now > count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        now = CountOtherThreads();
    }
    return now > count ? now - count : 0;
}

HarnessThread::HarnessThread(const PluginHarness* harness, int role, std::function<void()> body)
    : completion_(std::make_shared<Completion>())
{
    thread_ = std::thread([harness, role, body = std::move(body), completion = completion_] {
        {
            Registration registration(harness, role);
            {
                std::lock_guard lock(completion->lock);
                completion->started = true;
            }
            completion->changed.notify_all();
            body();
        }
        std::lock_guard lock(completion->lock);
        completion->done = true;
        completion->changed.notify_all();
    });
    // Registered before the constructor returns, so a census taken afterwards leaves it out.
    std::unique_lock lock(completion_->lock);
    completion_->changed.wait(lock, [&] { return completion_->started; });
}

HarnessThread::~HarnessThread()
{
    if (thread_.joinable())
        thread_.join();
}

bool HarnessThread::Finish(std::chrono::milliseconds timeout)
{
    if (!thread_.joinable())
        return true;
    std::unique_lock lock(completion_->lock);
    if (!completion_->changed.wait_for(lock, timeout, [&] { return completion_->done; })) {
        thread_.detach();
        return false;
    }
    lock.unlock();
    thread_.join();
    return true;
}

bool HarnessThread::Done() const
{
    std::lock_guard lock(completion_->lock);
    return completion_->done;
}

CallThread::CallThread(const PluginHarness* harness, int role)
    : queue_(std::make_shared<Queue>()),
      thread_(harness, role, [queue = queue_] { Serve(queue); })
{
}

CallThread::~CallThread()
{
    if (!stopped_)
        Stop(std::chrono::hours(1));
}

void CallThread::Serve(const std::shared_ptr<Queue>& queue)
{
    for (;;) {
        std::function<void()> call;
        {
            std::unique_lock lock(queue->lock);
            queue->changed.wait(lock, [&] { return queue->stopping || !queue->calls.empty(); });
            if (queue->calls.empty())
                return; // stopping, and every posted call has run
            call = std::move(queue->calls.front());
            queue->calls.pop_front();
        }
        call();
    }
}

bool CallThread::Run(std::function<void()> call, std::chrono::milliseconds timeout)
{
    struct Done {
        std::mutex lock;                 // guards finished
        std::condition_variable changed; // signalled when finished is set
        bool finished = false;
    };
    auto done = std::make_shared<Done>();
    {
        std::lock_guard lock(queue_->lock);
        if (queue_->stopping)
            return false;
        queue_->calls.emplace_back([call = std::move(call), done] {
            call();
            std::lock_guard doneLock(done->lock);
            done->finished = true;
            done->changed.notify_all();
        });
    }
    queue_->changed.notify_all();
    std::unique_lock lock(done->lock);
    return done->changed.wait_for(lock, timeout, [&] { return done->finished; });
}

bool CallThread::Stop(std::chrono::milliseconds timeout)
{
    stopped_ = true;
    {
        std::lock_guard lock(queue_->lock);
        queue_->stopping = true;
    }
    queue_->changed.notify_all();
    return thread_.Finish(timeout);
}

} // namespace dvr::harness
