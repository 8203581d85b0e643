#include "live_rules.h"

#include <cstdio>

namespace webview {

std::string H264CodecString(const uint8_t* data, size_t size)
{
    const uint8_t* sps = nullptr; // profile_idc, constraint flags, level_idc
    if (size >= 4 && data[0] == 1) {
        sps = data + 1; // avcC: configurationVersion, then the three bytes
    } else {
        for (size_t i = 0; i + 6 < size && sps == nullptr; ++i)
            if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && (data[i + 3] & 0x1F) == 7)
                sps = data + i + 4;
    }
    if (sps == nullptr)
        return {};
    char name[16];
    std::snprintf(name, sizeof name, "avc1.%02X%02X%02X", sps[0], sps[1], sps[2]);
    return name;
}

ViewerQueue::Offered ViewerQueue::Offer(std::shared_ptr<const LivePacket> packet)
{
    if (packet->init) {
        // What is queued belongs to the parameters before: the page starts anew with this one.
        for (const Entry& entry : queue_)
            bytes_ -= entry.packet->Bytes();
        queue_.clear();
        haveInit_ = true;
        waitingForKey_ = true;
        bytes_ += packet->Bytes();
        queue_.push_back({std::move(packet), 0});
        return Offered::Queued;
    }
    if (!haveInit_)
        return Offered::Waiting;
    bool queuedFragments = false;
    for (const Entry& entry : queue_)
        queuedFragments = queuedFragments || !entry.packet->init;
    const size_t packets = queue_.size() + (inFlight_ ? 1 : 0);
    if (queuedFragments && (bytes_ + packet->Bytes() > maxBytes_ || packets >= maxPackets_)) {
        DropFragments();
        ++skips_;
        waitingForKey_ = true;
        skipping_ = true;
    }
    if (waitingForKey_ && !packet->key) {
        if (!skipping_)
            return Offered::Waiting;
        ++pendingSkipped_;
        ++skippedFragments_;
        return Offered::Skipped;
    }
    waitingForKey_ = false;
    skipping_ = false;
    bytes_ += packet->Bytes();
    queue_.push_back({std::move(packet), pendingSkipped_});
    pendingSkipped_ = 0;
    return Offered::Queued;
}

void ViewerQueue::DropFragments()
{
    std::deque<Entry> kept;
    for (Entry& entry : queue_) {
        if (entry.packet->init) {
            kept.push_back(std::move(entry));
            continue;
        }
        bytes_ -= entry.packet->Bytes();
        pendingSkipped_ += entry.skippedBefore + 1;
        skippedFragments_ += 1;
    }
    queue_ = std::move(kept);
}

std::shared_ptr<const LivePacket> ViewerQueue::Next()
{
    if (inFlight_ || queue_.empty())
        return nullptr;
    Entry& front = queue_.front();
    if (front.skippedBefore > 0) {
        auto skipped = std::make_shared<LivePacket>();
        skipped->text = "{\"type\":\"skipped\",\"frames\":" + std::to_string(front.skippedBefore) + "}";
        front.skippedBefore = 0;
        inFlight_ = std::move(skipped);
        bytes_ += inFlight_->Bytes();
        return inFlight_;
    }
    inFlight_ = std::move(front.packet);
    queue_.pop_front();
    return inFlight_;
}

void ViewerQueue::Sent()
{
    if (!inFlight_)
        return;
    bytes_ -= inFlight_->Bytes();
    inFlight_.reset();
}

} // namespace webview
