// The live view's rules: the codecs string of H.264 parameter sets, and a viewer's send queue that
// waits for a key fragment, skips to the next one when full and never holds more than its bound.
#include "live_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using webview::H264CodecString;
using webview::LivePacket;
using webview::ViewerQueue;

TEST(LiveRules, CodecStringComesFromTheFirstSequenceParameterSet)
{
    const std::vector<uint8_t> avcc{1, 0x64, 0x00, 0x1F, 0xFF, 0xE1};
    const std::vector<uint8_t> annexB{0,    0,    0,    1,    0x09, 0xF0, 0, 0,    1,   0x67,
                                      0x42, 0xC0, 0x1E, 0xDA, 0,    0,    1, 0x68, 0xCE};
    const std::vector<uint8_t> ppsOnly{0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80, 0, 0, 0};
    EXPECT_EQ(H264CodecString(avcc.data(), avcc.size()), "avc1.64001F");
    EXPECT_EQ(H264CodecString(annexB.data(), annexB.size()), "avc1.42C01E");
    EXPECT_EQ(H264CodecString(ppsOnly.data(), ppsOnly.size()), "");
    EXPECT_EQ(H264CodecString(avcc.data(), 3), "");
}

std::shared_ptr<const LivePacket> Packet(bool init, bool key, size_t bytes, int number = 0)
{
    auto packet = std::make_shared<LivePacket>();
    packet->init = init;
    packet->key = key;
    packet->text = std::to_string(number);
    packet->binary.assign(bytes, 0);
    return packet;
}

// Takes everything queued, as a writer that keeps up would: the texts in order.
std::vector<std::string> Drain(ViewerQueue& queue)
{
    std::vector<std::string> texts;
    while (auto packet = queue.Next()) {
        texts.push_back(packet->text);
        queue.Sent();
    }
    return texts;
}

TEST(ViewerQueue, ANewViewerGetsTheInitSegmentThenWaitsForAKeyFragment)
{
    ViewerQueue queue(1000, 10);
    EXPECT_EQ(queue.Offer(Packet(false, true, 10, 1)), ViewerQueue::Offered::Waiting); // no init yet
    EXPECT_EQ(queue.Offer(Packet(true, false, 10, 2)), ViewerQueue::Offered::Queued);
    EXPECT_EQ(queue.Offer(Packet(false, false, 10, 3)), ViewerQueue::Offered::Waiting);
    EXPECT_EQ(queue.Offer(Packet(false, true, 10, 4)), ViewerQueue::Offered::Queued);
    EXPECT_EQ(queue.Offer(Packet(false, false, 10, 5)), ViewerQueue::Offered::Queued);
    EXPECT_EQ(Drain(queue), (std::vector<std::string>{"2", "4", "5"}));
    EXPECT_EQ(queue.Skips(), 0u);
    // New parameters: what is queued of the old ones goes, the new init segment and its key follow.
    queue.Offer(Packet(false, false, 10, 6));
    queue.Offer(Packet(true, false, 10, 7));
    queue.Offer(Packet(false, true, 10, 8));
    EXPECT_EQ(Drain(queue), (std::vector<std::string>{"7", "8"}));
    EXPECT_EQ(queue.Bytes(), 0u);
}

TEST(ViewerQueue, AViewerThatFallsBehindSkipsToTheNextKeyFragmentWithinItsBound)
{
    for (const bool byCount : {false, true}) {
        SCOPED_TRACE(byCount ? "bounded by packets" : "bounded by bytes");
        ViewerQueue queue(byCount ? 100000 : 350, byCount ? 4 : 1000);
        queue.Offer(Packet(true, false, 10, 0));
        queue.Offer(Packet(false, true, 100, 1));
        ASSERT_EQ(queue.Next()->text, "0"); // in flight: stays until sent
        size_t peak = 0;
        int number = 2;
        for (; queue.Skips() == 0; ++number) {
            queue.Offer(Packet(false, false, 100, number));
            peak = std::max(peak, queue.Bytes());
            ASSERT_LT(number, 50);
        }
        EXPECT_LE(peak, byCount ? 11u + 3 * 101 : 350u); // the init in flight and three fragments
        const int skippedFrom = 1;                       // every queued fragment went, and the one that did not fit
        EXPECT_EQ(queue.Offer(Packet(false, false, 100, number++)), ViewerQueue::Offered::Skipped);
        EXPECT_EQ(queue.Offer(Packet(false, true, 100, number)), ViewerQueue::Offered::Queued);
        queue.Sent();
        const auto texts = Drain(queue);
        ASSERT_EQ(texts.size(), 2u);
        EXPECT_EQ(texts[0], "{\"type\":\"skipped\",\"frames\":" + std::to_string(number - skippedFrom) + "}");
        EXPECT_EQ(texts[1], std::to_string(number));
        EXPECT_EQ(queue.Skips(), 1u);
        EXPECT_EQ(queue.SkippedFragments(), static_cast<uint64_t>(number - skippedFrom));
        EXPECT_EQ(queue.Bytes(), 0u);
    }
}

} // namespace
