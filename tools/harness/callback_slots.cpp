#include "callback_slots.h"

#include <array>
#include <mutex>
#include <utility>

#include "plugin_harness.h"

namespace dvr::harness {

namespace {

std::mutex slotLock;
std::array<std::shared_ptr<PluginHarness>, CALLBACK_SLOT_COUNT> slots; // guarded by slotLock

template <size_t SLOT>
int SlotCallback(void* in, void* out)
{
    std::shared_ptr<PluginHarness> harness;
    {
        std::lock_guard lock(slotLock);
        harness = slots[SLOT];
    }
    auto* event = static_cast<_EventParmsIn*>(in);
    auto* answer = static_cast<_EventParmsOut*>(out);
    if (harness)
        return harness->OnEvent(event, answer);
    if (answer != nullptr)
        answer->result = EVENT_REFUSED; // the harness is gone
    return 0;
}

template <size_t... SLOTS>
constexpr std::array<PluginEntryPoint, sizeof...(SLOTS)> MakeCallbacks(std::index_sequence<SLOTS...>)
{
    return {&SlotCallback<SLOTS>...};
}

constexpr std::array<PluginEntryPoint, CALLBACK_SLOT_COUNT> callbacks =
    MakeCallbacks(std::make_index_sequence<CALLBACK_SLOT_COUNT>());

} // namespace

PluginEntryPoint TakeCallbackSlot(const std::shared_ptr<PluginHarness>& harness)
{
    std::lock_guard lock(slotLock);
    for (size_t slot = 0; slot < CALLBACK_SLOT_COUNT; ++slot)
        if (!slots[slot]) {
            slots[slot] = harness;
            // cppcheck-suppress CastIntegerToAddressAtReturn ; an array of function pointers, not integers
            return callbacks[slot];
        }
    return nullptr;
}

void FreeCallbackSlot(PluginEntryPoint callback)
{
    std::shared_ptr<PluginHarness> released; // let go after the lock: it may be the last reference
    std::lock_guard lock(slotLock);
    for (size_t slot = 0; slot < CALLBACK_SLOT_COUNT; ++slot)
        if (callbacks[slot] == callback)
            released = std::move(slots[slot]);
}

} // namespace dvr::harness
