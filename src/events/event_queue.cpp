#include "events/event_queue.h"

#include <cstdlib>

namespace dvr {

EventQueue::~EventQueue()
{
    events_.ForEach([](const _EventParmsIn& event) { free(event.data); });
}

EventQueue::PushResult EventQueue::Push(const _EventParmsIn& event)
{
    bool wake;
    {
        std::lock_guard lock(queueMutex);
        if (sealed_ || (StopRequested() && !QueuedAfterStop(event)))
            return PushResult::Stopped;
        if (!events_.PushBack(event))
            return PushResult::NoMemory;
        queuedBytes_.store(queuedBytes_.load(std::memory_order_relaxed) + event.len, std::memory_order_relaxed);
        wake = workerWaiting_;
    }
    // A worker that is not waiting takes this event with the rest when it comes back; the start-up
    // wait shares the condition but is not woken by events.
    if (wake)
        queueCondition.notify_one();
    return PushResult::Queued;
}

bool EventQueue::TakeAll(EventRing& batch)
{
    // The batch's storage becomes the queue's below: a backlog's storage is given back here,
    // outside the lock, whichever of the two rings it grew in.
    batch.TrimEmpty(lastFill_);
    std::unique_lock lock(queueMutex);
    workerWaiting_ = true;
    queueCondition.wait(lock, [this] { return StopRequested() || !events_.Empty(); });
    workerWaiting_ = false;
    if (events_.Empty()) {
        sealed_ = true; // stop requested and everything delivered: nothing may wait here unseen
        return false;
    }
    events_.Swap(batch);
    lastFill_ = batch.Size();
    queuedBytes_.store(0, std::memory_order_relaxed);
    return true;
}

void EventQueue::TakeQueued(EventRing& batch)
{
    std::lock_guard lock(queueMutex);
    events_.Swap(batch);
    queuedBytes_.store(0, std::memory_order_relaxed);
}

void EventQueue::Seal()
{
    std::lock_guard lock(queueMutex);
    sealed_ = true;
}

size_t EventQueue::Capacity()
{
    std::lock_guard lock(queueMutex);
    return events_.Capacity();
}

size_t EventQueue::Size()
{
    std::lock_guard lock(queueMutex);
    return events_.Size();
}

void EventQueue::RequestStop()
{
    {
        std::lock_guard lock(queueMutex);
        stopRequested_.store(true, std::memory_order_release);
    }
    queueCondition.notify_one();
}

} // namespace dvr
