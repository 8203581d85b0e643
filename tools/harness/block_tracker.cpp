#include "block_tracker.h"

#include "log/format_text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace dvr::harness {

namespace {

// FNV-1a over the block's bytes: any change of a byte changes it.
uint64_t Checksum(const void* data, uint32_t len)
{
    uint64_t hash = 14695981039346656037ull;
    for (uint32_t i = 0; i < len; ++i)
        hash = (hash ^ static_cast<const uint8_t*>(data)[i]) * 1099511628211ull;
    return hash;
}

} // namespace

BlockTracker::~BlockTracker()
{
    if (abandoned_) {
        // Kept reachable to the end of the process (never destroyed, not even at exit), so a leak
        // checker does not count what a plugin thread that is still running may use.
        static std::mutex abandonedLock;
        static auto* abandoned =
            std::make_unique<std::vector<std::map<const void*, Block>>>().release(); // guarded by abandonedLock
        std::lock_guard lock(abandonedLock);
        abandoned->push_back(std::move(blocks_));
        return;
    }
    for (auto& [address, block] : blocks_)
        free(const_cast<void*>(address));
}

void* BlockTracker::Deliver(const void* data, uint32_t len)
{
    void* copy = malloc(len);
    if (copy == nullptr)
        return nullptr;
    memcpy(copy, data, len);
    std::lock_guard lock(lock_);
    blocks_[copy] = Block{len, Checksum(copy, len), State::IN_CALL};
    return copy;
}

void BlockTracker::CheckUnchanged(const void* address, const Block& block, bool kept,
                                  std::vector<std::string>& violations)
{
    if (Checksum(address, block.len) == block.checksum)
        return;
    ++counts_.modified;
    violations.push_back(
        kept ? FormatText("modified the bytes of kept block %p (%u bytes)", address, block.len)
             : FormatText("modified the bytes of block %p (%u bytes) during the call", address, block.len));
}

void BlockTracker::CallReturned(void* block, uint32_t keep, std::vector<std::string>& violations)
{
    std::lock_guard lock(lock_);
    auto found = blocks_.find(block);
    if (found == blocks_.end())
        return;
    Block& entry = found->second;
    if (entry.state == State::RELEASED_EARLY) {
        if (keep == 0) {
            ++counts_.unkept_releases;
            violations.push_back(FormatText("released block %p that it did not keep", block));
        }
        counts_.kept += keep != 0 ? 1 : 0;
        entry.state = State::RELEASED;
        return;
    }
    if (keep != 0) {
        ++counts_.kept;
        entry.state = State::KEPT;
        return;
    }
    CheckUnchanged(block, entry, false, violations);
    entry.state = State::RETURNED;
}

void BlockTracker::Release(const void* block, uint32_t providerID, uint32_t pluginID,
                           std::vector<std::string>& violations)
{
    std::lock_guard lock(lock_);
    auto found = blocks_.find(block);
    if (found == blocks_.end()) {
        ++counts_.foreign_releases;
        violations.push_back(FormatText("foreign release: %p is no block the plugin was given", block));
        return;
    }
    Block& entry = found->second;
    if (providerID != pluginID) {
        ++counts_.wrong_provider;
        violations.push_back(FormatText("foreign release: block %p given back under provider ID 0x%08X, not 0x%08X",
                                        block, providerID, pluginID));
        return;
    }
    switch (entry.state) {
    case State::IN_CALL: entry.state = State::RELEASED_EARLY; return;
    case State::KEPT:
        CheckUnchanged(block, entry, true, violations);
        entry.state = State::RELEASED;
        return;
    case State::RETURNED:
        ++counts_.unkept_releases;
        violations.push_back(FormatText("released block %p that it did not keep", block));
        return;
    case State::RELEASED_EARLY:
    case State::RELEASED:
        ++counts_.double_releases;
        violations.push_back(FormatText("double release: block %p given back twice", block));
        return;
    }
}

void BlockTracker::ReportLeaks(std::vector<std::string>& violations)
{
    std::lock_guard lock(lock_);
    for (const auto& [address, block] : blocks_)
        if (block.state == State::KEPT)
            violations.push_back(FormatText("leak: block %p (%u bytes) kept and never given back", address, block.len));
}

dvr_harness_block_counts BlockTracker::Counts()
{
    std::lock_guard lock(lock_);
    dvr_harness_block_counts counts = counts_;
    counts.delivered = blocks_.size();
    for (const auto& [address, block] : blocks_)
        counts.leaked += block.state == State::KEPT ? 1 : 0;
    return counts;
}

void BlockTracker::Abandon()
{
    std::lock_guard lock(lock_);
    abandoned_ = true;
}

} // namespace dvr::harness
