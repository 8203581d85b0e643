// The live view's rules, pure and without threads: the codecs string a browser needs for a camera's
// video, and one viewer's send queue, which stays within its bounds by skipping to the next key
// fragment. Used under the caller's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace webview {

// The RFC 6381 name of H.264 video ("avc1.PPCCLL": profile, constraint flags, level) from its first
// sequence parameter set, in an avcC record or in Annex B bytes (extradata or a key frame); empty
// when there is none.
std::string H264CodecString(const uint8_t* data, size_t size);

// One message pair of the live protocol: a TEXT message, then a BINARY one (the init segment or a
// fragment). Shared, unchanged, by every viewer of the camera.
struct LivePacket {
    std::string text;
    std::vector<uint8_t> binary;
    bool init = false;     // the init segment: every fragment after it belongs to it
    bool key = false;      // a fragment that starts with a video key frame
    int64_t captureNs = 0; // a fragment's last frame's capture time, ns since 1970

    size_t Bytes() const { return text.size() + binary.size(); }
};

// One viewer's queue of packets not yet written. It holds at most maxBytes (the packet being written
// included) and maxPackets, except that a packet is always taken into an empty queue. A fragment
// that does not fit drops every queued fragment and the fragments after it up to the next key
// fragment, which then goes out after a "skipped" message counting them. A new viewer waits for a
// key fragment as well, without a "skipped" message.
class ViewerQueue {
public:
    enum class Offered {
        Queued,
        Waiting, // not taken: no init segment yet, or a fragment before the first key fragment
        Skipped  // not taken, the queue was full: the viewer now waits for the next key fragment
    };

    ViewerQueue(size_t maxBytes, size_t maxPackets)
        : maxBytes_(maxBytes),
          maxPackets_(maxPackets)
    {
    }

    Offered Offer(std::shared_ptr<const LivePacket> packet);
    // The next packet to write (a "skipped" message of its own when one is due), now in flight; null
    // when nothing is queued or a packet is still in flight.
    std::shared_ptr<const LivePacket> Next();
    // The packet in flight is written.
    void Sent();

    size_t Bytes() const { return bytes_; } // queued and in flight
    uint64_t Skips() const { return skips_; }
    uint64_t SkippedFragments() const { return skippedFragments_; }

private:
    struct Entry {
        std::shared_ptr<const LivePacket> packet;
        uint64_t skippedBefore = 0; // fragments left out just before this key fragment
    };

    // Drops every queued fragment; the init segments stay, since what follows needs them.
    void DropFragments();

    const size_t maxBytes_;
    const size_t maxPackets_;
    std::deque<Entry> queue_;
    std::shared_ptr<const LivePacket> inFlight_;
    size_t bytes_ = 0;
    bool haveInit_ = false;
    bool waitingForKey_ = true;
    bool skipping_ = false;       // the queue was full: what waits for the key fragment is skipped
    uint64_t pendingSkipped_ = 0; // fragments left out since the queue was last full
    uint64_t skips_ = 0;
    uint64_t skippedFragments_ = 0;
};

} // namespace webview
