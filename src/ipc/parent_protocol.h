#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <dvrcore/plugin_api.h>

namespace dvr {

// The most bytes of packets for the parent that may wait unsent; a packet that would pass it is
// refused with EVENT_NO_MEMORY. A parent that stops reading cannot make the core run out of memory.
constexpr size_t PARENT_SEND_QUEUE_LIMIT = size_t{16} * 1024 * 1024;

// Splits length bytes at every separator: n separators give n + 1 fields, empty ones included.
// A length with all bits set means the bytes are a zero-terminated text; a null pointer gives no
// fields.
std::vector<std::string> SplitString(const char* bytes, size_t length, char separator);

// Reads the header at the start of a packet (little-endian words).
_ParentPacketHeader ReadParentHeader(const uint8_t* packet);

// Builds one packet: header and payload.
std::vector<uint8_t> MakeParentPacket(uint32_t target, uint32_t command, const void* payload, size_t payloadLength);

// Takes the complete packets at the start of buffer (length valid bytes): each is passed to
// dispatch, then removed, the rest moved to the front. Stops when less than one whole packet is
// left. A packet whose length field is below the header size or above the largest packet cannot
// be framed: badLength is called and everything buffered is dropped. Returns the bytes left.
uint32_t TakeParentPackets(uint8_t* buffer, uint32_t length,
                           const std::function<void(const uint8_t* packet, uint32_t packetLength)>& dispatch,
                           const std::function<void()>& badLength);

// Whether a parent packet's target names the plugin with this provider ID: bits 20 to 31 of the
// target are the plugin's module index.
inline bool ParentTargetMatches(uint32_t target, uint32_t providerID)
{
    return ((target ^ (providerID << 4)) & 0xFFF00000u) == 0;
}

} // namespace dvr
