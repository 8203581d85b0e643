#include "events/routing.h"

namespace dvr {

uint32_t DeliveryRoutingKey(uint32_t eventFlags)
{
    return (eventFlags & 0x00FFFFFFu) | ((eventFlags << 1) & 0xFE000000u);
}

uint32_t ReaderRoutingKey(uint32_t eventFlags)
{
    return (eventFlags & 0x00FFFFFFu) | ((eventFlags >> 1) & 0x7F800000u);
}

bool MatchesClassMasks(uint32_t eventType, uint32_t routingKey, ClassMasks classMasks)
{
    for (unsigned i = 0; i < EVENT_CLASS_COUNT; ++i) {
        if ((eventType & EVENT_CLASSES[i]) != 0 && (routingKey & ~classMasks[i]) == 0)
            return true;
    }
    return false;
}

DeliveryCall ChooseDelivery(uint32_t eventType, uint32_t deliveryKey, uint32_t senderID, uint32_t providerID,
                            bool acceptsWrites, ClassMasks classMasks)
{
    if ((eventType & EVT_CONFIG) != 0 && providerID != senderID)
        return DeliveryCall::CONFIG_DOCUMENT;
    if (acceptsWrites && MatchesClassMasks(eventType, deliveryKey, classMasks))
        return DeliveryCall::WRITE;
    return DeliveryCall::NONE;
}

bool StartsReaderThread(uint32_t eventType, uint32_t readerKey, bool wantsReads, bool exportsRead,
                        ClassMasks classMasks)
{
    return wantsReads && exportsRead && MatchesClassMasks(eventType, readerKey, classMasks);
}

} // namespace dvr
