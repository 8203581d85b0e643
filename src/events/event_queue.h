#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include <dvrcore/plugin_api.h>

#include "events/event_ring.h"

namespace dvr {

// How long the worker goes on delivering, on the core's clock, once it has seen a stop request.
// What is still queued then is refused and freed, so a backlog behind a slow plugin cannot hold
// up the stop.
constexpr std::chrono::seconds QUEUE_DRAIN_WAIT{10};

// The one first-in first-out queue between PluginEvent (any thread) and the queue worker (the
// main thread), with the stop flag that ends the worker. The worker takes everything queued at
// once, so a sender and the worker meet on the mutex once per batch rather than once per event.
// The mutex and condition are also those of the start-up wait for the parent's parameters.
class EventQueue {
public:
    EventQueue() = default;
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;
    // Frees the data of events that were never delivered.
    ~EventQueue();

    enum class PushResult {
        Queued,   // the worker will take it
        Stopped,  // a stop is requested: nothing queued
        NoMemory, // the queue could not grow: nothing queued
    };

    // Appends a copy of event and wakes the worker. The stop is tested under the mutex, so an
    // event queued here is always taken by the worker before it returns. Once a stop is requested
    // only the core's own log lines are queued, until the worker seals the queue.
    PushResult Push(const _EventParmsIn& event);

    // Whether an event is one of the core's own log lines, which are still queued (and reach the
    // log plugin) while the worker delivers what was queued before the stop.
    static bool QueuedAfterStop(const _EventParmsIn& event)
    {
        return event.providerID == CORE_PROVIDER_ID && (event.eventType & EVT_LOG) != 0;
    }

    // Blocks until an event is queued or a stop is requested. Moves every queued event, in order,
    // into batch, which must be empty, and returns true; returns false once a stop is requested
    // and the queue is empty. Before it waits it lets batch give back memory a backlog left in it
    // (EventRing::TrimEmpty). Worker thread only; always pass the same batch.
    bool TakeAll(EventRing& batch);
    // Moves every queued event, in order, into batch, which must be empty, without waiting.
    // Worker thread only.
    void TakeQueued(EventRing& batch);
    // Queues nothing more, not even the core's own lines. TakeAll seals the queue when it returns
    // false; the worker seals it earlier once it has refused a backlog.
    void Seal();

    // The capacity of the ring that events are queued into now. Takes the mutex.
    size_t Capacity();

    // Events queued and not yet taken. Takes the mutex.
    size_t Size();
    // The data bytes of the events queued and not yet taken. Lock-free.
    uint64_t QueuedBytes() const { return queuedBytes_.load(std::memory_order_relaxed); }

    // Sets the stop flag under the mutex, so the worker cannot miss it, and wakes one waiter.
    void RequestStop();
    // Read without the mutex by PluginEvent.
    bool StopRequested() const { return stopRequested_.load(std::memory_order_acquire); }

    // Wakes one waiter without queueing (stream control events, parent parameters).
    void Notify() { queueCondition.notify_one(); }

    std::mutex queueMutex; // guards events_, workerWaiting_, sealed_ and the parent's start-up parameters
    std::condition_variable queueCondition; // the worker's and the start-up wait's wake-up

private:
    EventRing events_;                       // guarded by queueMutex
    bool workerWaiting_ = false;             // guarded by queueMutex: a push must wake the worker
    bool sealed_ = false;                    // guarded by queueMutex: nothing is queued any more
    std::atomic<bool> stopRequested_{false}; // written under queueMutex, read anywhere
    std::atomic<uint64_t> queuedBytes_{0};   // written under queueMutex, read anywhere
    size_t lastFill_ = 0;                    // worker only: events in the batch TakeAll gave last
};

} // namespace dvr
