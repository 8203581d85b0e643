#include "events/reference_blocks.h"

#include <algorithm>
#include <bit>
#include <locale>
#include <map>
#include <new>
#include <sstream>

#include "log/core_log.h"

namespace dvr {
namespace {

// Slots enough in each shard for the blocks of a busy minute, so the table does not rehash while
// frames flow (a shard grows when half full).
constexpr size_t INITIAL_SLOTS = 256;

} // namespace

ReferenceBlockTable::ReferenceBlockTable(PluginEntryPoint logCallback)
    : logCallback_(logCallback)
{
    for (Shard& shard : shards_) {
        shard.blocks.SetMinimumSlots(INITIAL_SLOTS);
        shard.blocks.Rehash(INITIAL_SLOTS);
    }
}

ReferenceBlockTable::~ReferenceBlockTable()
{
    std::string report = LeakReport();
    if (!report.empty())
        CoreLog(CORE_PROVIDER_ID, logCallback_, 0, "%s", report.c_str());
}

bool ReferenceBlockTable::AddHolderLocked(Shard& shard, void* block, uint32_t length, uint32_t holder)
{
    if (block == nullptr)
        return true;
    try {
        auto [entry, created] = shard.blocks.FindOrAdd(block); // unchanged when it throws
        if (created) {
            entry->length = length;
            entry->holders.push_back(holder); // inline: cannot fail
            blockCount_.fetch_add(1, std::memory_order_relaxed);
            byteTotal_.fetch_add(length, std::memory_order_relaxed);
            return true;
        }
        HolderSet& holders = entry->holders;
        if (std::find(holders.begin(), holders.end(), holder) == holders.end())
            holders.push_back(holder); // past three holders it grows; unchanged on failure
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void ReferenceBlockTable::ShrinkLocked(Shard& shard)
{
    const size_t slots = shard.blocks.Slots();
    if (slots <= 2 * INITIAL_SLOTS || shard.blocks.Size() >= slots / 8)
        return;
    try {
        // Four times the blocks left: the shard grows again only after doubling, and shrinks again
        // only after losing half of them.
        shard.blocks.Rehash(std::max(INITIAL_SLOTS, std::bit_ceil(4 * shard.blocks.Size())));
    } catch (const std::bad_alloc&) {
        // keeps the larger array; the next release tries again
    }
}

void ReferenceBlockTable::RemoveFrom(HolderSet& holders, uint32_t holder)
{
    auto position = std::find(holders.begin(), holders.end(), holder);
    if (position != holders.end())
        holders.erase(position);
}

bool ReferenceBlockTable::PassHolder(void* block, uint32_t length, std::optional<uint32_t> leaving, uint32_t coming)
{
    if (block == nullptr)
        return true;
    Shard& shard = ShardOf(block);
    std::lock_guard lock(shard.mutex);
    if (leaving) {
        Block* entry = shard.blocks.Find(block);
        if (entry != nullptr && entry->holders.size() > 1)
            RemoveFrom(entry->holders, *leaving); // never its last holder: that is the core
    }
    return AddHolderLocked(shard, block, length, coming);
}

bool ReferenceBlockTable::RemoveHolder(void* block, uint32_t holder, std::optional<uint32_t> alsoHolder,
                                       uint32_t* length)
{
    if (block == nullptr)
        return true;
    Shard& shard = ShardOf(block);
    std::lock_guard lock(shard.mutex);
    Block* entry = shard.blocks.Find(block);
    if (entry == nullptr)
        return false;
    HolderSet& holders = entry->holders;
    if (alsoHolder)
        RemoveFrom(holders, *alsoHolder);
    RemoveFrom(holders, holder);
    if (!holders.empty())
        return false;
    if (length != nullptr)
        *length = entry->length;
    blockCount_.fetch_sub(1, std::memory_order_relaxed);
    byteTotal_.fetch_sub(entry->length, std::memory_order_relaxed);
    shard.blocks.Remove(block);
    ShrinkLocked(shard);
    return true;
}

bool ReferenceBlockTable::Holds(void* block) const
{
    const Shard& shard = ShardOf(block);
    std::lock_guard lock(shard.mutex);
    return shard.blocks.Find(block) != nullptr;
}

size_t ReferenceBlockTable::BucketCount() const
{
    size_t buckets = 0;
    for (const Shard& shard : shards_) {
        std::lock_guard lock(shard.mutex);
        buckets += shard.blocks.Slots();
    }
    return buckets;
}

bool ReferenceBlockTable::Release(void* block, uint32_t holder)
{
    return Release(block, holder, [](void*) {});
}

std::vector<HolderCount> ReferenceBlockTable::HolderCounts() const
{
    std::map<uint32_t, uint32_t> counts;
    for (const Shard& shard : shards_) {
        std::lock_guard lock(shard.mutex);
        shard.blocks.ForEach([&counts](void*, const Block& entry) {
            for (uint32_t holder : entry.holders)
                ++counts[holder];
        });
    }
    std::vector<HolderCount> result;
    result.reserve(counts.size());
    for (const auto& [holder, count] : counts)
        result.push_back({holder, count});
    return result;
}

std::string ReferenceBlockTable::LeakReport() const
{
    std::ostringstream text;
    text.imbue(std::locale::classic());
    for (const Shard& shard : shards_) {
        std::lock_guard lock(shard.mutex);
        shard.blocks.ForEach([&text](void* address, const Block& entry) {
            text << "address " << static_cast<const void*>(address) << " leaked by plugins [" << std::hex;
            const char* separator = "";
            for (uint32_t holder : entry.holders) {
                text << separator << holder;
                separator = ",";
            }
            text << std::dec << "]\n";
        });
    }
    return text.str();
}

} // namespace dvr
