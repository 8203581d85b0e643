#include "events/reference_blocks.h"

#include <algorithm>
#include <locale>
#include <map>
#include <new>
#include <sstream>

#include "log/core_log.h"

namespace dvr {
namespace {

// Enough buckets in each shard for the blocks of a busy minute, so the table does not rehash while
// frames flow.
constexpr size_t INITIAL_BUCKETS = 256;

} // namespace

ReferenceBlockTable::ReferenceBlockTable(PluginEntryPoint logCallback)
    : logCallback_(logCallback)
{
    for (Shard& shard : shards_)
        shard.blocks.reserve(INITIAL_BUCKETS);
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
        auto [entry, created] = shard.blocks.try_emplace(block); // the strong guarantee: no entry on failure
        if (created) {
            entry->second.length = length;
            entry->second.holders.push_back(holder); // inline: cannot fail
            blockCount_.fetch_add(1, std::memory_order_relaxed);
            byteTotal_.fetch_add(length, std::memory_order_relaxed);
            return true;
        }
        HolderSet& holders = entry->second.holders;
        if (std::find(holders.begin(), holders.end(), holder) == holders.end())
            holders.push_back(holder); // past three holders it grows; unchanged on failure
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void ReferenceBlockTable::ShrinkLocked(Shard& shard)
{
    const size_t buckets = shard.blocks.bucket_count();
    if (buckets <= 2 * INITIAL_BUCKETS || shard.blocks.size() >= buckets / 8)
        return;
    try {
        // Twice the blocks left: the shard grows again only after doubling, and shrinks again
        // only after losing three quarters of them.
        shard.blocks.rehash(std::max(INITIAL_BUCKETS, 2 * shard.blocks.size()));
    } catch (const std::bad_alloc&) {
        // keeps the larger bucket array; the next release tries again
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
        auto entry = shard.blocks.find(block);
        if (entry != shard.blocks.end() && entry->second.holders.size() > 1)
            RemoveFrom(entry->second.holders, *leaving); // never its last holder: that is the core
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
    auto entry = shard.blocks.find(block);
    if (entry == shard.blocks.end())
        return false;
    HolderSet& holders = entry->second.holders;
    if (alsoHolder)
        RemoveFrom(holders, *alsoHolder);
    RemoveFrom(holders, holder);
    if (!holders.empty())
        return false;
    if (length != nullptr)
        *length = entry->second.length;
    blockCount_.fetch_sub(1, std::memory_order_relaxed);
    byteTotal_.fetch_sub(entry->second.length, std::memory_order_relaxed);
    shard.blocks.erase(entry);
    ShrinkLocked(shard);
    return true;
}

bool ReferenceBlockTable::Holds(void* block) const
{
    const Shard& shard = ShardOf(block);
    std::lock_guard lock(shard.mutex);
    return shard.blocks.contains(block);
}

size_t ReferenceBlockTable::BucketCount() const
{
    size_t buckets = 0;
    for (const Shard& shard : shards_) {
        std::lock_guard lock(shard.mutex);
        buckets += shard.blocks.bucket_count();
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
        for (const auto& [address, entry] : shard.blocks) {
            for (uint32_t holder : entry.holders)
                ++counts[holder];
        }
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
        for (const auto& [address, entry] : shard.blocks) {
            text << "address " << static_cast<const void*>(address) << " leaked by plugins [" << std::hex;
            const char* separator = "";
            for (uint32_t holder : entry.holders) {
                text << separator << holder;
                separator = ",";
            }
            text << std::dec << "]\n";
        }
    }
    return text.str();
}

} // namespace dvr
