#include "events/reference_blocks.h"

#include <atomic>
#include <cstdlib>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "events/log_capture.h"
#include "support/bounded_wait.h"
#include "support/event_memory_failure.h"

namespace dvr {
namespace {

constexpr uint32_t PLUGIN_A = 0x60000;
constexpr uint32_t PLUGIN_B = 0x2a0000;

std::string PointerText(const void* block)
{
    std::ostringstream text;
    text << block;
    return text.str();
}

TEST(ReferenceBlocks, HoldsPassedAlongInOneStepEndWithTheCoresAndTheLength)
{
    // Delivery's grouped steps: the core registers a batch, each plugin's hold begins as the one
    // before it that gave the block back ends, and the last goes with the core's own.
    ReferenceBlockTable table(nullptr);
    void* first = std::malloc(300);
    void* second = std::malloc(700);
    table.AddHolderEach(CORE_PROVIDER_ID, 3, [&](auto&& add) {
        add(first, 300);
        add(nullptr, 0); // an event without data
        add(second, 700);
    });
    EXPECT_EQ(table.BlockCount(), 2u);
    EXPECT_EQ(table.ByteTotal(), 1000u);

    table.PassHolder(first, 300, std::nullopt, PLUGIN_A);
    table.PassHolder(first, 300, PLUGIN_A, PLUGIN_B); // A gave it back, B takes it
    EXPECT_NE(table.LeakReport().find("[80000000,2a0000]"), std::string::npos) << table.LeakReport();
    table.PassHolder(nullptr, 0, PLUGIN_A, PLUGIN_B);

    uint32_t length = 0;
    EXPECT_TRUE(table.Release(
        first, CORE_PROVIDER_ID, [](void*) {},
        [&](void* block, uint32_t freedLength) {
            length = freedLength;
            std::free(block);
        },
        PLUGIN_B));
    EXPECT_EQ(length, 300u) << "the pool learns the length the block was copied for";

    table.PassHolder(second, 700, std::nullopt, PLUGIN_A); // A keeps this one
    EXPECT_FALSE(table.RemoveHolder(second, CORE_PROVIDER_ID, PLUGIN_B)) << "B never held it";
    EXPECT_EQ(table.ByteTotal(), 700u);
    EXPECT_TRUE(table.Release(second, PLUGIN_A));
    EXPECT_EQ(table.BlockCount(), 0u);
}

TEST(ReferenceBlocks, BlockKeptByTwoPluginsIsFreedOnlyAfterBothRelease)
{
    ReferenceBlockTable table(nullptr);
    void* block = std::malloc(100);
    table.AddHolder(block, 100, CORE_PROVIDER_ID);
    table.AddHolder(block, 100, PLUGIN_A);
    table.AddHolder(block, 999, PLUGIN_B);
    table.AddHolder(block, 999, PLUGIN_B);
    EXPECT_EQ(table.BlockCount(), 1u);
    EXPECT_EQ(table.ByteTotal(), 100u) << "a known block keeps its first length";

    EXPECT_FALSE(table.Release(block, CORE_PROVIDER_ID));
    EXPECT_FALSE(table.Release(block, PLUGIN_A));
    EXPECT_FALSE(table.Release(block, PLUGIN_A)) << "a holder that already let go changes nothing";
    EXPECT_EQ(table.BlockCount(), 1u);

    void* wokenFor = nullptr;
    EXPECT_TRUE(table.Release(block, PLUGIN_B, [&](void* gone) { wokenFor = gone; }));
    EXPECT_EQ(wokenFor, block);
    EXPECT_EQ(table.BlockCount(), 0u);
    EXPECT_EQ(table.ByteTotal(), 0u);
}

TEST(ReferenceBlocks, ReleaseOfAnAddressTheTableDoesNotHoldFreesNothing)
{
    ReferenceBlockTable table(nullptr);
    void* held = std::malloc(10);
    void* stranger = std::malloc(20);
    table.AddHolder(held, 10, PLUGIN_A);

    bool calledBack = false;
    EXPECT_FALSE(table.Release(stranger, PLUGIN_A, [&](void*) { calledBack = true; }));
    EXPECT_FALSE(table.RemoveHolder(stranger, PLUGIN_A));
    EXPECT_FALSE(calledBack);
    EXPECT_EQ(table.BlockCount(), 1u);
    EXPECT_EQ(table.ByteTotal(), 10u);

    EXPECT_TRUE(table.Release(held, PLUGIN_A));
    EXPECT_FALSE(table.Release(held, PLUGIN_A)) << "a second release must not free again";
    std::free(stranger); // still ours: a wrong free above would make this a double free
}

TEST(ReferenceBlocks, NullAddressIsIgnoredAndCountsAsGone)
{
    ReferenceBlockTable table(nullptr);
    table.AddHolder(nullptr, 50, PLUGIN_A);
    EXPECT_EQ(table.BlockCount(), 0u);
    EXPECT_TRUE(table.RemoveHolder(nullptr, PLUGIN_A));
    EXPECT_FALSE(table.Release(nullptr, PLUGIN_A)) << "nothing to free, no reader to wake";
}

TEST(ReferenceBlocks, LeakReportListsHoldersInTheOrderTheyCame)
{
    test::LogCapture log;
    char one = 0;
    char two = 0;
    std::string first = "address " + PointerText(&one) + " leaked by plugins [2a0000,60000]\n";
    std::string second = "address " + PointerText(&two) + " leaked by plugins [80000000]\n";
    std::string report;
    {
        ReferenceBlockTable empty(log.Callback());
        ReferenceBlockTable table(log.Callback());
        table.AddHolder(&one, 1, PLUGIN_B);
        table.AddHolder(&one, 1, PLUGIN_A);
        EXPECT_EQ(table.LeakReport(), first);
        table.AddHolder(&two, 1, CORE_PROVIDER_ID);
        report = table.LeakReport();
        EXPECT_TRUE(report == first + second || report == second + first) << report;
    }
    ASSERT_EQ(log.Taken().size(), 1u) << "only a table with blocks left logs, and once";
    EXPECT_EQ(log.Taken()[0].providerID, CORE_PROVIDER_ID);
    EXPECT_EQ(log.Taken()[0].level, 0);
    EXPECT_EQ(log.Taken()[0].text, report);
}

TEST(ReferenceBlocks, ConcurrentHoldersLeaveTheTableEmpty)
{
    ReferenceBlockTable table(nullptr);
    constexpr int BLOCKS = 2000;
    std::vector<void*> blocks(BLOCKS);
    for (void*& block : blocks)
        block = std::malloc(8);
    // One batch, as the queue worker registers one: every shard's lock is taken once for it.
    table.AddHolderEach(CORE_PROVIDER_ID, blocks.size(), [&](auto&& add) {
        for (void* block : blocks)
            EXPECT_TRUE(add(block, 8));
    });
    // Both plugins take every block before anyone lets go, as they would during delivery.
    std::atomic<int> taken{0};
    std::atomic<int> freed{0};
    auto everyBlockTaken = [&] { return taken == 2; };
    std::vector<test::TestThread> holders;
    for (uint32_t holder : {PLUGIN_A, PLUGIN_B}) {
        holders.emplace_back([&, holder] {
            for (void* block : blocks)
                table.AddHolder(block, 8, holder);
            ++taken;
            EXPECT_TRUE(test::WaitUntil(everyBlockTaken, "the other holder to take every block"));
            for (void* block : blocks)
                freed += table.Release(block, holder) ? 1 : 0;
        });
    }
    ASSERT_TRUE(test::WaitUntil(everyBlockTaken, "both holders to take every block"));
    // Counted over every shard, the core still holds each block once; the plugins may be letting go.
    uint32_t coreHolds = 0;
    for (const HolderCount& count : table.HolderCounts()) {
        EXPECT_LE(count.count, uint32_t{BLOCKS}) << count.holder;
        coreHolds += count.holder == CORE_PROVIDER_ID ? count.count : 0;
    }
    EXPECT_EQ(coreHolds, uint32_t{BLOCKS});
    for (void* block : blocks)
        freed += table.Release(block, CORE_PROVIDER_ID) ? 1 : 0;
    for (test::TestThread& holder : holders)
        ASSERT_TRUE(holder.Join("a holder to release its blocks"));
    EXPECT_EQ(freed.load(), BLOCKS) << "every block freed exactly once";
    EXPECT_EQ(table.BlockCount(), 0u);
    EXPECT_EQ(table.ByteTotal(), 0u);
}

TEST(ReferenceBlocks, HoldThatCannotBeRecordedIsRefusedAndADrainGivesTheBucketsBack)
{
    ReferenceBlockTable table(nullptr);
    char held;
    ASSERT_TRUE(table.AddHolder(&held, 10, CORE_PROVIDER_ID));
    table.AddHolder(&held, 10, PLUGIN_A);
    table.AddHolder(&held, 10, PLUGIN_B); // three holders fill the inline room
    std::vector<char> fresh(100'000);
    size_t taken = 0; // new blocks are taken while the table has room for them, then refused
    {
        test::EventMemoryFailure noMemory;
        while (taken < fresh.size() && table.AddHolder(&fresh[taken], 20, CORE_PROVIDER_ID))
            ++taken;
        ASSERT_LT(taken, fresh.size()) << "no room for a new block's entry";
        EXPECT_FALSE(table.PassHolder(&held, 10, std::nullopt, 0x70000)) << "no room for a fourth holder";
    }
    EXPECT_FALSE(table.Holds(&fresh[taken]));
    EXPECT_EQ(table.BlockCount(), 1u + taken);
    EXPECT_EQ(table.ByteTotal(), 10u + 20u * taken);
    for (size_t i = 0; i < taken; ++i)
        EXPECT_TRUE(table.RemoveHolder(&fresh[i], CORE_PROVIDER_ID));
    EXPECT_FALSE(table.RemoveHolder(&held, PLUGIN_A));
    EXPECT_FALSE(table.RemoveHolder(&held, PLUGIN_B));
    EXPECT_TRUE(table.RemoveHolder(&held, CORE_PROVIDER_ID)) << "the refused holder never held it";

    // A backlog of blocks grows the bucket array; the drain gives it back.
    const size_t initialBuckets = table.BucketCount();
    std::vector<char> blocks(100'000);
    for (char& block : blocks)
        table.AddHolder(&block, 1, CORE_PROVIDER_ID);
    EXPECT_GE(table.BucketCount(), blocks.size());
    for (char& block : blocks)
        table.RemoveHolder(&block, CORE_PROVIDER_ID);
    EXPECT_LE(table.BucketCount(), 2 * initialBuckets);
}

// Adding and removing at random, the map always finds exactly what a set holds, through growth
// and through the shifts that close the gaps removals leave in runs of colliding entries.
TEST(BlockMap, AlwaysFindsWhatASetHoldsThroughRandomAddsAndRemovals)
{
    BlockMap<uint32_t> map(4);
    map.SetMinimumSlots(64);
    std::set<char*> held;
    std::vector<char> addresses(3000);
    std::mt19937 random(7);
    for (int step = 0; step < 60'000; ++step) {
        char* block = &addresses[random() % addresses.size()];
        if (random() % 3 != 0) {
            *map.FindOrAdd(block).first = static_cast<uint32_t>(block - addresses.data());
            held.insert(block);
        } else {
            map.Remove(block);
            held.erase(block);
        }
        if (step % 1000 == 0) {
            ASSERT_EQ(map.Size(), held.size());
            for (char& address : addresses) {
                const uint32_t* value = map.Find(&address);
                ASSERT_EQ(value != nullptr, held.contains(&address)) << "step " << step;
                if (value != nullptr) {
                    ASSERT_EQ(*value, static_cast<uint32_t>(&address - addresses.data()));
                }
            }
        }
    }
}

} // namespace
} // namespace dvr
