#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <dvrcore/plugin_api.h>

#include "events/block_pool.h"
#include "events/event_memory.h"
#include "events/event_queue.h"
#include "events/media_gate.h"
#include "events/reader_tracker.h"
#include "events/reference_blocks.h"
#include "events/stream_table.h"
#include "ipc/memory_monitor.h"
#include "log/log_levels.h"
#include "log/module_names.h"
#include "plugins/plugin_table.h"
#include "plugins/refused_plugins.h"

class PluginInfo;

// The one core object of the process: owns the plugin table, the event bus, the I/O context with
// the parent link and the monitor timer, the configuration values and the log thresholds.
// Members are public so each subsystem's operations and the tests can reach them; the comment of
// each shared member names what guards it.
class dvrcore {
public:
    // Builds every member at its initial value and becomes the process's core instance.
    // Reads no file and starts no thread.
    explicit dvrcore(std::string exePath);
    dvrcore(const dvrcore&) = delete;
    dvrcore& operator=(const dvrcore&) = delete;
    // Teardown in reverse declaration order; the reference block table reports leaked blocks.
    virtual ~dvrcore();

    // The steady clock of every duration the core measures.
    virtual std::chrono::steady_clock::time_point Now();
    // Sends the memory throttling state to the plugins as a status document.
    virtual void PublishThrottlingState();
    // Writes one log line to the console, and level-100 lines to syslog. length bounds the text,
    // which need not be zero-terminated. Any thread.
    virtual void WriteLogLine(uint32_t providerID, uint32_t level, const char* text, size_t length);
    // The console line WriteLogLine prints for a text, stamped with wallClock's time of day. Any thread.
    std::string ConsoleLine(uint32_t providerID, uint32_t level, std::string_view text);

    // Module name, file-creation mask, privilege drop, and the parent link taken over from
    // descriptor (-1: no parent). False means the process must exit with status 2. Main thread.
    bool Initialize(int descriptor);

    // The core's whole run: start-up, the queue worker until a stop is requested, and the ordered
    // shutdown. Returns once every plugin is closed and unloaded. Main thread.
    void Start();

    // The one door for every event and request; the outcome is in out->result. Any thread.
    int PluginEvent(_EventParmsIn* in, _EventParmsOut* out);

    // The stop handler: sets stopRequested and wakes the queue worker. Any thread, any number of times.
    void RequestStop();

    // Returns once every handler that the I/O thread had begun has finished; at once when the
    // I/O thread does not run. Main thread.
    void WaitForIoThread();

    // The directory that holds the executable: the base of the plugin folders.
    std::string ExeDir() const;

    // ---- Event bus (src/events) ----
    // Takes queued events and delivers them until a stop is requested and the queue is empty.
    // The main thread; the only caller of plugins' Write and of IOCTL for configuration documents.
    void RunQueueWorker();
    // Offers one queued event, whose block the core holds, to every plugin in table order. Answers
    // the last plugin that took the block and gave it back at once, whose hold the caller drops
    // together with the core's. Queue worker only.
    std::optional<uint32_t> DeliverEvent(const _EventParmsIn& event);
    // Registers the core as holder of the blocks of a batch taken from the queue. Queue worker only.
    void RegisterBatch(dvr::EventRing& batch);
    // Once the drain after a stop has passed QUEUE_DRAIN_WAIT: refuses and frees every event still
    // in batch or queued, except the core's own log lines, which stay in batch; logs how many
    // were refused and seals the queue. Queue worker only.
    void RefuseBacklog(dvr::EventRing& batch);
    // Frees the block of every event of batch that the reference block table could not take for
    // lack of memory, and turns the event into one delivered to nobody. Queue worker only.
    void DropUnregisteredEvents(dvr::EventRing& batch);
    // Drops holder's hold on block, and alsoHolder's when given; the last holder's release frees it
    // and wakes a reader waiting on it.
    void ReleaseBlock(void* block, uint32_t holder, std::optional<uint32_t> alsoHolder = std::nullopt);
    // The bytes of data the core holds: queued events, the reference block table, and packets for
    // the parent not yet sent. Any thread; the totals are read one after the other, which is close
    // enough for memory throttling.
    int64_t HeldDataBytes() const
    {
        return static_cast<int64_t>(eventQueue.QueuedBytes()) + referenceBlocks.ByteTotal() +
               static_cast<int64_t>(parentSendBytes.load(std::memory_order_relaxed));
    }
    // Whether an event of providerID comes under the module index of a plugin refused after its
    // Load that no plugin in the table has; the first such event of each refused plugin is
    // logged. Any thread.
    bool FromRefusedPlugin(uint32_t providerID);
    // Counts an event of providerID refused ("refused with -1") or dropped for lack of memory for
    // what, and logs it at level 50 as the notice allows: the first at once, then one line a
    // minute with the count. Any thread.
    void NoteNoMemory(const char* what, uint32_t providerID, const char* outcome);
    // Starts a detached reader thread in every plugin that serves the stream of a stream control event.
    void StartReaderThreads(const _EventParmsIn& event);

