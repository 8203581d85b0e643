#include "export_stream.h"

#include "web_log.h"

#include <boost/asio/post.hpp>

namespace webview {

namespace {

constexpr size_t MAX_PIECE = 256 * 1024; // the most one chunk carries

} // namespace

bool ExportPipe::Push(const uint8_t* bytes, size_t size)
{
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return queued_ < capacity_ || cancelled_; });
    if (cancelled_)
        return false;
    pieces_.emplace_back(reinterpret_cast<const char*>(bytes), size);
    queued_ += size;
    Deliver();
    return true;
}

void ExportPipe::End(bool whole, const std::string& why)
{
    const std::lock_guard lock(mutex_);
    ended_ = true;
    whole_ = whole;
    why_ = why;
    Deliver();
}

bool ExportPipe::Cancelled() const
{
    const std::lock_guard lock(mutex_);
    return cancelled_;
}

void ExportPipe::Next(boost::asio::any_io_executor executor, Ready ready)
{
    const std::lock_guard lock(mutex_);
    ready_ = std::move(ready);
    readyExecutor_ = std::move(executor);
    Deliver();
}

void ExportPipe::Cancel()
{
    const std::lock_guard lock(mutex_);
    cancelled_ = true;
    room_.notify_all();
    Deliver();
}

void ExportPipe::Deliver()
{
    if (!ready_)
        return;
    Piece piece = Piece::Data;
    std::string bytes;
    if (!pieces_.empty()) {
        bytes = std::move(pieces_.front());
        pieces_.pop_front();
        while (!pieces_.empty() && bytes.size() + pieces_.front().size() <= MAX_PIECE) {
            bytes += pieces_.front();
            pieces_.pop_front();
        }
        queued_ -= bytes.size();
        room_.notify_all();
    } else if (cancelled_ || (ended_ && !whole_)) {
        piece = Piece::Failed;
        bytes = cancelled_ ? "the export was stopped" : why_;
    } else if (ended_) {
        piece = Piece::End;
    } else {
        return; // more to come
    }
    boost::asio::post(readyExecutor_, [ready = std::move(ready_), piece, bytes = std::move(bytes)]() mutable {
        ready(piece, std::move(bytes));
    });
    ready_ = nullptr;
}

std::shared_ptr<ExportPipe> Exporter::Start(ExportJob job)
{
    const std::lock_guard lock(mutex_);
    Reap();
    if (stopped_ || running_.size() >= maxExports_)
        return nullptr;
    auto pipe = std::make_shared<ExportPipe>();
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([pipe, done, job = std::move(job)] {
        RunExport(job, *pipe);
        *done = true;
    });
    running_.push_back({pipe, done, std::move(thread)});
    return pipe;
}

void Exporter::Reap()
{
    for (auto it = running_.begin(); it != running_.end();) {
        if (*it->done) {
            it->thread.join();
            it = running_.erase(it);
        } else {
            ++it;
        }
    }
}

void Exporter::Stop()
{
    std::list<Running> stopping;
    {
        const std::lock_guard lock(mutex_);
        stopped_ = true;
        stopping.swap(running_);
    }
    for (Running& running : stopping) {
        running.pipe->Cancel();
        running.thread.join();
    }
}

} // namespace webview
