#include "events/event_memory.h"

#include <cstdlib>

namespace dvr {
namespace {

std::atomic<EventMemoryAllocator> allocator{nullptr}; // null: malloc

} // namespace

void* EventMemoryAllocate(size_t length)
{
    EventMemoryAllocator replaced = allocator.load(std::memory_order_relaxed);
    return replaced != nullptr ? replaced(length) : std::malloc(length);
}

EventMemoryAllocator SetEventMemoryAllocator(EventMemoryAllocator replacement)
{
    return allocator.exchange(replacement);
}

bool NoMemoryNotice::Failed(std::chrono::steady_clock::time_point now, uint32_t* failures)
{
    failures_.fetch_add(1, std::memory_order_relaxed);
    const int64_t nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
    const int64_t period = std::chrono::duration_cast<std::chrono::nanoseconds>(NO_MEMORY_LOG_PERIOD).count();
    int64_t last = lastLine_.load(std::memory_order_relaxed);
    if (last != NEVER_LOGGED && nanoseconds - last < period)
        return false;
    // One of the threads that fail at the same moment writes the line.
    if (!lastLine_.compare_exchange_strong(last, nanoseconds, std::memory_order_relaxed))
        return false;
    *failures = failures_.exchange(0, std::memory_order_relaxed);
    return true;
}

} // namespace dvr
