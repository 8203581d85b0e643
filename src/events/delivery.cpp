// The queue worker and the delivery of one queued event to the plugins.
#include <new>

#include <boost/asio/post.hpp>

#include "core/dvrcore.h"
#include "events/event_callback.h"
#include "events/routing.h"
#include "events/status_report.h"
#include "events/write_budget.h"
#include "log/number_format.h"
#include "plugins/plugin_records.h"

namespace {

constexpr auto STATUS_REPORT_PERIOD = std::chrono::seconds(60);

} // namespace

void dvrcore::RunQueueWorker()
{
    auto lastReport = Now();
    uint32_t events = 0;
    dvr::EventRing batch;
    // Set when the worker first sees the stop request: past it, the backlog is refused once.
    std::optional<std::chrono::steady_clock::time_point> drainDeadline;
    bool backlogRefused = false;
    while (eventQueue.TakeAll(batch)) {
        RegisterBatch(batch);
        while (!batch.Empty()) {
            if (!backlogRefused && eventQueue.StopRequested()) {
                auto now = Now();
                if (!drainDeadline) {
                    drainDeadline = now + dvr::QUEUE_DRAIN_WAIT;
                } else if (now >= *drainDeadline) {
                    RefuseBacklog(batch);
                    backlogRefused = true;
                    continue;
                }
            }
            _EventParmsIn event = batch.PopFront();
            ++events;
            auto now = Now();
            if (now - lastReport >= STATUS_REPORT_PERIOD) {
                lastReport = now;
                size_t remaining = batch.Size() + eventQueue.Size(); // queued behind this event
                dvr::WaitingBlocks waiting{0, 0};
                batch.ForEach([&waiting](const _EventParmsIn& behind) {
                    if (behind.data != nullptr) {
                        ++waiting.count;
                        waiting.bytes += behind.len;
                    }
                });
                try {
                    dvr::LogStatusReport(
                        dvr::GatherStatusFigures(remaining, events, mediaGate, referenceBlocks, waiting),
                        EventCallback);
                } catch (const std::bad_alloc&) {
                    NoteNoMemory("the status report", CORE_PROVIDER_ID, "went without its report");
                }
                events = 0;
            }
            std::optional<uint32_t> lastHolder = DeliverEvent(event);
            ReleaseBlock(event.data, CORE_PROVIDER_ID, lastHolder);
        }
    }
    deliveryTable.reset(); // the records go with the table from here on
}

void dvrcore::RegisterBatch(dvr::EventRing& batch)
{
    // The whole batch goes into the table at once, so its data stays counted as held while it
    // waits here.
    bool unregistered = false;
    referenceBlocks.AddHolderEach(CORE_PROVIDER_ID, batch.Size(), [&batch, &unregistered](auto&& add) {
        batch.ForEach([&](const _EventParmsIn& event) { unregistered |= !add(event.data, event.len); });
    });
    if (unregistered)
        DropUnregisteredEvents(batch);
}

void dvrcore::RefuseBacklog(dvr::EventRing& batch)
{
    dvr::EventRing queued;
    eventQueue.TakeQueued(queued);
    RegisterBatch(queued);
    // The core's own lines stay, in order, so the log plugin still gets what the core said up to
    // the stop; every other event goes as at a closed queue, its block released as after delivery.
    dvr::EventRing kept;
    uint32_t refused = 0;
    for (dvr::EventRing* ring : {&batch, &queued}) {
        while (!ring->Empty()) {
            _EventParmsIn event = ring->PopFront();
            if (dvr::EventQueue::QueuedAfterStop(event) && kept.PushBack(event))
                continue;
            ReleaseBlock(event.data, CORE_PROVIDER_ID);
            ++refused;
        }
    }
    batch.Swap(kept);
    if (refused != 0)
        Log(dvr::LOG_WARNING, "%u queued events refused at stop: the queue was not drained within %lld s", refused,
            static_cast<long long>(dvr::QUEUE_DRAIN_WAIT.count()));
    eventQueue.Seal(); // after that line, which goes to the log plugin with the lines kept
}

void dvrcore::DropUnregisteredEvents(dvr::EventRing& batch)
{
    batch.ForEach([this](_EventParmsIn& event) {
        if (event.data == nullptr || referenceBlocks.Holds(event.data))
            return;
        NoteNoMemory("the reference block table", event.providerID, "dropped");
        if (event.streamID != 0)
            streams.BlockReleased(event.data);
        blockPool.Release(event.data, event.len);
        event.data = nullptr;
        event.len = 0;
        event.eventType = 0; // no class bit: delivered to nobody
    });
}

