#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace dvr {

// Where the event path's memory comes from: data copies, the queue's rings, and the entries of
// the reference block and media gate tables. A block it gives is an ordinary malloc block, so
// free() disposes of it. Tests replace the allocator to make allocations fail; the event path
// answers such a failure with the no-memory result or by dropping the event, never with an
// exception out of PluginEvent. Any thread.
using EventMemoryAllocator = void* (*)(size_t length);

// A block of length bytes, or null when memory is exhausted.
void* EventMemoryAllocate(size_t length);
// Replaces the allocator (null: malloc again) and answers the one before. Tests only.
EventMemoryAllocator SetEventMemoryAllocator(EventMemoryAllocator replacement);

// A standard allocator over EventMemoryAllocate for the tables of the event path. It throws
// std::bad_alloc, which the table's owner catches around the insertion that may allocate.
template <typename T>
struct EventAllocator {
    using value_type = T;

    EventAllocator() = default;
    template <typename U>
    EventAllocator(const EventAllocator<U>&) noexcept
    {
    }

    T* allocate(size_t count)
    {
        // The size of the value type, which for a table of pointers is a pointer's.
        constexpr size_t VALUE_SIZE = sizeof(value_type); // NOLINT(bugprone-sizeof-expression)
        if (count > SIZE_MAX / VALUE_SIZE)
            throw std::bad_alloc();
        void* block = EventMemoryAllocate(count * VALUE_SIZE);
        if (block == nullptr)
            throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, size_t) noexcept { std::free(block); }

    template <typename U>
    bool operator==(const EventAllocator<U>&) const noexcept
    {
        return true;
    }
};

// How often the event path writes its "no memory" line while allocations keep failing.
constexpr auto NO_MEMORY_LOG_PERIOD = std::chrono::seconds(60);

// Counts the events refused or dropped for lack of memory and decides when that is logged: the
// first failure at once, then at most one line per NO_MEMORY_LOG_PERIOD with the number refused
// since the line before, so a flood of failures does not flood the log. Any thread, lock-free;
// nothing is done on the path of an event that got its memory.
class NoMemoryNotice {
public:
    // Counts one failure at now; answers true, with the failures since the last line (this one
    // included) in *failures, when the caller logs a line for it.
    bool Failed(std::chrono::steady_clock::time_point now, uint32_t* failures);

private:
    std::atomic<uint32_t> failures_{0};           // since the last line
    std::atomic<int64_t> lastLine_{NEVER_LOGGED}; // steady clock in nanoseconds
    static constexpr int64_t NEVER_LOGGED = INT64_MIN;
};

} // namespace dvr
