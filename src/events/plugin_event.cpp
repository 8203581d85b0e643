// dvrcore::PluginEvent: the decisions taken for every event, on the sender's thread.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

#include <boost/asio/post.hpp>

#include "core/dvrcore.h"
#include "events/routing.h"
#include "log/log_gate.h"
#include "plugins/plugin_records.h"

int dvrcore::PluginEvent(_EventParmsIn* in, _EventParmsOut* out)
{
    const uint32_t eventType = in->eventType;

    // A plugin refused after its Load stays mapped, and threads it started there may still call.
    if (FromRefusedPlugin(in->providerID)) {
        if (eventType == EVT_PARENT_SEND)
            free(in->data); // the block is the core's from the call on
        if (eventType != EVT_RELEASE)
            out->result = EVENT_REFUSED;
        return 0;
    }

    if (eventType == EVT_RELEASE) {
        // A plugin gives back only its own hold. The core's hold is the worker's alone: dropping it
        // from outside would free a block still waiting in the taken batch, or leave the block to a
        // plugin whose hold the worker passes on believing the core still keeps it.
        if (in->providerID != CORE_PROVIDER_ID)
            ReleaseBlock(in->data, in->providerID);
        return 0; // result stays as the caller set it
    }

    if (eventType == EVT_PARENT_SEND) {
        // The block belongs to the core from here on; it is sent as it is, never copied.
        if (!parentLinkOpen.load()) {
            free(in->data);
            out->result = EVENT_REFUSED;
            return 0;
        }
        // Counted as unsent from here, so the bound holds although the queue lives on the I/O thread.
        const size_t length = in->len;
        if (!ReserveParentSend(length)) {
            free(in->data);
            out->result = EVENT_NO_MEMORY;
            return 0;
        }
        // Owned by the posted job until the I/O thread takes it: a job that never runs because the
        // I/O thread has stopped still frees the block, and gives its bytes back, when destroyed.
        auto release = [this, length](void* data) {
            free(data);
            GiveBackParentSend(length);
        };
        std::unique_ptr<void, decltype(release)> block(in->data, release);
        try {
            boost::asio::post(ioContext, [this, block = std::move(block), length]() mutable {
                QueueParentSend(block.release(), length);
            });
        } catch (const std::bad_alloc&) { // the job that owned the block is gone, and the block with it
            NoteNoMemory("a packet for the parent", in->providerID, "refused with -1");
            out->result = EVENT_NO_MEMORY;
            return 0;
        }
        out->result = EVENT_ACCEPTED;
        return 0;
    }

    if (in->providerID == 0) { // stream control: never queued
        if (eventType == EVT_STREAM_CLOSE) {
            try {
                streams.CloseStream(in->streamID);
            } catch (const std::bad_alloc&) { // the stream stays open
                NoteNoMemory("the closed stream set", in->providerID, "refused with -1");
                out->result = EVENT_NO_MEMORY;
                return 0;
            }
        } else {
            streams.ReopenStream(in->streamID);
            StartReaderThreads(*in);
        }
        eventQueue.Notify();
        out->result = EVENT_ACCEPTED;
        return 0;
    }

    _EventParmsIn event = *in; // from here on the private copy is what changes and is queued

    if (eventType & EVT_LOG) {
        int threshold = logLevels.Get(DVR_MODULE_INDEX(event.providerID));
        if (event.eventFlags & EVF_LOG_MESSAGE) {
            int level = EventLogLevel(&event);
            dvr::LogGateDecision decision = dvr::DecideLogMessage(threshold, level);
            if (decision == dvr::LogGateDecision::Drop)
                return 0;
            WriteLogLine(event.providerID, static_cast<uint32_t>(level), static_cast<const char*>(event.data),
                         event.len);
            if (decision == dvr::LogGateDecision::WriteOnly)
                return 0;
        } else if (event.eventFlags & EVF_LOG_QUERY) {
            out->result = threshold;
            return 0;
        }
    }

    // After a stop only the core's own lines are still queued (until the worker seals the queue).
    if (eventQueue.StopRequested() && !dvr::EventQueue::QueuedAfterStop(event)) {
        out->result = EVENT_REFUSED;
        return 0;
    }

    if ((eventType & (EVT_VIDEO | EVT_AUDIO)) && (event.eventFlags & EVF_MEDIA_GATED)) {
        // Between memory checks the data the core holds counts as it grows, so a flood cannot
        // run far past the limit before the next check sees it.
        bool throttle =
            throttling.load(std::memory_order_relaxed) || memoryMonitor.RefusesHeldData(HeldDataBytes() + event.len);
        int gate = mediaGate.Gate(event, throttle);
        if (gate != EVENT_ACCEPTED) {
            if (gate == EVENT_NO_MEMORY)
                NoteNoMemory("the media gate table", event.providerID, "refused with -1");
            out->result = gate;
            return 0;
        }
    }

    if (event.data != nullptr && event.len != 0) {
        void* copy = blockPool.Allocate(event.len);
        if (copy == nullptr) {
            NoteNoMemory("a copy of event data", event.providerID, "refused with -1");
            out->result = EVENT_NO_MEMORY;
            return 0;
        }
        memcpy(copy, event.data, event.len);
        event.data = copy;
    } else {
        event.data = nullptr;
        event.len = 0;
    }

    if (event.streamID != 0) {
        std::shared_ptr<dvr::ReaderContext> reader = streams.AdmitStreamEvent(event.streamID);
        if (!reader) { // closed stream, or not sent from a reader thread of it
            blockPool.Release(event.data, event.len);
            out->result = EVENT_REFUSED;
            return 0;
        }
        // One block in flight per reader: a close of the stream or the stop ends the wait and
        // refuses the event, so the reader's Read can return.
        if (event.data != nullptr && !dvr::StreamTable::WaitAndSetPending(*reader, event.data)) {
            blockPool.Release(event.data, event.len);
            out->result = EVENT_REFUSED;
            return 0;
        }
    }

    dvr::EventQueue::PushResult pushed = eventQueue.Push(event);
    if (pushed != dvr::EventQueue::PushResult::Queued) {
        // Stopped: the stop came after the check above and the worker may have returned already,
        // so the event is refused rather than accepted and never delivered. Either way nothing
        // is queued: the copy goes back and a reader may send its next block.
        if (event.streamID != 0)
            streams.BlockReleased(event.data);
        blockPool.Release(event.data, event.len);
        if (pushed == dvr::EventQueue::PushResult::NoMemory) {
            NoteNoMemory("the event queue", event.providerID, "refused with -1");
            out->result = EVENT_NO_MEMORY;
            return 0;
        }
        out->result = EVENT_REFUSED;
        return 0;
    }
    out->result = EVENT_ACCEPTED;
    return 0;
}

