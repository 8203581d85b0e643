#include "events/block_pool.h"

#include <bit>
#include <cstdlib>
#include <new>

#include "events/event_memory.h"

namespace dvr {

BlockPool::~BlockPool()
{
    Clear();
}

size_t BlockPool::ClassSize(size_t length)
{
    if (length <= 64)
        return 64;
    // For length in (2^(b-1), 2^b] the step is 2^(b-4): eight classes per doubling.
    size_t step = size_t{1} << (std::bit_width(length - 1) - 4);
    return (length + step - 1) & ~(step - 1);
}

void* BlockPool::Allocate(size_t length)
{
    if (length > CACHE_LIMIT)
        return EventMemoryAllocate(length); // never kept, so never rounded up
    const size_t size = ClassSize(length);
    {
        std::lock_guard lock(mutex_);
        auto entry = free_.find(size);
        if (entry != free_.end() && !entry->second.empty()) {
            void* block = entry->second.back();
            entry->second.pop_back();
            cachedBytes_ -= size;
            return block;
        }
    }
    return EventMemoryAllocate(size);
}

void BlockPool::Release(void* block, size_t length)
{
    if (block == nullptr)
        return;
    if (length <= CACHE_LIMIT) {
        const size_t size = ClassSize(length); // what Allocate gave for this length
        std::lock_guard lock(mutex_);
        if (cachedBytes_ + size <= CACHE_LIMIT) {
            try {
                free_[size].push_back(block);
                cachedBytes_ += size;
                return;
            } catch (const std::bad_alloc&) {
                // no room to keep it: it is freed like any block the cache cannot take
            }
        }
    }
    free(block);
}

void BlockPool::Clear()
{
    std::unordered_map<size_t, std::vector<void*>> kept;
    {
        std::lock_guard lock(mutex_);
        kept.swap(free_);
        cachedBytes_ = 0;
    }
    for (auto& [size, blocks] : kept)
        for (void* block : blocks)
            free(block);
}

size_t BlockPool::CachedBytes() const
{
    std::lock_guard lock(mutex_);
    return cachedBytes_;
}

} // namespace dvr
