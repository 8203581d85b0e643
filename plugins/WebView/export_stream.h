// Exports: one MP4 of a camera's span across its files, remuxed without re-encoding by FFmpeg's
// libraries on a thread of its own and streamed to the client as it is made. Between the remux and
// the connection sits a bounded pipe: the remux waits while it is full, so an export holds at most
// EXPORT_PIPE_BYTES (plus one piece) in memory and nothing on disk, and a slow client slows only
// its own export.
#pragma once

#include "export_plan.h"
#include "web_server.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace webview {

constexpr size_t EXPORT_PIPE_BYTES = 1 << 20; // the most an export buffers before its remux waits
constexpr size_t MAX_EXPORTS = 2;             // exports at once; one more is answered 503

// The bytes of one export on their way from its remux thread to its connection.
class ExportPipe : public ChunkSource {
public:
    explicit ExportPipe(size_t capacity = EXPORT_PIPE_BYTES)
        : capacity_(capacity)
    {
    }

    // Remux thread: queues bytes, first waiting while capacity bytes are queued. False once
    // cancelled (nothing is queued then).
    bool Push(const uint8_t* bytes, size_t size);
    // Remux thread, last: the body is whole, or failed for why.
    void End(bool whole, const std::string& why);
    bool Cancelled() const;

    void Next(boost::asio::any_io_executor executor, Ready ready) override;
    void Cancel() override;

private:
    // Hands the waiting reader its piece when there is one. Caller holds mutex_.
    void Deliver();

    const size_t capacity_;
    mutable std::mutex mutex_;       // guards everything below
    std::condition_variable room_;   // signalled when bytes are taken or the pipe is cancelled
    std::deque<std::string> pieces_; // queued, oldest first
    size_t queued_ = 0;              // their bytes
    bool ended_ = false;
    bool whole_ = false;
    bool cancelled_ = false;
    std::string why_;                            // of a failed end
    Ready ready_;                                // the reader waiting for its next piece, if any
    boost::asio::any_io_executor readyExecutor_; // where ready_ runs
};

// What one export reads and how it cuts.
struct ExportJob {
    std::string recordings; // the recordings folder
    std::string camera;
    std::vector<Recording> files; // PlanExport's
    int64_t fromNs = 0;
    int64_t toNs = 0;
};

// Runs the exports, each on its own thread, at most maxExports at once. Start is called on the
// server's thread, Stop on any other.
class Exporter {
public:
    explicit Exporter(size_t maxExports = MAX_EXPORTS)
        : maxExports_(maxExports)
    {
    }
    ~Exporter() { Stop(); }
    Exporter(const Exporter&) = delete;
    Exporter& operator=(const Exporter&) = delete;

    // Starts remuxing job into a new pipe; null when maxExports exports run already or after Stop.
    std::shared_ptr<ExportPipe> Start(ExportJob job);
    // Cancels every export and waits for their threads. Call while the io_context their readers
    // post to still exists.
    void Stop();

private:
    struct Running {
        std::shared_ptr<ExportPipe> pipe;
        std::shared_ptr<std::atomic<bool>> done; // set by the thread as it ends
        std::thread thread;
    };
    // Joins the threads that ended. Caller holds mutex_.
    void Reap();

    const size_t maxExports_;
    std::mutex mutex_;           // guards running_ and stopped_
    std::list<Running> running_; // exports started and not yet joined
    bool stopped_ = false;
};

// The remux of job into pipe (the export thread's whole job); ends the pipe.
void RunExport(const ExportJob& job, ExportPipe& pipe);

} // namespace webview
