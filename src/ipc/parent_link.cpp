// The parent link: packets from the supervisor (start-up parameters, stop, packets for plugins)
// and the plugins' packets to it. Everything here runs on the I/O thread, except the start-up
// wait (main thread), the count of unsent packet bytes (any thread: senders reserve, the I/O
// thread gives back) and the release of unsent packets after the I/O thread ended.
#include <sys/socket.h>

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>
#include <boost/throw_exception.hpp>

#include "core/dvrcore.h"
#include "ipc/parent_protocol.h"
#include "plugins/plugin_records.h"

namespace {

// How long start-up waits for the parent's parameters before it opens the plugins anyway.
constexpr auto PARAMETERS_WAIT = std::chrono::seconds(10);

} // namespace

void dvrcore::StartParentReceive()
{
    parentSocket.async_receive(boost::asio::buffer(parentReceiveBuffer.data() + parentReceiveLength,
                                                   parentReceiveBuffer.size() - parentReceiveLength),
                               parentReceiveFlags, [this](const boost::system::error_code& error, size_t received) {
                                   OnParentReceive(error, received);
                               });
}

void dvrcore::OnParentReceive(const boost::system::error_code& error, size_t received)
{
    if (error || received == 0) {
        Log(dvr::LOG_FAILURE, "ovrimd ipc pipe disconnected");
        Log(dvr::LOG_FAILURE, "sleeping for one minute to allow active watchdogs to expire...");
        lingerBeforeUnload = true;
        RequestStop();
        parentLinkOpen = false;
        boost::system::error_code closeError;
        parentSocket.close(closeError);
        if (closeError)
            boost::throw_exception(boost::system::system_error(closeError, "close"));
        return;
    }
    if (parentReceiveFlags & MSG_TRUNC) {
        // The packet was longer than the room left in the buffer and the kernel dropped the rest:
        // what arrived cannot be framed, so it goes the way of any other bad length.
        Log(dvr::LOG_WARNING, "bad ipc packet length");
        parentReceiveLength = 0;
        StartParentReceive();
        return;
    }
    parentReceiveLength += static_cast<uint32_t>(received);
    parentReceiveLength = dvr::TakeParentPackets(
        parentReceiveBuffer.data(), parentReceiveLength,
        [this](const uint8_t* packet, uint32_t length) { DispatchParentPacket(packet, length); },
        [this] { Log(dvr::LOG_WARNING, "bad ipc packet length"); });
    StartParentReceive();
}

void dvrcore::DispatchParentPacket(const uint8_t* packet, uint32_t length)
{
    _ParentPacketHeader header = dvr::ReadParentHeader(packet);
    if (header.command == IPC_STOP) {
        RequestStop();
        return;
    }
    if (header.command == IPC_PARAMETERS && length > PARENT_PACKET_HEADER_SIZE) {
        std::vector<std::string> fields =
            dvr::SplitString(reinterpret_cast<const char*>(packet) + PARENT_PACKET_HEADER_SIZE,
                             length - PARENT_PACKET_HEADER_SIZE, '\0');
        {
            std::lock_guard lock(eventQueue.queueMutex);
            if (fields.size() >= 3)
                backgroundMode = fields[2] == "Background:true";
            if (fields.size() >= 2)
                parentVersion = fields[1];
            if (!fields.empty())
                parentFilename = fields[0];
            parentParametersReceived = true;
        }
        eventQueue.Notify(); // ends the start-up wait
        return;
    }

    // A packet for the first plugin whose module index the target names.
    dvr::PluginTable::Snapshot table = plugins.Load();
    for (const dvr::PluginTable::Record& plugin : *table) {
        if (!dvr::ParentTargetMatches(header.target, plugin->ProviderID()))
            continue;
        _IoctlParmsIn parms = dvr::MakeDataIoctlParmsIn(IOCTL_PARENT, length, const_cast<uint8_t*>(packet));
        _IoctlParmsOut result = dvr::MakeIoctlParmsOut(IOCTL_PARENT);
        int code = dvr::CallEntryPoint(plugin->IOCTL, &parms, &result);
        if (code != 0 || result.error != 0)
            Log(dvr::LOG_DIAGNOSTIC, "plugin %s ipc ioctl returned %d error %d", plugin->name.c_str(), code,
                result.error);
        return;
    }
}

void dvrcore::WaitForParentParameters()
{
    // Parameters that came before the wait began count too, so a prompt parent never delays start-up.
    std::unique_lock lock(eventQueue.queueMutex);
    eventQueue.queueCondition.wait_for(lock, PARAMETERS_WAIT,
                                       [this] { return parentParametersReceived || eventQueue.StopRequested(); });
}

void dvrcore::QueueParentSend(void* block, size_t length)
{
    parentSendQueue.push_back({block, length});
    if (parentSendQueue.size() == 1)
        WriteNextParentPacket();
}

void dvrcore::WriteNextParentPacket()
{
    if (parentSendQueue.empty() || !parentSocket.is_open())
        return;
    const ParentPacket& front = parentSendQueue.front();
    size_t chunk = std::min<size_t>(front.length - parentSendOffset, PARENT_PACKET_MAX_LENGTH);
    parentSocket.async_send(boost::asio::buffer(static_cast<const uint8_t*>(front.block) + parentSendOffset, chunk), 0,
                            [this](const boost::system::error_code& error, size_t sent) {
                                parentSendOffset += sent;
                                bool done = parentSendOffset >= parentSendQueue.front().length;
                                if (!error && !done) {
                                    WriteNextParentPacket(); // the next piece of the same block
                                    return;
                                }
                                free(parentSendQueue.front().block);
                                GiveBackParentSend(parentSendQueue.front().length);
                                parentSendQueue.pop_front();
                                parentSendOffset = 0;
                                if (!error)
                                    WriteNextParentPacket(); // after a failed write nothing more is sent
                            });
}

void dvrcore::ReleaseParentSendQueue()
{
    for (ParentPacket& packet : parentSendQueue) {
        free(packet.block);
        GiveBackParentSend(packet.length);
    }
    parentSendQueue.clear();
}

bool dvrcore::ReserveParentSend(size_t length)
{
    size_t unsent = parentSendBytes.load();
    do {
        if (unsent > dvr::PARENT_SEND_QUEUE_LIMIT || length > dvr::PARENT_SEND_QUEUE_LIMIT - unsent) {
            // Said once per episode: a parent that stopped reading would otherwise flood the log.
            if (parentSendRefused.fetch_add(1) == 0)
                Log(dvr::LOG_WARNING, "parent send queue full (%zu bytes unsent), refusing packets for the parent",
                    unsent);
            return false;
        }
    } while (!parentSendBytes.compare_exchange_weak(unsent, unsent + length));
    uint32_t refused = parentSendRefused.exchange(0);
    if (refused != 0)
        Log(dvr::LOG_WARNING, "parent send queue has room again, %u packets for the parent were refused", refused);
    return true;
}

void dvrcore::GiveBackParentSend(size_t length)
{
    parentSendBytes.fetch_sub(length);
}
