#include "file_finisher.h"

#include "recorder_log.h"

#include <exception>
#include <utility>

namespace segrec {

FileFinisher::FileFinisher(size_t maxPending)
    : maxPending_(maxPending > 0 ? maxPending : 1),
      thread_(&FileFinisher::Run, this)
{
}

FileFinisher::~FileFinisher()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void FileFinisher::Post(Job job)
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return jobs_.size() + (running_ ? 1 : 0) < maxPending_; });
    jobs_.push_back(std::move(job));
    lock.unlock();
    changed_.notify_all();
}

void FileFinisher::Drain()
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return jobs_.empty() && !running_; });
}

// The finisher's thread: runs the jobs in order; once stopping, it ends when none is left.
void FileFinisher::Run()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return !jobs_.empty() || stopping_; });
        if (jobs_.empty())
            return;
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        running_ = true;
        lock.unlock();
        try {
            job();
        } catch (const std::exception& error) { // std::terminate would end the core
            Log(LOG_FAILURE, "a file's last step failed: %s", error.what());
        }
        job = nullptr; // what the job held (a file's descriptor) goes before the writer hears it ran
        lock.lock();
        running_ = false;
        changed_.notify_all();
    }
}

} // namespace segrec
