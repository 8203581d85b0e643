#include "events/event_queue.h"

#include <cstdlib>

namespace dvr {

EventQueue::~EventQueue()
{
    for (const _EventParmsIn& event : events_)
        free(event.data);
}

bool EventQueue::Push(const _EventParmsIn& event)
{
    {
        std::lock_guard lock(queueMutex);
        if (StopRequested())
            return false;
        events_.push_back(event);
    }
    queueCondition.notify_one();
    return true;
}

bool EventQueue::Pop(_EventParmsIn& event, size_t& remaining)
{
    std::unique_lock lock(queueMutex);
    queueCondition.wait(lock, [this] { return StopRequested() || !events_.empty(); });
    if (events_.empty())
        return false; // stop requested and everything delivered
    event = events_.front();
    events_.pop_front();
    remaining = events_.size();
    return true;
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
