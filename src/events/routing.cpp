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

} // namespace dvr
