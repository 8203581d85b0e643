#include <gtest/gtest.h>

#include <malloc.h>

#include <cstring>
#include <vector>

#include "events/block_pool.h"

namespace {

using dvr::BlockPool;

TEST(BlockPool, ClassesAreAtMostAnEighthLargerAndNeverSmaller)
{
    size_t previous = 0;
    for (size_t length = 1; length <= (size_t{4} << 20); length += length < 5000 ? 1 : 4093) {
        size_t size = BlockPool::ClassSize(length);
        ASSERT_GE(size, length);
        ASSERT_GE(size, previous) << "classes grow with the length";
        if (length > 64) {
            ASSERT_LE(size - length, length / 8 + 1) << length;
        }
        ASSERT_EQ(BlockPool::ClassSize(size), size) << "a class size is its own class";
        previous = size;
    }
}

TEST(BlockPool, AReleasedBlockServesTheNextCopyOfItsClass)
{
    BlockPool pool;
    void* first = pool.Allocate(4000);
    ASSERT_NE(first, nullptr);
    ASSERT_GE(malloc_usable_size(first), 4000u);
    memset(first, 1, 4000);
    pool.Release(first, 4000);
    EXPECT_EQ(pool.CachedBytes(), BlockPool::ClassSize(4000));
    const size_t sameClass = BlockPool::ClassSize(4000) - 3;
    EXPECT_EQ(pool.Allocate(sameClass), first) << "same class";
    EXPECT_EQ(pool.CachedBytes(), 0u);
    void* other = pool.Allocate(9000);
    EXPECT_NE(other, first);
    pool.Release(other, 9000);
    void* small = pool.Allocate(100);
    EXPECT_NE(small, other) << "a block is only reused for its own class";
    pool.Release(small, 100);
    pool.Release(first, sameClass);
    pool.Release(nullptr, 10);
}

TEST(BlockPool, KeepsNoMoreThanItsLimitAndFreesTheRest)
{
    // Run under the leak sanitizer: blocks beyond the limit, large blocks and what Clear and the
    // destructor drop are all freed.
    BlockPool pool;
    std::vector<void*> blocks;
    const size_t size = BlockPool::ClassSize(1 << 20);
    for (size_t i = 0; i < BlockPool::CACHE_LIMIT / size + 3; ++i)
        blocks.push_back(pool.Allocate(1 << 20));
    for (void* block : blocks)
        pool.Release(block, 1 << 20);
    EXPECT_LE(pool.CachedBytes(), BlockPool::CACHE_LIMIT);
    EXPECT_GT(pool.CachedBytes(), BlockPool::CACHE_LIMIT - size);

    void* large = pool.Allocate(BlockPool::CACHE_LIMIT + 1);
    ASSERT_NE(large, nullptr);
    memset(large, 2, BlockPool::CACHE_LIMIT + 1);
    size_t before = pool.CachedBytes();
    pool.Release(large, BlockPool::CACHE_LIMIT + 1);
    EXPECT_EQ(pool.CachedBytes(), before) << "a block larger than the whole cache is freed at once";

    pool.Clear();
    EXPECT_EQ(pool.CachedBytes(), 0u);
    pool.Release(pool.Allocate(64), 64); // left for the destructor
}

} // namespace
