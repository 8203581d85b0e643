#pragma once

#include <cstddef>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace dvr {

// Where the core's copies of event data come from and go back to. Released blocks are kept, up
// to a fixed total, for the next copies of the same size class: a steady flow of frames then
// reuses resident memory instead of the allocator giving pages back to the system after each
// burst and faulting them in again for the next (which cost more than the copy itself for
// frames of a few KiB). Every block is an ordinary malloc block from EventMemoryAllocate, so free()
// is always a valid way to dispose of one. Any thread.
class BlockPool {
public:
    // Released blocks kept for reuse, at most, in bytes of their size classes.
    static constexpr size_t CACHE_LIMIT = 8u << 20;

    BlockPool() = default;
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;
    ~BlockPool();

    // A block of at least length bytes (length > 0), or null when memory is exhausted.
    void* Allocate(size_t length);
    // Takes back a block that Allocate gave for length: kept for reuse while the cache has room,
    // freed otherwise.
    void Release(void* block, size_t length);
    // Frees every kept block: memory is short.
    void Clear();

    // Bytes kept for reuse. Takes the lock.
    size_t CachedBytes() const;

    // The size class of a length: 64 bytes at least, then eight classes per power of two, so a
    // block is at most an eighth larger than what it holds.
    static size_t ClassSize(size_t length);

private:
    mutable std::mutex mutex_;                            // guards free_ and cachedBytes_
    std::unordered_map<size_t, std::vector<void*>> free_; // by class size; guarded by mutex_
    size_t cachedBytes_ = 0;                              // guarded by mutex_
};

} // namespace dvr
