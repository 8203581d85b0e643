#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>

#include "events/event_memory.h"

namespace dvr::test {

// While it lives, every allocation of the event path of at least fromLength bytes fails, on every
// thread. One at a time.
class EventMemoryFailure {
public:
    explicit EventMemoryFailure(size_t fromLength = 0)
    {
        threshold_.store(fromLength);
        previous_ = SetEventMemoryAllocator(&Allocate);
    }
    ~EventMemoryFailure() { SetEventMemoryAllocator(previous_); }
    EventMemoryFailure(const EventMemoryFailure&) = delete;
    EventMemoryFailure& operator=(const EventMemoryFailure&) = delete;

private:
    static void* Allocate(size_t length) { return length >= threshold_.load() ? nullptr : std::malloc(length); }

    static inline std::atomic<size_t> threshold_{0};
    EventMemoryAllocator previous_;
};

} // namespace dvr::test
