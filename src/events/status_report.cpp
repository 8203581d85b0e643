#include "events/status_report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "log/core_log.h"
#include "log/log_levels.h"
#include "log/number_format.h"

namespace dvr {
namespace {

constexpr size_t TOP_HOLDERS = 5;

} // namespace

StatusFigures GatherStatusFigures(size_t queueSize, uint32_t events, MediaGate& gate, const ReferenceBlockTable& blocks,
                                  WaitingBlocks waiting)
{
    ThrottledFrames throttled = gate.TakeThrottledFrames();
    std::vector<HolderCount> holderCounts = blocks.HolderCounts();
    // Nobody but the core holds a block that was not delivered yet.
    auto core = std::find_if(holderCounts.begin(), holderCounts.end(),
                             [](const HolderCount& entry) { return entry.holder == CORE_PROVIDER_ID; });
    if (core != holderCounts.end()) {
        core->count -= std::min(core->count, waiting.count);
        if (core->count == 0)
            holderCounts.erase(core);
    }
    uint32_t blockCount = blocks.BlockCount();
    uint32_t byteTotal = blocks.ByteTotal();
    return {queueSize,
            throttled.video,
            throttled.audio,
            events,
            blockCount - std::min(blockCount, waiting.count),
            byteTotal - std::min(byteTotal, waiting.bytes),
            std::move(holderCounts)};
}

std::vector<HolderCount> TopHolders(const std::vector<HolderCount>& holderCounts)
{
    std::vector<HolderCount> top;
    top.reserve(TOP_HOLDERS + 1);
    for (const HolderCount& candidate : holderCounts) {
        auto position = top.begin();
        while (position != top.end() && position->count >= candidate.count)
            ++position;
        top.insert(position, candidate);
        if (top.size() > TOP_HOLDERS)
            top.pop_back();
    }
    return top;
}

std::string StatusLine(const StatusFigures& figures)
{
    std::string line = "core event queue size: " + std::to_string(figures.queueSize);
    line += ", throttledframes:[v:" + FormatGroupedNumber(static_cast<unsigned long>(figures.throttledVideo));
    line += " a:" + FormatGroupedNumber(static_cast<unsigned long>(figures.throttledAudio));
    line += "], events:" + FormatGroupedNumber(static_cast<unsigned long>(figures.events));
    line += ", refblks: " + FormatGroupedNumber(static_cast<unsigned long>(figures.blockCount));
    line += " (" + FormatGroupedNumber(static_cast<unsigned long>(figures.byteTotal)) + " bytes)";
    return line;
}

std::string TopHoldersText(const std::vector<HolderCount>& holderCounts)
{
    std::string text;
    for (const HolderCount& entry : TopHolders(holderCounts)) {
        char pair[32];
        std::snprintf(pair, sizeof pair, "%" PRIx32 ":%" PRIu32, entry.holder, entry.count);
        if (!text.empty())
            text += ", ";
        text += pair;
    }
    return text;
}

void LogStatusReport(const StatusFigures& figures, PluginEntryPoint callback)
{
    CoreLog(CORE_PROVIDER_ID, callback, LOG_INFO, "%s", StatusLine(figures).c_str());
    CoreLog(CORE_PROVIDER_ID, callback, LOG_INFO, "Top - %s", TopHoldersText(figures.holderCounts).c_str());
}

} // namespace dvr
