#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <utility>

#include <dvrcore/plugin_api.h>

#include "events/event_memory.h"

namespace dvr {

// A first-in first-out ring of event records that grows by doubling, so a queue in steady flow
// allocates nothing per event, and that halves again, while empty, once its fills stay below a
// quarter of its capacity: a backlog does not keep its peak for the rest of the run. Its storage
// comes from EventMemoryAllocate. Not synchronised: its owner guards it.
class EventRing {
public:
    // The capacity a ring starts with and never shrinks below.
    static constexpr size_t INITIAL_CAPACITY = 256;

    EventRing() = default;
    EventRing(const EventRing&) = delete;
    EventRing& operator=(const EventRing&) = delete;

    bool Empty() const { return count_ == 0; }
    size_t Size() const { return count_; }
    // Records the ring can take before it must grow.
    size_t Capacity() const { return capacity_; }

    // Appends event; false, with the ring unchanged, when it is full and no memory can be had to
    // double it.
    bool PushBack(const _EventParmsIn& event)
    {
        if (count_ == capacity_ && !Grow())
            return false;
        slots_[(head_ + count_) & (capacity_ - 1)] = event;
        ++count_;
        return true;
    }

    // The front record, removed. Not on an empty ring.
    _EventParmsIn PopFront()
    {
        _EventParmsIn event = slots_[head_];
        head_ = (head_ + 1) & (capacity_ - 1);
        --count_;
        return event;
    }

    // Exchanges contents and storage: how the worker takes a whole queue under one short lock.
    void Swap(EventRing& other) noexcept
    {
        slots_.swap(other.slots_);
        std::swap(capacity_, other.capacity_);
        std::swap(head_, other.head_);
        std::swap(count_, other.count_);
    }

    // Halves the storage of an empty ring whose last fill used less than a quarter of it, never
    // below INITIAL_CAPACITY. Called once per fill, a backlog's storage is given back over a few
    // fills, so a burst now and then does not make every fill reallocate.
    void TrimEmpty(size_t lastFill)
    {
        if (count_ != 0 || capacity_ <= INITIAL_CAPACITY || lastFill >= capacity_ / 4)
            return;
        slots_.reset(); // first, so the two never take memory together
        capacity_ /= 2;
        head_ = 0;
        slots_.reset(static_cast<_EventParmsIn*>(EventMemoryAllocate(capacity_ * sizeof(_EventParmsIn))));
        if (!slots_)
            capacity_ = 0; // the next push allocates afresh
    }

    // Calls visit on every record, front first; visit may change the records.
    template <typename Visit>
    void ForEach(Visit&& visit)
    {
        for (size_t i = 0; i < count_; ++i)
            visit(slots_[(head_ + i) & (capacity_ - 1)]);
    }
    template <typename Visit>
    void ForEach(Visit&& visit) const
    {
        for (size_t i = 0; i < count_; ++i)
            visit(static_cast<const _EventParmsIn&>(slots_[(head_ + i) & (capacity_ - 1)]));
    }

private:
    struct FreeSlots {
        void operator()(_EventParmsIn* slots) const { std::free(slots); }
    };

    bool Grow()
    {
        size_t capacity = capacity_ == 0 ? INITIAL_CAPACITY : capacity_ * 2;
        if (capacity > SIZE_MAX / sizeof(_EventParmsIn))
            return false;
        std::unique_ptr<_EventParmsIn[], FreeSlots> slots(
            static_cast<_EventParmsIn*>(EventMemoryAllocate(capacity * sizeof(_EventParmsIn))));
        if (!slots)
            return false;
        for (size_t i = 0; i < count_; ++i)
            slots[i] = slots_[(head_ + i) & (capacity_ - 1)];
        slots_ = std::move(slots);
        capacity_ = capacity;
        head_ = 0;
        return true;
    }

    std::unique_ptr<_EventParmsIn[], FreeSlots> slots_; // capacity_ records, a power of two (or none)
    size_t capacity_ = 0;
    size_t head_ = 0;  // index of the front record
    size_t count_ = 0; // records from head_ on, wrapping
};

} // namespace dvr