bool dvrcore::FromRefusedPlugin(uint32_t providerID)
{
    // The core's own ID and stream control (0) are never a plugin's.
    if (providerID == CORE_PROVIDER_ID || providerID == 0 || !refusedPlugins.Covers(providerID))
        return false;
    const unsigned moduleIndex = DVR_MODULE_INDEX(providerID);
    for (const dvr::PluginTable::Record& plugin : *plugins.Load())
        if (DVR_MODULE_INDEX(plugin->ProviderID()) == moduleIndex)
            return false; // a plugin of the table has it: the event is taken as that plugin's
    if (std::optional<std::string> name = refusedPlugins.FirstRefusal(providerID))
        Log(dvr::LOG_WARNING, "refusing the events of provider %x: its plugin %s was refused at load", providerID,
            name->c_str());
    return true;
}

void dvrcore::NoteNoMemory(const char* what, uint32_t providerID, const char* outcome)
{
    uint32_t failures = 0;
    if (noMemoryNotice.Failed(Now(), &failures))
        Log(dvr::LOG_WARNING,
            "no memory for %s: an event of provider %x %s (%u events refused or dropped for lack of memory since the "
            "last such line)",
            what, providerID, outcome, failures);
}

void dvrcore::ReleaseBlock(void* block, uint32_t holder, std::optional<uint32_t> alsoHolder)
{
    // Readers are woken before the block goes back to the pool, so a new block at the same address
    // cannot be mistaken for it.
    referenceBlocks.Release(
        block, holder,
        [this](void* released) {
            if (released != nullptr)
                streams.BlockReleased(released);
        },
        [this](void* released, uint32_t length) { blockPool.Release(released, length); }, alsoHolder);
}

void dvrcore::StartReaderThreads(const _EventParmsIn& event)
{
    const uint32_t key = dvr::ReaderRoutingKey(event.eventFlags);
    dvr::PluginTable::Snapshot table = plugins.Load();
    for (const dvr::PluginTable::Record& record : *table) {
        const PLUGININFO& plugin = *record;
        if (!dvr::StartsReaderThread(event.eventType, key, plugin.info.wantsReads != 0, plugin.Read != nullptr,
                                     plugin.info.classMasks))
            continue;
        if (!readers.Enter(record.get())) // the plugin is being unloaded
            continue;
        void* copy = nullptr;
        uint32_t len = 0;
        if (event.data != nullptr && event.len != 0) {
            copy = dvr::EventMemoryAllocate(event.len);
            if (copy == nullptr) {
                // A Read without the stream's data would be a wrong start: this plugin gets none.
                readers.Leave(record.get());
                NoteNoMemory("a reader's copy of a stream event", event.providerID, "withheld from a plugin");
                continue;
            }
            memcpy(copy, event.data, event.len);
            len = event.len;
        }
        auto body = [this, read = plugin.Read, key = record.get(), copy, len, streamID = event.streamID] {
            {
                dvr::ReaderRegistration registration(streams);
                _ReadParmsIn parms = dvr::MakeStreamReadParmsIn(len, copy, streamID);
                _ReadParmsOut result = dvr::MakeReadParmsOut();
                read(&parms, &result);
            }
            free(copy);
            readers.Leave(key); // last: after this the plugin may be unloaded and the core destroyed
        };
        try {
            startReaderThread(body);
        } catch (const std::exception& error) { // std::system_error from the thread, or std::bad_alloc
            // No thread: what was taken for it goes back, so shutdown does not wait for a reader
            // that never ran. The stream event itself is still accepted; other plugins serve it.
            free(copy);
            readers.Leave(record.get());
            Log(dvr::LOG_FAILURE, "could not start a reader thread for %s: %s", plugin.name.c_str(), error.what());
        }
    }
}
