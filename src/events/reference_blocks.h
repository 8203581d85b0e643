#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <boost/container/small_vector.hpp>

#include <dvrcore/plugin_api.h>

#include "events/block_map.h"
#include "events/event_memory.h"

namespace dvr {

// How many blocks one holder keeps, for the status report's ranking.
struct HolderCount {
    uint32_t holder;
    uint32_t count;
};

// Who still holds each data block the core copied for a queued event, and freeing the block
// when the last holder lets go. Holders are provider IDs, CORE_PROVIDER_ID for the core.
// Its entries come from EventMemoryAllocate: a hold that cannot be recorded for lack of memory is
// refused (the add answers false, the table unchanged), and the table gives its bucket array back
// as a backlog of blocks drains. Every operation may be called from any thread. The blocks are
// spread over shards by address, each with its own lock: every camera's reader and writer threads
// add and release blocks at once, and one lock for all of them kept them waiting for one another.
class ReferenceBlockTable {
public:
    // logCallback receives the leak report when the table is destroyed; null: no report.
    explicit ReferenceBlockTable(PluginEntryPoint logCallback);
    // Logs the leak report at level 0 when blocks are left; their buffers are not freed.
    ~ReferenceBlockTable();

    ReferenceBlockTable(const ReferenceBlockTable&) = delete;
    ReferenceBlockTable& operator=(const ReferenceBlockTable&) = delete;

    // Adds holder to block, registering the block with length when it is new (a known block keeps
    // its first length). A null block is ignored. False when there was no memory for the hold.
    bool AddHolder(void* block, uint32_t length, uint32_t holder)
    {
        if (block == nullptr)
            return true;
        Shard& shard = ShardOf(block);
        std::lock_guard lock(shard.mutex);
        return AddHolderLocked(shard, block, length, holder);
    }

    // AddHolder for every block that visit hands to its argument add(block, length), which answers
    // as AddHolder does: the queue worker registers a whole batch of events at once. blocks: how many
    // visit hands over; SHARDS or more are registered under every shard's lock, each taken once.
    template <typename Visit>
    void AddHolderEach(uint32_t holder, size_t blocks, Visit&& visit)
    {
        if (blocks < SHARDS) {
            visit([this, holder](void* block, uint32_t length) { return AddHolder(block, length, holder); });
            return;
        }
        struct EveryShard { // holds every shard's lock for its lifetime
            Shard* shards;
            explicit EveryShard(Shard* all)
                : shards(all)
            {
                for (size_t i = 0; i < SHARDS; ++i)
                    shards[i].mutex.lock();
            }
            ~EveryShard()
            {
                for (size_t i = SHARDS; i-- > 0;)
                    shards[i].mutex.unlock();
            }
        } locked(shards_);
        visit([this, holder](void* block, uint32_t length) {
            return block == nullptr || AddHolderLocked(ShardOf(block), block, length, holder);
        });
    }

    // Removes leaving (when given) and adds coming, under one lock. For a block the core holds,
    // which therefore stays in the table: delivery passes a block from one plugin to the next.
    // False when there was no memory for coming's hold; leaving's is gone all the same.
    bool PassHolder(void* block, uint32_t length, std::optional<uint32_t> leaving, uint32_t coming);

    // Removes alsoHolder (when given) and then holder from block; answers whether the block is
    // gone, i.e. it left the table now (its last holder went) or it is null. A non-null block the
    // table does not hold is not gone: it is not the table's to free, so a second release cannot
    // turn into a double free. The length the block was registered with goes to *length when it
    // is gone.
    bool RemoveHolder(void* block, uint32_t holder, std::optional<uint32_t> alsoHolder = std::nullopt,
                      uint32_t* length = nullptr);

    // RemoveHolder, then, when a non-null block is gone, beforeFree(block) followed by
    // freeBlock(block, length) (std::free unless given). Answers whether the block was freed.
    // beforeFree runs without the table lock while the address is still allocated, so readers
    // waiting for it can be woken before the same address can be handed out again for a
    // different block.
    template <typename BeforeFree, typename FreeBlock = void (*)(void*, uint32_t)>
    bool Release(void* block, uint32_t holder, BeforeFree&& beforeFree, FreeBlock&& freeBlock = FreeWithStdFree,
                 std::optional<uint32_t> alsoHolder = std::nullopt)
    {
        uint32_t length = 0;
        if (!RemoveHolder(block, holder, alsoHolder, &length) || block == nullptr)
            return false;
        beforeFree(block);
        freeBlock(block, length);
        return true;
    }

    // Release without a step before the free.
    bool Release(void* block, uint32_t holder);

    // Per holder, the number of blocks it holds, in ascending holder order. Takes each shard's lock.
    std::vector<HolderCount> HolderCounts() const;

    // Blocks in the table and the sum of their lengths. Lock-free; read together they may show
    // a momentary pair.
    uint32_t BlockCount() const { return blockCount_.load(std::memory_order_relaxed); }
    uint32_t ByteTotal() const { return byteTotal_.load(std::memory_order_relaxed); }

    // Whether block is in the table. Takes its shard's lock.
    bool Holds(void* block) const;
    // Slots of the shards' hash maps now, summed. Takes each shard's lock.
    size_t BucketCount() const;

    // One line "address 0x... leaked by plugins [id,id]\n" per block still in the table, holder IDs
    // in lower-case hexadecimal in the order they took the block; empty when no block is left.
    std::string LeakReport() const;

private:
    static void FreeWithStdFree(void* block, uint32_t /*length*/) { std::free(block); }

    // The holders of a block: nearly always one to three, kept inline in the order they came.
    using HolderSet = boost::container::small_vector<uint32_t, 3, EventAllocator<uint32_t>>;

    // Moved within a shard's array: a move takes three inline holders into inline room, or takes
    // over the buffer of more, and so never allocates.
    struct Block {         // NOLINT(bugprone-exception-escape)
        uint32_t length;   // the length the block was registered with
        HolderSet holders; // never empty while the block is in the table
    };

    static void RemoveFrom(HolderSet& holders, uint32_t holder);

    static constexpr unsigned SHARD_BITS = 4;
    static constexpr size_t SHARDS = size_t{1} << SHARD_BITS;
    struct Shard {
        mutable std::mutex mutex; // guards blocks
        BlockMap<Block> blocks{SHARD_BITS};
    };

    Shard& ShardOf(void* block) const { return shards_[BlockMap<Block>::Mix(block) >> (64 - SHARD_BITS)]; }
    bool AddHolderLocked(Shard& shard, void* block, uint32_t length, uint32_t holder);
    // Rehashes a shard into fewer slots once its blocks fill less than an eighth of them.
    static void ShrinkLocked(Shard& shard);

    PluginEntryPoint logCallback_;        // where the leak report goes; set at construction only
    mutable Shard shards_[SHARDS];        // each guarded by its own mutex
    std::atomic<uint32_t> blockCount_{0}; // changed under a shard's lock, read without one
    std::atomic<uint32_t> byteTotal_{0};  // changed under a shard's lock, read without one
};

} // namespace dvr