std::optional<uint32_t> dvrcore::DeliverEvent(const _EventParmsIn& event)
{
    const uint32_t key = dvr::DeliveryRoutingKey(event.eventFlags);
    const bool isConfig = (event.eventType & EVT_CONFIG) != 0;
    if (isConfig && event.data != nullptr && event.len != 0) {
        try {
            boost::asio::post(ioContext, [this, text = std::string(static_cast<const char*>(event.data), event.len)] {
                ApplyConfigurationChange(text);
            });
        } catch (const std::bad_alloc&) {
            NoteNoMemory("a configuration change", event.providerID, "not applied");
        }
    }

    // The table changes only while plugins load and unload: the worker keeps its snapshot until
    // a new one is published, instead of taking the table's lock for every event.
    const uint64_t generation = plugins.Generation(); // read before the snapshot it describes
    if (!deliveryTable || generation != deliveryGeneration) {
        deliveryTable = plugins.Load();
        deliveryGeneration = generation;
    }
    // The plugin before, when it gave the block back at once: its hold goes in the same step as
    // the next plugin's begins, one lock for both, since the core's own hold keeps the block.
    std::optional<uint32_t> leaving;
    for (const dvr::PluginTable::Record& record : *deliveryTable) {
        const PLUGININFO& plugin = *record;
        const uint32_t holder = plugin.ProviderID();

        const dvr::DeliveryCall call = dvr::ChooseDelivery(event.eventType, key, event.providerID, holder,
                                                           plugin.info.acceptsWrites != 0, plugin.info.classMasks);
        if (call == dvr::DeliveryCall::CONFIG_DOCUMENT) {
            if (!referenceBlocks.PassHolder(event.data, event.len, leaving, holder)) {
                NoteNoMemory("the reference block table", event.providerID, "withheld from a plugin");
                leaving.reset(); // gone with the failed pass
                continue;
            }
            _IoctlParmsIn parms = dvr::MakeDataIoctlParmsIn(IOCTL_CONFIG, event.len, event.data);
            _IoctlParmsOut result = dvr::MakeIoctlParmsOut(IOCTL_CONFIG);
            int code = dvr::CallEntryPoint(plugin.IOCTL, &parms, &result);
            if (code != 0 || result.error != 0)
                Log(dvr::LOG_DIAGNOSTIC, "plugin %s update config returned %d error %d", plugin.name.c_str(), code,
                    result.error);
            leaving = result.keep == 0 ? std::optional<uint32_t>(holder) : std::nullopt;
            continue;
        }

        if (call != dvr::DeliveryCall::WRITE)
            continue;

        if (!referenceBlocks.PassHolder(event.data, event.len, leaving, holder)) {
            NoteNoMemory("the reference block table", event.providerID, "withheld from a plugin");
            leaving.reset(); // gone with the failed pass
            continue;
        }
        // Same answer as a threshold query for the core: are its level-0 lines on?
        const bool timed = event.eventType != EVT_LOG && logLevels.Get(0) <= 0;
        auto started = timed ? Now() : std::chrono::steady_clock::time_point{};

        _WriteParmsIn parms = dvr::MakeWriteParmsIn(event);
        _WriteParmsOut result = dvr::MakeWriteParmsOut();
        int code = dvr::CallEntryPoint(plugin.Write, &parms, &result);
        if (code != 0 || result.error != 0)
            Log(dvr::LOG_DIAGNOSTIC, "plugin %s write returned %d error %d", plugin.name.c_str(), code, result.error);
        if (timed) {
            auto took = Now() - started;
            if (took >= dvr::CORE_WRITE_BUDGET) { // reported when the core's level-0 lines are on
                long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
                Log(dvr::LOG_DIAGNOSTIC, "core write took %lldms, providerID %x, eventType: %d, len: %s -> %s", ms,
                    event.providerID, static_cast<int>(event.eventType),
                    dvr::FormatGroupedNumber(static_cast<long>(static_cast<int32_t>(event.len))).c_str(),
                    plugin.name.c_str());
            }
        }
        leaving = result.keep == 0 ? std::optional<uint32_t>(holder) : std::nullopt;
    }
    return leaving;
}
