#pragma once

// Every data block the harness hands to the plugin: its own allocation, with a checksum of the
// bytes, followed from delivery to the end of the call and, when kept, to its release.

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <dvrcore/harness.h>

namespace dvr::harness {

class BlockTracker {
public:
    BlockTracker() = default;
    // Frees every block (only safe once no plugin thread can touch them).
    ~BlockTracker();
    BlockTracker(const BlockTracker&) = delete;
    BlockTracker& operator=(const BlockTracker&) = delete;

    // A new block holding a copy of len bytes of data, handed to the plugin from now on. Null when
    // out of memory.
    void* Deliver(const void* data, uint32_t len);
    // The call that got block has returned with keep. A block not kept is checked at once.
    void CallReturned(void* block, uint32_t keep, std::vector<std::string>& violations);
    // The plugin gives back block under providerID; pluginID is its own.
    void Release(const void* block, uint32_t providerID, uint32_t pluginID, std::vector<std::string>& violations);
    // Kept blocks never given back, one violation each.
    void ReportLeaks(std::vector<std::string>& violations);
    // The blocks delivered so far and the faults found with them.
    dvr_harness_block_counts Counts();
    // Leaves the blocks allocated at destruction: a plugin thread may still use them.
    void Abandon();

private:
    enum class State {
        IN_CALL,        // the call that got it runs
        RELEASED_EARLY, // given back during that call, before it said whether it keeps it
        KEPT,           // kept, not yet given back
        RETURNED,       // not kept: the plugin's use ended with the call
        RELEASED        // kept and given back (addresses stay taken until the end)
    };
    struct Block {
        uint32_t len = 0;
        uint64_t checksum = 0;
        State state = State::IN_CALL;
    };
    // One violation when the bytes of a block changed (kept: checked as it is given back).
    void CheckUnchanged(const void* address, const Block& block, bool kept, std::vector<std::string>& violations);

    std::mutex lock_;                     // guards blocks_, abandoned_ and counts_
    std::map<const void*, Block> blocks_; // every block delivered, freed only at destruction
    bool abandoned_ = false;
    dvr_harness_block_counts counts_{}; // the faults counted as found; delivered and leaked at Counts
};

} // namespace dvr::harness