    // ---- Configuration (src/config) ----
    // Reads product.xml and core.xml from the working directory. Main thread, before plugins load.
    void LoadConfiguration();
    // Writes core.xml with the configuration and statistics, and broadcasts it as EVT_CONFIG.
    void SaveConfiguration();
    // Applies a configuration change document from a plugin. I/O thread.
    void ApplyConfigurationChange(const std::string& text);

    // ---- Plugin host (src/plugins) ----
    // Finds, loads and registers every plugin; starts the worker threads of those that want one.
    bool LoadPlugins();
    // Opens every plugin in table order, timing each Open.
    bool OpenPlugins();
    // Starts the asynchronous read thread of every plugin that wants reads.
    void StartReadThreads();
    // Closes, joins, unloads and removes the plugin with the first-unload role, if loaded.
    void UnloadFirstPlugin();
    // Sorts the table into close order and closes every plugin; progress lines go to shutdownLogger.
    bool ClosePlugins(PluginInfo& shutdownLogger);
    // Joins every plugin's threads, unloads and releases it, and empties the table.
    bool UnloadPlugins(PluginInfo& shutdownLogger);

    // ---- Parent link and monitor (src/ipc) ----
    // Arms one receive on parentSocket. I/O thread (or before it runs).
    void StartParentReceive();
    // The receive completion: frames and dispatches packets, or stops the core when the link is lost.
    void OnParentReceive(const boost::system::error_code& error, size_t received);
    // Acts on one complete packet from the parent. I/O thread.
    void DispatchParentPacket(const uint8_t* packet, uint32_t length);
    // Queues a block for the parent (it belongs to the core now) and starts writing when idle. I/O thread.
    void QueueParentSend(void* block, size_t length);
    // Writes the front block of parentSendQueue, in sends of at most one packet's size. I/O thread.
    void WriteNextParentPacket();
    // Counts length bytes of a packet for the parent as unsent; false, with the packet counted as
    // refused, when they would take the unsent bytes past PARENT_SEND_QUEUE_LIMIT. Any thread.
    bool ReserveParentSend(size_t length);
    // Gives back what ReserveParentSend counted once the packet is sent or freed. Any thread.
    void GiveBackParentSend(size_t length);
    // Waits, at most 10 seconds, for the parent's start-up parameters. Main thread.
    void WaitForParentParameters();
    // Frees every packet still waiting to be sent to the parent. After the I/O thread ended.
    void ReleaseParentSendQueue();
    // Arms the monitor timer for its first tick.
    void StartMonitor();
    // One tick of the memory and clock monitor; re-arms the timer. I/O thread.
    void OnMonitorTimer(const boost::system::error_code& error);
    // Gives the blocks kept for reuse and every freed heap page back to the system. I/O thread.
    void ReleaseFreedMemory();

