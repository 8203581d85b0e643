#pragma once

#include <cstddef>
#include <memory>

#include <dvrcore/plugin_api.h>

namespace dvr {

// A first-in first-out ring of event records that grows by doubling and never shrinks, so a queue
// in steady flow allocates nothing per event. Not synchronised: its owner guards it.
class EventRing {
public:
    EventRing() = default;
    EventRing(const EventRing&) = delete;
    EventRing& operator=(const EventRing&) = delete;

    bool Empty() const { return count_ == 0; }
    size_t Size() const { return count_; }

    void PushBack(const _EventParmsIn& event)
    {
        if (count_ == capacity_)
            Grow();
        slots_[(head_ + count_) & (capacity_ - 1)] = event;
        ++count_;
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

    // Calls visit on every record, front first.
    template <typename Visit>
    void ForEach(Visit&& visit) const
    {
        for (size_t i = 0; i < count_; ++i)
            visit(slots_[(head_ + i) & (capacity_ - 1)]);
    }

private:
    static constexpr size_t INITIAL_CAPACITY = 256;

    void Grow()
    {
        size_t capacity = capacity_ == 0 ? INITIAL_CAPACITY : capacity_ * 2;
        auto slots = std::make_unique_for_overwrite<_EventParmsIn[]>(capacity);
        for (size_t i = 0; i < count_; ++i)
            slots[i] = slots_[(head_ + i) & (capacity_ - 1)];
        slots_ = std::move(slots);
        capacity_ = capacity;
        head_ = 0;
    }

    std::unique_ptr<_EventParmsIn[]> slots_; // capacity_ records, a power of two
    size_t capacity_ = 0;
    size_t head_ = 0;  // index of the front record
    size_t count_ = 0; // records from head_ on, wrapping
};

} // namespace dvr
