#pragma once

#include <cstdint>
#include <span>

#include <dvrcore/plugin_api.h>

namespace dvr {

// The nine routable class bits, in the order of a plugin's class masks.
inline constexpr uint32_t EVENT_CLASSES[EVENT_CLASS_COUNT] = EVENT_CLASS_BITS;

// A plugin's class masks, one per entry of EVENT_CLASSES.
using ClassMasks = std::span<const uint32_t, EVENT_CLASS_COUNT>;

// Key compared with the class masks when a queued event is delivered to Write: the low 24 bits of
// eventFlags, and its bits 24 to 30 moved up to bits 25 to 31 (bit 31 of eventFlags is dropped).
uint32_t DeliveryRoutingKey(uint32_t eventFlags);

// Key compared with the class masks when a stream control event starts reader threads: the low 24
// bits of eventFlags, with its bits 24 to 31 moved down to bits 23 to 30 and OR-ed onto them.
uint32_t ReaderRoutingKey(uint32_t eventFlags);

// Whether a plugin with these class masks takes an event: some class bit of eventType is set and
// that class's mask contains every bit of routingKey. Type bits outside the nine classes never match.
bool MatchesClassMasks(uint32_t eventType, uint32_t routingKey, ClassMasks classMasks);

// The call the queue worker makes for one queued event and one plugin of the table.
enum class DeliveryCall {
    NONE,
    WRITE,          // Write with the event
    CONFIG_DOCUMENT // IOCTL(IOCTL_CONFIG) with the event's document
};

// An event with the EVT_CONFIG bit goes to IOCTL_CONFIG of every plugin but its sender; any other
// pairing goes to Write when the plugin accepts writes and its masks take the delivery routing key.
DeliveryCall ChooseDelivery(uint32_t eventType, uint32_t deliveryKey, uint32_t senderID, uint32_t providerID,
                            bool acceptsWrites, ClassMasks classMasks);

// Whether a stream control event starts a reader thread in a plugin: it wants reads, exports Read,
// and its masks take the reader routing key.
bool StartsReaderThread(uint32_t eventType, uint32_t readerKey, bool wantsReads, bool exportsRead,
                        ClassMasks classMasks);

} // namespace dvr
