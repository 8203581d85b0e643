#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>

namespace dvr {

// Flow control of one running reader thread: it may have one data block in flight.
struct ReaderContext {
    std::mutex mutex;                 // guards the fields below; taken after the stream lock, never before
    std::condition_variable released; // signalled when pendingBlock is cleared or woken is set
    void* pendingBlock = nullptr;     // the reader's last queued block, until freed
    uint32_t streamID = 0;            // the stream of the reader's event admitted last
    bool woken = false;               // that stream closed, or the core stops, since the admission
};

// The closed streams and the running reader threads, which together decide whether an event with
// a stream ID is admitted. Any thread.
class StreamTable {
public:
    // Marks a stream closed: its readers' further data events are refused, and a reader that waits
    // with an event of it is woken to have that event refused.
    void CloseStream(uint32_t streamID);
    // Opens a stream again (no change when it is not closed).
    void ReopenStream(uint32_t streamID);
    bool IsClosed(uint32_t streamID) const;

    // Makes the calling thread a reader thread until UnregisterReader. The reader thread body calls
    // these around its plugin's Read.
    void RegisterReader();
    void UnregisterReader();

    // The core stops: every later stream event is refused, and every waiting reader is woken to
    // have its event refused, so its Read can return before the plugin is closed.
    void Stop();

    // For an event of streamID sent from the calling thread: the thread's reader context, or null
    // when the stream is closed, the core stops, or the thread is not a running reader thread (the
    // event is refused).
    std::shared_ptr<ReaderContext> AdmitStreamEvent(uint32_t streamID);

    // Waits until the reader has no block pending, then makes block its pending block and answers
    // true. Answers false, with nothing changed, when the admitted event's stream closes or the
    // core stops first: the event is refused. Call it without the stream lock (it takes only the
    // context's lock); this is where a reader thread with a block in flight blocks until every
    // holder has let that block go.
    static bool WaitAndSetPending(ReaderContext& context, void* block);

    // Wakes every reader whose pending block is block: clears it and notifies. Called for every
    // freed block, before the address can be handed out again.
    void BlockReleased(void* block);

private:
    // The stream lock: guards closedStreams_, readers_ and stopping_. Taken before a context's lock.
    mutable std::mutex mutex_;
    bool stopping_ = false;
    std::unordered_set<uint32_t> closedStreams_;                        // guarded by mutex_
    std::map<std::thread::id, std::shared_ptr<ReaderContext>> readers_; // guarded by mutex_
};

// Makes the thread that creates it a reader thread for the object's lifetime; the reader thread
// body creates one around its plugin's Read.
class ReaderRegistration {
public:
    explicit ReaderRegistration(StreamTable& streams)
        : streams_(streams)
    {
        streams_.RegisterReader();
    }
    ~ReaderRegistration() { streams_.UnregisterReader(); }
    ReaderRegistration(const ReaderRegistration&) = delete;
    ReaderRegistration& operator=(const ReaderRegistration&) = delete;

private:
    StreamTable& streams_; // outlives every reader thread
};

} // namespace dvr
