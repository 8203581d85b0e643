#include "ipc/parent_protocol.h"

#include <cstring>

namespace dvr {
namespace {

uint32_t ReadWord(const uint8_t* bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void WriteWord(uint8_t* bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

} // namespace

std::vector<std::string> SplitString(const char* bytes, size_t length, char separator)
{
    std::vector<std::string> fields;
    if (bytes == nullptr)
        return fields;
    if (length == static_cast<size_t>(-1))
        length = strlen(bytes);
    const char* end = bytes + length;
    const char* start = bytes;
    for (const char* at = bytes; at != end; ++at) {
        if (*at == separator) {
            fields.emplace_back(start, at);
            start = at + 1;
        }
    }
    fields.emplace_back(start, end);
    return fields;
}

_ParentPacketHeader ReadParentHeader(const uint8_t* packet)
{
    return {ReadWord(packet), ReadWord(packet + 4), ReadWord(packet + 8), ReadWord(packet + 12)};
}

std::vector<uint8_t> MakeParentPacket(uint32_t target, uint32_t command, const void* payload, size_t payloadLength)
{
    std::vector<uint8_t> packet(PARENT_PACKET_HEADER_SIZE + payloadLength);
    WriteWord(packet.data(), static_cast<uint32_t>(packet.size()));
    WriteWord(packet.data() + 4, target);
    WriteWord(packet.data() + 8, command);
    WriteWord(packet.data() + 12, 0);
    if (payloadLength != 0)
        memcpy(packet.data() + PARENT_PACKET_HEADER_SIZE, payload, payloadLength);
    return packet;
}

uint32_t TakeParentPackets(uint8_t* buffer, uint32_t length,
                           const std::function<void(const uint8_t* packet, uint32_t packetLength)>& dispatch,
                           const std::function<void()>& badLength)
{
    while (length >= PARENT_PACKET_HEADER_SIZE) {
        uint32_t packetLength = ReadParentHeader(buffer).length;
        // Checked before waiting for more: a length beyond the buffer could never arrive, and one
        // below the header would never advance.
        if (packetLength < PARENT_PACKET_HEADER_SIZE || packetLength > PARENT_PACKET_MAX_LENGTH) {
            badLength();
            return 0;
        }
        if (packetLength > length)
            break;
        dispatch(buffer, packetLength);
        length -= packetLength;
        memmove(buffer, buffer + packetLength, length);
    }
    return length;
}

} // namespace dvr
