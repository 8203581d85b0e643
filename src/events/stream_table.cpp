#include "events/stream_table.h"

namespace dvr {

void StreamTable::CloseStream(uint32_t streamID)
{
    std::lock_guard lock(mutex_);
    closedStreams_.insert(streamID);
}

void StreamTable::ReopenStream(uint32_t streamID)
{
    std::lock_guard lock(mutex_);
    closedStreams_.erase(streamID);
}

bool StreamTable::IsClosed(uint32_t streamID) const
{
    std::lock_guard lock(mutex_);
    return closedStreams_.contains(streamID);
}

void StreamTable::RegisterReader()
{
    std::lock_guard lock(mutex_);
    auto& context = readers_[std::this_thread::get_id()];
    if (!context)
        context = std::make_shared<ReaderContext>();
}

void StreamTable::UnregisterReader()
{
    std::lock_guard lock(mutex_);
    readers_.erase(std::this_thread::get_id());
}

std::shared_ptr<ReaderContext> StreamTable::AdmitStreamEvent(uint32_t streamID) const
{
    std::lock_guard lock(mutex_);
    if (closedStreams_.contains(streamID))
        return nullptr;
    auto reader = readers_.find(std::this_thread::get_id());
    return reader == readers_.end() ? nullptr : reader->second;
}

void StreamTable::WaitAndSetPending(ReaderContext& context, void* block)
{
    std::unique_lock lock(context.mutex);
    context.released.wait(lock, [&] { return context.pendingBlock == nullptr; });
    context.pendingBlock = block;
}

void StreamTable::BlockReleased(void* block)
{
    if (block == nullptr)
        return;
    std::lock_guard lock(mutex_);
    for (auto& [thread, context] : readers_) {
        std::lock_guard contextLock(context->mutex);
        if (context->pendingBlock == block) {
            context->pendingBlock = nullptr;
            context->released.notify_one();
        }
    }
}

} // namespace dvr
