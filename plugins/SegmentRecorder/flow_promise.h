// The receiver's side of a flow-controlled camera's records: what the sender was told it may send.
#ifndef SEGREC_FLOW_PROMISE_H
#define SEGREC_FLOW_PROMISE_H

#include <algorithm>
#include <cstdint>

namespace segrec {

// The sender may send a frame while its bytes sent, less the doneBytes of the last record it had,
// plus the frame, fit that record's window, and any frame once everything sent is done. Records
// reach it after a delay (and two threads' records in either order), so a frame may rest on any
// record sent so far: the furthest of them bounds what it was promised, even after a later record
// gave a smaller window. Counts are of the frames' event bytes, in the order the frames came.
// Not thread-safe: its owner's lock guards it.
class FlowPromise {
public:
    // The next frame of bytes came: whether some record promised it room.
    bool Offer(uint64_t bytes)
    {
        const bool promised = announced_ && (offered_ <= reportedDone_ || offered_ + bytes <= limit_);
        offered_ += bytes;
        return promised;
    }
    // A record went out: done bytes written or dropped, window beyond them.
    void Announce(uint64_t done, uint64_t window)
    {
        announced_ = true;
        reportedDone_ = done;
        window_ = window;
        limit_ = std::max(limit_, done + window);
    }
    bool Announced() const { return announced_; }
    // The doneBytes and the window of the last record sent (0 before any).
    uint64_t ReportedDone() const { return reportedDone_; }
    uint64_t Window() const { return window_; }

private:
    bool announced_ = false;
    uint64_t offered_ = 0;
    uint64_t reportedDone_ = 0;
    uint64_t window_ = 0;
    uint64_t limit_ = 0; // the furthest offered_ any record allows
};

} // namespace segrec

#endif
