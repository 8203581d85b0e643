// The parent link inside a core whose I/O handlers run on the test's thread, over a real
// sequenced-packet socket pair: what the kernel cuts short, and the bound of the send queue.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "ipc/parent_protocol.h"
#include "support/recording_core.h"

namespace {

class ParentLinkInCore : public ::testing::Test {
protected:
    void SetUp() override
    {
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
        core.parentSocket.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), ends[0]);
        core.parentLinkOpen = true;
        parentEnd = ends[1];
    }
    void TearDown() override { close(parentEnd); }

    // Sends one packet from the parent and runs the receive it completes.
    void Receive(const std::vector<uint8_t>& packet)
    {
        ASSERT_EQ(send(parentEnd, packet.data(), packet.size(), MSG_NOSIGNAL), static_cast<ssize_t>(packet.size()));
        ASSERT_EQ(core.ioContext.run_one_for(std::chrono::seconds(10)), 1u);
    }

    std::string ParentFilename()
    {
        std::lock_guard lock(core.eventQueue.queueMutex);
        return core.parentFilename;
    }

    size_t Count(const std::string& text) const
    {
        size_t count = 0;
        for (const auto& line : core.Lines())
            count += line.text == text;
        return count;
    }

    // Submits a packet for the parent of length bytes, as a plugin does; answers the result.
    int32_t SendToParent(size_t length)
    {
        void* block = malloc(length);
        memset(block, 'p', length);
        _EventParmsIn event =
            dvr::test::MakeEvent(0x00110000, EVT_PARENT_SEND, 0, block, static_cast<uint32_t>(length));
        _EventParmsOut out = dvr::test::MakeResult();
        core.PluginEvent(&event, &out);
        return out.result;
    }

    // Runs the I/O handlers while the parent reads, until every accepted packet is sent; answers
    // the bytes the parent received.
    size_t ParentReadsAll()
    {
        core.ioContext.restart(); // it stops whenever it runs out of work
        size_t received = 0;
        std::vector<uint8_t> packet(PARENT_PACKET_MAX_LENGTH);
        while (core.parentSendBytes.load() != 0) {
            core.ioContext.poll();
            ssize_t got = recv(parentEnd, packet.data(), packet.size(), MSG_DONTWAIT);
            if (got > 0)
                received += static_cast<size_t>(got);
        }
        for (ssize_t got; (got = recv(parentEnd, packet.data(), packet.size(), MSG_DONTWAIT)) > 0;)
            received += static_cast<size_t>(got);
        return received;
    }

    dvr::test::RecordingCore core;
    int parentEnd = -1;
};

TEST_F(ParentLinkInCore, PacketsTheKernelCutShortAreBadLengths)
{
    core.StartParentReceive();
    // Parameters whose header claims the largest packet, sent as a longer one: the kernel hands
    // over the first 65,536 bytes, which look whole, and drops the rest.
    std::vector<uint8_t> parameters = dvr::MakeParentPacket(0, IPC_PARAMETERS, "cut", 3);
    std::vector<uint8_t> tooLong(PARENT_PACKET_MAX_LENGTH + 100, 0);
    std::copy(parameters.begin(), parameters.end(), tooLong.begin());
    tooLong[0] = 0;
    tooLong[1] = 0;
    tooLong[2] = 1; // length 65,536
    Receive(tooLong);
    EXPECT_EQ(ParentFilename(), "");
    EXPECT_EQ(core.parentReceiveLength, 0u);

    // Half a packet waits in the buffer; the next packet is longer than the room left.
    std::vector<uint8_t> half = dvr::MakeParentPacket(0, IPC_PARAMETERS, "half", 4);
    half.resize(10);
    Receive(half);
    EXPECT_EQ(core.parentReceiveLength, 10u);
    std::vector<uint8_t> filler(PARENT_PACKET_MAX_LENGTH - 10 - PARENT_PACKET_HEADER_SIZE + 1, 'f');
    Receive(dvr::MakeParentPacket(0, 9, filler.data(), filler.size()));
    EXPECT_EQ(core.parentReceiveLength, 0u);
    EXPECT_EQ(Count("bad ipc packet length"), 2u);

    // The link goes on with the next whole packet.
    Receive(dvr::MakeParentPacket(0, IPC_PARAMETERS, "ovrimd", 6));
    EXPECT_EQ(ParentFilename(), "ovrimd");
}

TEST_F(ParentLinkInCore, UnsentPacketsAreBoundedAndCountedAsHeldData)
{
    constexpr size_t BLOCK = 1 << 20;
    constexpr size_t FITTING = dvr::PARENT_SEND_QUEUE_LIMIT / BLOCK;
    // The I/O thread does not run yet: everything accepted waits unsent.
    for (size_t i = 0; i < FITTING; ++i)
        ASSERT_EQ(SendToParent(BLOCK), EVENT_ACCEPTED) << "packet " << i;
    EXPECT_EQ(core.HeldDataBytes(), static_cast<int64_t>(dvr::PARENT_SEND_QUEUE_LIMIT));
    EXPECT_EQ(SendToParent(1), EVENT_NO_MEMORY);
    EXPECT_EQ(SendToParent(BLOCK), EVENT_NO_MEMORY);
    EXPECT_EQ(Count("parent send queue full (16777216 bytes unsent), refusing packets for the parent"), 1u);

    // The parent reads everything; each block's bytes go back once it is sent.
    EXPECT_EQ(ParentReadsAll(), FITTING * BLOCK);
    EXPECT_EQ(SendToParent(BLOCK), EVENT_ACCEPTED);
    EXPECT_EQ(Count("parent send queue has room again, 2 packets for the parent were refused"), 1u);
    EXPECT_EQ(ParentReadsAll(), BLOCK);

    // A packet still queued when the link is gone gives its bytes back when shutdown frees it.
    core.parentSocket.close();
    EXPECT_EQ(SendToParent(BLOCK), EVENT_ACCEPTED);
    core.ioContext.restart();
    core.ioContext.poll();
    EXPECT_EQ(core.parentSendQueue.size(), 1u);
    core.ReleaseParentSendQueue();
    EXPECT_EQ(core.parentSendBytes.load(), 0u);
}

} // namespace
