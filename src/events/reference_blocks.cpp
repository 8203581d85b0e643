#include "events/reference_blocks.h"

#include <algorithm>
#include <locale>
#include <map>
#include <new>
#include <sstream>

#include "log/core_log.h"

namespace dvr {
namespace {

// Enough buckets for the blocks of a busy minute, so the table does not rehash while frames flow.
constexpr size_t INITIAL_BUCKETS = 1024;

} // namespace

ReferenceBlockTable::ReferenceBlockTable(PluginEntryPoint logCallback)
    : logCallback_(logCallback)
{
    blocks_.reserve(INITIAL_BUCKETS);
}

ReferenceBlockTable::~ReferenceBlockTable()
{
    std::string report = LeakReport();
    if (!report.empty())
        CoreLog(CORE_PROVIDER_ID, logCallback_, 0, "%s", report.c_str());
}

bool ReferenceBlockTable::AddHolderLocked(void* block, uint32_t length, uint32_t holder)
{
    if (block == nullptr)
        return true;
    try {
        auto [entry, created] = blocks_.try_emplace(block); // the strong guarantee: no entry on failure
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

void ReferenceBlockTable::ShrinkLocked()
{
    const size_t buckets = blocks_.bucket_count();
    if (buckets <= 2 * INITIAL_BUCKETS || blocks_.size() >= buckets / 8)
        return;
    try {
        // Twice the blocks left: the table grows again only after doubling, and shrinks again
        // only after losing three quarters of them.
        blocks_.rehash(std::max(INITIAL_BUCKETS, 2 * blocks_.size()));
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
    std::lock_guard lock(mutex_);
    if (leaving) {
        auto entry = blocks_.find(block);
        if (entry != blocks_.end() && entry->second.holders.size() > 1)
            RemoveFrom(entry->second.holders, *leaving); // never its last holder: that is the core
    }
    return AddHolderLocked(block, length, coming);
}

bool ReferenceBlockTable::RemoveHolder(void* block, uint32_t holder, std::optional<uint32_t> alsoHolder,
                                       uint32_t* length)
{
    if (block == nullptr)
        return true;
    std::lock_guard lock(mutex_);
    auto entry = blocks_.find(block);
    if (entry == blocks_.end())
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
    blocks_.erase(entry);
    ShrinkLocked();
    return true;
}

bool ReferenceBlockTable::Holds(void* block) const
{
    std::lock_guard lock(mutex_);
    return blocks_.contains(block);
}

size_t ReferenceBlockTable::BucketCount() const
{
    std::lock_guard lock(mutex_);
    return blocks_.bucket_count();
}

bool ReferenceBlockTable::Release(void* block, uint32_t holder)
{
    return Release(block, holder, [](void*) {});
}

std::vector<HolderCount> ReferenceBlockTable::HolderCounts() const
{
    std::map<uint32_t, uint32_t> counts;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [address, entry] : blocks_) {
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
    std::lock_guard lock(mutex_);
    for (const auto& [address, entry] : blocks_) {
        text << "address " << static_cast<const void*>(address) << " leaked by plugins [" << std::hex;
        const char* separator = "";
        for (uint32_t holder : entry.holders) {
            text << separator << holder;
            separator = ",";
        }
        text << std::dec << "]\n";
    }
    return text.str();
}

} // namespace dvr
