#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <dvrcore/plugin_api.h>

#include "events/event_queue.h"
#include "log/log_levels.h"
#include "log/module_names.h"
#include "plugins/plugin_table.h"

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

    // Logs one line of the core's own at level.
    void Log(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    dvr::PluginTable plugins;                     // table order; see PluginTable for its guard
    dvr::ModuleNames moduleNames;                 // guarded inside (reader-writer lock)
    std::map<std::string, std::string> failedPlugins; // file name -> loader error; main thread while loading, then read-only
    // The log path reads only the members above eventQueue's teardown, so the leak report that the
    // event bus tables write while they are destroyed can still be logged.
    dvr::LogLevelTable logLevels;                 // atomic entries, no lock
    dvr::LogLevelTable defaultLogLevels;          // atomic entries, no lock
    std::atomic<bool> colourOutput{true};         // read by every thread that logs
    std::atomic<bool> backgroundMode{false};      // set by the parent link, read by every thread that logs
    boost::asio::io_context ioContext;
    boost::asio::steady_timer monitorTimer;       // I/O thread only once started
    boost::asio::generic::seq_packet_protocol::socket parentSocket; // I/O thread only once started
    struct ParentPacket {
        void* block;   // from the sender's malloc; freed by the core
        size_t length;
    };
    std::deque<ParentPacket> parentSendQueue;     // I/O thread only
    std::array<uint8_t, PARENT_PACKET_MAX_LENGTH> parentReceiveBuffer{}; // I/O thread only
    uint32_t parentReceiveLength = 0;             // I/O thread only
    dvr::EventQueue eventQueue;                   // queueMutex, queueCondition and stopRequested live here
    std::string exePath;                          // canonical path of the executable
    std::string productFamily = "ovrimSight";     // main thread during start-up, then read-only
    std::string productVersion;                   // main thread during start-up, then read-only
    std::string parentFilename;                   // guarded by eventQueue.queueMutex
    std::string parentVersion;                    // guarded by eventQueue.queueMutex
    std::atomic<bool> lingerBeforeUnload{false};  // set on the I/O thread, read by Start
    bool memoryThrottlingEnabled = true;          // set during start-up, then read-only
    std::atomic<bool> throttling{false};          // written by the memory monitor, read by senders
    int64_t lastLowMemoryTime = INT64_MAX;        // I/O thread only
};
