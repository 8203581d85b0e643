#include "events/stream_table.h"

namespace dvr {

void StreamTable::CloseStream(uint32_t streamID)
{
    std::lock_guard lock(mutex_);
    closedStreams_.insert(streamID);
    for (auto& [thread, context] : readers_) {
        std::lock_guard contextLock(context->mutex);
        if (context->streamID == streamID) {
            context->woken = true;
            context->released.notify_one();
        }
    }
}

void StreamTable::Stop()
{
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (auto& [thread, context] : readers_) {
        std::lock_guard contextLock(context->mutex);
        context->woken = true;
        context->released.notify_one();
    }
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

std::shared_ptr<ReaderContext> StreamTable::AdmitStreamEvent(uint32_t streamID)
{
    std::lock_guard lock(mutex_);
    if (stopping_ || closedStreams_.contains(streamID))
        return nullptr;
    auto reader = readers_.find(std::this_thread::get_id());
    if (reader == readers_.end())
        return nullptr;
    // Under the stream lock, so a close or stop after this point finds the context and wakes it.
    std::lock_guard contextLock(reader->second->mutex);
    reader->second->streamID = streamID;
    reader->second->woken = false;
    return reader->second;
}

bool StreamTable::WaitAndSetPending(ReaderContext& context, void* block)
{
    std::unique_lock lock(context.mutex);
    context.released.wait(lock, [&] { return context.pendingBlock == nullptr || context.woken; });
    if (context.woken)
        return false;
    context.pendingBlock = block;
    return true;
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
