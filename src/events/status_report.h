#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <dvrcore/plugin_api.h>

#include "events/media_gate.h"
#include "events/reference_blocks.h"

namespace dvr {

// The figures of one status report of the event bus.
struct StatusFigures {
    size_t queueSize;                      // events still queued after the worker took the current one
    uint32_t throttledVideo;               // video frames dropped by throttling since the last report
    uint32_t throttledAudio;               // audio frames dropped by throttling since the last report
    uint32_t events;                       // events taken since the last report, the current one included
    uint32_t blockCount;                   // reference blocks held now
    uint32_t byteTotal;                    // their lengths summed
    std::vector<HolderCount> holderCounts; // blocks per holder, in the table's counting order
};

// Blocks of the worker's taken batch that are not delivered yet. The worker registers a whole
// batch as the core's at once, so memory throttling counts its data as held; the report leaves
// these out and shows the blocks delivered so far and the current one.
struct WaitingBlocks {
    uint32_t count; // blocks with data among the events still waiting in the batch
    uint32_t bytes; // their lengths summed
};

// The figures as they stand now, with the queue worker's own two, the waiting blocks of the batch
// left out (from the totals and from the core's holder count); takes (and so zeroes) the gate's
// throttled frame counters and the table's holder counts under its lock.
StatusFigures GatherStatusFigures(size_t queueSize, uint32_t events, MediaGate& gate, const ReferenceBlockTable& blocks,
                                  WaitingBlocks waiting = {0, 0});

// At most the five holders with most blocks, by descending count; equal counts keep the order of
// holderCounts.
std::vector<HolderCount> TopHolders(const std::vector<HolderCount>& holderCounts);

// "core event queue size: ..., throttledframes:[v:... a:...], events:..., refblks: ... (... bytes)",
// the counters with digit grouping where the grouping locale exists.
std::string StatusLine(const StatusFigures& figures);

// The ranking as "hex:count" pairs joined by ", "; empty without holders.
std::string TopHoldersText(const std::vector<HolderCount>& holderCounts);

// Logs the status line and "Top - <ranking>" at level 25 as the core, through callback (the
// second line also when the ranking is empty). On the queue worker thread, without queueMutex.
void LogStatusReport(const StatusFigures& figures, PluginEntryPoint callback);

} // namespace dvr
