#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "events/event_memory.h"

namespace dvr {

// A hash map from block addresses to Value, its entries kept in one array (open addressing with
// linear probing, removal by shifting the entries after back): adding and finding a block costs no
// allocation and touches one place in memory, where a map of nodes allocated each block's entry
// and freed it on another thread. The array comes from EventMemoryAllocate; it grows when half
// full, throwing std::bad_alloc (the map unchanged) when there is no memory for that. Not
// thread-safe: the owner locks.
template <typename Value>
class BlockMap {
public:
    // skipBits: the top bits of Mix that chose this map among others; its slots use the bits below.
    explicit BlockMap(unsigned skipBits)
        : skipBits_(skipBits)
    {
    }

    // The value of block, or null.
    Value* Find(void* block)
    {
        const size_t at = IndexOf(block);
        return at == NONE ? nullptr : &slots_[at].value;
    }
    const Value* Find(void* block) const { return const_cast<BlockMap*>(this)->Find(block); }

    // The value of block, and whether it was added now (value-initialised). Throws std::bad_alloc,
    // the map unchanged, when the array must grow and cannot.
    std::pair<Value*, bool> FindOrAdd(void* block)
    {
        if (Value* found = Find(block))
            return {found, false};
        if (2 * (size_ + 1) > slots_.size())
            Rehash(slots_.empty() ? minimumSlots_ : 2 * slots_.size());
        size_t at = Home(block);
        while (slots_[at].block != nullptr)
            at = (at + 1) & Mask();
        slots_[at].block = block;
        slots_[at].value = Value();
        ++size_;
        return {&slots_[at].value, true};
    }

    // Removes block when it is in the map.
    void Remove(void* block)
    {
        size_t hole = IndexOf(block);
        if (hole == NONE)
            return;
        for (size_t next = (hole + 1) & Mask(); slots_[next].block != nullptr; next = (next + 1) & Mask()) {
            // An entry moves into the hole when its home is not between the hole and it (cyclically):
            // probing from its home would otherwise stop at the hole.
            const size_t home = Home(slots_[next].block);
            if (((next - home) & Mask()) >= ((next - hole) & Mask())) {
                slots_[hole].block = slots_[next].block;
                slots_[hole].value = std::move(slots_[next].value);
                hole = next;
            }
        }
        slots_[hole].block = nullptr;
        slots_[hole].value = Value();
        --size_;
    }

    size_t Size() const { return size_; }
    size_t Slots() const { return slots_.size(); }

    // The least number of slots the array is made with, a power of two.
    void SetMinimumSlots(size_t slots) { minimumSlots_ = slots; }

    // Moves the entries into an array of slots (a power of two, more than twice the entries).
    // Throws std::bad_alloc, the map unchanged, without memory for it.
    void Rehash(size_t slots)
    {
        std::vector<Slot, EventAllocator<Slot>> old(slots);
        old.swap(slots_);
        for (Slot& slot : old) {
            if (slot.block == nullptr)
                continue;
            size_t at = Home(slot.block);
            while (slots_[at].block != nullptr)
                at = (at + 1) & Mask();
            slots_[at].block = slot.block;
            slots_[at].value = std::move(slot.value);
        }
    }

    template <typename Visit>
    void ForEach(Visit&& visit) const
    {
        for (const Slot& slot : slots_) {
            if (slot.block != nullptr)
                visit(slot.block, slot.value);
        }
    }

    // Fibonacci hashing: the top bits of the product depend on every bit of the address.
    static uint64_t Mix(void* block)
    {
        return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(block)) * 0x9E3779B97F4A7C15ull;
    }

private:
    struct Slot {
        void* block = nullptr; // null: empty
        Value value{};
    };

    static constexpr size_t NONE = SIZE_MAX;

    size_t IndexOf(void* block) const
    {
        if (slots_.empty())
            return NONE;
        for (size_t at = Home(block);; at = (at + 1) & Mask()) {
            if (slots_[at].block == block)
                return at;
            if (slots_[at].block == nullptr)
                return NONE;
        }
    }
    size_t Mask() const { return slots_.size() - 1; }
    size_t Home(void* block) const
    {
        const unsigned bits = static_cast<unsigned>(__builtin_ctzll(slots_.size()));
        return static_cast<size_t>((Mix(block) << skipBits_) >> (64 - bits));
    }

    const unsigned skipBits_;                       // the top bits of Mix, which chose this map among others
    size_t minimumSlots_ = 64;                      // a power of two
    size_t size_ = 0;                               // entries
    std::vector<Slot, EventAllocator<Slot>> slots_; // empty, or a power of two of them
};

} // namespace dvr