    // Logs one line of the core's own at level.
    void Log(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    dvr::PluginTable plugins; // table order; see PluginTable for its guard
    // The queue worker's snapshot of plugins and the generation it was taken at; worker thread only.
    dvr::PluginTable::Snapshot deliveryTable;
    uint64_t deliveryGeneration = 0;
    dvr::ModuleNames moduleNames; // guarded inside (reader-writer lock)
    // Plugins refused after their Load ran, left mapped; filled while loading. Guarded inside.
    dvr::RefusedPlugins refusedPlugins;
    // File name to the loader's error text; written while loading on the main thread, then read-only.
    std::map<std::string, std::string> failedPlugins;
    // The log path reads only the members above eventQueue's teardown, so the leak report that the
    // event bus tables write while they are destroyed can still be logged.
    dvr::LogLevelTable logLevels;            // atomic entries, no lock
    dvr::LogLevelTable defaultLogLevels;     // atomic entries, no lock
    std::atomic<bool> colourOutput{true};    // read by every thread that logs
    std::atomic<bool> backgroundMode{false}; // set by the parent link, read by every thread that logs
    // The wall clock of the monitor's checks and of the console lines' time of day (tests put
    // their own here). Set before the I/O thread starts, then read by every thread that logs.
    std::function<time_t()> wallClock;
    // Bytes of packets for the parent accepted and not yet sent or freed, from the sender's thread
    // until the I/O thread is done with them; declared before ioContext, whose pending jobs give
    // their bytes back when they are destroyed. Atomic, no lock.
    std::atomic<size_t> parentSendBytes{0};
    std::atomic<uint32_t> parentSendRefused{0}; // packets refused since the queue last had room; atomic
    boost::asio::io_context ioContext;
    boost::asio::steady_timer monitorTimer;                         // I/O thread only once started
    boost::asio::generic::seq_packet_protocol::socket parentSocket; // I/O thread only once started
    struct ParentPacket {
        void* block; // from the sender's malloc; freed by the core
        size_t length;
    };
    std::deque<ParentPacket> parentSendQueue;                            // I/O thread only
    std::array<uint8_t, PARENT_PACKET_MAX_LENGTH> parentReceiveBuffer{}; // I/O thread only
    uint32_t parentReceiveLength = 0;                                    // I/O thread only
    boost::asio::socket_base::message_flags parentReceiveFlags = 0;      // I/O thread only: filled by each receive
    size_t parentSendOffset = 0;                 // I/O thread only: bytes of the front block already sent
    dvr::BlockPool blockPool;                    // guarded inside; outlives the tables that hold its blocks
    dvr::EventQueue eventQueue;                  // queueMutex, queueCondition and stopRequested live here
    dvr::ReferenceBlockTable referenceBlocks;    // guarded inside; reports leaked blocks when destroyed
    dvr::MediaGate mediaGate;                    // guarded inside
    dvr::NoMemoryNotice noMemoryNotice;          // lock-free: events refused or dropped for lack of memory
    dvr::StreamTable streams;                    // the stream lock inside guards closed streams and readers
    dvr::ReaderTracker readers;                  // guarded inside: reader threads running per plugin
    std::atomic<bool> parentLinkOpen{false};     // whether parentSocket is open, for senders on any thread
    std::string exePath;                         // canonical path of the executable
    std::string productFamily = "ovrimSight";    // main thread during start-up, then read-only
    std::string productVersion;                  // main thread during start-up, then read-only
    std::string parentFilename;                  // guarded by eventQueue.queueMutex
    std::string parentVersion;                   // guarded by eventQueue.queueMutex
    bool parentParametersReceived = false;       // guarded by eventQueue.queueMutex
    std::atomic<bool> lingerBeforeUnload{false}; // set on the I/O thread, read by Start
    bool ioThreadRunning = false;                // main thread only
    bool memoryThrottlingEnabled = true;         // set during start-up, then read-only
    std::atomic<bool> throttling{false};         // written by the memory monitor, read by senders
    int64_t lastLowMemoryTime = INT64_MAX;       // I/O thread only
    // What the monitor reads: the resident size (tests put their own here).
    std::function<size_t()> residentBytes; // set before the I/O thread starts
    dvr::MemoryMonitor memoryMonitor;      // I/O thread only, but RefusesHeldData from any thread
    // Starts a detached reader thread running body; throws std::system_error when no thread can
    // be created. Tests put their own here; set before any stream event.
    std::function<void(std::function<void()>)> startReaderThread = [](std::function<void()> body) {
        std::thread(std::move(body)).detach();
    };
};
