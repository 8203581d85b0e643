#include "events/block_pool.h"

#include <malloc.h>

#include <bit>
#include <cstdlib>

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
        return malloc(length); // never kept, so never rounded up
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
    return malloc(size);
}

void BlockPool::Release(void* block)
{
    if (block == nullptr)
        return;
    // The class the block was allocated for: the largest class size the block can hold (the
    // allocator may round a block up, never down).
    const size_t usable = malloc_usable_size(block);
    if (usable > CACHE_LIMIT) {
        free(block);
        return;
    }
    size_t size = ClassSize(usable);
    if (size > usable)
        size = ClassSize(size - (size_t{1} << (std::bit_width(size - 1) - 4)));
    if (size <= usable) {
        std::lock_guard lock(mutex_);
        if (cachedBytes_ + size <= CACHE_LIMIT) {
            free_[size].push_back(block);
            cachedBytes_ += size;
            return;
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
