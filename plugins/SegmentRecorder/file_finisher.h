// The slow end of a camera's files, on a thread of its own: forcing an ended file to the disk,
// closing it and entering it in its day's index, and writing a begun file's index line. Each sync
// waits for the disk (tens to hundreds of milliseconds when it is busy); the camera's writer
// thread posts them here and goes on with its next file instead of waiting, and the jobs run one
// after another in the order they were posted, so a file's index lines keep their order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace segrec {

class FileFinisher {
public:
    using Job = std::function<void()>;

    // At most maxPending jobs wait or run at once: Post waits for room, so a disk slower than the
    // writer sets the writer's pace.
    explicit FileFinisher(size_t maxPending);
    ~FileFinisher(); // Drain, then ends the thread
    FileFinisher(const FileFinisher&) = delete;
    FileFinisher& operator=(const FileFinisher&) = delete;

    // Queues job, to run after every job posted before it; nothing it throws leaves the thread.
    void Post(Job job);
    // Waits until every job posted so far has run.
    void Drain();

private:
    void Run();

    const size_t maxPending_;
    std::mutex mutex_;                // guards jobs_, running_ and stopping_
    std::condition_variable changed_; // a job was posted or finished, or the thread is to end
    std::deque<Job> jobs_;
    bool running_ = false; // the thread is inside a job
    bool stopping_ = false;
    std::thread thread_; // last: starts once everything above exists
};

} // namespace segrec
